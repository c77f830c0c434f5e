# cmake -DBUILD=... -DVERSION=... -DARCH=x64|x86 -DOBJDUMP=... -P downloads.cmake:
# `--target package` in a Windows build folder makes the two downloads, named
# after the version and the architecture: an installer for that architecture
# (NSIS's default stub is 32-bit whatever it installs) and a zip of exactly
# dovo.exe, the licence and the text on where the total is kept.
set(format_x64 pei-x86-64)
set(format_x86 pei-i386)
function(check_format what file)
  execute_process(COMMAND ${OBJDUMP} -f ${file} OUTPUT_VARIABLE head)
  if(NOT head MATCHES "file format ${format_${ARCH}}\n")
    message(SEND_ERROR "${what} is not a ${ARCH} program:\n${head}")
  endif()
endfunction()

set(setup ${BUILD}/Dovo-${VERSION}-${ARCH}-setup.exe)
set(zip ${BUILD}/Dovo-${VERSION}-${ARCH}-portable.zip)
set(log ${BUILD}/packages.log)
file(REMOVE ${setup} ${zip})
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} --target package
  OUTPUT_FILE ${log} ERROR_FILE ${log} RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT EXISTS ${setup} OR NOT EXISTS ${zip})
  file(READ ${log} said)
  message(FATAL_ERROR "--target package made no ${setup} and ${zip}:\n${said}")
endif()
check_format("the installer" ${setup})
set(unpacked ${BUILD}/packages-unpacked)
file(REMOVE_RECURSE ${unpacked})
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${unpacked})
file(GLOB held RELATIVE ${unpacked} ${unpacked}/*)
list(SORT held)
if(NOT held STREQUAL "LICENSE.txt;README.txt;dovo.exe")
  message(SEND_ERROR "the zip holds ${held}, not the program, the licence and the text at its top")
endif()
check_format("the zip's dovo.exe" ${unpacked}/dovo.exe)
file(REMOVE_RECURSE ${unpacked})
