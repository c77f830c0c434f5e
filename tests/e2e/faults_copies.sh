#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through check_true/wait_until
# shellcheck disable=SC2119 # optional arguments of the helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo tests/e2e/faults_copies.sh
#
# Starting dovo while it runs: the second start brings the running copy's
# window forward, says so in one line and leaves with status 0, never
# reading or writing Dovo.conf, so the travel is counted once.  A copy
# killed outright leaves nothing behind that stops the next start, and a
# second display of the same user gets a Dovo of its own.  A local client
# that connects and never writes is hung up on.  These desktops have no
# session bus, so it is the lock and the local socket in XDG_RUNTIME_DIR
# that are tried here.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=faults_common.sh
source "$here/faults_common.sh"

SECOND_LINE='dovo: Dovo is already running; its window was brought forward'

withdrawn_to_tray() { ! window_managed && [[ $(window_map_state) == IsUnMapped ]]; }

# dovo windows on screen or minimised, whoever owns them
dovo_window_count() {
    local n=0 w
    for w in $(xdotool search --name "^${DOVO_TITLE}\$" 2>/dev/null); do
        window_managed "$w" && n=$((n + 1))
    done
    printf '%d\n' "$n"
}

# start_again NAME: a second start, run to its end; sets AGAIN_RC and
# AGAIN_OUT/AGAIN_ERR (its logs).
start_again() {
    AGAIN_OUT=$DESKTOP_DIR/logs/again.$1.out AGAIN_ERR=$DESKTOP_DIR/logs/again.$1.err
    "$DOVO" </dev/null >"$AGAIN_OUT" 2>"$AGAIN_ERR" &
    local pid=$!
    desktop_track_pid "$pid"
    AGAIN_RC=124
    wait_until 10 gone "$pid" && reap "$pid" && AGAIN_RC=$REAPED
}

# label | desktop_start options | how the window waits after minimising
rows=(
    "from the tray||withdrawn_to_tray"
    "from minimised|--no-panel|iconified"
)
for row in "${rows[@]}"; do
    IFS='|' read -r label opts hidden <<<"$row"
    echo "# second start, window $label"
    # shellcheck disable=SC2086 # opts is empty or one word
    must "$label: desktop starts" desktop_start $opts
    conf=$(conf_file)
    pointer_move 400 300
    must "$label: first copy starts" dovo_start
    pointer_move_rested 500 300
    xdotool windowminimize "$DOVO_WID"
    check_true "$label: minimise leaves it $hidden" wait_until 5 "$hidden"

    start_again "$label"
    check_eq "$label: the second start exits 0" 0 "$AGAIN_RC"
    check_eq "$label: and says so in one line" "$SECOND_LINE" "$(cat "$AGAIN_ERR")"
    check_eq "$label: and prints nothing on stdout" "" "$(cat "$AGAIN_OUT")"
    check_true "$label: the first copy's window is back in normal state" wait_until 5 shown_normal
    check_eq "$label: one dovo window on the desktop" 1 "$(dovo_window_count)"
    check_false "$label: the second start wrote no Dovo.conf" test -e "$conf"
    check_true "$label: the first copy still runs" alive "$DOVO_PID"

    # Through XTest: an absolute xdotool move is a warp, which makes no raw
    # motion to wake the resting odometer.
    dovo_mark
    timeout 5 xdotool mousemove_relative --sync 0 200
    wait_until 5 dovo_rests 500 500
    rc=0
    dovo_close || rc=$?
    check_eq "$label: the first copy closes with status 0" 0 "$rc"
    check_eq "$label: 300 px of travel counted once" "4500 0" "$(conf_totals)"
    check_eq "$label: nothing reported about the file" 0 "$(stderr_lines "$DOVO_STDERR" Dovo.conf)"
    desktop_stop
done

echo "# second start, window from minimised, the window manager slow to let go"
# Openbox is stopped from the second start on: until it has withdrawn the
# window, the first copy must not map it again, or the manager's hidden
# state is copied back onto it and the shown window stays marked hidden.
must "slow manager: desktop starts" desktop_start --no-panel
must "slow manager: first copy starts" dovo_start
xdotool windowminimize "$DOVO_WID"
check_true "slow manager: minimise leaves it iconified" wait_until 5 iconified
spy=$DESKTOP_DIR/logs/net_wm_state.spy
xprop -spy -id "$DOVO_WID" _NET_WM_STATE >"$spy" 2>&1 &
desktop_track_pid $!
wait_until 5 test -s "$spy"
spy_quiet() { [[ $(wc -l <"$spy") == 1 ]]; }
kill -STOP "$_desk_wm_pid"
start_again slow
check_eq "slow manager: the second start exits 0" 0 "$AGAIN_RC"
check_true "slow manager: the window is left alone while the manager holds it" holds_for 1 spy_quiet
kill -CONT "$_desk_wm_pid"
check_true "slow manager: the window is back in normal state, not marked hidden" wait_until 5 shown_normal
rc=0
dovo_close || rc=$?
check_eq "slow manager: the first copy closes with status 0" 0 "$rc"
desktop_stop

echo "# a copy killed with SIGKILL"
must "desktop starts" desktop_start --no-panel
must "the copy to be killed starts" dovo_start
killed=$DOVO_PID
kill -KILL "$killed"
check_true "it is gone" wait_until 5 gone "$killed"
must "the next start shows its own window" dovo_start
check_eq "it does not take itself for a second start" 0 "$(stderr_lines "$DOVO_STDERR" 'already running')"
start_again killed
check_eq "and a start after it is the second one again" "0|$SECOND_LINE" "$AGAIN_RC|$(cat "$AGAIN_ERR")"

echo "# a second display of the same user"
# A bare X server beside the desktop, sharing its cookie file.
cookie=$(xauth -f "$XAUTHORITY" list "$DESKTOP_DISPLAY" | awk '{ print $3; exit }')
: >"$DESKTOP_DIR/displayfd2"
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp -auth "$XAUTHORITY" \
    3>"$DESKTOP_DIR/displayfd2" </dev/null >/dev/null 2>&1 &
desktop_track_pid $!
must "the second X server comes up" wait_until 15 grep -q '^[0-9]' "$DESKTOP_DIR/displayfd2"
other=:$(head -n 1 "$DESKTOP_DIR/displayfd2")
xauth -q -f "$XAUTHORITY" add "$other" MIT-MAGIC-COOKIE-1 "$cookie"
# Under load a client sometimes found no server there just after the number
# came (Qt: "could not connect to display"); a program of ours asks first.
other_up() { xdpyinfo -display "$other" >/dev/null 2>&1; }
must "the second X server accepts clients" wait_until 15 other_up
DISPLAY=$other "$DOVO" </dev/null >/dev/null 2>"$DESKTOP_DIR/logs/other.err" &
other_pid=$!
desktop_track_pid "$other_pid"
other_window() { DISPLAY=$other xdotool search --onlyvisible --name "^${DOVO_TITLE}\$" >/dev/null; }
check_true "dovo starts its own window there" wait_until 10 other_window
check_eq "and does not take itself for a second start" 0 "$(stderr_lines "$DESKTOP_DIR/logs/other.err" 'already running')"
kill -TERM "$other_pid"
reap "$other_pid"
check_eq "it ends with status 0" 0 "$REAPED"
check_true "the copy on the first display runs on" alive "$DOVO_PID"

echo "# a local client that connects and says nothing"
# Prints how long the first copy kept the connection, or that it kept it
# for 10 s.
silent_client() {
    node -e '
        const started = Date.now();
        const client = require("net").connect(process.argv[1]);
        client.on("close", () => { console.log("hung up after " + (Date.now() - started) + " ms"); process.exit(0); });
        client.on("error", (e) => { console.log("error " + e.code); process.exit(0); });
        setTimeout(() => { console.log("kept for 10 s"); process.exit(0); }, 10000);
    ' "$1"
}
sockets=("$XDG_RUNTIME_DIR"/net.quendorvil.Dovo.*.socket)
check_eq "one copy listens" 1 "${#sockets[@]}"
said=$(silent_client "${sockets[0]}")
echo "# silent client: $said"
check_true "it is hung up on within 5 s ($said)" test "$(awk '/^hung up after/ { print ($4 <= 5000) }' <<<"$said")" = 1
start_again after-silent
check_eq "a start after it is still brought forward" "0|$SECOND_LINE" "$AGAIN_RC|$(cat "$AGAIN_ERR")"

rc=0
dovo_close || rc=$?
check_eq "it closes with status 0" 0 "$rc"
desktop_stop

echo "# took $(faults_took) s"
finish
