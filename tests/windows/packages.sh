#!/usr/bin/env bash
# packages.sh CMAKE BUILD_DIR VERSION ARCH: `--target package` in a Windows
# build folder makes the two downloads, named after the version and the
# architecture: an installer for that architecture (NSIS's default stub is
# 32-bit whatever it installs) and a zip of exactly dovo.exe, the licence
# and the text on where the total is kept.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_exe_bits() { /usr/bin/python3 -B "$here/../driver/wineprefix.py" bits "$1"; }
cmake=$1 build=$2 version=$3 arch=$4
case $arch in
x64) bits=64 ;;
x86) bits=32 ;;
*) echo "packages.sh: unknown architecture '$arch'" >&2; exit 2 ;;
esac

fails=0
check_eq() {
    if [[ $3 == "$2" ]]; then
        echo "ok   - $1"
    else
        echo "FAIL - $1: expected '$2', got '$3'"
        fails=$((fails + 1))
    fi
}

setup=$build/Dovo-$version-$arch-setup.exe
zip=$build/Dovo-$version-$arch-portable.zip
rm -f -- "$setup" "$zip"
"$cmake" --build "$build" --target package >"$build/packages.log" 2>&1 ||
    { tail -n 30 "$build/packages.log"; echo "FAIL - --target package"; exit 1; }

check_eq "the installer is there as ${setup##*/}" yes "$([[ -f $setup ]] && echo yes)"
check_eq "the installer is a $bits-bit program" "$bits" "$(wine_exe_bits "$setup")"
check_eq "the zip is there as ${zip##*/}" yes "$([[ -f $zip ]] && echo yes)"
check_eq "the zip holds the program, the licence and the text, at its top" \
    "LICENSE.txt README.txt dovo.exe" \
    "$("$cmake" -E tar tf "$zip" 2>/dev/null | LC_ALL=C sort | paste -sd ' ')"
unpacked=$(mktemp -d)
trap 'rm -rf -- "$unpacked"' EXIT
(cd "$unpacked" && "$cmake" -E tar xf "$zip")
check_eq "the zip's dovo.exe is a $bits-bit program" "$bits" "$(wine_exe_bits "$unpacked/dovo.exe")"
((fails == 0))
