#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through check_true/wait_until/holds_for
# shellcheck disable=SC2119 # optional arguments of the desktop.sh helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo SNI_STANDIN=/path/to/sni_standin tests/e2e/status_notifier.sh
#
# Dovo on a desktop whose panel speaks StatusNotifierItem over the session
# bus (KDE Plasma, GNOME with AppIndicator, Xfce, Cinnamon...).  A stand-in
# watcher plays the panel: Dovo's item registers with the tip and the mouse
# icon; the panel's left click brings the window back, its middle click and
# context menu do nothing; the window hides on minimising only while a
# panel shows the item, and the item comes back with a restarted watcher.
# On the same bus Dovo owns net.quendorvil.Dovo and answers
# org.freedesktop.Application.Activate as a launcher calls it.
# The stand-in lists items as Plasma's watcher does ("service/path"). Plasma's
# own is a kded module of plasma-workspace, which on Debian 12 brings 224
# packages (systemd among them) and still shows no host without plasmashell;
# GNOME's AppIndicator extension, the real host tested, is in gnome.sh.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/desktop.sh
source "$here/../../scripts/lib/desktop.sh"

require_dovo || exit 2
if [[ -z ${SNI_STANDIN:-} || ! -x $SNI_STANDIN ]]; then
    echo "${0##*/}: set SNI_STANDIN to the sni_standin helper" >&2
    exit 2
fi
ICON=$here/../../data/net.quendorvil.Dovo-32.png
QUIET=1.5

withdrawn_to_tray() { ! window_managed && [[ $(window_map_state) == IsUnMapped ]]; }

# host METHOD [ARG...]: ask the stand-in panel; prints its answer, and
# fails when there was none (it has not taken the watcher's name yet).
host() {
    local method=$1 answer rc=0
    shift
    answer=$(timeout 10 dbus-send --session --print-reply=literal --dest=org.kde.StatusNotifierWatcher \
        /Host "net.quendorvil.Dovo.TestHost.$method" "$@" 2>&1) || rc=$?
    sed 's/^ *//' <<<"$answer"
    return "$rc"
}
item_count() { local i; i=$(host Items); if [[ -z $i ]]; then echo 0; else wc -w <<<"$i"; fi; }
# Dovo asks the panel's watcher whenever it signals a change, and a minimise
# is judged by the last answer: wait for one given since the last change.
# The answer is on Dovo's bus connection before the minimise is on its way.
dovo_knows() { [[ $(host Current) == *true ]]; }
minimise() { wait_until 5 dovo_knows && xdotool windowminimize "$DOVO_WID"; }

standin_start() {
    "$SNI_STANDIN" "${@:2}" </dev/null >"$DESKTOP_DIR/logs/standin.$1.out" 2>"$DESKTOP_DIR/logs/standin.$1.err" &
    STANDIN_PID=$!
    desktop_track_pid "$STANDIN_PID"
    wait_until 10 host Items
}

name_owner_pid() {
    dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.GetConnectionUnixProcessID string:net.quendorvil.Dovo 2>/dev/null |
        awk '{ print $NF }'
}

# dovo's own mapped windows other than its main one: a menu or a balloon
dovo_popups() {
    local w pid
    for w in $(xwininfo -root -children 2>/dev/null | awk '/^ +0x[0-9a-f]+ / { print $1 }'); do
        ((w == DOVO_WID)) && continue
        window_mapped "$w" || continue
        pid=$(xprop -id "$w" -notype _NET_WM_PID 2>/dev/null) || continue
        [[ ${pid##* } == "$DOVO_PID" ]] && printf '%s\n' "$w"
    done
}
hidden_quietly() { withdrawn_to_tray && [[ -z $(dovo_popups) ]]; }

must "desktop without an XEmbed tray starts" desktop_start --no-panel
must "private session bus starts" session_bus_start
must "stand-in panel starts" standin_start 1

must "dovo starts" dovo_start
check_eq "its item registers with the watcher" 1 "$(wait_eq 5 1 item_count)"
check_eq "the item's tooltip is the tip" "Dovo - QuenDorvil" "$(host ToolTip)"
check_eq "the item's icon is the 32 px mouse" "32x32 0 differing" "$(host Icon "string:$ICON")"
check_eq "no notification-area line: the panel is there" 0 "$(grep -c 'no notification area' "$DOVO_STDERR")"
check_eq "dovo owns net.quendorvil.Dovo" "$DOVO_PID" "$(name_owner_pid)"

minimise
check_true "minimise hides the window into the panel" wait_until 5 withdrawn_to_tray
# label | the panel's call
for row in "middle click|SecondaryActivate" "context menu|ContextMenu"; do
    check_eq "${row%%|*}: the item answers" ok "$(host Click "string:${row#*|}")"
    check_true "${row%%|*}: the window stays hidden and no menu shows" holds_for "$QUIET" hidden_quietly
done
check_eq "left click: the item answers" ok "$(host Click string:Activate)"
check_true "left click: the window is back in normal state" wait_until 5 shown_normal

echo "# the watcher without a host"
host SetHost boolean:false >/dev/null
minimise
check_true "without a host minimise leaves it in the taskbar" wait_until 5 iconified
check_true "and it stays there" holds_for "$QUIET" iconified
host SetHost boolean:true >/dev/null
wmctrl -i -a "$DOVO_WID"
must "activated from the taskbar" wait_until 5 shown_normal
minimise
check_true "with the host back minimise hides it again" wait_until 5 withdrawn_to_tray

echo "# the watcher goes away and comes back"
kill -TERM "$STANDIN_PID"
check_true "with the panel gone the hidden window is shown again" wait_until 5 shown_normal
xdotool windowminimize "$DOVO_WID"
check_true "and minimising leaves it in the taskbar" wait_until 5 iconified
must "stand-in panel starts again" standin_start 2
check_eq "the item registers again" 1 "$(wait_eq 5 1 item_count)"
check_eq "left click on the new panel's item answers" ok "$(host Click string:Activate)"
check_true "and restores the minimised window" wait_until 5 shown_normal
minimise
check_true "minimise hides it into the new panel" wait_until 5 withdrawn_to_tray

echo "# a launcher's Activate on the bus"
check_true "Activate with a startup id and a token is answered" timeout 10 gdbus call --session \
    --dest net.quendorvil.Dovo --object-path /net/quendorvil/Dovo \
    --method org.freedesktop.Application.Activate \
    "{'desktop-startup-id': <'dovo-test_TIME0'>, 'activation-token': <'dovo-test-token'>}"
check_true "and restores the window" wait_until 5 shown_normal

rc=0
dovo_close || rc=$?
check_eq "close exits 0" 0 "$rc"
check_eq "the item leaves the panel" 0 "$(wait_eq 5 0 item_count)"
check_eq "the name is released" "" "$(wait_eq 5 "" name_owner_pid)"

echo "# a copy killed with SIGKILL"
must "dovo starts" dovo_start
kill -KILL "$DOVO_PID"
wait_until 5 _desk_dovo_gone
must "the next start shows its window" dovo_start
check_eq "and owns the name" "$DOVO_PID" "$(wait_eq 5 "$DOVO_PID" name_owner_pid)"
rc=0
dovo_close || rc=$?
check_eq "close exits 0" 0 "$rc"

desktop_stop
finish
