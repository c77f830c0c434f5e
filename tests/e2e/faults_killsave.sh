#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through wait_until/check_true
# shellcheck disable=SC2119 # optional arguments of the helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo tests/e2e/faults_killsave.sh
#
# SIGKILL at random moments while dovo saves over and over.  The pointer
# never rests, so every tick changes the totals and every periodic save
# (every 20-50 ms) writes new ones.  Whatever instant the kill lands on, the
# file must hold a complete earlier or later set of totals, never a torn or
# empty one, and a lock file left by the dead process must not stop the
# next one from saving.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=faults_common.sh
source "$here/faults_common.sh"

PLAIN_ROUNDS=20
PADDED_ROUNDS=20
# A save of a two-line file is over in well under a millisecond, so a random
# kill almost never lands inside one.  Foreign keys make each save rewrite
# two megabytes, which keeps a save in progress a good part of the time.
PADDING_KEYS=20000
PADDING_VALUE=$(printf '%0100d' 0)
# The rounds end the test, however long a busy machine takes over them;
# ctest's timeout is what catches a hang.

must "desktop starts" desktop_start --no-panel
conf=$(conf_file)
confdir=$(dirname "$conf")

# ------------------------------------------------------------ helpers

padding_count() {
    awk -v want="$PADDING_VALUE" '
        { sub(/\r$/, "") }
        /^[ \t]*\[.*\][ \t]*$/ { sec = $0; next }
        sec == "[padding]" && index($0, "=") && substr($0, index($0, "=") + 1) == want { n++ }
        END { print n + 0 }' "$conf"
}

add_padding() {
    local t
    t=$(conf_totals) || return 1
    {
        printf '[odoledger]\ntotalmpixels=%s\ntotalpixels=%s\n\n[padding]\n' "${t#* }" "${t% *}"
        for ((i = 1; i <= PADDING_KEYS; i++)); do printf 'k%05d=%s\n' "$i" "$PADDING_VALUE"; done
    } >"$conf.new" && mv -f -- "$conf.new" "$conf"
}

# total now in the file, or -1 while there is none
file_total() {
    local t
    t=$(conf_totals 2>/dev/null) || { echo -1; return 0; }
    total_of "$t"
}

saved_beyond() { (($(file_total) > $1)); }

# leftovers: the lock file and Qt's temporary copies next to the file
leftovers() {
    find "$confdir" -maxdepth 1 \( -name 'Dovo.conf.lock' -o -name 'Dovo.conf.??????' \) -printf '%f\n' | sort | tr '\n' ' '
}

start_dovo() {
    local log=$DESKTOP_DIR/logs/round.$1
    DOVO_AUTOSAVE_INTERVAL_MS=$2 "$DOVO" </dev/null >"$log.out" 2>"$log.err" &
    pid=$!
    desktop_track_pid "$pid"
    err=$log.err
}

# The pointer sweeps a row back and forth without pause for the whole test.
(
    while :; do
        for x in 200 330 460 590 720 850 980 1110 980 850 720 590 460 330; do
            "$_desk_probe" motion "$x" 200 2>/dev/null
            sleep 0.05
        done
    done
) &
desktop_track_pid $!

# ------------------------------------------------------------ the rounds

torn='' backwards='' unsaved='' complaints='' badstatus='' padloss='' midsave=0
prev=-1 rounds=0
for ((r = 1; r <= PLAIN_ROUNDS + PADDED_ROUNDS; r++)); do
    if ((r == PLAIN_ROUNDS + 1)); then
        add_padding || { check_true "padding added to a valid file" false; break; }
    fi
    padded=$((r > PLAIN_ROUNDS))
    start_dovo "$r" $((20 + RANDOM % 31))
    # The run must save before it can be killed mid-save; this also proves
    # whatever the previous kill left behind did not block it.
    if ! wait_until 10 saved_beyond "$prev"; then
        unsaved+=" $r"
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        continue
    fi
    seen=$(file_total)
    # Read the file all through the random delay: a reader must never catch
    # it torn either.
    until_ms=$(($(_desk_now_ms) + RANDOM % 600))
    while (($(_desk_now_ms) < until_ms)); do
        now=$(file_total)
        ((now >= seen)) || backwards+=" $r(read $now after $seen)"
        ((now > seen)) && seen=$now
        sleep 0.01
    done
    kill -KILL "$pid"
    reap "$pid"
    status=$REAPED
    ((status == 137)) || badstatus+=" $r($status)"
    left=$(leftovers)
    [[ -n $left ]] && midsave=$((midsave + 1))
    if t=$(conf_totals); then
        total=$(total_of "$t")
        ((total >= seen)) || backwards+=" $r($total after $seen)"
        prev=$total
    else
        torn+=" $r($t, size $(stat -c %s "$conf" 2>/dev/null))"
    fi
    if ((padded)) && [[ $(padding_count) != "$PADDING_KEYS" ]]; then
        padloss+=" $r($(padding_count))"
    fi
    # The file this run started from was whole: it must not have complained.
    [[ -s $err ]] && grep -q 'Dovo.conf' "$err" && complaints+=" $r($(head -n 1 "$err"))"
    rounds=$r
done

echo "# $rounds rounds; $midsave kills left a lock or temporary file behind (killed inside a save)"
echo "# final totals $(conf_totals) = $(file_total) twips"
check_eq "every round ran" $((PLAIN_ROUNDS + PADDED_ROUNDS)) "$rounds"
check_eq "every killed run had saved first (stale lock never blocked a save)" "" "$unsaved"
check_eq "SIGKILL always ended dovo by the signal" "" "$badstatus"
check_eq "after every kill the file holds both totals as plain integers" "" "$torn"
check_eq "the totals never went backwards, in reads or after kills" "" "$backwards"
check_eq "the other keys of the file survived every kill" "" "$padloss"
check_eq "no restart found the file damaged" "" "$complaints"
check_true "some kills landed inside a save" test "$midsave" -ge 1

# ------------------------------------------- a lock left by a kill inside it
# Stop dovo over and over until it is caught holding the lock, then kill it
# there: the lock file is certainly stale.
echo "# a kill while the lock is held"
start_dovo lock 20
check_true "the run saves" wait_until 10 saved_beyond "$prev"
caught=0
limit=$(($(_desk_now_ms) + 10000))
while (($(_desk_now_ms) < limit)); do
    kill -STOP "$pid"
    if [[ -e $confdir/Dovo.conf.lock ]]; then
        caught=1
        break
    fi
    kill -CONT "$pid"
    sleep "0.0$((RANDOM % 10))"
done
kill -KILL "$pid"
wait "$pid" 2>/dev/null
check_eq "dovo was killed holding the lock" 1 "$caught"
check_true "the stale lock file is there" test -e "$confdir/Dovo.conf.lock"
before=$(file_total)
check_true "the file still parses" conf_totals
check_eq "the other keys survived" "$PADDING_KEYS" "$(padding_count)"

start_dovo after-lock 20
check_true "the next start saves despite the stale lock" wait_until 10 saved_beyond "$before"
check_eq "the next start did not complain" "" "$(grep 'Dovo.conf' "$err")"
kill -TERM "$pid"
reap "$pid"
check_eq "SIGTERM then exits 0" 0 "$REAPED"
check_true "the file parses after the last save" conf_totals
check_false "no lock file is left after a clean exit" test -e "$confdir/Dovo.conf.lock"

desktop_stop
echo "# took $(faults_took) s"
finish
