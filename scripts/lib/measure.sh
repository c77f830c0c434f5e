# What a running program costs the machine, read from /proc; shared by the
# benchmarks of the Linux and the Windows program.
# shellcheck shell=bash

# Nanoseconds on a CPU summed over the threads: exact, where utime+stime is
# sampled at the clock tick and a resting program would read as 0 or 0.6 s.
# Printed with %.0f: mawk's %d stops at 2^31, 2.1 s on a CPU.
cpu_ns() {
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f\n", s }'
}

# Context switches of every thread, one "tid name count" a line (spaces in
# the name become _).  A thread that ended took its count with it; Qt's
# threads here live as long as the program.
switches_by_thread() {
    local t
    for t in /proc/"$1"/task/*; do
        awk -v tid="${t##*/}" -v name="$(tr ' ' _ <"$t/comm" 2>/dev/null)" \
            '/^(non)?voluntary_ctxt_switches:/ { n += $2 } END { print tid, name, n }' "$t/status" 2>/dev/null
    done
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# driver_start: one xdotool walks the pointer round a square away from
# every window, a step of 5 px each MOVE_SECONDS, until driver_stop
# (BENCH_SECONDS, SETTLE and MOVE_SECONDS are the caller's): one process, so
# the rate does not depend on how fast the busy machine forks.  A lap takes 64
# steps, so no two ticks 200 ms apart find the pointer at the same place.
# Relative moves go through XTest and so come from an input device, as a
# hand's do; an absolute `xdotool mousemove` warps the pointer, which no
# device reports.
DRIVER=''
driver_start() {
    local -a walk=()
    local i n step
    n=$(awk -v s="$BENCH_SECONDS" -v m="$MOVE_SECONDS" -v pad="$SETTLE" \
        'BEGIN { printf "%d\n", (s + pad + 5) / m }')
    xdotool mousemove 1000 600
    for ((i = 0; i < n; i++)); do
        case $((i % 64 / 16)) in
        0) step='5 0' ;;
        1) step='0 5' ;;
        2) step='-5 0' ;;
        3) step='0 -5' ;;
        esac
        # two numbers, split on purpose
        # shellcheck disable=SC2206
        walk+=(mousemove_relative -- $step sleep "$MOVE_SECONDS")
    done
    xdotool "${walk[@]}" </dev/null >/dev/null 2>&1 &
    DRIVER=$!
    desktop_track_pid "$DRIVER"
}

driver_stop() {
    kill -TERM "$DRIVER" 2>/dev/null || true
    wait "$DRIVER" 2>/dev/null || true
}

