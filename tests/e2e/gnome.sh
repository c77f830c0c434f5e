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
# Installed, so no login is wanted: only the command that turns it on.
check_true "and that it is installed but off" grep -q 'extension is installed but off' "$DOVO_STDERR"
check_true "GNOME has no notification area: told by a desktop notification" \
    wait_until 5 grep -q "gnome-extensions enable $GNOME_UUID" "$monitor"
# Away from Dovo's own window, which is all a Wayland client can see.
seeded_path 7 10 100 60 1180 250 | awk -v x=640 -v y=155 '{ print $1 - x, $2 - y; x = $1; y = $2 }' |
    gnome_pointer_moves 100
check_true "dovo runs on, counting nothing, for a second" holds_for 1 _desk_alive "$DOVO_PID"
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
# to jump from; the shell said no, and is not asked again until it changes.
asked_before=$(calls GetPosition)
check_true "while the extension is off, dovo asks nothing for a second" \
    holds_for 1 eval '(($(calls GetPosition) == asked_before))'

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

# --- the notification area of Ubuntu's GNOME: the AppIndicator extension --
# A shell of its own with XWayland, where Dovo keeps its window in a GNOME
# session: xdg-shell never tells a client it was minimised (Qt's Wayland
# window stays "normal"), so only there can minimising hide it. Debian ships
# the extension under Ubuntu's uuid or upstream's, depending on the release.
appindicator_uuid() {
    local dir
    for dir in /usr/share/gnome-shell/extensions/*appindicator*@*; do
        [[ -f $dir/metadata.json ]] && { basename "$dir"; return 0; }
    done
    return 1
}
sni_get() {
    gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
        --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher "$1" 2>/dev/null
}
# The watcher's entries, one a line, as it wrote them.
sni_items() { sni_get RegisteredStatusNotifierItems | grep -o "'[^']*'" | tr -d "'"; }
# item_service, item_path: the first listed item taken apart, in whichever
# form the host wrote it ("service@/path" up to GNOME 48's AppIndicator,
# the bare "service" from GNOME 50's).
item_service() { sni_items | head -n 1 | sed 's/[@/].*//'; }
item_path() {
    local item
    item=$(sni_items | head -n 1)
    [[ $item == */* ]] && echo "/${item#*/}" || echo /StatusNotifierItem
}
# item_call METHOD ARGS...: a call on the first listed item, as the panel
# makes it.
item_call() {
    local service
    service=$(item_service)
    [[ -n $service ]] || return 1
    gdbus call --session --dest "$service" --object-path "$(item_path)" --method "$@"
}
ITEM=org.kde.StatusNotifierItem
item_property() { item_call org.freedesktop.DBus.Properties.Get "$ITEM" "$1"; }
item_owner_pid() {
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.GetConnectionUnixProcessID "$(item_service)" |
        sed 's/.* \([0-9]*\),)$/\1/'
}
# What a user has of the window: in the window list (and so in the dash) or
# not, mapped or not, and its ICCCM state.
window_seen() {
    if window_managed; then printf 'listed '; else printf 'unlisted '; fi
    printf '%s %s\n' "$(window_map_state)" "$(window_wm_state)"
}
hidden() { [[ $(window_seen) == 'unlisted IsUnMapped Withdrawn' ]]; }

rc=0; ai_uuid=$(appindicator_uuid) || rc=$?
check_eq "the AppIndicator extension is installed" 0 "$rc"
desktop_stop
must "headless GNOME Shell with XWayland starts" gnome_start --enable --xwayland
must "the AppIndicator extension turns on" gnome-extensions enable "$ai_uuid"
must "its watcher is on the bus" wait_until 10 sni_get IsStatusNotifierHostRegistered
# As a GNOME session starts it: both displays there, Qt left to choose.
export WAYLAND_DISPLAY=$GNOME_WAYLAND
unset QT_QPA_PLATFORM
must "dovo starts on the shell's XWayland" dovo_start
check_eq "the watcher lists one item, Qt's on its own connection" 1 \
    "$(wait_eq 10 1 eval 'sni_items | grep -cE "^:[0-9.]+(@?/StatusNotifierItem)?$"')"
check_eq "the item is dovo's" "$DOVO_PID" "$(item_owner_pid)"
check_eq "and a host shows it" "(<true>,)" "$(sni_get IsStatusNotifierHostRegistered)"
check_true "its tooltip is the tip" eval 'item_property ToolTip | grep -q "Dovo - QuenDorvil"'
check_true "its icon has the 32 px mouse" eval 'item_property IconPixmap | grep -q "(32, 32, "'
check_eq "no notification-area line" 0 "$(grep -c 'no notification area' "$DOVO_STDERR")"

xdotool windowminimize "$DOVO_WID"
check_eq "minimise hides the window" "unlisted IsUnMapped Withdrawn" \
    "$(wait_eq 5 "unlisted IsUnMapped Withdrawn" window_seen)"
# label | the panel's call
for row in "middle click|SecondaryActivate" "context menu|ContextMenu"; do
    check_true "${row%%|*}: the item answers" item_call "$ITEM.${row#*|}" 0 0
    check_true "${row%%|*}: the window stays hidden" holds_for 1.5 hidden
done
check_true "left click: the item answers" item_call "$ITEM.Activate" 0 0
check_eq "left click: the window is back" "listed IsViewable Normal" \
    "$(wait_eq 5 "listed IsViewable Normal" window_seen)"

# A moment without a host: the minimised window stays in the dash, and the
# panel's left click must still bring it back.
must "the extension turns off" gnome-extensions disable "$ai_uuid"
must "its watcher leaves the bus" wait_until 10 eval '! sni_get ProtocolVersion'
xdotool windowminimize "$DOVO_WID"
check_eq "without a host minimise leaves it iconic, in the dash" "listed IsViewable Iconic" \
    "$(wait_eq 5 "listed IsViewable Iconic" window_seen)"
must "the extension turns on again" gnome-extensions enable "$ai_uuid"
check_eq "dovo's item registers again" 1 "$(wait_eq 10 1 eval 'sni_items | wc -l')"
check_true "left click on the iconic window: the item answers" item_call "$ITEM.Activate" 0 0
check_eq "and the window is back" "listed IsViewable Normal" \
    "$(wait_eq 5 "listed IsViewable Normal" window_seen)"

rc=0; dovo_close || rc=$?
check_eq "close exits 0" 0 "$rc"
check_eq "the item leaves the panel" "" "$(wait_eq 5 "" sni_items)"

# --- at a login: both extensions on before the shell starts ----------------
# Dovo comes up as a session starts it, right after the shell. From GNOME 44
# on, Mutter keeps a new X11 window iconic until mutter-x11-frames has made
# its title bar, and when the shell draws before that, as it often does while
# the session is still starting, Dovo must not take it for a minimise: a
# window hidden then never came on screen.
desktop_stop
must "the shell starts with both extensions on" \
    gnome_start --enable --xwayland --extension "$ai_uuid"
must "its watcher is on the bus" wait_until 10 sni_get IsStatusNotifierHostRegistered
must "dovo starts as a session starts it" gnome_session_dovo_start
check_eq "the panel lists its item" "$DOVO_PID" "$(wait_eq 15 "$DOVO_PID" item_owner_pid)"
check_eq "the window comes on screen" "listed IsViewable Normal" \
    "$(wait_eq 10 "listed IsViewable Normal" window_seen)"
# A path walked, away from the top bar, before the user minimises.
seeded_path 11 30 100 100 1180 700 | awk -v x=640 -v y=400 '{ print $1 - x, $2 - y; x = $1; y = $2 }' |
    gnome_pointer_moves 250
check_eq "after the path the window is still on screen" "listed IsViewable Normal" "$(window_seen)"
xdotool windowminimize "$DOVO_WID"
check_eq "minimise hides it" "unlisted IsUnMapped Withdrawn" \
    "$(wait_eq 5 "unlisted IsUnMapped Withdrawn" window_seen)"
check_true "and it stays hidden" holds_for 1.5 hidden
check_true "left click: the item answers" item_call "$ITEM.Activate" 0 0
check_eq "left click: the window is back" "listed IsViewable Normal" \
    "$(wait_eq 5 "listed IsViewable Normal" window_seen)"
rc=0; dovo_close || rc=$?
check_eq "close exits 0" 0 "$rc"
finish
