#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through check_true/wait_until/holds_for
# shellcheck disable=SC2119 # optional arguments of the desktop.sh helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo tests/e2e/saved_totals.sh
#
# Dovo.conf as the real binary reads and writes it: values carried over,
# the block carry, damaged values kept aside, saves that cannot happen,
# the ways the program can end (close, signals, the X server going away)
# and the periodic save.  Every file is written byte by byte here rather
# than through QSettings, so what Dovo is given is exactly what a user's
# disk could hold.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/desktop.sh
source "$here/../../scripts/lib/desktop.sh"

require_dovo || exit 2
REAL_DOVO=$DOVO

started=$EPOCHREALTIME

BLOCK=567000
F=15 # twips per pixel at 96 dpi

conf() { printf '%s/Dovo.conf\n' "$XDG_CONFIG_HOME"; }

# write_conf PIXELS MPIXELS: the file exactly as a user's disk may hold it.
write_conf() {
    mkdir -p "$XDG_CONFIG_HOME"
    printf '[odoledger]\ntotalpixels=%s\ntotalmpixels=%s\n' "$1" "$2" >"$(conf)"
}

clear_config() { rm -rf -- "${XDG_CONFIG_HOME:?}"/* "${XDG_CONFIG_HOME:?}"/.[!.]* 2>/dev/null; return 0; }

# Lines Dovo itself wrote to stderr (Qt's own warnings are not its business).
dovo_lines() { dovo_said | grep -a '^dovo: '; }
dovo_line_count() { dovo_said | grep -ac '^dovo: '; }

# save_failure_reported PATH [REASON]: stderr has the line for PATH with a
# reason, containing REASON when given.
save_failure_reported() {
    local prefix="dovo: cannot save the totals to $1: " l
    while IFS= read -r l; do
        [[ $l == "$prefix"?* && $l == *"${2:-}"* ]] && return 0
    done <"$DOVO_STDERR"
    return 1
}

icons_is() { [[ $(tray_icon_count) == "$1" ]]; }
conf_is() { [[ $(settings_get totalpixels)/$(settings_get totalmpixels) == "$1" ]]; }

# shift_pointer DX [HOW]: move the pointer DX pixels to the right of where
# it is, until Dovo rests there (HOW "sampled": only until it sampled it);
# prints the twips that move adds.
shift_pointer() {
    local x y loc
    loc=$(xdotool getmouselocation --shell) || return 1
    x=$(sed -n 's/^X=//p' <<<"$loc")
    y=$(sed -n 's/^Y=//p' <<<"$loc")
    "pointer_move_${2:-rested}" $((x + $1)) "$y" >/dev/null || return 1
    printf '%d\n' $(($1 < 0 ? -$1 * F : $1 * F))
}

# run_resting: start, leave the pointer alone until a tick found nothing to
# do, close; the status of the close is left in $rc.
run_resting() {
    rc=125
    dovo_start || return 1
    wait_until 5 dovo_rests || return 1
    rc=0
    dovo_close || rc=$?
}

echo "# 96 dpi desktop with openbox and tint2"
must "desktop starts" desktop_start
# The pointer starts in the middle of the screen: moves to the right of it
# stay on screen for the whole script.
pointer_move 300 400

# ------------------------------------------------------------ first run
clear_config
# nothing below means anything if dovo cannot start at all
must "dovo starts" run_resting
check_eq "first run (no file): close exits 0" 0 "$rc"
check_eq "first run (no file): totals saved as 0/0" 0/0 "$(settings_get totalpixels)/$(settings_get totalmpixels)"
check_eq "first run (no file): nothing reported" 0 "$(dovo_line_count)"

# ------------------------------------------------------------ values carried over
# stored pixels | stored mpixels | saved pixels | saved mpixels
kept=(
    "1234|5|1234|5"
    "-20|5|-20|5"
    "567000|0|567000|0"           # exactly one block stays uncarried
    " 42 |	+7	|42|7"            # blanks around and a plus sign
    "0|2147483647|0|2147483647"   # the 32-bit range, both ends
    "-2147483648|-2147483648|-2147483648|-2147483648"
)
for row in "${kept[@]}"; do
    IFS='|' read -r in_px in_mpx want_px want_mpx <<<"$row"
    label="\"$in_px\"/\"$in_mpx\""
    clear_config
    write_conf "$in_px" "$in_mpx"
    run_resting
    check_eq "$label resting: close exits 0" 0 "$rc"
    check_eq "$label resting: written back as $want_px/$want_mpx" "$want_px/$want_mpx" \
        "$(settings_get totalpixels)/$(settings_get totalmpixels)"
    check_eq "$label resting: nothing reported" 0 "$(dovo_line_count)"
done

# ------------------------------------------------------------ block carry
# 2000000 is three blocks and 299000: three ticks carry them, one each,
# and the fourth finds nothing to do.
clear_config
write_conf 2000000 0
dovo_start
wait_until 5 dovo_rests
rc=0
dovo_close || rc=$?
check_eq "2000000/0: close exits 0" 0 "$rc"
check_eq "2000000/0 after >= 4 ticks: 299000/3" 299000/3 "$(settings_get totalpixels)/$(settings_get totalmpixels)"

# A total of thousands of blocks drains one block a tick, not all at once.
clear_config
write_conf 2147483647 0
t0=${EPOCHREALTIME/[.,]/}
dovo_start
# a few ticks, each asking where the pointer is
told_more_than() { (($(grep -c "^$DOVO_PID .* pointer " "$_desk_queries") > $1)); }
wait_until 5 told_more_than 5
rc=0
dovo_close || rc=$?
t1=${EPOCHREALTIME/[.,]/}
ticks_max=$(( (t1 - t0) / 200000 + 1 ))
n=$(settings_get totalmpixels)
check_eq "2147483647/0: close exits 0" 0 "$rc"
check_true "2147483647/0: between 1 and $ticks_max blocks carried in ~1 s (got '$n')" \
    test "${n:-0}" -ge 1 -a "${n:-0}" -le "$ticks_max"
check_eq "2147483647/0: pixels less exactly one block per carried block" \
    $((2147483647 - ${n:-0} * BLOCK)) "$(settings_get totalpixels)"

# ------------------------------------------------------------ damaged values
# key | stored pixels | stored mpixels | saved pixels/mpixels | text as reported
damaged=(
    "totalpixels||5|0/5|"
    "totalpixels|abc|5|0/5|abc"
    "totalpixels|12 34|5|0/5|12 34"
    "totalpixels|1.5|5|0/5|1.5"
    "totalpixels|99999999999|5|0/5|99999999999"
    "totalpixels|2147483648|5|0/5|2147483648"
    "totalpixels|-2147483649|5|0/5|-2147483649"
    "totalpixels|BINARY|5|0/5|BINARY"
    "totalmpixels|1234|2147483648|1234/0|2147483648"
)
for row in "${damaged[@]}"; do
    IFS='|' read -r key in_px in_mpx want shown <<<"$row"
    if [[ $in_px == BINARY ]]; then
        in_px=$'\x01\xff'
        label="$key binary bytes"
        # the 0xff is not UTF-8 and may come out replaced; the 0x01 before
        # it is what the line must carry
        quoted='"'$'\x01'
    else
        label="$key \"$shown\""
        quoted="\"$shown\""
    fi
    clear_config
    write_conf "$in_px" "$in_mpx"
    cp -- "$(conf)" "$DESKTOP_DIR/original.conf"
    if ! dovo_start; then
        check_true "$label: dovo starts" false
        continue
    fi
    check_eq "$label: one line on stderr" 1 "$(wait_eq 3 1 dovo_line_count)"
    line=$(dovo_lines | head -n 1)
    check_true "$label: the line names the file" grep -qF -- "$(conf)" <<<"$line"
    check_true "$label: the line names the key" grep -qF -- "\"$key\"" <<<"$line"
    check_true "$label: the line quotes the text" grep -qaF -- "$quoted" <<<"$line"
    check_true "$label: the original bytes are kept as Dovo.conf.damaged-1" cmp -s -- "$DESKTOP_DIR/original.conf" "$(conf).damaged-1"
    check_true "$label: the tray icon is docked" wait_until 5 tray_icon_dovo
    rc=0
    dovo_close || rc=$?
    check_eq "$label: close exits 0" 0 "$rc"
    check_eq "$label: saved totals start the damaged one from 0" "$want" \
        "$(settings_get totalpixels)/$(settings_get totalmpixels)"
    needle=${quoted#\"}
    needle=${needle%\"}
    if [[ -n $needle ]]; then
        check_false "$label: the rewritten file no longer holds the damaged text" grep -qaF -- "$needle" "$(conf)"
    fi
    check_true "$label: the damaged copy is left as it was" cmp -s -- "$DESKTOP_DIR/original.conf" "$(conf).damaged-1"
    check_false "$label: no second copy" test -e "$(conf).damaged-2"
done

# Another damaged start with -1 already there: the next free number.
cp -- "$(conf).damaged-1" "$DESKTOP_DIR/first.copy"
write_conf oops 7
cp -- "$(conf)" "$DESKTOP_DIR/second.conf"
if dovo_start; then
    check_true "second damaged start: kept as Dovo.conf.damaged-2" wait_until 3 cmp -s -- "$DESKTOP_DIR/second.conf" "$(conf).damaged-2"
    check_true "second damaged start: Dovo.conf.damaged-1 untouched" cmp -s -- "$DESKTOP_DIR/first.copy" "$(conf).damaged-1"
    rc=0
    dovo_close || rc=$?
    check_eq "second damaged start: close exits 0" 0 "$rc"
    check_eq "second damaged start: saved 0/7" 0/7 "$(settings_get totalpixels)/$(settings_get totalmpixels)"
    check_false "second damaged start: no third copy" test -e "$(conf).damaged-3"
else
    check_true "second damaged start: dovo starts" false
fi

# ------------------------------------------------------------ save failures
# Something that is not a folder stands where the config folder must be.
home_conf=$XDG_CONFIG_HOME
blocked=(
    "config folder under a plain file|$DESKTOP_DIR/blocked/config|$DESKTOP_DIR/blocked"
    "config folder is a plain file|$DESKTOP_DIR/plainconfig|$DESKTOP_DIR/plainconfig"
)
for row in "${blocked[@]}"; do
    IFS='|' read -r label cfg plain <<<"$row"
    printf 'not a folder\n' >"$plain"
    cp -- "$plain" "$DESKTOP_DIR/plain.orig"
    export XDG_CONFIG_HOME=$cfg
    if dovo_start; then
        shift_pointer 100 >/dev/null
        rc=0
        dovo_close_told || rc=$?
        check_eq "$label: close tells it in a box, then exits 1" 1 "$rc"
        check_true "$label: stderr names the path and a reason" save_failure_reported "$cfg/Dovo.conf"
        check_true "$label: the plain file is untouched" cmp -s -- "$DESKTOP_DIR/plain.orig" "$plain"
        check_true "$label: the tray icon is gone" wait_until 5 icons_is 0
    else
        check_true "$label: dovo starts" false
    fi
    export XDG_CONFIG_HOME=$home_conf
    rm -f -- "$plain"
done

# The same as an ordinary user whose config folder turns read-only while
# Dovo runs (as root the folder's mode would not stop the write).
nobody_dir=''
desktop_on_cleanup() {
    [[ -n $nobody_dir ]] && rm -rf -- "$nobody_dir"
    return 0
}
if (($(id -u) == 0)); then
    if nobody_dir=$(mktemp -d "${TMPDIR:-/tmp}/dovo-e2e-user.XXXXXXXX"); then
        mkdir -p "$nobody_dir"/{home,config,cache,data,state}
        mkdir -m 700 "$nobody_dir/runtime"
        cp -- "$XAUTHORITY" "$nobody_dir/Xauthority"
        chmod 600 "$nobody_dir/Xauthority"
        chmod 755 "$nobody_dir"
        user_conf=$nobody_dir/config/Dovo.conf
        wrapper=$DESKTOP_DIR/bin/dovo-as-nobody
        # exec keeps the pid, so dovo_start follows the real dovo
        cat >"$wrapper" <<EOF
#!/bin/sh
exec env HOME='$nobody_dir/home' XDG_CONFIG_HOME='$nobody_dir/config' \\
    XDG_RUNTIME_DIR='$nobody_dir/runtime' XDG_CACHE_HOME='$nobody_dir/cache' \\
    XDG_DATA_HOME='$nobody_dir/data' XDG_STATE_HOME='$nobody_dir/state' \\
    XAUTHORITY='$nobody_dir/Xauthority' \\
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- '$REAL_DOVO' "\$@"
EOF
        chmod 755 "$wrapper"
        user_ok=1
    else
        user_ok=0
    fi
    as_user() { DOVO=$wrapper "$@"; }
    user_file_get() { XDG_CONFIG_HOME=$nobody_dir/config settings_get "$1"; }
else
    # already unprivileged: the folder's mode binds us directly
    nobody_dir=$(mktemp -d "${TMPDIR:-/tmp}/dovo-e2e-user.XXXXXXXX") && user_ok=1 || user_ok=0
    mkdir -p "$nobody_dir/config"
    user_conf=$nobody_dir/config/Dovo.conf
    as_user() { XDG_CONFIG_HOME=$nobody_dir/config "$@"; }
    user_file_get() { XDG_CONFIG_HOME=$nobody_dir/config settings_get "$1"; }
fi
if ((user_ok)); then
    # label | folder mode while running | exit status | saved pixels/mpixels
    user_cases=(
        "ordinary user, writable folder|755|0|2500/5"
        "ordinary user, folder made read-only|555|1|1000/5"
    )
    for row in "${user_cases[@]}"; do
        IFS='|' read -r label mode want_rc want <<<"$row"
        chmod 755 "$nobody_dir/config"
        printf '[odoledger]\ntotalpixels=1000\ntotalmpixels=5\n' >"$user_conf"
        ((EUID == 0)) && chown -R nobody:nogroup "$nobody_dir"
        cp -- "$user_conf" "$DESKTOP_DIR/user.orig"
        if ! as_user dovo_start; then
            check_true "$label: dovo starts" false
            continue
        fi
        if ((EUID == 0)); then
            check_eq "$label: dovo runs as nobody" nobody "$(ps -o user= -p "$DOVO_PID" | tr -d ' ')"
        fi
        chmod "$mode" "$nobody_dir/config"
        shift_pointer 100 >/dev/null
        rc=0
        if ((want_rc == 1)); then
            dovo_close_told || rc=$?
        else
            dovo_close || rc=$?
        fi
        check_eq "$label: close exits $want_rc" "$want_rc" "$rc"
        check_eq "$label: file holds $want" "$want" "$(user_file_get totalpixels)/$(user_file_get totalmpixels)"
        if ((want_rc == 1)); then
            check_true "$label: stderr names the path and the reason" \
                save_failure_reported "$user_conf" "ermission denied"
            check_true "$label: the old file is byte for byte intact" cmp -s -- "$DESKTOP_DIR/user.orig" "$user_conf"
        fi
        check_true "$label: the tray icon is gone" wait_until 5 icons_is 0
    done
    chmod 755 "$nobody_dir/config"
else
    echo "# skipped: ordinary-user save failure (no temporary folder for the user)"
fi

# ------------------------------------------------------------ signals
# signal | pixels moved to the right
signals=("TERM|100" "INT|-200" "HUP|301")
for row in "${signals[@]}"; do
    IFS='|' read -r sig dx <<<"$row"
    clear_config
    write_conf 1000 4
    if ! dovo_start; then
        check_true "SIG$sig: dovo starts" false
        continue
    fi
    check_true "SIG$sig: the tray icon is docked" wait_until 5 tray_icon_dovo
    added=$(shift_pointer "$dx") || added=0
    rc=0
    dovo_signal "$sig" || rc=$?
    check_eq "SIG$sig: exits 0" 0 "$rc"
    check_eq "SIG$sig: file holds the totals with the move" "$((1000 + added))/4" \
        "$(settings_get totalpixels)/$(settings_get totalmpixels)"
    check_true "SIG$sig: the tray icon is gone" wait_until 5 icons_is 0
done

# ------------------------------------------------------------ periodic save
# A file in a layout of its own: any rewrite would normalise it.
clear_config
printf '[odoledger]\ntotalpixels = 100\ntotalmpixels = 1\n' >"$(conf)"
cp -- "$(conf)" "$DESKTOP_DIR/spaced.conf"
if DOVO_AUTOSAVE_INTERVAL_MS=250 dovo_start; then
    check_true "periodic save: an unchanged total is not rewritten" \
        holds_for 1.5 cmp -s -- "$DESKTOP_DIR/spaced.conf" "$(conf)"
    added=$(shift_pointer 100) || added=0
    check_true "periodic save: a changed total is saved while running" \
        wait_until 3 conf_is "$((100 + added))/1"
    check_true "periodic save: dovo is still running" _desk_alive "$DOVO_PID"
    rc=0
    dovo_close || rc=$?
    check_eq "periodic save: close exits 0" 0 "$rc"
else
    check_true "periodic save: dovo starts" false
fi

# ------------------------------------------------------------ X server dies
# Last: this ends the desktop.  Qt leaves through exit() on a broken
# connection, so only the exit hook can save.  Dovo is held still while the
# server goes, as a busy machine at logout would leave it, so that a tick
# falls due between the server's end and Qt noticing it: such a tick has no
# pointer to read and must not count any travel.
clear_config
write_conf 50 2
xvfb_gone() { ! _desk_alive "$_desk_xvfb_pid"; }
if dovo_start; then
    # Sampled, not rested: the tick that would find nothing changed is due
    # next, and falls due while Dovo is stopped.
    added=$(shift_pointer 100 sampled) || added=0
    kill -STOP "$DOVO_PID"
    # desktop.sh keeps no public handle on the server; it is its child
    kill -TERM "$_desk_xvfb_pid"
    wait_until 5 xvfb_gone
    # Dovo's own 200 ms clock, not a wait for anything: time for that tick
    # to fall due.
    sleep 0.3
    kill -CONT "$DOVO_PID"
    rc=0
    dovo_wait 10 || rc=$?
    check_true "X server gone: dovo ends, not killed by a signal (status $rc)" test "$rc" -lt 124
    got=$(settings_get totalpixels)
    check_true "X server gone: the exit hook saved the move (totalpixels '$got')" \
        test "${got:-0}" -ge $((50 + added))
    check_eq "X server gone: file holds the totals with the move and nothing more" "$((50 + added))/2" \
        "$(settings_get totalpixels)/$(settings_get totalmpixels)"
else
    check_true "X server gone: dovo starts" false
fi

desktop_stop
echo "# took $(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }') s"
finish
