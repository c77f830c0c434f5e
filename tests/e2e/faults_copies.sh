#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through wait_until/check_true
# shellcheck disable=SC2119 # optional arguments of the helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo tests/e2e/faults_copies.sh
#
# Two copies of dovo at once, sharing one Dovo.conf.  Each keeps its own
# count; whichever is closed last decides what the file holds; the file
# parses at every moment in between.
#
# Both copies see the same pointer, so to give them different totals one of
# them is stopped (SIGSTOP) while the pointer goes somewhere and comes back:
# the running one counts the trip, the stopped one later sees no move.
# Both save every 100 ms, which makes the file show which copy has counted
# what; only one copy runs while the file is being watched for a value.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=faults_common.sh
source "$here/faults_common.sh"

must "desktop starts" desktop_start --no-panel
conf=$(conf_file)
export DOVO_AUTOSAVE_INTERVAL_MS=100

# The file must parse at every read from the first save on.
watch_file() {
    while :; do
        if [[ -e $conf ]] && ! conf_totals >/dev/null; then
            printf '%s: %s\n' "$(date +%T.%N)" "$(head -c 200 "$conf" | tr '\n' '|')"
        fi
        sleep 0.02
    done
}

start_second() {
    "$DOVO" </dev/null >"$DESKTOP_DIR/logs/second.$1.out" 2>"$DESKTOP_DIR/logs/second.$1.err" &
    pid_b=$!
    desktop_track_pid "$pid_b"
}

# close_copy WID PID: close one copy's window through the window manager
# (not by title: both windows have the same one) and set REAPED.
close_copy() {
    wmctrl -i -c "$1" || return 1
    wait_until 10 gone "$2" || return 1
    reap "$2"
}

#       first  last
orders=("A B" "B A")
for order in "${orders[@]}"; do
    read -r first last <<<"$order"
    echo "# close $first first, then $last"
    rm -f -- "$conf"
    pointer_move 400 300
    watch_file >"$DESKTOP_DIR/logs/watch.$first" 2>&1 &
    watcher=$!
    desktop_track_pid "$watcher"

    must "copy A starts" dovo_start
    pid_a=$DOVO_PID wid_a=$DOVO_WID
    pointer_move 500 300
    check_eq "A counts 100 px" "1500 0" "$(wait_eq 10 "1500 0" conf_totals)"

    kill -STOP "$pid_a"
    start_second "$first"
    check_true "copy B starts and shows its own window" wait_until 10 window_of_pid "$pid_b"
    wid_b=$(window_of_pid "$pid_b")
    check_true "A and B have different windows" test "$wid_a" != "$wid_b"
    pointer_move 700 300
    check_eq "B starts from A's saved 1500 and counts 200 px" "4500 0" "$(wait_eq 10 "4500 0" conf_totals)"
    pointer_move 500 300
    check_eq "B counts the 200 px back" "7500 0" "$(wait_eq 10 "7500 0" conf_totals)"

    kill -STOP "$pid_b"
    kill -CONT "$pid_a"
    pointer_move 550 300
    check_eq "A, which missed the trip, counts 50 px more" "2250 0" "$(wait_eq 10 "2250 0" conf_totals)"
    kill -STOP "$pid_a"
    kill -CONT "$pid_b"
    check_eq "B counts the same 50 px" "8250 0" "$(wait_eq 10 "8250 0" conf_totals)"
    kill -CONT "$pid_a"
    check_true "A is still running" alive "$pid_a"
    check_true "B is still running" alive "$pid_b"

    declare -A wid=([A]=$wid_a [B]=$wid_b) pid=([A]=$pid_a [B]=$pid_b) total=([A]="2250 0" [B]="8250 0")
    close_copy "${wid[$first]}" "${pid[$first]}"
    check_eq "$first closes with status 0" 0 "$REAPED"
    check_eq "after $first closed the file holds $first's totals" "${total[$first]}" "$(conf_totals)"
    check_true "$last keeps running" alive "${pid[$last]}"
    close_copy "${wid[$last]}" "${pid[$last]}"
    check_eq "$last closes with status 0" 0 "$REAPED"
    check_eq "the file holds the totals of $last, closed last" "${total[$last]}" "$(conf_totals)"

    kill "$watcher"
    wait "$watcher" 2>/dev/null
    check_eq "the file parsed at every read" "" "$(cat "$DESKTOP_DIR/logs/watch.$first")"
    for who in A B; do
        err=$DOVO_STDERR
        [[ $who == B ]] && err=$DESKTOP_DIR/logs/second.$first.err
        check_eq "$who reported nothing about the file" 0 "$(stderr_lines "$err" Dovo.conf)"
    done
    unset wid pid total
    DOVO_PID=''
done

unset DOVO_AUTOSAVE_INTERVAL_MS
desktop_stop
echo "# took $(faults_took) s"
finish
