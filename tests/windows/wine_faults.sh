#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through check_true/wait_until
# shellcheck disable=SC2119 # optional arguments of the harness left out on purpose
#
# The real dovo.exe under Wine when its registry values are damaged or its
# key cannot be written: a damaged value is kept aside in the same key under
# a name that says so, never overwritten, reported without holding up the
# start, and its total starts from 0 while the other loads; a save that
# fails at close is told on stderr and in a message box, and Dovo exits 1
# with the stored totals untouched.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine.sh
source "$here/wine.sh"
require_wine

HOLD=0.6
box_gone() { ! wine_message_box Dovo; }

must "desktop starts" wine_desktop_start

# stored (NAME=TEXT, comma-separated) | saved totals | values kept aside
# (NAME=TEXT, comma-separated) | text the report quotes | told by (balloon,
# or a box where two notices do not fit one balloon) | notices
rows=(
    "totalpixels=abc,totalmpixels=5|0/5|totalpixels.damaged-1=abc|abc|balloon|1"
    "totalpixels=1234,totalmpixels=2147483648|1234/0|totalmpixels.damaged-1=2147483648|2147483648|balloon|1"
    "totalpixels=12 34,totalmpixels=7,totalpixels.damaged-1=older|0/7|totalpixels.damaged-1=older,totalpixels.damaged-2=12 34|12 34|balloon|1"
    "totalpixels=abc,totalmpixels=abc|0/0|totalpixels.damaged-1=abc,totalmpixels.damaged-1=abc|abc|box|2"
)
for row in "${rows[@]}"; do
    IFS='|' read -r stored want aside quoted told notices <<<"$row"
    label="stored $stored"
    reg_del
    args=()
    IFS=',' read -ra pairs <<<"$stored"
    for pair in "${pairs[@]}"; do args+=("${pair%%=*}" "${pair#*=}"); done
    must "$label: written" reg_put "${args[@]}"
    if ! dovo_start; then
        check_true "$label: dovo starts" false
        continue
    fi
    if [[ $told == balloon ]]; then
        check_true "$label: told by a balloon from the icon" wait_until 5 wine_balloon
    else
        box=$(wait_until 10 wine_message_box Dovo && wine_message_box Dovo)
        check_true "$label: told by a message box" test -n "$box"
        said=$(message_box_texts Dovo)
        while IFS= read -r line; do
            check_true "$label: the box holds '${line#dovo: }' whole" grep -qF "${line#dovo: }" <<<"$said"
        done < <(dovo_lines)
        [[ -n ${SHOT:-} ]] && screenshot "$SHOT"
        [[ -n $box ]] && dismiss_box "$box"
        # Wine drops a close request for a window its box still disables.
        check_true "$label: the box goes" wait_until 10 box_gone
    fi
    rc=0
    dovo_close || rc=$?
    check_eq "$label: close exits 0" 0 "$rc"
    check_eq "$label: saved $want" "$want" "$(reg_totals)"
    IFS=',' read -ra kept <<<"$aside"
    for pair in "${kept[@]}"; do
        check_eq "$label: ${pair%%=*} kept" "${pair#*=}" "$(reg_get "${pair%%=*}")"
    done
    lines=$(dovo_lines)
    check_eq "$label: a line on stderr per damaged value" "$notices" "$(grep -c . <<<"$lines")"
    check_true "$label: it quotes the damaged text (got '$lines')" grep -qF "\"$quoted\"" <<<"$lines"
done

# ------------------------------------------------- a key that cannot be written
reg_del
reg_put totalpixels 1234 totalmpixels 5
must "the key read-only" reg_lock
must "the pointer at the start" pointer_move 300 200
DOVO_AUTOSAVE_INTERVAL_MS=500 must "dovo starts on the read-only key" dovo_start
# a move, so that there is something to save
pointer_move 400 200
check_true "a failed periodic save is told by a balloon" wait_until 10 wine_balloon
must "asked to close" wmctrl -F -c "$DOVO_TITLE"
box=$(wait_until 10 wine_message_box Dovo && wine_message_box Dovo)
check_true "a message box titled Dovo tells the user" test -n "$box"
check_true "Dovo waits for it" _desk_alive "$DOVO_PID"
[[ -n $box ]] && dismiss_box "$box"
rc=0
dovo_wait 10 || rc=$?
check_eq "the failed save ends Dovo with status 1" 1 "$rc"
line=$(dovo_lines)
check_true "stderr names the key (got '$line')" \
    grep -qF 'HKEY_CURRENT_USER\Software\VB and VBA Program Settings\Dovo\odoledger' <<<"$line"
check_eq "the stored totals are untouched" 1234/5 "$(reg_totals)"

finish
