#!/usr/bin/env bash
# The Windows builds' CMAKE_CROSSCOMPILING_EMULATOR: runs a Windows program
# under Wine, in a private prefix, never the user's ~/.wine.
#
#   wine-run.sh PROGRAM.exe [ARGS...]
#
# Under CTest, DOVO_WINE_TEMPLATE names the prefix made for the run; the
# program gets a copy of its own, removed afterwards.  By hand, WINEPREFIX
# is used when set, else a prefix kept in the user's cache.  Exits 77
# (skipped) where this machine's Wine cannot run the program's kind.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine-prefix.sh
source "$here/wine-prefix.sh"

exe=${1:?usage: wine-run.sh PROGRAM.exe [ARGS...]}
bits=$(wine_exe_bits "$exe") || { echo "wine-run.sh: $exe is not a Windows program" >&2; exit 2; }
if why=$(wine_cannot_run "$bits"); then
    echo "$why; skipped"
    exit 77
fi
export WINEDEBUG=-all

if [[ -n ${DOVO_WINE_TEMPLATE:-} ]]; then
    # beside the template: a copy hard-links it, which needs the same file system
    WINEPREFIX=$(mktemp -u "${DOVO_WINE_TEMPLATE%/}.run.XXXXXXXX")
    trap 'wine_prefix_remove "$WINEPREFIX"' EXIT
    wine_prefix_copy "$DOVO_WINE_TEMPLATE" "$WINEPREFIX" || exit 1
else
    WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/dovo/wine}
    if [[ $WINEPREFIX -ef $HOME/.wine ]]; then
        echo "wine-run.sh: will not run tests in the user's own prefix $WINEPREFIX" >&2
        exit 2
    fi
fi
export WINEPREFIX
"$(wine_loader "$bits")" "$@"
status=$?
# Wine 8's 32-bit loader itself now and then dies of SIGSEGV on a busy
# machine as the program exits, after its tests have passed (seen once in
# about fifty runs of windows-x86.core_readouts).  A fault of the program
# is not this: Wine reports that as an exception and an exit status.  The
# program runs once more, and the crash is said.
if ((status == 139)); then
    echo "wine-run.sh: Wine's loader crashed (SIGSEGV); running $exe once more" >&2
    "$(wine_loader "$bits")" "$@"
    status=$?
fi
exit "$status"
