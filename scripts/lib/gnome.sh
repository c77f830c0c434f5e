# shellcheck shell=bash
# shellcheck disable=SC2034 # GNOME_* are read by the sourcing script
#
# A private, headless GNOME Shell on Wayland for end-to-end tests of Dovo,
# built on desktop.sh: the same temporary folder, process tracking, checks
# and dovo_signal/settings_get helpers.
#
#   source scripts/lib/gnome.sh
#   gnome_start [--enable] [--xwayland] [--extension UUID]
#                                    # --enable: Dovo's extension enabled;
#                                    # --xwayland: with the shell's XWayland,
#                                    # DISPLAY and XAUTHORITY exported;
#                                    # --extension: another one enabled
#   gnome_dovo_start                 # dovo on that shell, a native Wayland client
#   gnome_session_dovo_start         # dovo as a session starts it, on XWayland
#   gnome_pointer_moves DELAY_MS < "dx dy" lines
#   gnome_pointer_to_corner          # the pointer to (0, 0)
#   gnome_stranger_calls METHOD ...  # the extension asked by another program
#   finish
#
# The shell gets buses of its own: a session bus, and an empty system bus
# where the machine has systemd's seat folder but no system bus (there the
# shell dies at start asking logind for the session). Neither bus starts
# services, so nothing outlives the test. Settings are kept in a key file in
# the temporary folder rather than in dconf, so no settings daemon runs.
# GNOME_POINTER_TOOL names the helper that moves the pointer through
# Mutter's remote desktop interface (tests/e2e/gnome_pointer.cpp), and
# GNOME_EXTENSION the extension's folder as the build made it
# (build/data/gnome-shell/dovo@quendorvil.net).

_GNOME_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=desktop.sh
source "$_GNOME_HERE/desktop.sh"

GNOME_UUID=dovo@quendorvil.net
GNOME_PATH=/net/quendorvil/Dovo/Pointer
GNOME_IFACE=net.quendorvil.Dovo.Pointer
GNOME_WAYLAND=''
GNOME_SHELL_PID=''

_DESK_ENV_VARS+=(DBUS_SYSTEM_BUS_ADDRESS GSETTINGS_BACKEND)

_gnome_ready() {
    _desk_alive "$GNOME_SHELL_PID" || return 2
    test -S "$XDG_RUNTIME_DIR/$GNOME_WAYLAND" || return 1
    # answered once the shell finished starting, extensions included
    gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
        --method org.freedesktop.DBus.Properties.Get org.gnome.Shell.Extensions ShellVersion \
        >/dev/null 2>&1
}

# gnome_start [--enable] [--xwayland] [--extension UUID]: a headless shell
# with one 1280x800 virtual monitor; Dovo's extension is installed for the
# user, and enabled with --enable. --xwayland starts the shell's XWayland as
# a session does. --extension enables an installed extension too, as at a
# login: before the shell starts.
gnome_start() {
    local x11=--no-x11 tool enabled=()
    while (($#)); do
        case $1 in
        --enable) enabled+=("'$GNOME_UUID'") ;;
        --xwayland) x11='' ;;
        --extension)
            [[ -n ${2:-} ]] || { _desk_err "gnome_start: --extension needs a uuid"; return 2; }
            enabled+=("'$2'")
            shift
            ;;
        *) _desk_err "gnome_start: unknown option '$1'"; return 2 ;;
        esac
        shift
    done
    for tool in gnome-shell dbus-daemon gdbus gsettings dbus-monitor; do
        command -v "$tool" >/dev/null || { _desk_err "missing tool: $tool"; return 1; }
    done
    [[ -f ${GNOME_EXTENSION:-}/extension.js ]] ||
        { _desk_err "GNOME_EXTENSION is not the extension's folder: ${GNOME_EXTENSION:-}"; return 1; }
    _desk_prepare gnome || return 1
    export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME
    export GSETTINGS_BACKEND=keyfile
    unset DISPLAY XAUTHORITY SESSION_MANAGER QT_QPA_PLATFORMTHEME QT_FONT_DPI \
        QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_AUTO_SCREEN_SCALE_FACTOR \
        QT_ENABLE_HIGHDPI_SCALING QT_STYLE_OVERRIDE

    session_bus_start || return 1
    if [[ -d /run/systemd/seats && ! -S /run/dbus/system_bus_socket ]]; then
        bus_start system || return 1
        export DBUS_SYSTEM_BUS_ADDRESS=$DESK_BUS_ADDRESS
    fi

    mkdir -p "$XDG_DATA_HOME/gnome-shell/extensions"
    cp -r "$GNOME_EXTENSION" "$XDG_DATA_HOME/gnome-shell/extensions/$GNOME_UUID"
    # No welcome tour and no hot corner. Mutter 43 moves a remote desktop
    # pointer by exactly what was asked whatever the profile; "flat" keeps
    # it so should a later Mutter accelerate that motion.
    gsettings set org.gnome.shell welcome-dialog-last-shown-version '999' &&
        gsettings set org.gnome.desktop.interface enable-hot-corners false &&
        gsettings set org.gnome.desktop.peripherals.mouse accel-profile flat || return 1
    if ((${#enabled[@]})); then
        gsettings set org.gnome.shell enabled-extensions "[$(IFS=,; echo "${enabled[*]}")]" || return 1
    fi

    GNOME_WAYLAND=dovo-wayland-$$
    # shellcheck disable=SC2086 # $x11 is one option or none
    _desk_spawn gnome-shell gnome-shell --headless --wayland $x11 \
        --virtual-monitor 1280x800 --wayland-display "$GNOME_WAYLAND"
    GNOME_SHELL_PID=$_desk_last_pid
    local rc=0
    wait_until 60 _gnome_ready || rc=1
    if ((rc)) || ! _desk_alive "$GNOME_SHELL_PID"; then
        _desk_err "gnome-shell did not come up:"
        tail -n 30 "$DESKTOP_DIR/logs/gnome-shell.err" >&2
        return 1
    fi
    if [[ -z $x11 ]] && ! wait_until 20 _gnome_xwayland_env; then
        _desk_err "gnome-shell started no XWayland"
        return 1
    fi
}

# Mutter picks the display number and the cookie file itself and tells only
# its own children; both are on its XWayland's command line.
_gnome_xwayland_env() {
    local pid args
    for pid in $(pgrep -P "$GNOME_SHELL_PID" -x Xwayland); do
        args=$(tr '\0' ' ' <"/proc/$pid/cmdline") || continue
        [[ $args =~ \ (:[0-9]+)\ .*-auth\ ([^ ]+) ]] || continue
        DISPLAY=${BASH_REMATCH[1]} XAUTHORITY=${BASH_REMATCH[2]} xprop -root _NET_SUPPORTING_WM_CHECK \
            2>/dev/null | grep -q 'window id' || continue
        export DISPLAY=${BASH_REMATCH[1]} XAUTHORITY=${BASH_REMATCH[2]}
        return 0
    done
    return 1
}

# gnome_dovo_start [args...]: dovo as a Wayland client of the shell; returns
# once it said where the pointer comes from.
gnome_dovo_start() {
    _desk_runs=$((_desk_runs + 1))
    DOVO_STDOUT=$DESKTOP_DIR/logs/dovo.$_desk_runs.out
    DOVO_STDERR=$DESKTOP_DIR/logs/dovo.$_desk_runs.err
    WAYLAND_DISPLAY=$GNOME_WAYLAND QT_QPA_PLATFORM=wayland \
        LSAN_OPTIONS=suppressions=$_GNOME_HERE/../../tests/e2e/wayland.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS} \
        "$DOVO" "$@" </dev/null >"$DOVO_STDOUT" 2>"$DOVO_STDERR" &
    DOVO_PID=$!
    desktop_track_pid "$DOVO_PID"
    wait_until 10 grep -q '^dovo: pointer from' "$DOVO_STDERR"
}

# gnome_session_dovo_start [args...]: dovo as a GNOME session starts it,
# both displays there and Qt left to choose (it takes XWayland); returns once
# its window exists, in whatever state, as DOVO_WID. Picked by WM_CLASS:
# from GNOME 44 on, mutter-x11-frames owns a frame window of the same title.
gnome_session_dovo_start() {
    _desk_runs=$((_desk_runs + 1))
    DOVO_STDOUT=$DESKTOP_DIR/logs/dovo.$_desk_runs.out
    DOVO_STDERR=$DESKTOP_DIR/logs/dovo.$_desk_runs.err
    WAYLAND_DISPLAY=$GNOME_WAYLAND QT_QPA_PLATFORM='' \
        "$DOVO" "$@" </dev/null >"$DOVO_STDOUT" 2>"$DOVO_STDERR" &
    DOVO_PID=$!
    DOVO_WID=''
    desktop_track_pid "$DOVO_PID"
    wait_until 10 _gnome_dovo_window
}

_gnome_dovo_window() {
    local w ids=()
    _desk_alive "$DOVO_PID" || return 2
    for w in $(xdotool search --classname '^dovo$' 2>/dev/null); do
        [[ $(xdotool getwindowname "$w" 2>/dev/null) == "$DOVO_TITLE" ]] && ids+=("$w")
    done
    ((${#ids[@]} == 1)) || return 1
    DOVO_WID=$(printf '0x%x' "${ids[0]}")
}

# gnome_stranger_calls METHOD [ARGS...]: the extension's METHOD called by a
# program that is not Dovo; prints the answer or the error.
gnome_stranger_calls() {
    gdbus call --session --dest org.gnome.Shell --object-path "$GNOME_PATH" \
        --method "$GNOME_IFACE.$1" "${@:2}" 2>&1
}

# gnome_pointer_to_corner: the pointer pushed into the top-left corner,
# (0, 0), a start that is known without asking the extension, which tells
# nobody but Dovo.
gnome_pointer_to_corner() {
    echo -10000 -10000 | gnome_pointer_moves 100
}

# gnome_pointer_moves DELAY_MS < "dx dy" lines: relative pointer motion, one
# line every DELAY_MS.
gnome_pointer_moves() {
    "${GNOME_POINTER_TOOL:?set GNOME_POINTER_TOOL}" "$1"
}
