# Windows on i686, with Debian's MinGW-w64 (g++-mingw-w64-i686).
set(DOVO_MINGW_TRIPLET i686-w64-mingw32)
set(DOVO_MINGW_PROCESSOR X86)

# The same IEEE double arithmetic as the 64-bit program.  GCC's i686 default
# is the x87 unit, which keeps intermediates in 80-bit registers and rounds
# them to double only when they are stored: a product rounded twice, once to
# 64 bits of mantissa and once to 53, can land one unit away from the
# product rounded once (Round(2.675, 2), and a straight step of a long walk
# one twip off).  SSE2 rounds every operation to double, as x86_64 does;
# every CPU that runs Windows 8 or later has it.
#
# -mstackrealign: 32-bit Windows keeps the stack 4-byte aligned, and calls
# back into our code (window procedures, timer and hook procedures) with
# only that, while GCC's code assumes the 16 bytes of its own ABI for the
# aligned SSE loads and stores it makes of spilled or vectorised values.
# This realigns the stack in every function that needs more than 4 bytes.
# GCC's MinGW target already has it on; said here so that the SSE code
# does not rest on a compiler default.
#
# CMAKE_<LANG>_FLAGS, not a target's options: GoogleTest's own build, whose
# comparisons of doubles run in the unit tests, gets them too.  What comes
# prebuilt (libgcc, libstdc++, the C runtime) stays x87, and what of it the
# program calls is exact either way: floor, nearbyint and lround of a
# double are exact in any precision, sqrt is the SSE2 instruction inlined
# (the library only sets errno for a negative argument), to_chars works in
# integers, and the x87 left in our own code only moves doubles returned in
# st(0) and converts whole doubles to 64-bit integers.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
