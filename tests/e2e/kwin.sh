#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through wait_until/holds_for
#
# DOVO=/abs/dovo KWIN_POINTER=/abs/kwin_pointer tests/e2e/kwin.sh
#
# Dovo on KDE Plasma: the real KWin, headless, tells Dovo where the pointer
# is through Dovo's KWin script, and the test moves KWin's pointer with the
# fake-input protocol.  Dovo's window is on XWayland; the pointer walks
# beside it, over no X11 window, where only KWin can see it.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/kwin.sh
source "$here/../../scripts/lib/kwin.sh"

require_dovo || exit 2
[[ -x ${KWIN_POINTER:-} ]] || { echo "set KWIN_POINTER to the kwin_pointer binary" >&2; exit 2; }

# Dovo's tick: once Dovo has heard where the pointer is after a start or a
# reload, it takes that as the place to count from at its next tick, which
# shows nowhere; waiting out a tick is the one wait by the clock left here.
TICK=0.4
# Where the pointer rests when Dovo starts: the first position it counts from.
REST_X=5 REST_Y=5

# saved_is TWIPS: Dovo's periodic save (every 100 ms here) holds TWIPS.
saved_is() { [[ $(settings_get totalpixels) == "$1" ]]; }

# walk X Y: from (X, Y), put the pointer at each "x y" read from stdin in
# turn, each time until Dovo's save shows the move counted. Each move is a
# fake-input client of its own, that is an input device that comes and
# goes, as a mouse plugged in and out does; XWayland tells Dovo's window of
# each one.
walk() {
    local x y px=$1 py=$2 total
    total=$(settings_get totalpixels)
    total=${total:-0}
    while read -r x y; do
        kwin_pointer "$x" "$y" || return 1
        total=$((total + $(path_twips 15 "$px" "$py" <<<"$x $y")))
        wait_until 5 saved_is "$total" || return 1
        px=$x py=$y
    done
}

# Every call of the script to Dovo, and of Dovo loading the script, seen on
# KWin's private bus.
watch_reports() {
    _desk_spawn monitor dbus-monitor --session \
        "type='method_call',interface='net.quendorvil.Dovo.Pointer'" \
        "type='method_call',interface='org.kde.kwin.Scripting',member='loadScript'"
    REPORTS=$DESKTOP_DIR/logs/monitor.out
}
reports() { grep -c 'member=Report' "$REPORTS"; }
reports_above() { (($(reports) > $1)); }
reports_are() { (($(reports) == $1)); }
loads_above() { (($(grep -c 'member=loadScript' "$REPORTS") > $1)); }

# path_box: "x0 y0 x1 y1", the wider free side of the screen beside Dovo's
# window, in logical pixels, with room for the window frame. KWin 5 scales
# XWayland with the output; KWin 6 gives it the output's device pixels, so
# the window's X11 geometry is brought to logical pixels here.
path_box() {
    local geo x w width height
    geo=$(xwininfo -id "$DOVO_WID")
    x=$(awk '/Absolute upper-left X:/ { print $NF }' <<<"$geo")
    w=$(awk '/^ +Width:/ { print $NF }' <<<"$geo")
    width=$(xwininfo -root | awk '/^ +Width:/ { print $NF }')
    read -r lw height <<<"$(kwin_size)"
    x=$((x * lw / width)) w=$(((w * lw + width - 1) / width)) width=$lw
    if ((x > width - x - w)); then
        echo "20 20 $((x - 40)) $((height - 20))"
    else
        echo "$((x + w + 40)) 20 $((width - 20)) $((height - 20))"
    fi
}

# heard_after N: the script reported past the Nth call, and a tick of Dovo
# took that position.
heard_after() {
    wait_until 10 reports_above "$1" && sleep "$TICK"
}

# start_counting: Dovo started with the pointer at rest, and the script told
# it where: from here on every move counts.
start_counting() {
    watch_reports
    kwin_pointer "$REST_X" "$REST_Y" || return 1
    DOVO_AUTOSAVE_INTERVAL_MS=100 dovo_start || return 1
    heard_after 0
}

# close_and_read LABEL: close Dovo; SAVED is the total it saved, in twips.
close_and_read() {
    local rc=0
    dovo_close || rc=$?
    check_eq "$1: closed through the window manager, exits 0" 0 "$rc"
    check_eq "$1: no 10 m block" 0 "$(settings_get totalmpixels)"
    SAVED=$(settings_get totalpixels)
}

started=$EPOCHREALTIME

# ------------------------------------------------------------- scale 1
echo "# KWin at scale 1"
must "KWin starts" kwin_start
must "dovo starts and hears the script" start_counting
check_eq "the pointer comes from KWin" 1 "$(grep -c '^dovo: pointer from KWin$' "$DOVO_STDERR")"
read -r x0 y0 x1 y1 <<<"$(path_box)"
before=$(seeded_path 11 20 "$x0" "$y0" "$x1" "$y1")
after=$(seeded_path 12 12 "$x0" "$y0" "$x1" "$y1")
must "the path before is counted move by move" walk "$REST_X" "$REST_Y" <<<"$before"

# Someone unloads the script; the pointer jumps while nobody reports it.
check_eq "the script unloaded behind Dovo's back" true \
    "$(kwin_scripting unloadScript "string:$KWIN_PLUGIN")"
heard=$(reports)
must "the pointer jumps" kwin_pointer "$x1" "$y1"
check_true "Dovo loads its script again and hears where the pointer is" heard_after "$heard"
check_eq "the script is loaded once more" true "$(kwin_script_loaded)"
must "the path after is counted move by move" walk "$x1" "$y1" <<<"$after"

# Anyone on the bus may call Dovo, but only KWin is heard: a stranger's
# report of a far point is refused and counts nothing (the total below),
# and Dovo says so once, without the point.
for _ in 1 2; do
    check_eq "a stranger's report is refused" "Error org.freedesktop.DBus.Error.AccessDenied" \
        "$(dbus-send --session --print-reply --reply-timeout=2000 --dest=net.quendorvil.Dovo \
            /net/quendorvil/Dovo/Pointer net.quendorvil.Dovo.Pointer.Report int32:1234 int32:777 \
            2>&1 | cut -d: -f1)"
done
check_eq "Dovo says so once" 1 "$(grep -c 'other than KWin' "$DOVO_STDERR")"
check_false "without the point" grep -q 1234 "$DOVO_STDERR"

heard=$(reports)
check_true "a resting pointer: no reports for 10 s" holds_for 10 reports_are "$heard"

# A 1000 Hz mouse along a straight line: whichever positions Dovo samples,
# the line counts in full; the script sends at most one call per 20 ms.
read -r bx by <<<"$(tail -n 1 <<<"$after")"
step=$((bx < (x0 + x1) / 2 ? 1 : -1))
burst=()
for ((i = 1; i <= 150; i++)); do burst+=($((bx + step * i)) "$by"); done
heard=$(reports)
base=$(settings_get totalpixels)
t0=${EPOCHREALTIME/[.,]/}
must "a burst of 150 moves a millisecond apart" kwin_pointer "${burst[@]}"
burst_ms=$(((${EPOCHREALTIME/[.,]/} - t0) / 1000))
# the last call is the one with the end of the line
check_true "the burst is counted" wait_until 5 saved_is $((base + 150 * 15))
sent=$(($(reports) - heard))
check_true "the burst of ${burst_ms} ms took $sent calls, at most one per 20 ms" \
    test "$sent" -ge 1 -a "$sent" -le $((burst_ms / 20 + 2))

want=$(($(path_twips 15 "$REST_X" "$REST_Y" <<<"$before") +
    $(path_twips 15 "$x1" "$y1" <<<"$after") + 150 * 15))
close_and_read "scale 1"
check_eq "scale 1: saved total is the path to the twip ($want), neither the jump nor the stranger's point counted" \
    "$want" "$SAVED"
check_eq "Dovo unloads its script when it ends" false "$(kwin_script_loaded)"
desktop_stop

# ----------------------------------------------------------- scale 1.5
# 200 logical pixels are 300 device pixels: 3000 twips, as 300 device
# pixels count on an X11 desktop at 144 dpi.
echo "# KWin at scale 1.5"
must "KWin at scale 1.5 starts" kwin_start --scale 1.5
# KWin's --width and --height are logical: the output is 1920x1200 pixels.
check_eq "KWin's output is at scale 1.5" 1.5 "$(kwin_scale)"
must "dovo starts and hears the script" start_counting
read -r x0 y0 x1 y1 <<<"$(path_box)"
square="$x0 $y0
$((x0 + 200)) $y0
$((x0 + 200)) $((y0 + 200))
$x0 $((y0 + 200))
$x0 $y0"
must "the square is counted side by side" walk "$REST_X" "$REST_Y" <<<"$square"
want=$(($(path_twips 15 "$REST_X" "$REST_Y" <<<"$x0 $y0") + 4 * 3000))
close_and_read "scale 1.5"
check_eq "scale 1.5: a square of 200 logical px sides counts 4 x 3000 twips" "$want" "$SAVED"

# A script KWin will not run, where an installed Dovo looks for it: Dovo
# says so once, keeps trying ever more rarely, and counts nothing.
echo "# a broken script"
broken=$DESKTOP_DIR/broken
mkdir -p "$broken/bin" "$broken/share/dovo/kwin"
cp "$DOVO" "$broken/bin/dovo"
echo 'this is not JavaScript (' >"$broken/share/dovo/kwin/dovo-pointer.js"
rm -f -- "$XDG_CONFIG_HOME/Dovo.conf"
loaded=$(grep -c 'member=loadScript' "$REPORTS")
told() { grep -q "^dovo: KWin did not run Dovo's script $broken/share/dovo/kwin/dovo-pointer.js" "$DOVO_STDERR"; }
DOVO=$broken/bin/dovo DOVO_AUTOSAVE_INTERVAL_MS=100 dovo_start
check_true "broken script: Dovo tells the user" wait_until 5 told
check_true "broken script: Dovo tries again" wait_until 10 loads_above $((loaded + 1))
check_eq "broken script: told once" 1 "$(grep -c "^dovo: KWin did not" "$DOVO_STDERR")"
must "the pointer moves" kwin_pointer $((x0 + 100)) "$y0"
# a tick or five, and a save of anything counted
check_true "broken script: nothing is counted" holds_for 1 eval '[[ -z $(settings_get totalpixels) ]]'
close_and_read "broken script"
check_eq "broken script: nothing counted" 0 "$SAVED"
desktop_stop

t=${EPOCHREALTIME/[.,]/}
s=${started/[.,]/}
echo "# took $(((t - s) / 1000000)) s"
finish
