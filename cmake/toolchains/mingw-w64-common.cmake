# Shared by the MinGW-w64 toolchain files; DOVO_MINGW_TRIPLET names the target.
#
# The -posix compilers, not -win32: with GCC 12 (Debian 12) only the posix
# thread model gives the whole C++ standard library (std::thread, std::mutex,
# std::condition_variable, std::call_once).  Its one cost, libwinpthread, is
# linked statically like libgcc and libstdc++ (-static below), so dovo.exe
# still imports nothing but Windows' own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${DOVO_MINGW_PROCESSOR})

set(CMAKE_C_COMPILER ${DOVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DOVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${DOVO_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${DOVO_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${DOVO_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${DOVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A program that needs no DLL of ours: libgcc, libstdc++ and winpthread
# go into the exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

