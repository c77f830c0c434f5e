#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through check_true/wait_until
# shellcheck disable=SC2119 # optional arguments of the harness left out on purpose
#
# The real dovo.exe under Wine, counting: the command line, totals loaded
# from the registry and the block carry, the readouts on screen, Reset at
# rest, a path moved with XTest counted to the twip and saved as REG_SZ, and
# the same path at 144 dpi (LogPixels) counting the same physical length in
# a layout scaled to match.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine.sh
source "$here/wine.sh"
require_wine

# shellcheck disable=SC2034 # read by walk
HOLD=0.6 # three ticks of 200 ms: the position has been sampled

readouts() { dovo_texts static | tail -n 3 | paste -sd '|'; }

# unit_path N: N seeded positions "x y" in the box (10,10)-(410,240), so that
# twice and three times the path stay on the screen; straight and diagonal
# moves of 1 to 60, some of one or two.
unit_path() {
    awk -v n="$1" 'BEGIN {
        srand(19); x = 200; y = 120
        for (i = 0; i < n; i++) {
            k = int(rand() * 4); dx = dy = 0
            if (k != 1) dx = (rand() < 0.5 ? -1 : 1) * (1 + int(rand() * (rand() < 0.2 ? 2 : 60)))
            if (k != 0) dy = (rand() < 0.5 ? -1 : 1) * (1 + int(rand() * (rand() < 0.2 ? 2 : 60)))
            if (x + dx < 10 || x + dx > 410) dx = -dx
            if (y + dy < 10 || y + dy > 240) dy = -dy
            x += dx; y += dy
            print x, y
        }
    }'
}

must "desktop starts" wine_desktop_start

# ------------------------------------------------------------ command line
# Through the wrapper, which starts the loader of the program's kind:
# timeout would find Debian's wine script on the PATH, not the function.
rc=0
out=$(timeout 60 "$DOVO" --version 2>"$DESKTOP_DIR/logs/version.err") || rc=$?
check_eq "--version: exit status" 0 "$rc"
check_eq "--version: answers" "dovo 1.0.0" "$(tr -d '\r' <<<"$out")"
check_eq "--version: no window left behind" "" "$(xdotool search --name "^$DOVO_TITLE\$" 2>/dev/null)"
# Anything else is refused before anything starts or is read (what each
# argument answers is the session tests' table).
rc=0
out=$(timeout 60 "$DOVO" --bogus 2>&1) || rc=$?
check_eq "--bogus: refused with status 2" 2 "$rc"
check_eq "--bogus: says why, once" 1 "$(tr -d '\r' <<<"$out" | grep -c "^dovo: .*'--bogus'.* Try 'dovo --help'.$")"
check_eq "refused arguments: nothing saved" "" "$(reg_get totalpixels)"

# ---------------------------------------------------- the block carry
# 2000000 is three blocks and 299000: three ticks carry them, one each.
# The readouts cannot tell a carry, so the periodic save shows each tick's
# work, however late the ticks come on a busy machine.
reg_put totalpixels 2000000 totalmpixels 0
DOVO_AUTOSAVE_INTERVAL_MS=200 must "dovo starts with 2000000/0" dovo_start
check_eq "2000000/0, three ticks later: 299000/3" 299000/3 "$(wait_eq 30 299000/3 reg_totals)"
rc=0
dovo_close || rc=$?
check_eq "2000000/0: close exits 0" 0 "$rc"
check_eq "the pointer comes from GetCursorPos" 1 "$(tr -d '\r' <"$DOVO_STDERR" | grep -cx 'dovo: pointer from GetCursorPos')"
check_eq "and no more carried at close" 299000/3 "$(reg_totals)"
check_eq "saved as text, as SaveSetting keeps them" $'totalmpixels REG_SZ\ntotalpixels REG_SZ' "$(reg_names)"

# ------------------------------------------ readouts, Reset, a counted path
reg_put totalpixels 283500 totalmpixels 3
must "dovo starts with 283500/3" dovo_start
layout96=$(dovo_controls)
check_eq "the readouts show the loaded total" "3500 cm|35 m|0.03 km" "$(readouts)"
check_false "a sound total brings no balloon" wine_balloon
# Reset at rest: on the button, still for longer than the five seconds after
# which Dovo's tick slows down, then a click without a move.
line=$(awk -F '\t' '$8 == "Reset Counter"' <<<"$layout96")
IFS=$'\t' read -r _ _ _ w h x y _ <<<"$line"
must "the pointer rests on Reset Counter" pointer_move $((x + w / 2)) $((y + h / 2))
sleep 6
xdotool click 1
check_eq "Reset at rest clears the readouts" "0 cm|0 m|0 km" "$(wait_eq 5 "0 cm|0 m|0 km" readouts)"

read -r x0 y0 < <(pointer_at)
path=$(unit_path 16 | awk '{ print 2 * $1, 2 * $2 }')
walk <<<"$path"
want=$(path_twips 15 "$x0" "$y0" <<<"$path")
rc=0
dovo_close || rc=$?
check_eq "path at 96 dpi: close exits 0" 0 "$rc"
check_eq "path at 96 dpi: counted to the twip (15 a pixel)" "$want/0" "$(reg_totals)"
check_eq "path at 96 dpi: nothing reported" "" "$(dovo_lines)"

# ------------------------------------------------------------- 144 dpi
# The same path three times as large in pixels rather than twice, at 144
# dpi rather than 96: the same physical length, 10 twips a pixel.
reg_del
must "Wine at 144 dpi" wine_reg_dpi 144
check_eq "Wine's programs get 144 dpi" 144 "$(wine_dpi)"
path=$(unit_path 16 | awk '{ print 3 * $1, 3 * $2 }')
read -r x0 y0 <<<"$path"
must "the pointer where the path starts" pointer_move "$x0" "$y0"
must "dovo starts at 144 dpi" dovo_start
layout144=$(dovo_controls)
walk < <(tail -n +2 <<<"$path")
want=$(path_twips 10 "$x0" "$y0" < <(tail -n +2 <<<"$path"))
rc=0
dovo_close || rc=$?
check_eq "path at 144 dpi: close exits 0" 0 "$rc"
check_eq "path at 144 dpi: counted to the twip (10 a pixel)" "$want/0" "$(reg_totals)"

# Every control three halves as large and as far from the window's corner
# (to a pixel of rounding): the layout is in twips at the monitor's DPI.
scaled=$(paste <(cut -f1-5 <<<"$layout96") <(cut -f2-5 <<<"$layout144") | awk -F '\t' '
    function off(a, b) { d = 2 * b - 3 * a; return d > 3 || d < -3 }
    NF != 9 { bad = bad " [" $0 "]"; next }
    off($2, $6) || off($3, $7) || off($4, $8) || off($5, $9) { bad = bad " " $1 ":" $2 "," $3 "," $4 "x" $5 "->" $6 "," $7 "," $8 "x" $9 }
    END { print (bad == "" ? "scaled" : bad) }')
check_eq "at 144 dpi the layout is 1.5 times the one at 96" scaled "$scaled"
check_eq "as many controls at 144 dpi as at 96" "$(wc -l <<<"$layout96")" "$(wc -l <<<"$layout144")"

finish
