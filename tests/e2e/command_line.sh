#!/usr/bin/env bash
#
# DOVO=/absolute/path/to/dovo tests/e2e/command_line.sh
#
# The command line: an answer goes to stdout with status 0, with or
# without a display; a refusal is one line on stderr and status 2.  In no case does Dovo start: no window, no Dovo.conf, no
# lock in the runtime folder, no "pointer from" line.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/desktop.sh
source "$here/../../scripts/lib/desktop.sh"

require_dovo || exit 2

# matches TEXT GLOB
# shellcheck disable=SC2053 # the right side is a pattern on purpose
matches() { [[ $1 == $2 ]]; }

must "desktop starts" desktop_start --no-panel

# label | arguments | display (x: the desktop's, -: none) | status | stdout (glob) | stderr (glob)
# What each argument answers is the session tests' table; here only that an
# answer reaches stdout without a display, and a refusal stderr.
rows=(
    "version on a text console|--version|-|0|dovo 1.0.0||"
    "unknown option|--bogus|x|2||dovo: Unknown option '--bogus'.*dovo --help*"
)
n=0
for row in "${rows[@]}"; do
    IFS='|' read -r label args display status out err <<<"$row"
    n=$((n + 1))
    read -ra argv <<<"$args"
    display_env=(DISPLAY="$DESKTOP_DISPLAY")
    [[ $display == - ]] && display_env=(-u DISPLAY)
    rc=0
    timeout 10 env "${display_env[@]}" "$DOVO" "${argv[@]}" </dev/null \
        >"$DESKTOP_DIR/logs/cl.$n.out" 2>"$DESKTOP_DIR/logs/cl.$n.err" || rc=$?
    got_out=$(cat "$DESKTOP_DIR/logs/cl.$n.out")
    got_err=$(cat "$DESKTOP_DIR/logs/cl.$n.err")
    check_eq "$label: exit status" "$status" "$rc"
    if [[ -z $out ]]; then
        check_eq "$label: nothing on stdout" "" "$got_out"
    else
        check_true "$label: stdout is as expected (got '${got_out%%$'\n'*}...')" matches "$got_out" "$out"
    fi
    if [[ -z $err ]]; then
        check_eq "$label: nothing on stderr" "" "$got_err"
    else
        check_eq "$label: one line on stderr" 1 "$(wc -l <"$DESKTOP_DIR/logs/cl.$n.err")"
        check_true "$label: the line says why (got '$got_err')" matches "$got_err" "$err"
    fi
done
check_eq "no run wrote Dovo.conf" "" "$(ls -A "$XDG_CONFIG_HOME")"
check_eq "no run left anything in the runtime folder" "" "$(ls -A "$XDG_RUNTIME_DIR")"
check_eq "no dovo window appeared" "" "$(xdotool search --name "^${DOVO_TITLE}\$" 2>/dev/null)"

desktop_stop
finish
