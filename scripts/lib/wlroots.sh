# shellcheck shell=bash
# shellcheck disable=SC2034 # DESKTOP_DISPLAY is read by the sourcing script, as from desktop.sh
#
# A private, headless wlroots compositor (sway or labwc) with XWayland for
# end-to-end tests, on top of desktop.sh (same temporary folder, process
# tracking, traps and helpers).
#
#   source scripts/lib/wlroots.sh
#   wlroots_start sway|labwc     # exports DISPLAY, WAYLAND_DISPLAY, XDG_CURRENT_DESKTOP
#   wlroots_pointer X Y          # needs WLR_POINTER (tests/e2e/wlr_pointer)
#   dovo_start; ...; dovo_close  # as on the X desktops
#   desktop_stop
#
# Software rendering on wlroots' headless backend, no input devices: the
# pointer is one virtual pointer that lives as long as the desktop, since
# the seat has a pointer only while some device does.

_WLR_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=desktop.sh
source "$_WLR_HERE/desktop.sh"

WLR_WALK_FD=''

_wlr_ready() {
    [[ -s $DESKTOP_DIR/session.env ]] &&
        xprop -root -notype _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id #'
}

# wlroots_start sway|labwc: one 1280x800 output at scale 1 (labwc: 1280x720,
# wlroots' headless default).
wlroots_start() {
    local compositor=$1 tool k v
    if [[ -n $DESKTOP_DIR ]]; then
        _desk_err "wlroots_start: a desktop is already running (call desktop_stop first)"
        return 2
    fi
    for tool in "$compositor" Xwayland xprop xwininfo xdotool wmctrl ${CC:-cc}; do
        command -v "$tool" >/dev/null || { _desk_err "missing tool: $tool"; return 1; }
    done
    _desk_prepare "$compositor" || return 1
    unset DISPLAY XAUTHORITY WAYLAND_DISPLAY SWAYSOCK SESSION_MANAGER \
        QT_QPA_PLATFORM QT_QPA_PLATFORMTHEME QT_FONT_DPI QT_SCALE_FACTOR \
        QT_SCREEN_SCALE_FACTORS QT_AUTO_SCREEN_SCALE_FACTOR QT_ENABLE_HIGHDPI_SCALING \
        QT_STYLE_OVERRIDE

    # The compositor's first client tells where everything is.
    cat >"$DESKTOP_DIR/bin/session" <<EOF
#!/bin/sh
{ echo "DISPLAY=\$DISPLAY"; echo "WAYLAND_DISPLAY=\$WAYLAND_DISPLAY"
  echo "SWAYSOCK=\${SWAYSOCK:-}"; } >"$DESKTOP_DIR/session.tmp"
mv "$DESKTOP_DIR/session.tmp" "$DESKTOP_DIR/session.env"
EOF
    chmod +x "$DESKTOP_DIR/bin/session"
    export WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 WLR_HEADLESS_OUTPUTS=1
    case $compositor in
    sway)
        # Dovo's window floats in the top left corner, out of the path's way.
        cat >"$DESKTOP_DIR/sway.conf" <<EOF
xwayland force
output HEADLESS-1 resolution 1280x800 position 0 0 scale 1
for_window [title="^Dovo - Quen Dorvil\$"] floating enable, move position 0 0
exec $DESKTOP_DIR/bin/session
EOF
        _desk_spawn sway sway -c "$DESKTOP_DIR/sway.conf"
        export XDG_CURRENT_DESKTOP=sway
        ;;
    labwc)
        # New windows where they cover least, which on an empty desktop is
        # the top left corner: Dovo's window out of the path's way.
        mkdir -p "$DESKTOP_DIR/labwc"
        cat >"$DESKTOP_DIR/labwc/rc.xml" <<EOF
<?xml version="1.0"?>
<labwc_config><placement><policy>automatic</policy></placement></labwc_config>
EOF
        _desk_spawn labwc labwc -C "$DESKTOP_DIR/labwc" -s "$DESKTOP_DIR/bin/session"
        export XDG_CURRENT_DESKTOP=labwc:wlroots
        ;;
    *)
        _desk_err "wlroots_start: sway or labwc, not '$compositor'"
        return 2
        ;;
    esac
    if ! wait_until 20 test -s "$DESKTOP_DIR/session.env"; then
        _desk_err "$compositor did not start its session:"
        tail -n 20 "$DESKTOP_DIR/logs/$compositor.err" >&2
        desktop_stop
        return 1
    fi
    while IFS='=' read -r k v; do
        [[ -z $v ]] || export "$k=$v"
    done <"$DESKTOP_DIR/session.env"
    DESKTOP_DISPLAY=$DISPLAY
    export XDG_SESSION_TYPE=wayland
    if ! wait_until 20 _wlr_ready; then
        _desk_err "$compositor's XWayland did not come up:"
        tail -n 20 "$DESKTOP_DIR/logs/$compositor.err" >&2
        desktop_stop
        return 1
    fi
    _wlr_walker_start
}

_wlr_walker_start() {
    mkfifo "$DESKTOP_DIR/walk" || return 1
    "${WLR_POINTER:?path of tests/e2e wlr_pointer}" <"$DESKTOP_DIR/walk" \
        >"$DESKTOP_DIR/logs/walker.out" 2>"$DESKTOP_DIR/logs/walker.err" &
    desktop_track_pid "$!"
    exec {WLR_WALK_FD}>"$DESKTOP_DIR/walk"
    if ! wait_until 5 grep -qx ready "$DESKTOP_DIR/logs/walker.out"; then
        _desk_err "the virtual pointer did not come up:"
        cat "$DESKTOP_DIR/logs/walker.err" >&2
        return 1
    fi
}

_wlr_moves() { grep -c '^at ' "$DESKTOP_DIR/logs/walker.out"; }
_wlr_moves_above() { (($(_wlr_moves) > $1)); }

# wlroots_pointer X Y: put the pointer at logical (X, Y); returns once the
# compositor has it.
wlroots_pointer() {
    local before
    before=$(_wlr_moves)
    echo "$1 $2" >&"$WLR_WALK_FD" || return 1
    wait_until 5 _wlr_moves_above "$before"
}
