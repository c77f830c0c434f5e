#!/usr/bin/env bash
# imports.sh OBJDUMP PROGRAM.exe: the program imports only DLLs that every
# Windows 10 and 11 has (the C runtime included), none of MinGW's own
# (libgcc_s, libstdc++, libwinpthread) nor any other that would have to be
# shipped beside it.
set -u
objdump=$1 exe=$2
system='^(kernel32|user32|gdi32|shell32|advapi32|comctl32|comdlg32|ole32|oleaut32|shlwapi|shcore|uxtheme|dwmapi|version|imm32|winmm|ws2_32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'

names=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p') || exit 2
[[ -n $names ]] || { echo "no imports found in $exe"; exit 1; }
status=0
while IFS= read -r dll; do
    if [[ ${dll,,} =~ $system ]]; then
        echo "ok   - $dll"
    else
        echo "FAIL - $dll is not one of Windows' own DLLs"
        status=1
    fi
done <<<"$names"
exit "$status"
