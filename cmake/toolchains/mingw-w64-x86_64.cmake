# Windows on x86_64, with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
set(DOVO_MINGW_TRIPLET x86_64-w64-mingw32)
set(DOVO_MINGW_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
