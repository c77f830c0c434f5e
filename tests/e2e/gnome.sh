#!/usr/bin/env bash
# Dovo on a real, headless GNOME Shell on Wayland, with its extension off and
# then turned on while it runs: the user is told how to turn it on, nothing
# is counted while it is off, a path is counted to the twip once it is on,
# a resting pointer costs the shell no questions, and no other program
# learns where the pointer is through the extension.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/gnome.sh
source "$here/../../scripts/lib/gnome.sh"
require_dovo

# Long enough for a move to be asked about at one tick and counted at the next.
HOLD_MS=600

must "headless GNOME Shell starts, Dovo's extension off" gnome_start
_desk_spawn dbus-monitor dbus-monitor --session "interface='$GNOME_IFACE'" \
    "interface='org.freedesktop.Notifications',member='Notify'"
monitor=$DESKTOP_DIR/logs/dbus-monitor.out
# Its own name goes once it has become a monitor.
must "the session bus is watched" wait_until 5 grep -q 'member=NameLost$' "$monitor"
calls() { grep -c "member=$1\$" "$monitor" || true; }
calls_more_than() { (($(calls "$1") > $2)); }
last_call() { grep -o 'member=[A-Za-z]*$' "$monitor" | tail -n 1; }
resting() { [[ $(last_call) == member=WatchMotion ]]; }

# --- off: told once, nothing counted -------------------------------------
must "dovo starts on GNOME" gnome_dovo_start
check_true "says it asks GNOME Shell" grep -qx 'dovo: pointer from GNOME Shell' "$DOVO_STDERR"
check_true "tells how to turn the extension on" \
    wait_until 10 grep -q "gnome-extensions enable $GNOME_UUID" "$DOVO_STDERR"
check_true "and that a new login is needed after installing" grep -q 'log out and in again' "$DOVO_STDERR"
check_true "GNOME has no notification area: told by a desktop notification" \
    wait_until 5 grep -q "gnome-extensions enable $GNOME_UUID" "$monitor"
# Away from Dovo's own window, which is all a Wayland client can see.
seeded_path 7 10 100 60 1180 250 | awk -v x=640 -v y=155 '{ print $1 - x, $2 - y; x = $1; y = $2 }' |
    gnome_pointer_moves 100
sleep 1
rc=0; dovo_signal TERM || rc=$?
check_eq "SIGTERM ends dovo cleanly" 0 "$rc"
check_eq "nothing counted while the extension is off" 0/0 \
    "$(settings_get totalpixels)/$(settings_get totalmpixels)"
check_eq "told once" 1 "$(grep -c "gnome-extensions enable" "$DOVO_STDERR")"

# --- turned on while dovo runs: counted to the twip ----------------------
must "dovo starts again" gnome_dovo_start
wait_until 10 grep -q "gnome-extensions enable" "$DOVO_STDERR" || true
# The path starts where no question to the extension is needed.
gnome_pointer_to_corner
x=0 y=0
# A few ticks through XWayland first, so that the switch has an old position
# to jump from.
sleep 1
asked_before=$(calls GetPosition)
must "the command dovo named turns the extension on" gnome-extensions enable "$GNOME_UUID"
# Two questions mean the first answer came back and dovo took it as its
# new starting point.
must "dovo asks the extension" wait_until 10 calls_more_than GetPosition $((asked_before + 1))
# Another program listening for the extension's signals, as anyone may.
_desk_spawn stranger gdbus monitor --session --dest org.gnome.Shell --object-path "$GNOME_PATH"
stranger=$DESKTOP_DIR/logs/stranger.out
must "a stranger listens" wait_until 5 grep -q 'org.gnome.Shell is owned by' "$stranger"
# To the middle of the box the seeded path starts from, then the path; a
# stranger asks halfway.
path=$DESKTOP_DIR/path
{ echo 640 400; seeded_path 42 30 100 100 1180 700; } >"$path"
moves=$(awk -v x="$x" -v y="$y" '{ print $1 - x, $2 - y; x = $1; y = $2 }' "$path")
head -n 15 <<<"$moves" | gnome_pointer_moves "$HOLD_MS"

# --- a stranger while dovo counts: refused, hears nothing ----------------
for call in GetPosition "WatchMotion 0 0"; do
    # shellcheck disable=SC2086 # the method and its arguments
    answer=$(gnome_stranger_calls $call || true)
    check_true "a stranger's $call is refused" grep -q 'org.freedesktop.DBus.Error.AccessDenied' <<<"$answer"
    check_false "and tells it no position" grep -Eq '\([0-9-]+, [0-9-]+\)' <<<"$answer"
done
tail -n +16 <<<"$moves" | gnome_pointer_moves "$HOLD_MS"

# --- at rest: no questions, woken by the next motion ---------------------
must "at rest, dovo hands the watching to the extension" wait_until 5 resting
asked=$(calls GetPosition)
check_false "no questions during 5 s of rest" wait_until 5 calls_more_than GetPosition "$asked"
read -r lx ly < <(tail -n 1 "$path")
echo 7 -5 | gnome_pointer_moves "$HOLD_MS"
echo $((lx + 7)) $((ly - 5)) >>"$path"
check_true "the next motion wakes it" calls_more_than GetPosition "$asked"
check_true "the extension signalled motion to dovo" grep -q 'member=Moved$' "$monitor"
check_false "never to the whole bus" grep -q 'destination=(null destination).*member=Moved$' "$monitor"
check_false "the stranger heard no motion" grep -q 'Moved' "$stranger"

rc=0; dovo_signal TERM || rc=$?
check_eq "SIGTERM ends dovo cleanly" 0 "$rc"
check_eq "the path (31 moves, a rest, one more) is counted to the twip" \
    "$(path_twips 15 "$x" "$y" <"$path")/0" \
    "$(settings_get totalpixels)/$(settings_get totalmpixels)"
finish
