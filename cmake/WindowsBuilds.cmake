# Both Windows programs, built by the native build with the toolchain files
# the presets use, so one `ctest` runs their tests too (under Wine): each is
# a build folder of its own inside this one, whose tests this folder's
# CTestTestfile takes in.  The 32-bit one is built in every run; its tests
# skip themselves where Wine runs 64-bit programs only.
include(ExternalProject)
cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)

set(subdirs "")
set(names windows windows-x86)
set(arches x86_64 i686)
set(packs x64 x86)
foreach(name arch pack IN ZIP_LISTS names arches packs)
  find_program(DOVO_MINGW_CXX_${arch} ${arch}-w64-mingw32-g++-posix)
  if(NOT DOVO_MINGW_CXX_${arch} AND NOT windows STREQUAL "AUTO")
    message(FATAL_ERROR "DOVO_WINDOWS is ${DOVO_WINDOWS} but there is no \
${arch}-w64-mingw32-g++-posix (Debian: the windows packages of scripts/packages.txt)")
  elseif(NOT DOVO_MINGW_CXX_${arch})
    message(STATUS "No ${arch}-w64-mingw32-g++-posix: the ${name} program is not built")
    continue()
  endif()
  ExternalProject_Add(${name}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${name}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchains/mingw-w64-${arch}.cmake
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DDOVO_WERROR=${DOVO_WERROR}
      -DBUILD_TESTING=${BUILD_TESTING}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -j ${cores}
    # Its own build decides what is out of date.
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
  if(NOT BUILD_TESTING)
    continue()
  endif()
  # The driver's tables against this build's program under Wine: the native
  # Python and x11probe, this build's dovo.exe and dovo_peek.exe, in copies
  # of the prefix its fixture makes.
  set(sub ${CMAKE_BINARY_DIR}/${name})
  dovo_driver_test(${name}.driver_wine -m wine test_scenarios.py test_wine.py test_store.py test_lifecycle.py test_tray.py)
  set_tests_properties(${name}.driver_wine PROPERTIES
    LABELS "gui;wine" FIXTURES_REQUIRED "${name}.wine;${name}.packages")
  set_property(TEST ${name}.driver_wine APPEND PROPERTY ENVIRONMENT
    DOVO_EXE=${sub}/src/windows/dovo.exe DOVO_PEEK=${sub}/tests/windows/dovo_peek.exe
    DOVO_WINE_TEMPLATE=${sub}/wine/prefix DOVO_SETUP=${sub}/Dovo-${PROJECT_VERSION}-${pack}-setup.exe
    DOVO_VERSION=${PROJECT_VERSION})
  string(APPEND subdirs
    "if(EXISTS \"${CMAKE_BINARY_DIR}/${name}/CTestTestfile.cmake\")\n"
    "  subdirs(\"${CMAKE_BINARY_DIR}/${name}\")\n"
    "endif()\n")
endforeach()

file(WRITE ${CMAKE_BINARY_DIR}/WindowsTests.cmake "${subdirs}")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY
  TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/WindowsTests.cmake)
