# shellcheck shell=bash
# shellcheck disable=SC2034 # DESKTOP_DISPLAY is read by the sourcing script, as from desktop.sh
#
# A private, headless KDE Plasma compositor for end-to-end tests: KWin on
# Wayland with XWayland, under its own session bus, on top of desktop.sh
# (same temporary folder, process tracking, traps and helpers).
#
#   source scripts/lib/kwin.sh
#   kwin_start [--scale S]          # exports DISPLAY, WAYLAND_DISPLAY, the bus
#   kwin_pointer X Y                # needs KWIN_POINTER (tests/e2e/kwin_pointer)
#   dovo_start; ...; dovo_close     # as on the X desktops
#   desktop_stop
#
# Facts this relies on: Debian gives /usr/bin/kwin_wayland the file
# capability cap_sys_resource, which a container refuses ("Operation not
# permitted"), so a plain copy is run; KWIN_COMPOSE=Q renders in software;
# KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 offers the fake-input protocol to the
# test's own client.

_KWIN_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=desktop.sh
source "$_KWIN_HERE/desktop.sh"

KWIN_SOCKET=kwin-dovo
KWIN_PLUGIN=net.quendorvil.Dovo.pointer

_kwin_bus_has() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

_kwin_ready() {
    [[ -S $XDG_RUNTIME_DIR/$KWIN_SOCKET ]] && _kwin_bus_has org.kde.KWin &&
        xprop -root -notype _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id #'
}

# kwin_start [--scale S]: a 1280x800 virtual output, at scale S (default 1).
kwin_start() {
    local scale=1 tool k v
    while (($#)); do
        case $1 in
        --scale) scale=${2:-}; shift ;;
        *) _desk_err "kwin_start: unknown option '$1'"; return 2 ;;
        esac
        shift
    done
    if [[ -n $DESKTOP_DIR ]]; then
        _desk_err "kwin_start: a desktop is already running (call desktop_stop first)"
        return 2
    fi
    for tool in kwin_wayland Xwayland dbus-run-session dbus-send xprop xwininfo xdotool wmctrl ${CC:-cc}; do
        command -v "$tool" >/dev/null || { _desk_err "missing tool: $tool"; return 1; }
    done

    _desk_prepare kwin || return 1
    cp "$(command -v kwin_wayland)" "$DESKTOP_DIR/bin/kwin_wayland"

    unset DISPLAY XAUTHORITY DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY SESSION_MANAGER \
        QT_QPA_PLATFORM QT_QPA_PLATFORMTHEME QT_FONT_DPI QT_SCALE_FACTOR \
        QT_SCREEN_SCALE_FACTORS QT_AUTO_SCREEN_SCALE_FACTOR QT_ENABLE_HIGHDPI_SCALING \
        QT_STYLE_OVERRIDE

    # KWin swallows its session program's output; the session only tells
    # where everything is, then waits to be stopped (which ends KWin).
    cat >"$DESKTOP_DIR/bin/session" <<EOF
#!/bin/sh
{ echo "DISPLAY=\$DISPLAY"; echo "XAUTHORITY=\${XAUTHORITY:-}"
  echo "DBUS_SESSION_BUS_ADDRESS=\$DBUS_SESSION_BUS_ADDRESS"
  echo "KWIN_PID=\$PPID"; echo "SESSION_PID=\$\$"; } >"$DESKTOP_DIR/session.tmp"
mv "$DESKTOP_DIR/session.tmp" "$DESKTOP_DIR/session.env"
exec sleep 3600
EOF
    chmod +x "$DESKTOP_DIR/bin/session"
    KWIN_COMPOSE=Q KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 _desk_spawn kwin \
        dbus-run-session -- "$DESKTOP_DIR/bin/kwin_wayland" --virtual --width 1280 --height 800 \
        --scale "$scale" --socket "$KWIN_SOCKET" --no-lockscreen --no-global-shortcuts \
        --no-kactivities --xwayland --exit-with-session "$DESKTOP_DIR/bin/session"
    if ! wait_until 20 test -s "$DESKTOP_DIR/session.env"; then
        _desk_err "KWin did not start its session:"
        tail -n 20 "$DESKTOP_DIR/logs/kwin.err" >&2
        desktop_stop
        return 1
    fi
    while IFS='=' read -r k v; do
        case $k in
        DISPLAY | DBUS_SESSION_BUS_ADDRESS) export "$k=$v" ;;
        XAUTHORITY) [[ -z $v ]] || export "XAUTHORITY=$v" ;;
        # stopped before dbus-run-session (newest first): the session
        # ends KWin, KWin ends XWayland
        KWIN_PID | SESSION_PID) desktop_track_pid "$v" ;;
        esac
    done <"$DESKTOP_DIR/session.env"
    DESKTOP_DISPLAY=$DISPLAY
    export WAYLAND_DISPLAY=$KWIN_SOCKET XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=KDE
    if ! wait_until 20 _kwin_ready; then
        _desk_err "KWin or its XWayland did not come up:"
        tail -n 20 "$DESKTOP_DIR/logs/kwin.err" >&2
        desktop_stop
        return 1
    fi
    # KWin 6 sizes the virtual output by --scale but gives it the scale its
    # output settings choose for a new screen, 1; kscreen-doctor sets it the
    # way System Settings would.
    if [[ $(kwin_scale) != "$scale" ]]; then
        kscreen-doctor "output.$(kwin_output).scale.$scale" >/dev/null 2>&1
        if ! wait_until 5 _kwin_scale_is "$scale"; then
            _desk_err "KWin's output did not take scale $scale"
            desktop_stop
            return 1
        fi
    fi
}

# kwin_output, kwin_scale: the name and scale of KWin's (only) output.
_kwin_support() {
    dbus-send --session --print-reply --dest=org.kde.KWin /KWin org.kde.KWin.supportInformation
}
kwin_output() { _kwin_support | awk '$1 == "Name:" && $2 != "KWin::VirtualBackend" { print $2; exit }'; }
kwin_scale() { _kwin_support | awk '$1 == "Scale:" { print $2; exit }'; }
# kwin_size: "width height" of KWin's output in logical pixels.
kwin_size() {
    _kwin_support | awk '$1 == "Geometry:" { split($2, g, "[,x]"); print g[3], g[4]; exit }'
}
_kwin_scale_is() { [[ $(kwin_scale) == "$1" ]]; }

# kwin_pointer X Y: put the pointer at logical (X, Y); returns once KWin has it.
kwin_pointer() {
    timeout 5 "${KWIN_POINTER:?path of tests/e2e kwin_pointer}" "$@"
}

# kwin_scripting METHOD [ARGS...]: call KWin's scripting object, print the
# answer's value ("true", "false", a number).
kwin_scripting() {
    local method=$1
    shift
    dbus-send --session --print-reply --dest=org.kde.KWin /Scripting \
        "org.kde.kwin.Scripting.$method" "$@" 2>/dev/null | awk 'NR > 1 { print $NF }'
}

# kwin_script_loaded: Dovo's KWin script is loaded ("true" or "false").
kwin_script_loaded() { kwin_scripting isScriptLoaded "string:$KWIN_PLUGIN"; }
