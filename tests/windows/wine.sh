# shellcheck shell=bash
# shellcheck disable=SC2034 # DOVO and DOVO_* are read by desktop.sh and the sourcing script
# shellcheck disable=SC2119 # optional arguments of desktop.sh left out on purpose
#
# The real dovo.exe under Wine on a private desktop of scripts/lib/desktop.sh
# (Xvfb, openbox, tint2), for the Wine tests:
#
#   source tests/windows/wine.sh     # needs DOVO_EXE, DOVO_INSPECT, DOVO_WINE_TEMPLATE
#   wine_desktop_start               # the desktop, and Wine on it
#   reg_put totalpixels 1234
#   dovo_start                       # desktop.sh's, through a wrapper around wine
#   check_eq "saved" 1234 "$(reg_get totalpixels)"
#   finish
#
# Each desktop gets a copy of the Wine prefix made once for the test run,
# and a wineserver kept running from the first registry edit to the end
# (Wine's explorer.exe owns the notification-area icons and must outlive
# the programs of one scenario).  dovo.exe is started through a wrapper
# that execs wine, so that $DOVO_PID is the process that owns Dovo's X
# window (_NET_WM_PID) and desktop.sh's dovo_start, dovo_wait, dovo_close
# and window helpers work unchanged.  A test that needs its own clean-up
# defines wine_on_cleanup (desktop_on_cleanup is this file's).

_WINE_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/desktop.sh
source "$_WINE_HERE/../../scripts/lib/desktop.sh"
# shellcheck source=wine-prefix.sh
source "$_WINE_HERE/wine-prefix.sh"

DOVO_KEY='HKCU\Software\VB and VBA Program Settings\Dovo\odoledger'
DOVO_CLASS=DovoForm1

# require_wine: what the Wine tests need is here; exit 77 (skipped) where
# this Wine cannot run the program at all, 2 when the test was set up wrong.
require_wine() {
    local v bits
    for v in DOVO_EXE DOVO_INSPECT DOVO_WINE_TEMPLATE; do
        if [[ -z ${!v:-} || ${!v} != /* ]]; then
            _desk_err "${0##*/}: set $v to an absolute path"
            exit 2
        fi
    done
    bits=$(wine_exe_bits "$DOVO_EXE") || { _desk_err "$DOVO_EXE is not a Windows program"; exit 2; }
    if why=$(wine_cannot_run "$bits"); then
        echo "$why; skipped"
        exit 77
    fi
    [[ -d $DOVO_WINE_TEMPLATE ]] || { _desk_err "no Wine prefix at $DOVO_WINE_TEMPLATE"; exit 2; }
    _WINE_LOADER=$(wine_loader "$bits")
}

# wine ARGS...: Wine's loader of the program's kind, so that Dovo, dovo_peek
# and Wine's own tools of one scenario are the same kind of process, and
# the process a test starts is the one that owns the window.
wine() {
    "${_WINE_LOADER:?require_wine first}" "$@"
}

desktop_on_cleanup() {
    if declare -F wine_on_cleanup >/dev/null; then
        wine_on_cleanup || true
    fi
    [[ -n ${WINEPREFIX:-} ]] && wine_prefix_remove "$WINEPREFIX"
    return 0
}

# wine_desktop_start: desktop_start (with tint2), a prefix of this
# desktop's own, and Wine's session on it.
wine_desktop_start() {
    desktop_start || return 1
    export WINEPREFIX=$DESKTOP_DIR/wine WINEDEBUG=${DOVO_WINEDEBUG:--all}
    # Wine's own programs answer in the language of the locale; the tests
    # read their English.
    export LC_ALL=C.UTF-8
    wine_prefix_copy "$DOVO_WINE_TEMPLATE" "$WINEPREFIX" || return 1
    # persistent: the server, and with it the registry this test wrote,
    # lives until the desktop is torn down
    wineserver -p || return 1
    # Wine's session (services, and explorer.exe with the desktop and the
    # notification area) comes up with the first program that draws; on a
    # busy machine that takes longer than dovo_start waits for a window.
    # Its standard error is kept: with DOVO_WINEDEBUG it holds the traces of
    # explorer.exe, the notification area's.
    wine "$DOVO_INSPECT" dpi >/dev/null 2>"$DESKTOP_DIR/logs/session.err" || return 1
    DOVO=$DESKTOP_DIR/bin/dovo
    printf '#!/bin/sh\nexec %q %q "$@"\n' "$_WINE_LOADER" "$DOVO_EXE" >"$DOVO"
    chmod +x "$DOVO"
}

# ----------------------------------------------------------------- registry

# _reg_query: Dovo's key as `reg query` prints it, one value a line:
# "    NAME    TYPE    DATA" (nothing when the key is missing).
_reg_query() {
    wine reg query "$DOVO_KEY" 2>/dev/null | tr -d '\r'
}

# reg_get NAME: the data of value NAME in Dovo's key, or nothing.
reg_get() {
    _reg_query | awk -v name="$1" '$1 == name && $2 ~ /^REG_/ {
        sub(/^[ \t]*[^ \t]+[ \t]+REG_[A-Z_]+[ \t]*/, ""); print; exit }'
}

# reg_totals: "TOTALPIXELS/TOTALMPIXELS" as stored (one Wine start, not two).
reg_totals() {
    _reg_query | awk '$2 ~ /^REG_/ { v = $0; sub(/^[ \t]*[^ \t]+[ \t]+REG_[A-Z_]+[ \t]*/, "", v); d[$1] = v }
        END { print d["totalpixels"] "/" d["totalmpixels"] }'
}

# _reg_import KEY NAME DATA [NAME DATA...]: DATA is the right-hand side of a
# .reg line (a quoted string, dword:..., hex:...); one Wine start for all.
_reg_import() {
    local file=$DESKTOP_DIR/import.reg key=$1
    shift
    {
        printf 'REGEDIT4\n\n[%s]\n' "${key/HKCU/HKEY_CURRENT_USER}"
        while (($# >= 2)); do
            printf '"%s"=%s\n' "$1" "$2"
            shift 2
        done
    } >"$file"
    # Wine's Z: is the Unix root
    wine reg import "Z:${file//\//\\}" >/dev/null 2>&1
}

# _reg_quote TEXT: TEXT as a quoted .reg string.
_reg_quote() {
    local t=${1//\\/\\\\}
    printf '"%s"' "${t//\"/\\\"}"
}

# reg_put NAME TEXT [NAME TEXT...]: REG_SZ values in Dovo's key.
reg_put() {
    local args=()
    while (($# >= 2)); do
        args+=("$1" "$(_reg_quote "$2")")
        shift 2
    done
    _reg_import "$DOVO_KEY" "${args[@]}"
}

# reg_put_raw NAME DATA: a value of any type, DATA as a .reg file writes it
# (dword:0000002a, hex:01,ff, ...).
reg_put_raw() {
    _reg_import "$DOVO_KEY" "$1" "$2"
}

# reg_del [NAME]: delete value NAME, or with no NAME the whole key.
reg_del() {
    if (($#)); then
        wine reg delete "$DOVO_KEY" /v "$1" /f >/dev/null 2>&1
    else
        wine reg delete "$DOVO_KEY" /f >/dev/null 2>&1
    fi
    return 0
}

# reg_lock: Dovo's key read-only for everyone (created when missing); holds
# until the desktop's wineserver ends.
reg_lock() {
    wine "$DOVO_INSPECT" lock-key
}

# ------------------------------------------------------------------ windows

# dovo_controls: the controls of Dovo's window, as dovo_peek prints them.
dovo_controls() {
    wine "$DOVO_INSPECT" controls 2>/dev/null | tr -d '\r'
}

# dovo_click TEXT: a left click with XTest in the middle of the control
# showing TEXT; the pointer travels there, which Dovo counts.
dovo_click() {
    local line x y w h
    line=$(dovo_controls | awk -F '\t' -v t="$1" '$8 == t { print; exit }')
    [[ -n $line ]] || { _desk_err "dovo_click: no control shows '$1'"; return 1; }
    IFS=$'\t' read -r _ _ _ w h x y _ <<<"$line"
    pointer_move $((x + w / 2)) $((y + h / 2)) || return 1
    xdotool click 1
}

# dovo_lines: the "dovo: ..." lines Dovo wrote to stderr (the C runtime's
# text mode ends them in CR LF), less the one naming the pointer source.
dovo_lines() {
    dovo_said | tr -d '\r' | grep -a '^dovo: '
    return 0
}

# withdrawn: Dovo's window is neither on screen nor a client of the window
# manager (so not in the taskbar either), as a hidden window is.
withdrawn() {
    ! window_mapped && ! window_managed
}

# walk < POSITIONS: move the pointer through the positions "x y", letting
# Dovo sample each ($HOLD seconds, 0.6 unless set).
walk() {
    local x y
    while read -r x y; do
        pointer_move "$x" "$y" || return 1
        sleep "${HOLD:-0.6}"
    done
}

# pointer_at: where the pointer is, "x y".
pointer_at() {
    local loc
    loc=$(xdotool getmouselocation --shell) || return 1
    printf '%s %s\n' "$(sed -n 's/^X=//p' <<<"$loc")" "$(sed -n 's/^Y=//p' <<<"$loc")"
}

# wine_message_box TITLE: the id of a top-level window with that exact title
# that is not Dovo's main window (a message box), or nothing.
wine_message_box() {
    local w
    for w in $(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null); do
        [[ $(printf '0x%x' "$w") == "$DOVO_WID" ]] && continue
        printf '0x%x\n' "$w"
        return 0
    done
    return 1
}

# ----------------------------------------------------------------- the tray

# Wine's notification-area icons are windows of its explorer.exe, not of the
# program: Dovo's is the one docked icon of explorer.exe (the scenarios start
# no other program with an icon).
tray_icon_dovo() {
    local icon found=''
    for icon in $(tray_icons); do
        xprop -id "$icon" WM_CLASS 2>/dev/null | grep -q '"explorer.exe"' || continue
        [[ -z $found ]] || { _desk_err "tray_icon_dovo: more than one icon of Wine's"; return 1; }
        found=$icon
    done
    [[ -n $found ]] && printf '%s\n' "$found"
}

# tray_icon_on_click ICON X Y (desktop.sh's tray_icon_click asks): Wine
# takes a click at (X, Y) for its icon.
#
# When tint2 moves an icon's frame it tells the icon with a synthetic
# ConfigureNotify in the frame's coordinates; Wine reads a synthetic one in
# the root's, as ICCCM 4.1.5 has it (Wine bug 30944).  So when that comes
# after the icon was reparented, Wine keeps the icon at the corner of the
# screen (+event: "new X rect -1250,-772,24x24 (event 0,0,24x24)"); X hands
# the click to the icon and Wine drops it, finding none of the icon's
# windows under the pointer.  Under load that was one start in four.  Any
# real move of the icon puts Wine right, so the harness makes one, as the
# next layout of the tray would.
tray_icon_on_click() {
    _wine_icon_at "$2" "$3" && return 0
    xdotool windowmove "$1" 0 1 && xdotool windowmove "$1" 0 0 || return 1
    if ! wait_until 10 _wine_icon_at "$2" "$3"; then
        _desk_err "tray_icon_on_click: Wine has no tray icon at $2 $3 but" \
            "$(wine "$DOVO_INSPECT" at "$2" "$3" 2>&1 | tr -d '\r')"
        return 1
    fi
}

_wine_icon_at() {
    [[ $(wine "$DOVO_INSPECT" at "$1" "$2" 2>/dev/null | tr -d '\r') == __winex11_tray_icon ]]
}

# wine_balloon: a balloon is up: Wine's explorer.exe shows it as a window of
# its own, unmanaged (override-redirect) unlike its docked icons.
wine_balloon() {
    local w
    for w in $(xdotool search --onlyvisible --class '^explorer\.exe$' 2>/dev/null); do
        xwininfo -id "$w" 2>/dev/null | grep -q 'Override Redirect State: yes' && return 0
    done
    return 1
}

# ------------------------------------------------------------------ session

# wine_end_session: log off as Windows would: every program is asked
# (WM_QUERYENDSESSION), told (WM_ENDSESSION), and ended.
wine_end_session() {
    wine wineboot --end-session --force >/dev/null 2>&1
}

# dovo_send MSG WPARAM LPARAM: the message handled by Dovo's window (sent,
# so it has been handled when this returns).
dovo_send() {
    wine "$DOVO_INSPECT" send "$@" >/dev/null 2>&1
}

# machine_sleeps / machine_wakes: what Windows tells the programs before a
# suspend (WM_POWERBROADCAST, PBT_APMSUSPEND) and after the resume a user
# started (PBT_APMRESUMESUSPEND).
machine_sleeps() { dovo_send 0x218 4 0; }
machine_wakes() { dovo_send 0x218 7 0; }

# dismiss_box WINDOW: the box closed from its title bar, as a person may.
# Not with a key sent to it: the box goes at the press, so the release is
# sent to a window that no longer exists, and Wine then holds the key down
# for the next box of the same session, which it answers at once.
dismiss_box() {
    wmctrl -i -c "$1"
}

# message_box_texts TITLE: the texts in the message box titled TITLE.
message_box_texts() {
    wine "$DOVO_INSPECT" box "$1" 2>/dev/null | tr -d '\r'
}
