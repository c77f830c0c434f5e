# The Windows downloads (cmake/WindowsPackaging.cmake), made by a test as
# `--target package` makes them rather than by every build (makensis and
# the zip add seconds to a build that needs neither); the driver's Wine rows
# install it under Wine.  Included by CMakeLists.txt here, whose names it uses.
add_test(NAME ${prefix}packages
  COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -DVERSION=${PROJECT_VERSION} -DARCH=${DOVO_PACKAGE_ARCH}
          -DOBJDUMP=${CMAKE_OBJDUMP} -P ${here}/downloads.cmake)
set_tests_properties(${prefix}packages PROPERTIES
  TIMEOUT 300 FIXTURES_SETUP ${prefix}packages)
