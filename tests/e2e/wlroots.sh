#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through wait_until/holds_for
#
# DOVO=/abs/dovo WLR_POINTER=/abs/wlr_pointer tests/e2e/wlroots.sh
#
# Dovo on sway and labwc: the real compositors, headless, tell Dovo where the
# pointer is through cursor capture sessions, and the test moves the pointer
# with one virtual pointer.  Dovo's window is on XWayland; the pointer walks
# beside it, over no X11 window, where only the compositor can see it.
# Needs sway and labwc with ext-image-copy-capture (sway 1.11, labwc 0.9 and
# later); exits 77 (skipped) where they are missing.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/wlroots.sh
source "$here/../../scripts/lib/wlroots.sh"

require_dovo || exit 2
[[ -x ${WLR_POINTER:-} ]] || { echo "set WLR_POINTER to the wlr_pointer binary" >&2; exit 2; }
for tool in sway swaymsg labwc; do
    command -v "$tool" >/dev/null || { echo "skipped: no $tool here" >&2; exit 77; }
done

# Long enough for a 200 ms tick to see every position.
HOLD=0.6
REST_X=5 REST_Y=700

walk() {
    local x y
    while read -r x y; do
        wlroots_pointer "$x" "$y" || return 1
        sleep "$HOLD"
    done
}

context_switches() {
    awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ { n += $2 } END { print n + 0 }' \
        /proc/"$DOVO_PID"/task/*/status 2>/dev/null
}

# path_box: "x0 y0 x1 y1", the wider free side of the first output beside
# Dovo's window, in logical pixels.
path_box() {
    local geo x w width height
    geo=$(xwininfo -id "$DOVO_WID")
    x=$(awk '/Absolute upper-left X:/ { print $NF }' <<<"$geo")
    w=$(awk '/^ +Width:/ { print $NF }' <<<"$geo")
    read -r width height <<<"$1"
    if ((x > width - x - w)); then
        echo "20 20 $((x - 40)) $((height - 20))"
    else
        echo "$((x + w + 40)) 20 $((width - 20)) $((height - 20))"
    fi
}

# start_counting COMPOSITOR: the compositor up, the pointer at rest, Dovo
# started and counting from there.
start_counting() {
    wlroots_start "$1" || return 1
    wlroots_pointer "$REST_X" "$REST_Y" || return 1
    dovo_start || return 1
    sleep "$HOLD"
}

# close_and_read LABEL: close Dovo; SAVED is the total it saved, in twips.
# sway's XWayland window management takes no _NET_CLOSE_WINDOW from wmctrl:
# there the window is closed the way sway closes it, WM_DELETE_WINDOW.
close_and_read() {
    local rc=0
    if [[ $XDG_CURRENT_DESKTOP == sway ]]; then
        swaymsg -q "[title=\"^Dovo - Quen Dorvil\$\"] kill" || rc=125
        ((rc)) || dovo_wait || rc=$?
    else
        dovo_close || rc=$?
    fi
    check_eq "$1: closed through the window manager, exits 0" 0 "$rc"
    check_eq "$1: no 10 m block" 0 "$(settings_get totalmpixels)"
    SAVED=$(settings_get totalpixels)
}

said_source() {
    check_eq "$1: the pointer comes from the cursor capture" 1 \
        "$(grep -c "^dovo: pointer from the compositor's cursor capture$" "$DOVO_STDERR")"
    check_eq "$1: no notice about XWayland" 0 "$(grep -c 'On Wayland' "$DOVO_STDERR")"
}

started=$EPOCHREALTIME

# ------------------------------------------------------------------ sway
echo "# sway $(sway --version | awk '{ print $3 }')"
must "sway starts and Dovo with it" start_counting sway
said_source sway
read -r x0 y0 x1 y1 <<<"$(path_box "1280 800")"
echo "# sway: the path keeps to $x0,$y0 - $x1,$y1"
before=$(seeded_path 21 12 "$x0" "$y0" "$x1" "$y1")
walk <<<"$before"
want=$(path_twips 15 "$REST_X" "$REST_Y" <<<"$before")
read -r lx ly <<<"$(tail -n 1 <<<"$before")"

# A second output to the right: the pointer crosses onto it and back, then
# the output goes away with the pointer off it.
must "a second output" swaymsg -q create_output
# Dovo opens its cursor session on the new output when the output's global
# reaches it; a pointer there before that is off every output Dovo knows,
# and Dovo rightly starts afresh where it finds it again. Nothing outside
# Dovo can see the session open, so the pointer waits a few ticks.
sleep "$HOLD"
across="1400 300
2300 900
1279 400
$x0 $y0"
walk <<<"$across"
want=$((want + $(path_twips 15 "$lx" "$ly" <<<"$across")))
must "the second output goes away" swaymsg -q output HEADLESS-2 disable
after=$(seeded_path 22 8 "$x0" "$y0" "$x1" "$y1")
walk <<<"$after"
want=$((want + $(path_twips 15 "$x0" "$y0" <<<"$after")))

woke_before=$(context_switches)
sleep 10
woke=$(($(context_switches) - woke_before))
echo "# sway: $woke context switches in 10 s at rest"
check_true "sway: at most 2 wake-ups in 10 s at rest" test "$woke" -le 2
close_and_read sway
check_eq "sway: saved total is the path to the twip" "$want" "$SAVED"
echo "# sway: saved $SAVED twips, path $want twips"
desktop_stop

# ----------------------------------------------------------------- labwc
echo "# labwc $(labwc --version 2>&1 | awk '{ print $2; exit }')"
must "labwc starts and Dovo with it" start_counting labwc
said_source labwc
read -r x0 y0 x1 y1 <<<"$(path_box "1280 720")"
echo "# labwc: the path keeps to $x0,$y0 - $x1,$y1"
path=$(seeded_path 23 12 "$x0" "$y0" "$x1" "$y1")
walk <<<"$path"
want=$(path_twips 15 "$REST_X" "$REST_Y" <<<"$path")
close_and_read labwc
check_eq "labwc: saved total is the path to the twip" "$want" "$SAVED"
echo "# labwc: saved $SAVED twips, path $want twips"
desktop_stop

t=${EPOCHREALTIME/[.,]/}
s=${started/[.,]/}
echo "# took $(((t - s) / 1000000)) s"
finish
