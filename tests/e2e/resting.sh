#!/usr/bin/env bash
# shellcheck disable=SC2119 # optional arguments of the desktop.sh helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo tests/e2e/resting.sh
#
# Dovo sleeps while the pointer rests and wakes when it moves.  A seeded path
# walked with a rest after every move must come to the same total, to the
# twip, as when Dovo asks for the pointer at every tick; at rest its threads
# must stay asleep; and the periodic and SIGTERM saves must still write the
# exact total after a rest.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/desktop.sh
source "$here/../../scripts/lib/desktop.sh"

require_dovo || exit 2

START_X=800 START_Y=450
MOVES=30

context_switches() {
    awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ { n += $2 } END { print n + 0 }' \
        /proc/"$DOVO_PID"/task/*/status 2>/dev/null
}

# walk N: the first N positions of the path, with a rest after each: Dovo
# sampled the position, and its next tick found nothing changed (asleep,
# where it sleeps).
walk() {
    local x y
    while read -r x y; do
        pointer_move_rested "$x" "$y" || return 1
    done < <(head -n "$1" <<<"$path")
}

must "desktop starts" desktop_start
# Clear of the window (top left) and of the panel (bottom).
path=$(seeded_path 20261207 "$MOVES" 400 260 1200 700)
echo "# $MOVES moves, $(path_twips 15 "$START_X" "$START_Y" <<<"$path") twips"

# mode | environment | moves
modes=(
    "sleeping between moves||$MOVES"
    "asking at every tick|DOVO_POINTER=polling|$MOVES"
    "sleeping, saving every second|DOVO_AUTOSAVE_INTERVAL_MS=1000|5"
)
for row in "${modes[@]}"; do
    IFS='|' read -r mode env moves <<<"$row"
    rm -f -- "$XDG_CONFIG_HOME/Dovo.conf"
    pointer_move "$START_X" "$START_Y"
    [[ -z $env ]] || export "${env?}"
    must "$mode: dovo starts" dovo_start
    [[ -z $env ]] || unset "${env%%=*}"
    must "$mode: the path is walked" walk "$moves"
    want=$(head -n "$moves" <<<"$path" | path_twips 15 "$START_X" "$START_Y")
    case $mode in
    "sleeping between moves")
        # the walk ended with Dovo at rest, its watch armed
        before=$(context_switches)
        woke_at_most() { (($(context_switches) - before <= $1)); }
        check_true "$mode: at most 3 wake-ups in 5 s at rest" holds_for 5 woke_at_most 3
        echo "# $mode: $(($(context_switches) - before)) context switches in 5 s at rest"
        rc=0
        dovo_signal TERM || rc=$?
        check_eq "$mode: SIGTERM after the rest exits 0" 0 "$rc"
        ;;
    "sleeping, saving every second")
        check_eq "$mode: the periodic save wrote the exact total during the rest" \
            "$want" "$(wait_eq 3 "$want" settings_get totalpixels)"
        rc=0
        dovo_signal TERM || rc=$?
        check_eq "$mode: SIGTERM after the rest exits 0" 0 "$rc"
        ;;
    *)
        rc=0
        dovo_close || rc=$?
        check_eq "$mode: close exits 0" 0 "$rc"
        ;;
    esac
    check_eq "$mode: the saved total is the path's, to the twip" \
        "$want/0" "$(settings_get totalpixels)/$(settings_get totalmpixels)"
done

finish
