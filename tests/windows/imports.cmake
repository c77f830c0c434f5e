# cmake -DOBJDUMP=... -DPROGRAM=... -P imports.cmake: the program imports
# only DLLs that every Windows 10 and 11 has (the C runtime included), none
# of MinGW's own (libgcc_s, libstdc++, libwinpthread) nor any other that
# would have to be shipped beside it.
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
string(REGEX MATCHALL "DLL Name: [^\n]+" names "${dump}")
if(NOT status EQUAL 0 OR NOT names)
  message(FATAL_ERROR "no imports found in ${PROGRAM}")
endif()
string(REPLACE "DLL Name: " "" names "${names}")
set(system "^(kernel32|user32|gdi32|shell32|advapi32|comctl32|comdlg32|ole32|oleaut32|shlwapi|shcore|"
  "uxtheme|dwmapi|version|imm32|winmm|ws2_32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\\.dll$")
string(CONCAT system ${system})
foreach(dll IN LISTS names)
  string(TOLOWER "${dll}" lower)
  if(NOT lower MATCHES "${system}")
    list(APPEND foreign ${dll})
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "not Windows' own DLLs: ${foreign}")
endif()
message(STATUS "only Windows' own DLLs: ${names}")
