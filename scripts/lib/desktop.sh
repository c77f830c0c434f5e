# shellcheck shell=bash
# shellcheck disable=SC2034 # DOVO_* and DESKTOP_* are read by the sourcing script
#
# A private, throw-away X desktop for end-to-end tests of Dovo.
#
#   source scripts/lib/desktop.sh
#   desktop_start [--no-panel] [--dpi N]
#   dovo_start                       # needs DOVO=/absolute/path/to/dovo
#   pointer_move_rested 500 300      # Dovo counted the move and rests
#   check_eq "tray icon docked" 1 "$(tray_icon_count)"
#   rc=0; dovo_close || rc=$?
#   check_eq "close exits 0" 0 "$rc"
#   finish                           # prints "N passed, M failed"
#
# Everything lives in one temporary folder: the Xvfb auth cookie, HOME and
# the XDG folders (so Dovo.conf written by a test can never be the user's),
# every log.  desktop_start owns the EXIT, INT, TERM and HUP traps so that
# whatever happens (failed check, set -e abort, Ctrl-C, kill) the processes
# it started are stopped and the folder is removed.  A test that needs its
# own clean-up can define desktop_on_cleanup; it runs first.
#
# DESKTOP_KEEP=1 keeps the temporary folder (logs, Dovo.conf) for debugging
# and prints where it is.
#
# Functions return non-zero on failure; they never exit the shell, except
# finish and the traps.  Under `set -e`, capture a status with
# `rc=0; dovo_close || rc=$?`.

DOVO_TITLE='Dovo - Quen Dorvil'

_DESK_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

DESKTOP_DIR=''
DESKTOP_DISPLAY=''
DOVO_PID=''
DOVO_WID=''
DOVO_STDOUT=''
DOVO_STDERR=''
DOVO_CLOSE_PATH=''

_desk_pass=${_desk_pass:-0}
_desk_fail=${_desk_fail:-0}
_desk_pids=()
declare -A _desk_birth=()
declare -A _desk_env_val=()
declare -A _desk_env_had=()
_desk_env_saved=0
_desk_stopping=0
_desk_runs=0
_desk_probe=''
_desk_queries=''
_desk_mark=0

# Variables the desktop overrides.  They are restored by desktop_stop so a
# script can run several desktops one after another.
_DESK_ENV_VARS=(DISPLAY XAUTHORITY HOME XDG_CONFIG_HOME XDG_RUNTIME_DIR
    XDG_CACHE_HOME XDG_DATA_HOME XDG_STATE_HOME XDG_SESSION_TYPE
    QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY SESSION_MANAGER
    XDG_CURRENT_DESKTOP QT_QPA_PLATFORMTHEME QT_FONT_DPI QT_SCALE_FACTOR
    QT_SCREEN_SCALE_FACTORS QT_AUTO_SCREEN_SCALE_FACTOR
    QT_ENABLE_HIGHDPI_SCALING QT_STYLE_OVERRIDE)

_desk_err() { printf 'desktop.sh: %s\n' "$*" >&2; }

_desk_now_ms() {
    local t=${EPOCHREALTIME/[.,]/}
    printf '%s\n' "$((t / 1000))"
}

_desk_ms() { awk -v s="$1" 'BEGIN { printf "%d\n", s * 1000 }'; }

# ---------------------------------------------------------------- processes

# Start time of a process in clock ticks since boot, or nothing.  Recorded at
# spawn so that a PID recycled after our child died is never signalled.
_desk_starttime() {
    local s
    { read -r s <"/proc/$1/stat"; } 2>/dev/null || return 1
    local -a f
    # after the command name: state is field 0, starttime is field 19
    read -ra f <<<"${s##*) }"
    printf '%s\n' "${f[19]}"
}

_desk_alive() {
    local pid=$1 s
    [[ -n $pid ]] || return 1
    { read -r s <"/proc/$pid/stat"; } 2>/dev/null || return 1
    s=${s##*) }
    [[ ${s%% *} != Z ]] || return 1
    [[ -z ${_desk_birth[$pid]:-} || $(_desk_starttime "$pid") == "${_desk_birth[$pid]}" ]]
}

# Run a command in the background, logging to $DESKTOP_DIR/logs/NAME.{out,err}.
# Not usable inside $(...): the process must be a child of this shell so
# that `wait` can reap it and report its status.
_desk_spawn() {
    local name=$1
    shift
    "$@" </dev/null >"$DESKTOP_DIR/logs/$name.out" 2>"$DESKTOP_DIR/logs/$name.err" &
    _desk_last_pid=$!
    desktop_track_pid "$_desk_last_pid"
}

# desktop_track_pid PID: stop PID (a child of this shell) with the desktop.
desktop_track_pid() {
    local pid=$1 birth
    birth=$(_desk_starttime "$pid") || birth=''
    _desk_birth[$pid]=$birth
    _desk_pids+=("$pid")
}

_desk_stop_pid() {
    local pid=$1 deadline
    if _desk_alive "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        deadline=$(($(_desk_now_ms) + 5000))
        while _desk_alive "$pid" && (($(_desk_now_ms) < deadline)); do sleep 0.05; done
        if _desk_alive "$pid"; then
            _desk_err "pid $pid ignored SIGTERM, killing it"
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    wait "$pid" 2>/dev/null || true
    return 0
}

# ------------------------------------------------------------------- helpers

# wait_until TIMEOUT_SECONDS command...: poll until command succeeds.
wait_until() {
    local timeout=$1 deadline
    shift
    deadline=$(($(_desk_now_ms) + $(_desk_ms "$timeout")))
    while :; do
        "$@" >/dev/null && return 0
        (($(_desk_now_ms) < deadline)) || return 1
        sleep 0.05
    done
}

# wait_eq TIMEOUT_SECONDS EXPECTED command...: poll until the command prints
# EXPECTED; prints the last output either way so a check can report it.
wait_eq() {
    local timeout=$1 expected=$2 deadline out
    shift 2
    deadline=$(($(_desk_now_ms) + $(_desk_ms "$timeout")))
    while :; do
        out=$("$@")
        [[ $out == "$expected" ]] && break
        (($(_desk_now_ms) < deadline)) || break
        sleep 0.05
    done
    printf '%s\n' "$out"
    [[ $out == "$expected" ]]
}

# holds_for SECONDS command...: the command succeeds at every poll for the
# whole period.  This is how "nothing happens" gets asserted: a single
# sample right after an action would pass before the program had reacted.
holds_for() {
    local secs=$1 deadline
    shift
    deadline=$(($(_desk_now_ms) + $(_desk_ms "$secs")))
    while :; do
        "$@" >/dev/null || return 1
        (($(_desk_now_ms) < deadline)) || return 0
        sleep 0.05
    done
}

# ------------------------------------------------------------------ desktop

_desk_save_env() {
    local v
    ((_desk_env_saved)) && return 0
    for v in "${_DESK_ENV_VARS[@]}"; do
        if [[ -v $v ]]; then
            _desk_env_had[$v]=1
            _desk_env_val[$v]=${!v}
        else
            _desk_env_had[$v]=0
        fi
    done
    _desk_env_saved=1
}

_desk_restore_env() {
    local v
    ((_desk_env_saved)) || return 0
    for v in "${_DESK_ENV_VARS[@]}"; do
        if ((_desk_env_had[$v])); then
            export "$v=${_desk_env_val[$v]}"
        else
            unset "$v"
        fi
    done
    _desk_env_saved=0
}

_desk_on_exit() {
    local rc=$?
    desktop_stop
    exit "$rc"
}

_desk_on_signal() {
    trap - "$1"
    _desk_err "caught SIG$1, tearing the desktop down"
    exit "$2"
}

_desk_write_tint2rc() {
    # Only a taskbar (T) and the tray (S): a clock or battery applet would
    # change the panel layout over time.  Tooltips are off because a tint2
    # tooltip window popping up over the tray would steal clicks.
    cat >"$1" <<'EOF'
rounded = 0
border_width = 0
background_color = #303030 100
border_color = #000000 0
panel_items = TS
panel_monitor = all
panel_position = bottom center horizontal
panel_size = 100% 32
panel_margin = 0 0
panel_padding = 2 2 2
panel_background_id = 1
panel_dock = 0
panel_layer = top
wm_menu = 0
strut_policy = follow_size
autohide = 0
disable_transparency = 1
taskbar_mode = single_desktop
taskbar_padding = 2 2 2
taskbar_background_id = 0
task_text = 1
task_icon = 1
task_centered = 0
task_maximum_size = 200 28
task_padding = 4 2 4
task_tooltip = 0
task_font_color = #ffffff 100
systray_padding = 4 2 4
systray_background_id = 0
systray_sort = ascending
systray_icon_size = 24
systray_icon_asb = 100 0 0
systray_monitor = 1
EOF
}

_desk_wm_ready() {
    local check
    _desk_alive "$_desk_wm_pid" || return 1
    "$_desk_probe" owner WM_S0 >/dev/null || return 1
    # openbox publishes this after it redirected the root window, so any
    # window mapped from now on is managed rather than left undecorated
    check=$(xprop -root -notype _NET_SUPPORTING_WM_CHECK 2>/dev/null) || return 1
    [[ $check == *'window id #'* ]] || return 1
    xprop -id "${check##* }" -notype _NET_WM_NAME 2>/dev/null | grep -q '"Openbox"'
}

_desk_panel_ready() {
    _desk_alive "$_desk_panel_pid" || return 1
    tray_available || return 1
    [[ -n $(_desk_panel_windows) ]]
}

# _desk_prepare KIND: the temporary folder, the traps that tear everything
# down, the saved environment and x11probe; the first steps of every kind of
# desktop (this X one, and the compositors' in kwin.sh and gnome.sh).
_desk_prepare() {
    trap _desk_on_exit EXIT
    trap '_desk_on_signal INT 130' INT
    trap '_desk_on_signal TERM 143' TERM
    trap '_desk_on_signal HUP 129' HUP

    DESKTOP_DIR=$(mktemp -d "${TMPDIR:-/tmp}/dovo-$1.XXXXXXXX") || { DESKTOP_DIR=''; return 1; }
    _desk_runs=0 _desk_panels=0
    mkdir -p "$DESKTOP_DIR"/{logs,bin,home,config,cache,data,state}
    mkdir -m 700 "$DESKTOP_DIR/runtime"
    _desk_save_env
    export HOME=$DESKTOP_DIR/home
    export XDG_CONFIG_HOME=$DESKTOP_DIR/config
    export XDG_RUNTIME_DIR=$DESKTOP_DIR/runtime
    export XDG_CACHE_HOME=$DESKTOP_DIR/cache
    export XDG_DATA_HOME=$DESKTOP_DIR/data
    export XDG_STATE_HOME=$DESKTOP_DIR/state

    _desk_probe=$DESKTOP_DIR/bin/x11probe
    if ! "${CC:-cc}" -O1 -o "$_desk_probe" "$_DESK_HERE/x11probe.c" -lXtst -lX11 2>"$DESKTOP_DIR/logs/x11probe-build.err"; then
        _desk_err "cannot build x11probe (needs libx11-dev and libxtst-dev):"
        cat "$DESKTOP_DIR/logs/x11probe-build.err" >&2
        desktop_stop
        return 1
    fi
}

# desktop_start [--no-panel] [--dpi N]
desktop_start() {
    local panel=1 dpi='' cookie n deadline
    while (($#)); do
        case $1 in
        --no-panel) panel=0 ;;
        --dpi) dpi=${2:-}; shift ;;
        --dpi=*) dpi=${1#*=} ;;
        *) _desk_err "desktop_start: unknown option '$1'"; return 2 ;;
        esac
        shift
    done
    if [[ -n $dpi && ! $dpi =~ ^[1-9][0-9]*$ ]]; then
        _desk_err "desktop_start: --dpi needs a positive integer, got '$dpi'"
        return 2
    fi
    if [[ -n $DESKTOP_DIR ]]; then
        _desk_err "desktop_start: a desktop is already running (call desktop_stop first)"
        return 2
    fi
    local tool
    for tool in Xvfb xauth xprop xwininfo xdotool wmctrl openbox ${CC:-cc}; do
        command -v "$tool" >/dev/null || { _desk_err "missing tool: $tool"; return 1; }
    done
    ((panel)) && { command -v tint2 >/dev/null || { _desk_err "missing tool: tint2"; return 1; }; }

    _desk_prepare e2e || return 1

    # The server loads every cookie in its -auth file whatever display number
    # it is filed under; the client entry is added once the number is known.
    cookie=$(mcookie 2>/dev/null) || cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
    export XAUTHORITY=$DESKTOP_DIR/Xauthority
    : >"$XAUTHORITY"
    xauth -q -f "$XAUTHORITY" add :0 MIT-MAGIC-COOKIE-1 "$cookie"

    # -displayfd lets the server pick a free display and report it only once
    # it accepts connections, so parallel runs never race for a number.
    # -dpi 96 fixes the physical size Xvfb reports (its default is 100).
    : >"$DESKTOP_DIR/displayfd"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -dpi 96 -nolisten tcp -noreset \
        -auth "$XAUTHORITY" 3>"$DESKTOP_DIR/displayfd" \
        </dev/null >"$DESKTOP_DIR/logs/xvfb.out" 2>"$DESKTOP_DIR/logs/xvfb.err" &
    _desk_xvfb_pid=$!
    desktop_track_pid "$_desk_xvfb_pid"
    deadline=$(($(_desk_now_ms) + 15000))
    n=''
    while :; do
        # read fails until the number is complete, newline included
        if read -r n <"$DESKTOP_DIR/displayfd" && [[ $n =~ ^[0-9]+$ ]]; then
            break
        fi
        if ! _desk_alive "$_desk_xvfb_pid" || (($(_desk_now_ms) >= deadline)); then
            _desk_err "Xvfb did not come up:"
            tail -n 20 "$DESKTOP_DIR/logs/xvfb.err" >&2
            desktop_stop
            return 1
        fi
        sleep 0.02
    done
    DESKTOP_DISPLAY=:$n
    xauth -q -f "$XAUTHORITY" add "$DESKTOP_DISPLAY" MIT-MAGIC-COOKIE-1 "$cookie"

    export DISPLAY=$DESKTOP_DISPLAY
    export XDG_SESSION_TYPE=x11

    # Before any client connects, so that every pointer question is heard.
    _desk_spawn queries "$_desk_probe" queries
    if ! wait_until 10 grep -qx recording "$DESKTOP_DIR/logs/queries.out"; then
        _desk_err "x11probe cannot hear the X server's pointer replies:"
        tail -n 20 "$DESKTOP_DIR/logs/queries.err" >&2
        desktop_stop
        return 1
    fi
    _desk_queries=$DESKTOP_DIR/logs/queries.out

    export QT_QPA_PLATFORM=xcb
    # Without a session bus Qt cannot use the StatusNotifier tray and falls
    # back to XEmbed, the only kind tint2 docks.  SESSION_MANAGER would let
    # Qt talk to the real session; the QT_* scale variables would override
    # the Xft.dpi this desktop sets.
    unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY SESSION_MANAGER XDG_CURRENT_DESKTOP \
        QT_QPA_PLATFORMTHEME QT_FONT_DPI QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS \
        QT_AUTO_SCREEN_SCALE_FACTOR QT_ENABLE_HIGHDPI_SCALING QT_STYLE_OVERRIDE

    if [[ -n $dpi ]]; then
        if ! printf 'Xft.dpi: %s\n' "$dpi" | xrdb -nocpp -merge; then
            _desk_err "xrdb could not load Xft.dpi"
            desktop_stop
            return 1
        fi
    fi

    _desk_spawn openbox openbox --sm-disable
    _desk_wm_pid=$_desk_last_pid
    if ! wait_until 15 _desk_wm_ready; then
        _desk_err "openbox did not take over the screen:"
        tail -n 20 "$DESKTOP_DIR/logs/openbox.err" >&2
        desktop_stop
        return 1
    fi

    _desk_panel_pid=''
    if ((panel)); then
        panel_start || { desktop_stop; return 1; }
    fi
    return 0
}

# panel_start: start tint2 and wait until it owns the tray.
panel_start() {
    [[ -f $DESKTOP_DIR/tint2rc ]] || _desk_write_tint2rc "$DESKTOP_DIR/tint2rc"
    _desk_panels=$((_desk_panels + 1))
    _desk_spawn "tint2.$_desk_panels" tint2 -c "$DESKTOP_DIR/tint2rc"
    _desk_panel_pid=$_desk_last_pid
    if ! wait_until 15 _desk_panel_ready; then
        _desk_err "tint2 did not claim the system tray:"
        tail -n 20 "$DESKTOP_DIR/logs/tint2.$_desk_panels.err" >&2
        return 1
    fi
}

# desktop_stop: stop everything desktop_start and dovo_start started, newest
# first, restore the environment and remove the temporary folder.
desktop_stop() {
    local i
    ((_desk_stopping)) && return 0
    _desk_stopping=1
    if declare -F desktop_on_cleanup >/dev/null; then
        desktop_on_cleanup || true
    fi
    for ((i = ${#_desk_pids[@]} - 1; i >= 0; i--)); do
        _desk_stop_pid "${_desk_pids[i]}"
    done
    _desk_pids=()
    _desk_birth=()
    if [[ -n $DESKTOP_DIR ]]; then
        if [[ ${DESKTOP_KEEP:-0} == 1 ]]; then
            _desk_err "kept $DESKTOP_DIR"
        else
            rm -rf -- "$DESKTOP_DIR"
        fi
    fi
    _desk_restore_env
    DESKTOP_DIR='' DESKTOP_DISPLAY='' DOVO_PID='' DOVO_WID='' _desk_queries='' _desk_mark=0
    _desk_stopping=0
    return 0
}

# bus_start NAME: a private bus daemon for this desktop, stopped with it,
# that starts no services on demand, so nothing of the machine's own desktop
# answers on it; its address is left in DESK_BUS_ADDRESS (not printed: the
# daemon must be a child of this shell to be stopped with the desktop).
bus_start() {
    local socket=$DESKTOP_DIR/$1-bus
    cat >"$socket.conf" <<EOF
<busconfig>
  <type>session</type>
  <listen>unix:path=$socket</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
    _desk_spawn "$1-bus" dbus-daemon --nofork --nopidfile --config-file="$socket.conf"
    if ! wait_until 10 test -S "$socket"; then
        _desk_err "the $1 bus did not come up:"
        tail -n 20 "$DESKTOP_DIR/logs/$1-bus.err" >&2
        return 1
    fi
    DESK_BUS_ADDRESS=unix:path=$socket
}

# session_bus_start: a private session bus; exports DBUS_SESSION_BUS_ADDRESS.
session_bus_start() {
    bus_start session && export DBUS_SESSION_BUS_ADDRESS=$DESK_BUS_ADDRESS
}

# screenshot FILE
screenshot() {
    import -window root "$1"
}

# --------------------------------------------------------------------- dovo

_desk_dovo_windows() {
    local w pid
    for w in $(xdotool search --onlyvisible --name "^${DOVO_TITLE}\$" 2>/dev/null); do
        pid=$(xprop -id "$w" -notype _NET_WM_PID 2>/dev/null) || continue
        [[ ${pid##* } == "$DOVO_PID" ]] || continue
        # xdotool matches the name as a regular expression; insist on the
        # exact title so "Dovo - Quen Dorvil (2)" does not pass
        [[ $(xdotool getwindowname "$w" 2>/dev/null) == "$DOVO_TITLE" ]] || continue
        printf '0x%x\n' "$w"
    done
}

_desk_dovo_window_ready() {
    local ids
    _desk_alive "$DOVO_PID" || return 2
    ids=$(_desk_dovo_windows)
    [[ -n $ids && $ids != *$'\n'* ]] || return 1
    # managed and in NormalState: only then do minimise/close requests reach
    # the window manager's idea of this window
    window_managed "$ids" && [[ $(window_wm_state "$ids") == Normal ]] || return 1
    DOVO_WID=$ids
}

# dovo_start [args...]: start $DOVO and wait (30 s) for its window, then
# (on the X desktops of desktop_start) until it has sampled where the
# pointer is, the place it counts from, and rests there or keeps ticking.
dovo_start() {
    local rc
    if [[ -z ${DOVO:-} || $DOVO != /* || ! -x $DOVO ]]; then
        _desk_err "dovo_start: DOVO must be the absolute path of the dovo binary (got '${DOVO:-}')"
        return 2
    fi
    [[ -n $DESKTOP_DIR ]] || { _desk_err "dovo_start: call desktop_start first"; return 2; }
    if _desk_alive "$DOVO_PID"; then
        _desk_err "dovo_start: dovo is already running as pid $DOVO_PID"
        return 2
    fi
    _desk_runs=$((_desk_runs + 1))
    DOVO_STDOUT=$DESKTOP_DIR/logs/dovo.$_desk_runs.out
    DOVO_STDERR=$DESKTOP_DIR/logs/dovo.$_desk_runs.err
    dovo_mark
    "$DOVO" "$@" </dev/null >"$DOVO_STDOUT" 2>"$DOVO_STDERR" &
    DOVO_PID=$!
    DOVO_WID=''
    DOVO_CLOSE_PATH=''
    desktop_track_pid "$DOVO_PID"
    export DOVO_PID DOVO_STDOUT DOVO_STDERR
    rc=1
    # A deadline, not a delay: a shell rendering in software on a busy
    # machine took more than 10 s to map the window.
    local deadline=$(($(_desk_now_ms) + 30000))
    while :; do
        _desk_dovo_window_ready && rc=0 || rc=$?
        ((rc == 1)) || break
        (($(_desk_now_ms) < deadline)) || break
        sleep 0.05
    done
    if ((rc != 0)); then
        if ((rc == 2)); then
            _desk_err "dovo_start: dovo exited before showing '$DOVO_TITLE'"
        else
            _desk_err "dovo_start: no single managed, visible window named '$DOVO_TITLE' within 30 s"
        fi
        tail -n 20 "$DOVO_STDERR" >&2
        return 1
    fi
    export DOVO_WID
    # The X11 source samples before the window maps; the others know nothing
    # before the first tick, which may come after it, and a move before that
    # would only set where counting starts.
    if [[ -n $_desk_queries ]] && ! wait_until 5 dovo_settled; then
        _desk_err "dovo_start: dovo did not sample the pointer within 5 s of showing its window"
        return 1
    fi
    return 0
}

# ------------------------------------------------------- what dovo samples
# On the desktops of desktop_start, x11probe hears every QueryPointer reply
# and XInput 2 motion request of every client (logs/queries.out).  That is
# how a test knows that Dovo has sampled a position, rather than waiting by
# the clock for ticks that a busy machine may delay.  Only the X11 sources
# ask the X server; the compositors' tests have their own signs.

# dovo_mark: dovo_sampled, dovo_rests and dovo_settled look only at what
# Dovo asks from here on.
dovo_mark() {
    [[ -n $_desk_queries ]] || return 0
    _desk_mark=$(wc -l <"$_desk_queries")
}

# _desk_dovo_asked JUDGE [X Y]: what Dovo was told since the mark, judged:
#   sampled  told the pointer is at (X, Y)
#   rests    its last tick found nothing changed, at (X, Y) when given:
#            where it watches for motion (it asked for XInput 2), its watch
#            is armed (it arms it at a tick that found nothing changed, and
#            it stays armed through ticks that something else woke, as
#            "Reset Counter" does), so the next move wakes it; where it asks
#            at every tick, the last two answers were the same
#   settled  it rests, or has been told three times without resting (it is
#            still carrying blocks, or asks at every tick)
_desk_dovo_asked() {
    [[ -n $_desk_queries && -n $DOVO_PID ]] || return 1
    awk -v pid="$DOVO_PID" -v from="$_desk_mark" -v judge="$1" -v x="${2:-}" -v y="${3:-}" '
        $1 != pid { next }
        $3 == "xi2" { watcher[$2] = 1; watches = 1 }
        $3 == "raw-motion" { armed = ($4 == "on") }
        NR <= from { next }
        # where it watches, the watch connection samples; Qt may ask on its own
        $3 == "pointer" && (!watches || $2 in watcher) {
            told++
            same = ($4 == lx && $5 == ly) ? same + 1 : 1; lx = $4; ly = $5
            if ($4 == x && $5 == y) sampled = 1
        }
        END {
            rests = told && (watches ? armed : same >= 2) && (x == "" || (lx == x && ly == y))
            if (judge == "sampled") exit !sampled
            if (judge == "rests") exit !rests
            exit !(rests || told >= 3)
        }' "$_desk_queries"
}
dovo_sampled() { _desk_dovo_asked sampled "$1" "$2"; }
dovo_rests() { _desk_dovo_asked rests "$@"; }
dovo_settled() { _desk_dovo_asked settled; }

# pointer_move_sampled X Y: move the pointer as pointer_move does, then
# wait (5 s) until Dovo has sampled it there (which also says the server
# has it there), so the move is in its totals.  (X, Y) must differ from
# where the pointer is.
pointer_move_sampled() { _desk_move_until sampled "$1" "$2"; }

# pointer_move_rested X Y: pointer_move_sampled, then wait until Dovo rests
# there (dovo_rests).  Resting, a watching Dovo is sure to wake at the next
# move: one made just as it arms its watch could go unseen.
pointer_move_rested() { _desk_move_until rests "$1" "$2"; }

_desk_move_until() {
    dovo_mark
    "$_desk_probe" motion "$2" "$3" || { _desk_err "pointer_move_$1: x11probe motion $2 $3 failed"; return 1; }
    wait_until 5 _desk_dovo_asked "$1" "$2" "$3" && return 0
    _desk_err "pointer_move_$1: dovo did not sample $2 $3 (the pointer is at $(xdotool getmouselocation 2>&1))"
    return 1
}

# dovo_said [FILE]: what dovo wrote to stderr (default: the last run's),
# less the line naming the pointer source that every start prints.
dovo_said() {
    grep -av '^dovo: pointer from ' "${1:-$DOVO_STDERR}"
    return 0
}

_desk_dovo_gone() { ! _desk_alive "$DOVO_PID"; }

# dovo_wait [TIMEOUT=10]: wait for dovo to exit; return its exit status, or
# 124 if it is still running after TIMEOUT seconds (it is then left running
# for the clean-up to stop).  dovo_wait, dovo_signal and dovo_close return
# 125 when they could not do their part at all (nothing running, no window).
dovo_wait() {
    local timeout=${1:-10} rc
    [[ -n $DOVO_PID ]] || { _desk_err "dovo_wait: dovo was not started"; return 125; }
    wait_until "$timeout" _desk_dovo_gone || return 124
    wait "$DOVO_PID" 2>/dev/null && rc=0 || rc=$?
    return "$rc"
}

# dovo_signal SIGNAL [TIMEOUT=10]: send SIGNAL to dovo and return its exit
# status as dovo_wait does (128+N when the signal killed it).
dovo_signal() {
    _desk_alive "$DOVO_PID" || { _desk_err "dovo_signal: dovo is not running"; return 125; }
    kill -s "$1" "$DOVO_PID" || return 125
    dovo_wait "${2:-10}"
}

# dovo_close [TIMEOUT=10]: close the window as a user would and return the
# exit status as dovo_wait does.
#
# While the window is managed (shown or minimised) this is
# `wmctrl -F -c TITLE`, and openbox sends WM_DELETE_WINDOW; -F because plain
# -c closes any window whose title merely contains TITLE, in any case.  Once dovo withdrew it to the tray, wmctrl cannot find it
# by title, and `wmctrl -i -c ID` is silently dropped by openbox for a window
# it no longer manages; so x11probe sends WM_DELETE_WINDOW to the window
# itself, exactly the message the window manager would have sent.  Restoring
# it from the tray first would make every close depend on the tray click
# working.  DOVO_CLOSE_PATH tells which way was taken: "wm" or "direct".
dovo_close() {
    local timeout=${1:-10}
    _desk_dovo_ask_close || return 125
    dovo_wait "$timeout"
}

_desk_dovo_ask_close() {
    _desk_alive "$DOVO_PID" || { _desk_err "dovo_close: dovo is not running"; return 125; }
    [[ -n $DOVO_WID ]] || { _desk_err "dovo_close: no dovo window known"; return 125; }
    if window_managed; then
        DOVO_CLOSE_PATH=wm
        wmctrl -F -c "$DOVO_TITLE" || { _desk_err "dovo_close: wmctrl could not close '$DOVO_TITLE'"; return 125; }
    else
        DOVO_CLOSE_PATH=direct
        "$_desk_probe" delete "$DOVO_WID" || { _desk_err "dovo_close: could not send WM_DELETE_WINDOW"; return 125; }
    fi
}

# dovo_message_box: print the id of a window of dovo's titled "Dovo" (its
# message boxes); fail when there is none.
dovo_message_box() {
    local w pid
    for w in $(xdotool search --onlyvisible --name '^Dovo$' 2>/dev/null); do
        pid=$(xprop -id "$w" -notype _NET_WM_PID 2>/dev/null) || continue
        [[ ${pid##* } == "$DOVO_PID" ]] || continue
        [[ $(xdotool getwindowname "$w" 2>/dev/null) == Dovo ]] || continue
        printf '0x%x\n' "$w"
        return 0
    done
    return 1
}

# dovo_close_told [TIMEOUT=10]: close the window as dovo_close does where
# Dovo must tell the user something before it ends: wait for its message
# box, dismiss it as the user would, and return the exit status as
# dovo_wait does; 126 when no box came within TIMEOUT (dovo is then left
# running for the clean-up to stop).
dovo_close_told() {
    local timeout=${1:-10} box
    _desk_dovo_ask_close || return 125
    wait_until "$timeout" dovo_message_box || { _desk_err "dovo_close_told: no message box"; return 126; }
    box=$(dovo_message_box)
    "$_desk_probe" delete "$box" || { _desk_err "dovo_close_told: could not close the box"; return 125; }
    dovo_wait "$timeout"
}

# ------------------------------------------------------------------ windows
# All take an optional window id and default to $DOVO_WID.

# window_map_state [WID]: IsViewable, IsUnviewable, IsUnMapped, or "gone".
window_map_state() {
    local out
    out=$(xwininfo -id "${1:-$DOVO_WID}" 2>/dev/null) || { echo gone; return 0; }
    out=${out#*Map State: }
    printf '%s\n' "${out%%$'\n'*}"
}

# window_mapped [WID]: the window is on screen.  Note that openbox unmaps an
# iconified window too: "not mapped" alone does not tell minimised from
# withdrawn, window_managed and window_wm_state do.
window_mapped() {
    [[ $(window_map_state "$@") == IsViewable ]]
}

# Mapped tooltip-type windows of dovo: the tray balloon or a window tooltip.
tooltip_windows() {
    local w pid
    for w in $(xwininfo -root -children 2>/dev/null | awk '/^ +0x[0-9a-f]+ / { print $1 }'); do
        window_mapped "$w" || continue
        pid=$(xprop -id "$w" -notype _NET_WM_PID 2>/dev/null) || continue
        [[ ${pid##* } == "$DOVO_PID" ]] || continue
        xprop -id "$w" -notype _NET_WM_WINDOW_TYPE 2>/dev/null |
            grep -q _NET_WM_WINDOW_TYPE_TOOLTIP || continue
        printf '%s\n' "$w"
    done
}
tooltip_shown() { [[ -n $(tooltip_windows) ]]; }

# window_state [WID]: the _NET_WM_STATE atoms, space separated.
window_state() {
    local out
    out=$(xprop -id "${1:-$DOVO_WID}" -notype _NET_WM_STATE 2>/dev/null) || return 0
    [[ $out == *' = '* ]] || return 0
    out=${out#*= }
    printf '%s\n' "${out//, / }"
}

# window_wm_state [WID]: the ICCCM WM_STATE (Normal, Iconic, Withdrawn) or
# nothing when the property is absent (openbox deletes it on withdrawal).
window_wm_state() {
    local out
    out=$(xprop -id "${1:-$DOVO_WID}" WM_STATE 2>/dev/null) || return 0
    [[ $out == *'window state: '* ]] || return 0
    out=${out#*window state: }
    printf '%s\n' "${out%%$'\n'*}"
}

# window_managed [WID]: the window manager lists the window as a client.
window_managed() {
    local wid=$(( ${1:-$DOVO_WID} )) w
    for w in $(xprop -root -notype _NET_CLIENT_LIST 2>/dev/null | grep -o '0x[0-9a-fA-F]*'); do
        (( w == wid )) && return 0
    done
    return 1
}

# has_state ATOM: _NET_WM_STATE holds ATOM.
has_state() { [[ " $(window_state) " == *" $1 "* ]]; }

# Map state alone does not tell these apart: openbox unmaps iconified
# windows as well as withdrawn ones.
shown_normal() {
    window_mapped && window_managed && [[ $(window_wm_state) == Normal ]] &&
        ! has_state _NET_WM_STATE_HIDDEN
}
iconified() {
    [[ $(window_map_state) != IsViewable ]] && window_managed &&
        [[ $(window_wm_state) == Iconic ]] && has_state _NET_WM_STATE_HIDDEN
}

# --------------------------------------------------------------------- tray

# tray_available: some program owns the XEmbed tray selection.
tray_available() {
    [[ -n $_desk_probe ]] && "$_desk_probe" owner _NET_SYSTEM_TRAY_S0 >/dev/null 2>&1
}

_desk_panel_windows() {
    [[ -n ${_desk_panel_pid:-} ]] || return 0
    xdotool search --onlyvisible --classname '^tint2$' 2>/dev/null
}

_desk_children() {
    xwininfo -children -id "$1" 2>/dev/null | awk '/^ +0x[0-9a-f]+ / { print $1 }'
}

# tray_icons: ids of the icons docked in tint2, one a line.
#
# tint2 reparents each docked icon into a frame window of its own, made a
# child of the panel window: panel > frame > icon.  An icon counts only when
# it is on screen and speaks XEmbed, so a frame tint2 still holds for an icon
# that is hidden, not yet embedded or being torn down is not counted.
tray_icons() {
    local panel frame icon
    for panel in $(_desk_panel_windows); do
        for frame in $(_desk_children "$panel"); do
            for icon in $(_desk_children "$frame"); do
                window_mapped "$icon" || continue
                xprop -id "$icon" _XEMBED_INFO 2>/dev/null | grep -q '_XEMBED_INFO(_XEMBED_INFO) = ' || continue
                printf '%s\n' "$icon"
            done
        done
    done
}

# tray_icon_count: how many icons are docked.
tray_icon_count() {
    local icons
    icons=$(tray_icons)
    if [[ -z $icons ]]; then echo 0; else wc -l <<<"$icons"; fi
}

# tray_icon_dovo: the docked icon that belongs to $DOVO_PID.
tray_icon_dovo() {
    local icon pid
    for icon in $(tray_icons); do
        pid=$(xprop -id "$icon" -notype _NET_WM_PID 2>/dev/null) || continue
        [[ ${pid##* } == "$DOVO_PID" ]] && { printf '%s\n' "$icon"; return 0; }
    done
    return 1
}

# tray_icon_click BUTTON: click the centre of dovo's tray icon.
#
# The pointer always arrives from one pixel above the icon, as a hand would.
# Qt drops a press on the tray icon when the pointer has not moved since the
# previous click there (found with xdotool: right click then left click on
# the same spot never reaches QSystemTrayIcon::activated).  Distance tests:
# this moves the pointer to the spot just above the icon, then down half the
# icon's height plus one pixel to its centre.  A test whose tray needs more
# before a click lands defines tray_icon_on_click ICON X Y (the centre).
tray_icon_click() {
    local icon geo x y w h above cx cy
    icon=$(tray_icon_dovo) || { _desk_err "tray_icon_click: dovo has no docked tray icon"; return 1; }
    geo=$(xwininfo -id "$icon" 2>/dev/null) || return 1
    x=$(awk '/Absolute upper-left X:/ { print $NF }' <<<"$geo")
    y=$(awk '/Absolute upper-left Y:/ { print $NF }' <<<"$geo")
    w=$(awk '/^ +Width:/ { print $NF }' <<<"$geo")
    h=$(awk '/^ +Height:/ { print $NF }' <<<"$geo")
    above=$((y - 1))
    ((above >= 0)) || above=$((y + h))
    cx=$((x + w / 2)) cy=$((y + h / 2))
    if declare -F tray_icon_on_click >/dev/null; then
        tray_icon_on_click "$icon" "$cx" "$cy" || return 1
    fi
    pointer_move "$cx" "$above" || return 1
    pointer_move "$cx" "$cy" || return 1
    xdotool click "$1"
}

# pointer_move X Y: move the pointer as a mouse would (XTest motion, which
# wakes a program that sleeps until the pointer moves; a warp would not) and
# wait until the server has it there.
pointer_move() {
    local rc=0
    "$_desk_probe" motion "$1" "$2" || rc=$?
    if ((rc != 0)); then
        _desk_err "pointer_move: x11probe motion $1 $2 failed ($rc)"
        return 1
    fi
    if ! wait_until 5 _desk_pointer_at "$1" "$2"; then
        _desk_err "pointer_move: the pointer is not at $1 $2 but $(xdotool getmouselocation 2>&1)"
        return 1
    fi
}

_desk_pointer_at() {
    [[ $(xdotool getmouselocation 2>/dev/null) == "x:$1 y:$2 "* ]]
}

# ------------------------------------------------------------------- paths

# seeded_path SEED N X0 Y0 X1 Y1: N pointer positions "x y", one a line,
# drawn from a seeded generator inside the box (X0,Y0)-(X1,Y1).  Straight and
# diagonal moves, long and one-pixel ones, all repeatable from the seed.
seeded_path() {
    awk -v seed="$1" -v n="$2" -v x0="$3" -v y0="$4" -v x1="$5" -v y1="$6" '
        BEGIN {
            srand(seed); x = int((x0 + x1) / 2); y = int((y0 + y1) / 2)
            for (i = 0; i < n; i++) {
                k = int(rand() * 4); dx = dy = 0
                if (k != 1) dx = (rand() < 0.5 ? -1 : 1) * (1 + int(rand() * (rand() < 0.2 ? 2 : 300)))
                if (k != 0) dy = (rand() < 0.5 ? -1 : 1) * (1 + int(rand() * (rand() < 0.2 ? 2 : 300)))
                # bounce off the edges, so that every step is a real move
                if (x + dx < x0 || x + dx > x1) dx = -dx
                if (y + dy < y0 || y + dy > y1) dy = -dy
                x += dx; y += dy
                print x, y
            }
        }'
}

# path_twips FACTOR X Y < POSITIONS: the twips Dovo adds when it samples the
# pointer at (X, Y) and then at each position read from stdin in turn, with
# FACTOR twips per pixel: straight moves unrounded, diagonals floored.
path_twips() {
    awk -v f="$1" -v x="$2" -v y="$3" '
        {
            dx = $1 - x; dy = $2 - y; dx = dx < 0 ? -dx : dx; dy = dy < 0 ? -dy : dy
            if (dx == 0) t += f * dy
            else if (dy == 0) t += f * dx
            else t += int(sqrt((f * dx) ^ 2 + (f * dy) ^ 2))
            x = $1; y = $2
        }
        END { printf "%d\n", t }'
}

# ----------------------------------------------------------------- settings

_desk_conf() { printf '%s\n' "${XDG_CONFIG_HOME:?desktop_start first}/Dovo.conf"; }

# The awk rules that read [odoledger] the way QSettings writes it; each
# KEY=VALUE line there is handed to entry(k, v), which the caller defines.
DESK_ODOLEDGER_AWK='
    { sub(/\r$/, "") }
    /^[ \t]*\[.*\][ \t]*$/ { sec = $0; gsub(/^[ \t]*\[|\][ \t]*$/, "", sec); next }
    sec == "odoledger" {
        i = index($0, "="); if (!i) next
        k = substr($0, 1, i - 1); v = substr($0, i + 1)
        gsub(/^[ \t]+|[ \t]+$/, "", k); gsub(/^[ \t]+|[ \t]+$/, "", v)
        entry(k, v)
    }'

# settings_get KEY: value of KEY in [odoledger] of Dovo.conf, or nothing.
settings_get() {
    local f
    f=$(_desk_conf) || return 1
    [[ -f $f ]] || return 0
    awk -v key="$1" "$DESK_ODOLEDGER_AWK"'
        function entry(k, v) { if (k == key) { val = v; found = 1 } }
        END { if (found) print val }' "$f"
}

# settings_put KEY VALUE [KEY VALUE...]: set keys in [odoledger] of Dovo.conf,
# creating it if needed and leaving other keys and sections alone.
settings_put() {
    local f tmp args=()
    f=$(_desk_conf) || return 1
    if (($# == 0 || $# % 2)); then
        _desk_err "settings_put: needs KEY VALUE pairs"
        return 2
    fi
    while (($#)); do
        args+=("$1=$2")
        shift 2
    done
    mkdir -p "$(dirname "$f")"
    [[ -f $f ]] || : >"$f"
    tmp=$f.tmp.$$
    awk '
        BEGIN {
            for (i = 1; i < ARGC; i++) {
                j = index(ARGV[i], "="); k = substr(ARGV[i], 1, j - 1)
                want[k] = substr(ARGV[i], j + 1); order[++n] = k
            }
            ARGC = 1
        }
        function flush(   i) {
            for (i = 1; i <= n; i++) if (!(order[i] in done)) print order[i] "=" want[order[i]]
            flushed = 1
        }
        { sub(/\r$/, "") }
        /^[ \t]*\[.*\][ \t]*$/ {
            if (sec == "odoledger" && !flushed) flush()
            sec = $0; gsub(/^[ \t]*\[|\][ \t]*$/, "", sec); seen[sec] = 1
            print; next
        }
        sec == "odoledger" && index($0, "=") {
            k = substr($0, 1, index($0, "=") - 1); gsub(/^[ \t]+|[ \t]+$/, "", k)
            if (k in want) { if (!(k in done)) print k "=" want[k]; done[k] = 1; next }
        }
        { print }
        END {
            if (sec == "odoledger" && !flushed) flush()
            else if (!("odoledger" in seen)) { print "[odoledger]"; flush() }
        }' "${args[@]}" <"$f" >"$tmp" && mv -f -- "$tmp" "$f"
}

# --------------------------------------------------------------- assertions

# require_dovo: $DOVO names the binary under test.
require_dovo() {
    if [[ -z ${DOVO:-} || $DOVO != /* || ! -x $DOVO ]]; then
        _desk_err "${0##*/}: set DOVO to the absolute path of the dovo binary"
        return 2
    fi
}

# must NAME command...: a step the rest depends on: record it, and stop
# here if it failed.
must() {
    local name=$1
    shift
    if "$@"; then
        check_true "$name" true
    else
        check_true "$name" false
        finish
    fi
}

_desk_pass_line() { _desk_pass=$((_desk_pass + 1)); printf 'ok   - %s\n' "$1"; }
_desk_fail_line() { _desk_fail=$((_desk_fail + 1)); printf 'FAIL - %s\n' "$1"; }

# check_eq NAME EXPECTED ACTUAL
check_eq() {
    if [[ $3 == "$2" ]]; then
        _desk_pass_line "$1"
    else
        _desk_fail_line "$1: expected '$2', got '$3'"
    fi
    return 0
}

# check_true NAME command...
check_true() {
    local name=$1
    shift
    if "$@" >/dev/null; then
        _desk_pass_line "$name"
    else
        _desk_fail_line "$name: '$*' failed"
    fi
    return 0
}

# check_false NAME command...
check_false() {
    local name=$1
    shift
    if "$@" >/dev/null; then
        _desk_fail_line "$name: '$*' succeeded"
    else
        _desk_pass_line "$name"
    fi
    return 0
}

# finish: print the totals and exit; non-zero if a check failed or none ran
# (a test that asserted nothing has not tested anything).
finish() {
    printf '%d passed, %d failed\n' "$_desk_pass" "$_desk_fail"
    if ((_desk_fail > 0 || _desk_pass == 0)); then
        exit 1
    fi
    exit 0
}
