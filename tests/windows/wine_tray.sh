#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through check_true/wait_until
# shellcheck disable=SC2119 # optional arguments of the harness left out on purpose
#
# The real dovo.exe under Wine in the notification area (tint2 docks the
# icons of Wine's explorer.exe): minimised it leaves the screen and the
# taskbar, a second start or a click on the icon brings it back, closed its
# icon is gone; and the end of the session saves the total of a hidden Dovo.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine.sh
source "$here/wine.sh"
require_wine

shown() { shown_normal; }

must "desktop starts" wine_desktop_start
must "dovo starts" dovo_start
check_true "its icon docks in the panel" wait_until 10 tray_icon_dovo

xdotool windowminimize "$DOVO_WID"
check_true "minimised: off the screen and out of the taskbar" wait_until 5 withdrawn
check_true "and its icon stays" tray_icon_dovo

# A second start while the first is hidden: brings it forward and ends.
rc=0
timeout 60 "$DOVO" </dev/null >"$DESKTOP_DIR/logs/second.out" 2>"$DESKTOP_DIR/logs/second.err" || rc=$?
check_eq "a second start exits 0" 0 "$rc"
check_eq "and says why" "dovo: Dovo is already running; its window was brought forward" \
    "$(tr -d '\r' <"$DESKTOP_DIR/logs/second.err")"
check_true "the first window is back" wait_until 5 shown
check_eq "the first is still running" 0 "$(_desk_alive "$DOVO_PID"; echo $?)"

xdotool windowminimize "$DOVO_WID"
must "minimised again" wait_until 5 withdrawn
must "a left click on the icon" tray_icon_click 1
check_true "brings the window back" wait_until 5 shown

# Enter or Space on the icon, as the taskbar tells it (NIN_KEYSELECT from
# icon 1); Wine's tray has no keyboard of its own.
xdotool windowminimize "$DOVO_WID"
must "minimised for the keyboard" wait_until 5 withdrawn
must "the icon selected with the keyboard" dovo_send 0x8001 0 0x10401
check_true "brings the window back" wait_until 5 shown

rc=0
dovo_close || rc=$?
check_eq "close exits 0" 0 "$rc"
check_eq "closed: the icon is gone" 0 "$(wait_eq 5 0 tray_icon_count)"

# ------------------------------------------------------- end of the session
# Hidden in the notification area, moved, and then the user logs off: the
# total is saved although nobody closed the window.  Each position is held
# longer than the tick sleeps at rest, so the total is known whatever wakes
# it.
reg_del
must "the pointer at the start" pointer_move 300 200
must "dovo starts again" dovo_start
xdotool windowminimize "$DOVO_WID"
must "hidden" wait_until 5 withdrawn
path=$'700 200\n400 600'
HOLD=2.5 walk <<<"$path"
want=$(path_twips 15 300 200 <<<"$path")
must "the session ends" wine_end_session
rc=0
dovo_wait 15 || rc=$?
check_true "Dovo ended with the session (status $rc)" test "$rc" -ne 124
check_eq "the total was saved at the end of the session" "$want/0" "$(reg_totals)"

finish
