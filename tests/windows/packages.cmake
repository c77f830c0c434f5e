# The Windows downloads (cmake/WindowsPackaging.cmake), made by a test as
# `--target package` makes them rather than by every build (makensis and
# the zip add seconds to a build that needs neither), then the installer
# under Wine.  Included by CMakeLists.txt here, whose names it uses.
add_test(NAME ${prefix}packages
  COMMAND ${here}/packages.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${PROJECT_VERSION} ${DOVO_PACKAGE_ARCH})
set_tests_properties(${prefix}packages PROPERTIES
  TIMEOUT 300 FIXTURES_SETUP ${prefix}packages)

dovo_wine_test(wine_install wine_install.sh)
set_property(TEST ${prefix}wine_install APPEND PROPERTY FIXTURES_REQUIRED ${prefix}packages)
set_property(TEST ${prefix}wine_install APPEND PROPERTY ENVIRONMENT
  DOVO_SETUP=${DOVO_PACKAGE_SETUP} DOVO_VERSION=${PROJECT_VERSION})
