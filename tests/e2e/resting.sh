#!/usr/bin/env bash
# shellcheck disable=SC2119 # optional arguments of the desktop.sh helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo LOGIND_STANDIN=/path/to/logind_standin tests/e2e/resting.sh
#
# Dovo sleeps while the pointer rests and wakes when it moves.  A seeded path
# walked with a rest after every move must come to the same total, to the
# twip, as when Dovo asks for the pointer at every tick; at rest its threads
# must stay asleep; and the periodic and SIGTERM saves must still write the
# exact total after a rest.  When the machine sleeps (logind on a system bus
# of the test's own), Dovo saves before it lets go of its delay lock, takes a
# new one at the resume and counts on; the same signal from anyone but
# logind changes nothing.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/desktop.sh
source "$here/../../scripts/lib/desktop.sh"

require_dovo || exit 2
if [[ -z ${LOGIND_STANDIN:-} || ! -x $LOGIND_STANDIN ]]; then
    echo "${0##*/}: set LOGIND_STANDIN to the logind_standin helper" >&2
    exit 2
fi

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

echo "# the machine sleeps and wakes"
# logind METHOD [ARG...]: ask the stand-in logind; fails while it has no name.
logind() {
    local answer rc=0
    answer=$(timeout 10 dbus-send --system --print-reply=literal --dest=org.freedesktop.login1 \
        /Control "net.quendorvil.Dovo.TestLogind.$1" "${@:2}" 2>&1) || rc=$?
    sed 's/^ *//' <<<"$answer"
    return "$rc"
}
# "taken T open O held H": locks asked for, locks not yet let go, and locks
# held when the last one was asked for.
locks() { logind State; }
must "private system bus starts" bus_start system
export DBUS_SYSTEM_BUS_ADDRESS=$DESK_BUS_ADDRESS
"$LOGIND_STANDIN" </dev/null >"$DESKTOP_DIR/logs/logind.out" 2>"$DESKTOP_DIR/logs/logind.err" &
desktop_track_pid $!
must "stand-in logind starts" wait_until 10 logind State
rm -f -- "$XDG_CONFIG_HOME/Dovo.conf"
pointer_move "$START_X" "$START_Y"
must "dovo starts" dovo_start
check_eq "dovo takes a delay lock" "taken 1 open 1 held 0" "$(wait_eq 10 "taken 1 open 1 held 0" locks)"
must "a walk" walk 5
want=$(head -n 5 <<<"$path" | path_twips 15 "$START_X" "$START_Y")
# The resume after the forged signal is the lock's witness: had Dovo believed
# it, the first lock would be gone before the second is asked for.
logind Forge boolean:true >/dev/null
logind Sleep boolean:false >/dev/null
check_eq "PrepareForSleep from another sender: the lock stays (held at the next resume)" \
    "taken 2 open 1 held 1" "$(wait_eq 10 "taken 2 open 1 held 1" locks)"
check_eq "and nothing is saved" "" "$(settings_get totalpixels)"
logind Sleep boolean:true >/dev/null
check_eq "PrepareForSleep(true): the lock is let go" "taken 2 open 0 held 1" \
    "$(wait_eq 10 "taken 2 open 0 held 1" locks)"
check_eq "after the walk was saved" "$want" "$(settings_get totalpixels)"
dovo_mark
logind Sleep boolean:false >/dev/null
check_eq "resumed: a new lock" "taken 3 open 1 held 0" "$(wait_eq 10 "taken 3 open 1 held 0" locks)"
read -r last_x last_y < <(head -n 5 <<<"$path" | tail -n 1)
check_true "and the resting tick wakes to sample the pointer" \
    wait_until 5 dovo_rests "$last_x" "$last_y"
must "a move after the resume" pointer_move_rested "$START_X" "$START_Y"
want=$(printf '%s\n' "$(head -n 5 <<<"$path")" "$START_X $START_Y" | path_twips 15 "$START_X" "$START_Y")
logind Sleep boolean:true >/dev/null
check_eq "sleeping again lets the new lock go" "taken 3 open 0 held 0" \
    "$(wait_eq 10 "taken 3 open 0 held 0" locks)"
check_eq "after the move since the resume was saved too" "$want" "$(settings_get totalpixels)"
rc=0
dovo_close || rc=$?
check_eq "close exits 0" 0 "$rc"
unset DBUS_SYSTEM_BUS_ADDRESS

finish
