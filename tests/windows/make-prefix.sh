#!/usr/bin/env bash
# make-prefix.sh DIR BITS: the Wine prefix every Windows test of this run
# copies, made anew so that no test sees what an earlier run left.  Skipped
# (77) where this machine's Wine cannot run BITS-bit programs at all; the
# reason is then kept in DIR.cannot-run, and every test of the run that
# would start such a program skips with it.
# make-prefix.sh --remove DIR: stop its Wine and remove it (700 MB).
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine-prefix.sh
source "$here/wine-prefix.sh"

if [[ ${1:-} == --remove ]]; then
    wine_prefix_remove "${2:?usage: make-prefix.sh --remove DIR}"
    rm -f -- "$2.cannot-run"
    exit
fi
dir=${1:?usage: make-prefix.sh DIR BITS} bits=${2:?usage: make-prefix.sh DIR BITS}
wine_prefix_remove "$dir"
rm -f -- "$dir.cannot-run"
mkdir -p "$(dirname "$dir")"
if why=$(DOVO_WINE_TEMPLATE='' wine_cannot_run "$bits"); then
    echo "$why" >"$dir.cannot-run"
    echo "$why; skipped"
    exit 77
fi
started=$EPOCHREALTIME
wine_prefix_make "$dir" || exit 1
awk -v a="$started" -v b="$EPOCHREALTIME" -v d="$dir" 'BEGIN { printf "made %s in %.1f s\n", d, b - a }'
