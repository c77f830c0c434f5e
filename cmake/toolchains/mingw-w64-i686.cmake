# Windows on i686, with Debian's MinGW-w64 (g++-mingw-w64-i686).
set(DOVO_MINGW_TRIPLET i686-w64-mingw32)
set(DOVO_MINGW_PROCESSOR X86)

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
