#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through wait_until/check_true
# shellcheck disable=SC2119 # optional arguments of the helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo tests/e2e/faults_kill.sh
#
# Dovo killed without warning.  SIGKILL gives it no chance to save, so what
# survives is whatever the periodic save last wrote; when the X server dies
# Qt ends the process from inside the event loop and only the exit hook can
# save.  Either way the next start must carry on from the file; a save the
# exit hook cannot make is reported like any other, never a crash.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=faults_common.sh
source "$here/faults_common.sh"

# --------------------------------------------------- SIGKILL after a save
echo "# SIGKILL after a periodic save"
must "desktop starts" desktop_start --no-panel
# Just short of a block, so the travel below carries one over and the block
# count is part of what must survive.
conf_write 562000 7
export DOVO_AUTOSAVE_INTERVAL_MS=300
must "dovo starts" dovo_start

# Every move is a straight horizontal jump on a row away from the window, so
# each adds exactly 15 twips a pixel however the ticks fall.
pointer_move 640 150
check_eq "first autosave holds the first move (250 px down)" "565750 7" "$(wait_eq 10 "565750 7" conf_totals)"
pointer_move 840 150
check_eq "the carry into a block is autosaved (+200 px)" "1750 8" "$(wait_eq 10 "1750 8" conf_totals)"
saved=$(conf_totals)

kill -KILL "$DOVO_PID"
rc=0; dovo_wait 5 || rc=$?
check_eq "SIGKILL ends dovo by the signal" 137 "$rc"
check_eq "after SIGKILL the file holds the last autosave and parses" "$saved" "$(conf_totals)"

must "dovo starts again after the kill" dovo_start
check_eq "the restart reported nothing wrong with the file" 0 "$(stderr_lines "$DOVO_STDERR" 'Dovo.conf')"
pointer_move 1040 150
expect="$((${saved% *} + 3000)) 8"
check_eq "the restart counts on from the saved totals (+200 px)" "$expect" "$(wait_eq 10 "$expect" conf_totals)"
rc=0; dovo_close || rc=$?
check_eq "closing the restarted dovo exits 0" 0 "$rc"
check_eq "after close the file holds old + new travel" "$expect" "$(conf_totals)"
unset DOVO_AUTOSAVE_INTERVAL_MS
desktop_stop

# --------------------------------------------------- the X server dies
# No periodic save within the run (the 5-minute default), so the totals in
# the file after the server is gone can only come from the exit hook.
xserver_dies() {
    local signal=$1 conf rc status
    echo "# Xvfb killed with SIG$signal"
    must "desktop starts" desktop_start --no-panel
    conf=$(conf_file)
    conf_write 566000 3
    must "dovo starts" dovo_start
    check_true "the readouts are painted (first tick done)" wait_until 10 readouts_painted
    # The window sits in the middle of the screen; the row y=400 crosses
    # only its readouts, never the button.
    check_true "a jump of 300 px is counted" jump_seen 940 400
    check_true "a jump of 200 px is counted" jump_seen 1140 400
    check_eq "nothing saved yet (no periodic save within the run)" "566000 3" "$(conf_totals)"

    kill -"$signal" "$_desk_xvfb_pid"
    # reaped here so that bash does not report the killed job later
    wait "$_desk_xvfb_pid" 2>/dev/null
    check_true "dovo is gone within 5 s of the server" wait_until 5 gone "$DOVO_PID"
    reap "$DOVO_PID"
    status=$REAPED
    check_true "dovo exits by a status, not a signal (status $status)" test "$status" -lt 128
    check_false "no crash message on stderr" grep -qiE 'segmentation|abort|core dumped|terminate called' "$DOVO_STDERR"
    check_eq "the file holds the travel (7500 twips, one block carried)" \
        "$((566000 + 7500 - BLOCK_TWIPS)) 4" "$(conf_totals "$conf")"
    check_eq "no lock file left behind" "" "$(find "$(dirname "$conf")" -name 'Dovo.conf.lock')"
    echo "# dovo exit status $status; stderr: $(tr '\n' '|' <"$DOVO_STDERR")"
    desktop_stop
}

for signal in TERM KILL; do
    xserver_dies "$signal"
done

# ----------------------------- the X server dies and the save cannot be made
# A periodic save fails first, so the error report is already in use when
# the server goes; the save at exit fails too and must be reported through
# it as cleanly, after the rest of the program has begun to shut down.
echo "# Xvfb killed while the config folder cannot be written"
must "desktop starts" desktop_start --no-panel
base_config=$XDG_CONFIG_HOME
printf 'not a folder\n' >"$DESKTOP_DIR/blocked"
export XDG_CONFIG_HOME=$DESKTOP_DIR/blocked/config DOVO_AUTOSAVE_INTERVAL_MS=300
cannot_save="cannot save the totals to $XDG_CONFIG_HOME/Dovo.conf: "
must "dovo starts" dovo_start
check_true "the readouts are painted (first tick done)" wait_until 10 readouts_painted
check_true "a jump of 300 px is counted" jump_seen 940 400
check_true "the periodic save fails and says so" \
    wait_until 10 grep -qF "dovo: autosave: $cannot_save" "$DOVO_STDERR"
check_true "a jump of 200 px is counted (new travel for the exit)" jump_seen 1140 400
kill -TERM "$_desk_xvfb_pid"
wait "$_desk_xvfb_pid" 2>/dev/null
check_true "dovo is gone within 5 s of the server" wait_until 5 gone "$DOVO_PID"
reap "$DOVO_PID"
status=$REAPED
check_true "dovo exits by a non-zero status, not a signal (status $status)" \
    test "$status" -ge 1 -a "$status" -lt 128
check_eq "the failed save at exit is said in one line naming the file" 1 \
    "$(stderr_lines "$DOVO_STDERR" "dovo: exit: $cannot_save")"
check_false "no crash message on stderr" \
    grep -qiE 'segmentation|abort|core dumped|terminate called|detected|corrupted|double free|AddressSanitizer|runtime error' "$DOVO_STDERR"
echo "# dovo exit status $status; stderr: $(tr '\n' '|' <"$DOVO_STDERR")"
unset DOVO_AUTOSAVE_INTERVAL_MS
export XDG_CONFIG_HOME=$base_config
desktop_stop

echo "# took $(faults_took) s"
finish
