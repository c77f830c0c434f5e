#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through check_true/holds_for
# shellcheck disable=SC2119 # optional arguments of the desktop.sh helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo tests/e2e/window.sh
#
# The window on a 96 dpi desktop: its fixed size, and the totals it keeps
# for real pointer motion made with xdotool, "Reset Counter" included.  The
# expected totals are worked out here from the counting rules, move by move,
# so a fault in the arithmetic, the sampling or the start position shows up
# as a number that differs from the prediction.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/desktop.sh
source "$here/../../scripts/lib/desktop.sh"

require_dovo || exit 2

started=$EPOCHREALTIME

BLOCK=567000
F=15 # twips per pixel at 96 dpi

# twips X0 Y0 X1 Y1: what one sampled move adds.
twips() {
    awk -v x0="$1" -v y0="$2" -v x1="$3" -v y1="$4" -v f="$F" 'BEGIN {
        dx = x1 - x0; if (dx < 0) dx = -dx
        dy = y1 - y0; if (dy < 0) dy = -dy
        if (dx == 0) { printf "%d\n", dy * f; exit }
        if (dy == 0) { printf "%d\n", dx * f; exit }
        printf "%d\n", int(sqrt((f * dx) ^ 2 + (f * dy) ^ 2))
    }'
}

# The predicted ledger, advanced by travel.
px=0 mpx=0 ptr_x=0 ptr_y=0

ptr_sync() {
    local loc
    loc=$(xdotool getmouselocation --shell) || return 1
    ptr_x=$(sed -n 's/^X=//p' <<<"$loc")
    ptr_y=$(sed -n 's/^Y=//p' <<<"$loc")
}

# travel X Y: move the pointer there, wait until Dovo has sampled it and
# rests (so consecutive moves are never merged into one), book the move.
travel() {
    local d
    d=$(twips "$ptr_x" "$ptr_y" "$1" "$2")
    # staying put wakes nothing, and there is nothing to count
    if [[ $1,$2 != "$ptr_x,$ptr_y" ]]; then
        pointer_move_rested "$1" "$2" || { _desk_err "travel: Dovo did not sample $1,$2"; return 1; }
    fi
    ptr_x=$1 ptr_y=$2
    px=$((px + d))
    # one block per tick at most; no single move here needs two
    if ((px > BLOCK)); then
        px=$((px - BLOCK)) mpx=$((mpx + 1))
    fi
}

client_size() {
    local geo
    geo=$(xwininfo -id "$DOVO_WID" 2>/dev/null) || return 1
    printf '%sx%s\n' "$(awk '/^ +Width:/ { print $NF }' <<<"$geo")" \
        "$(awk '/^ +Height:/ { print $NF }' <<<"$geo")"
}
size_is() { [[ $(client_size) == "$1" ]]; }

hidden_in_tray() { ! window_mapped && ! window_managed; }

# hint NAME: "W by H" from WM_NORMAL_HINTS ("minimum" or "maximum").
hint() {
    xprop -id "$DOVO_WID" WM_NORMAL_HINTS 2>/dev/null |
        sed -n "s/^[[:space:]]*program specified $1 size: //p"
}

echo "# 96 dpi desktop with openbox and tint2"
must "desktop starts" desktop_start

# ------------------------------------------------------------ geometry
# A ledger near a block boundary, so the path below carries one.
settings_put totalpixels 560000 totalmpixels 2
px=560000 mpx=2
ptr_sync
must "dovo shows its window" dovo_start
check_eq "title" "$DOVO_TITLE" "$(xdotool getwindowname "$DOVO_WID")"
check_eq "client area is 312x168 at 96 dpi" 312x168 "$(client_size)"
check_eq "minimum size hint is the client size" "312 by 168" "$(hint minimum)"
check_eq "maximum size hint is the client size" "312 by 168" "$(hint maximum)"

# Each way a user or a tool could try to change the size.
resize_attempts=(
    "resize request|xdotool windowsize $DOVO_WID 500 300"
    "move-resize request|wmctrl -i -r $DOVO_WID -e 0,-1,-1,640,400"
    "maximise request|wmctrl -i -r $DOVO_WID -b add,maximized_vert,maximized_horz"
)
for row in "${resize_attempts[@]}"; do
    name=${row%%|*}
    read -ra cmd <<<"${row#*|}"
    "${cmd[@]}" >/dev/null 2>&1
    check_true "$name leaves the client area 312x168" holds_for 1 size_is 312x168
done
wmctrl -i -r "$DOVO_WID" -b remove,maximized_vert,maximized_horz 2>/dev/null

# ------------------------------------------------------------ counted path
# Straight moves count N x 15; diagonals are floored, not rounded ((2,1)
# is 33.54 twips); a move onto the same spot counts nothing; leaving the
# window and reaching the screen corners counts like any other move.
path=(
    "940 400"  # right 300
    "940 600"  # down 200: crosses the block boundary
    "942 601"  # diagonal 2,1
    "935 604"  # diagonal -7,3
    "935 603"  # up 1
    "335 603"  # left 600, off the window
    "635 203"  # diagonal 300,-400: exactly 7500
    "635 203"  # no move
    "0 0"      # diagonal to the corner
    "1279 799" # diagonal across the screen
    "1279 0"   # straight up along the edge
    "640 400"  # back to the centre
)
moved=1
for p in "${path[@]}"; do
    # shellcheck disable=SC2086 # "X Y"
    travel $p || { moved=0; break; }
done
check_eq "every move of the path was made" 1 "$moved"
rc=0
dovo_close || rc=$?
check_eq "close exits 0" 0 "$rc"
check_eq "saved totalpixels is the path's predicted travel" "$px" "$(settings_get totalpixels)"
check_eq "saved totalmpixels carried one block on the path" "$mpx" "$(settings_get totalmpixels)"

# ------------------------------------------------------------ reset
# The blocks from the first run are still in the file; after a reset only
# what follows the click may remain.
must "dovo starts again on the saved totals" dovo_start
ptr_sync
geo=$(xwininfo -id "$DOVO_WID")
cx=$(awk '/Absolute upper-left X:/ { print $NF }' <<<"$geo")
cy=$(awk '/Absolute upper-left Y:/ { print $NF }' <<<"$geo")
# centre of the button, which spans x 64..225 and y 136..161 of the client
bx=$((cx + 144)) by=$((cy + 148))
# Dovo rests on the button: the tick that shows the zeros is the click's.
clicked() { dovo_mark && xdotool click 1 && wait_until 5 dovo_rests "$bx" "$by"; }
moved=0
travel 100 700 &&
    travel "$bx" "$by" &&
    clicked &&
    travel $((bx + 100)) "$by" &&    # right 100: 1500
    travel $((bx + 103)) $((by + 4)) && # diagonal 3,4: 75
    moved=1
check_eq "every move around the reset was made" 1 "$moved"
# Hidden in the tray the window shows nothing, yet the pointer is still
# travelling and must still be counted.
xdotool windowminimize "$DOVO_WID"
check_true "minimise hides the window in the tray" wait_until 5 hidden_in_tray
moved=0
travel $((bx + 103)) $((by + 204)) && moved=1 # down 200: 3000
check_eq "the move while hidden was made" 1 "$moved"
rc=0
dovo_close || rc=$?
check_eq "close from the tray after reset exits 0" 0 "$rc"
check_eq "saved totalpixels is only the travel after the reset, hidden or not" 4575 "$(settings_get totalpixels)"
check_eq "saved totalmpixels is cleared by the reset" 0 "$(settings_get totalmpixels)"

desktop_stop
echo "# took $(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }') s"
finish
