#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through check_true/wait_until
# shellcheck disable=SC2119 # optional arguments of the harness left out on purpose
#
# The real dovo.exe under Wine when the machine sleeps or the Restart Manager closes it.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine.sh
source "$here/wine.sh"
require_wine

HOLD=0.6

must "desktop starts" wine_desktop_start

# ------------------------------------------------------ the machine sleeps
# Saved before the machine sleeps, though no periodic save is due; after
# the resume the next move is counted.
suspend_saves() {
    reg_del
    must "the pointer at the start" pointer_move 300 200
    must "dovo starts" dovo_start
    local path=$'700 200\n700 500' want
    HOLD=2.5 walk <<<"$path"
    want=$(path_twips 15 300 200 <<<"$path")
    must "told the machine sleeps" machine_sleeps
    check_eq "saved before the sleep" "$want/0" "$(reg_totals)"
    must "told the machine woke" machine_wakes
    must "a move after the resume" pointer_move 700 600
    saved_after_sleep() { machine_sleeps && [[ $(reg_totals) == "$1" ]]; }
    check_true "the move after the resume is counted" \
        wait_until 20 saved_after_sleep "$((want + 1500))/0"
    rc=0
    dovo_close || rc=$?
    check_eq "close exits 0" 0 "$rc"
}
suspend_saves

# ------------------------------------------- closed by the Restart Manager
# An installer's Restart Manager closes Dovo (ENDSESSION_CLOSEAPP) while
# the session goes on: the total is saved and the process ends, so that it
# no longer holds the single-instance lock with a window that counts nothing.
closeapp_ends() {
    reg_del
    must "the pointer at the start" pointer_move 300 200
    must "dovo starts" dovo_start
    local path='700 200' rc=0
    HOLD=2.5 walk <<<"$path"
    must "asked to close for the Restart Manager" dovo_send 0x11 0 1
    must "told to close for the Restart Manager" dovo_send 0x16 1 1
    dovo_wait 10 || rc=$?
    check_eq "the end of the session ends Dovo" 0 "$rc"
    ((rc == 124)) && dovo_signal KILL
    check_eq "the total was saved" "$(path_twips 15 300 200 <<<"$path")/0" "$(reg_totals)"
}
closeapp_ends

finish
