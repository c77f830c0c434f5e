#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through wait_until/check_true
# shellcheck disable=SC2119 # optional arguments of the helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo tests/e2e/faults_limits.sh
#
# Totals loaded right at the 32-bit limits: every tick now overflows.  Dovo
# must keep running, say so on stderr without repeating itself every tick
# (one line per distinct message within the minute), and still leave plain
# integers in the file when it is closed.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=faults_common.sh
source "$here/faults_common.sh"

TWIPS=2147483000
BLOCKS=2147483647
MOVING_S=5

must "desktop with a tray starts" desktop_start
conf_write "$TWIPS" "$BLOCKS"
must "dovo starts with totals at the limits" dovo_start
check_eq "its tray icon is docked" 1 "$(wait_eq 5 1 tray_icon_count)"
check_eq "the loaded totals were accepted (nothing said about the file)" 0 \
    "$(stderr_lines "$DOVO_STDERR" Dovo.conf)"

# Small steps and long jumps, above the window: a small step still fits in
# 32 bits before the block carry overflows, a long one overflows at once.
(
    while :; do
        for x in 300 310 320 330 900 200 1000 210 220; do
            "$_desk_probe" motion "$x" 150 2>/dev/null
            sleep 0.07
        done
    done
) &
mover=$!
desktop_track_pid "$mover"
check_true "dovo keeps running while the pointer moves for ${MOVING_S}s" holds_for "$MOVING_S" _desk_alive "$DOVO_PID"
kill "$mover"
wait "$mover" 2>/dev/null

overflow_lines=$(grep -c '^dovo: Timer1_Timer: overflow' "$DOVO_STDERR")
echo "# stderr: $(tr '\n' '|' <"$DOVO_STDERR")"
check_true "the overflow is reported" test "$overflow_lines" -ge 1
check_eq "no report is repeated within the minute" "" "$(sort "$DOVO_STDERR" | uniq -d)"
check_true "at most one line per distinct overflow message" test "$overflow_lines" -le 2
check_eq "nothing else on stderr" "" \
    "$(dovo_said | grep -v '^dovo: Timer1_Timer: overflow')"
check_true "the window is still on screen" window_mapped
check_eq "the tray icon is still docked" 1 "$(tray_icon_count)"

rc=0
dovo_close || rc=$?
check_eq "closing exits 0" 0 "$rc"
t=$(conf_totals)
check_true "the file holds both totals as plain 32-bit integers ($t)" conf_totals
check_eq "the block count did not wrap" "$BLOCKS" "${t#* }"
check_true "the twips did not wrap or shrink (${t% *})" test "${t% *}" -ge "$TWIPS"

desktop_stop
echo "# took $(faults_took) s"
finish
