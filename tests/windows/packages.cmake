# The Windows downloads (cmake/WindowsPackaging.cmake), made by a test as
# `--target package` makes them rather than by every build (makensis and
# the zip add seconds to a build that needs neither); the driver's Wine rows
# install it under Wine.  Included by CMakeLists.txt here, whose names it uses.
add_test(NAME ${prefix}packages
  COMMAND ${here}/packages.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${PROJECT_VERSION} ${DOVO_PACKAGE_ARCH})
set_tests_properties(${prefix}packages PROPERTIES
  TIMEOUT 300 FIXTURES_SETUP ${prefix}packages)
