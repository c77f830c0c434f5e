#!/usr/bin/env bash
# shellcheck disable=SC2317 # the state predicates are called through check_true/wait_until
# shellcheck disable=SC2119 # optional arguments of the desktop.sh helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo tests/e2e/selftest.sh
#
# Drives dovo's window and tray icon through openbox and tint2 the way a
# person would, on private desktops from desktop.sh.  It also proves the
# library: every desktop.sh helper that other e2e tests lean on is used here
# against real window-manager behaviour, so a helper that silently stops
# seeing the tray or the window turns this red rather than making other
# tests pass for the wrong reason.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/desktop.sh
source "$here/../../scripts/lib/desktop.sh"

require_dovo || exit 2

started=$EPOCHREALTIME

# The third state a user can see the window in, beside shown_normal and
# iconified from the desktop library.
withdrawn_to_tray() {
    [[ $(window_map_state) == IsUnMapped ]] && ! window_managed &&
        [[ $(window_wm_state) == "" || $(window_wm_state) == Withdrawn ]]
}

# How long a "nothing happens" check watches.  Dovo reacts to a click within
# one event-loop turn; a second and a half is ample without slowing the run.
QUIET=1.5

# ------------------------------------------------------------ with a tray
echo "# desktop with openbox and tint2"
must "desktop with a tray starts" desktop_start
dir=$DESKTOP_DIR
check_true "XDG_RUNTIME_DIR is private (700)" test "$(stat -c %a "$XDG_RUNTIME_DIR")" = 700
check_true "config folder is inside the temporary folder" test "${XDG_CONFIG_HOME#"$dir"/}" != "$XDG_CONFIG_HOME"
check_true "HOME is inside the temporary folder" test "${HOME#"$dir"/}" != "$HOME"
check_true "tray selection is owned" tray_available
check_eq "no icon docked before dovo starts" 0 "$(tray_icon_count)"

must "dovo shows its window" dovo_start
check_true "window starts in normal state" shown_normal
check_eq "one icon docked while dovo runs" 1 "$(wait_eq 5 1 tray_icon_count)"
check_true "the docked icon is dovo's" tray_icon_dovo

shot=$DESKTOP_DIR/shot.png
screenshot "$shot"
check_eq "screenshot covers the screen" "PNG 1280x800" "$(identify -format '%m %wx%h' "$shot" 2>/dev/null)"

xdotool windowminimize "$DOVO_WID"
check_true "minimise withdraws the window to the tray" wait_until 5 withdrawn_to_tray
check_eq "icon stays docked while the window is hidden" 1 "$(tray_icon_count)"

tray_icon_click 3
check_true "right click on the icon leaves the window hidden" holds_for "$QUIET" withdrawn_to_tray

tray_icon_click 1
check_true "left click on the icon shows the window again" wait_until 5 window_mapped
check_true "restored window is in normal state" wait_until 5 shown_normal
check_false "restored window is not flagged hidden" has_state _NET_WM_STATE_HIDDEN

# The panel goes away while the window hides in its tray: nothing could
# bring the window back, so it comes back by itself; until a tray returns,
# minimising leaves it in reach.
xdotool windowminimize "$DOVO_WID"
check_true "minimise withdraws it before the panel ends" wait_until 5 withdrawn_to_tray
must "tint2 ends, and its tray with it" panel_stop
check_true "the hidden window is shown again when the tray goes" wait_until 5 shown_normal
xdotool windowminimize "$DOVO_WID"
check_true "without the tray, minimise iconifies the window" wait_until 5 iconified
check_true "and leaves it iconified, not withdrawn" holds_for "$QUIET" iconified
wmctrl -i -a "$DOVO_WID"
check_true "activating it brings it back" wait_until 5 shown_normal
must "tint2 starts again" panel_start
check_eq "the icon docks in the new tray" 1 "$(wait_eq 5 1 tray_icon_count)"
xdotool windowminimize "$DOVO_WID"
check_true "with a tray again, minimise withdraws the window" wait_until 5 withdrawn_to_tray
tray_icon_click 1
check_true "and a left click on the new icon shows it" wait_until 5 shown_normal

rc=0
dovo_close || rc=$?
check_eq "closing the shown window exits 0" 0 "$rc"
check_eq "shown window was closed through the window manager" wm "$DOVO_CLOSE_PATH"
check_eq "icon leaves the tray after exit" 0 "$(wait_eq 5 0 tray_icon_count)"

# Closing while withdrawn needs the direct WM_DELETE_WINDOW path.
must "dovo starts a second time" dovo_start
check_eq "icon docked again" 1 "$(wait_eq 5 1 tray_icon_count)"
xdotool windowminimize "$DOVO_WID"
check_true "minimise withdraws it again" wait_until 5 withdrawn_to_tray
rc=0
dovo_close || rc=$?
check_eq "closing the hidden window exits 0" 0 "$rc"
check_eq "hidden window was closed directly" direct "$DOVO_CLOSE_PATH"
check_eq "icon leaves the tray after exit from hidden" 0 "$(wait_eq 5 0 tray_icon_count)"

must "dovo starts a third time" dovo_start
check_eq "icon docked for the SIGTERM run" 1 "$(wait_eq 5 1 tray_icon_count)"
rc=0
dovo_signal TERM || rc=$?
check_eq "SIGTERM exits 0" 0 "$rc"
check_eq "icon leaves the tray after SIGTERM" 0 "$(wait_eq 5 0 tray_icon_count)"

pids=("${_desk_pids[@]}")
desktop_stop
check_false "temporary folder is removed" test -e "$dir"
gone=1
for p in "${pids[@]}"; do [[ -d /proc/$p ]] && gone=0; done
check_eq "every process of the desktop is stopped" 1 "$gone"

# ------------------------------------------------------------ without a tray
echo "# desktop with openbox only, Xft.dpi 144"
must "desktop without a tray starts" desktop_start --no-panel --dpi 144
check_eq "Xft.dpi is loaded" "Xft.dpi:	144" "$(xrdb -query | grep '^Xft.dpi:')"
check_false "no tray selection owner" tray_available

must "dovo shows its window without a tray" dovo_start
check_true "window starts in normal state" shown_normal
check_eq "nothing docked" 0 "$(tray_icon_count)"

xdotool windowminimize "$DOVO_WID"
check_true "minimise iconifies the window" wait_until 5 iconified
check_true "without a tray it stays minimised, not withdrawn" holds_for "$QUIET" iconified

wmctrl -i -a "$DOVO_WID"
check_true "activating it brings it back in normal state" wait_until 5 shown_normal

rc=0
dovo_close || rc=$?
check_eq "closing exits 0" 0 "$rc"
check_eq "closed through the window manager" wm "$DOVO_CLOSE_PATH"

must "dovo starts again without a tray" dovo_start
xdotool windowminimize "$DOVO_WID"
check_true "minimise iconifies it again" wait_until 5 iconified
rc=0
dovo_close || rc=$?
check_eq "closing the minimised window exits 0" 0 "$rc"
check_eq "minimised window is still closed through the window manager" wm "$DOVO_CLOSE_PATH"

desktop_stop
echo "# took $(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }') s"
finish
