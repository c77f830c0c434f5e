# cmake -DOBJDUMP=... -DLIBRARY=... -P sse2.cmake: the arithmetic of the
# 32-bit program is done in SSE2, as the 64-bit one's is, so both count the
# same twips.  x87 arithmetic rounds to 64-bit mantissas and then again to
# doubles, which can move a total by a twip (GCC's i686 default without
# -mfpmath=sse).  Loads, stores and conversions through the x87 stack stay
# and are exact: the 32-bit calling convention returns a double in st(0),
# and a 64-bit integer is converted with fild/fistp.  Needs no 32-bit
# execution, so it proves this where the 32-bit tests cannot run.
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${LIBRARY}
  OUTPUT_VARIABLE code RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR code STREQUAL "")
  message(FATAL_ERROR "${OBJDUMP} could not read ${LIBRARY}")
endif()
set(x87 "f(i?(add|sub|subr|mul|div|divr)[spl]?|(add|sub|subr|mul|div|divr)p|sqrt)")
string(REGEX MATCHALL "[^\n]*\t${x87}( [^\n]*)?\n" found "${code}")
if(found)
  string(REPLACE ";" "" found "${found}")
  message(FATAL_ERROR "x87 arithmetic in ${LIBRARY}:\n${found}")
endif()
message(STATUS "no x87 arithmetic in ${LIBRARY}")
