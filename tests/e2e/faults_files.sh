#!/usr/bin/env bash
# shellcheck disable=SC2317 # case functions are called through the table
# shellcheck disable=SC2119 # optional arguments of the helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo tests/e2e/faults_files.sh
#
# A settings file dovo cannot use: empty, random bytes, a folder where the
# file should be, a file the user may not read.  Dovo must say so once on
# stderr and on screen, and run normally from zero.  It keeps a damaged file aside as
# Dovo.conf.damaged-1 and writes a clean file when it is closed; a file it
# cannot read is no damage: it stays as it is, and once it can be read the
# close adds to its totals.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=faults_common.sh
source "$here/faults_common.sh"

must "desktop with a tray starts" desktop_start
can_drop=0
as_user_can_run && can_drop=1

# Each case prepares Dovo.conf and says how it should be kept aside:
#   copy  - Dovo.conf.damaged-1 holds the same bytes, Dovo.conf stays put
#   move  - the folder itself is moved to Dovo.conf.damaged-1
#   keep  - nothing is kept aside and Dovo.conf stays as it is
#   user  - run dovo as the unprivileged user
make_empty() { : >"$1"; }
# The same "random" bytes every run, so a failure can be reproduced; any
# bytes do when openssl is missing.
make_random() {
    if command -v openssl >/dev/null; then
        openssl enc -aes-128-ctr -nosalt -pbkdf2 -pass pass:dovo-faults </dev/zero 2>/dev/null |
            head -c 10485760 >"$1"
    else
        head -c 10485760 /dev/urandom >"$1"
    fi
}
make_folder() {
    mkdir "$1"
    printf 'left here by a person\n' >"$1/note.txt"
}
make_unreadable() {
    conf_write 4321 5 "$1"
    chmod 000 "$1"
    as_user_own "$1"
}

#        name        maker            aside  who
cases=(
    "empty       make_empty       copy   root"
    "random      make_random      copy   root"
    "folder      make_folder      move   root"
    "unreadable  make_unreadable  keep   user"
)

for row in "${cases[@]}"; do
    read -r name maker aside who <<<"$row"
    echo "# Dovo.conf: $name"
    if [[ $who == user ]]; then
        if ((!can_drop)); then
            check_true "$name: setpriv can run dovo as $FAULTS_USER" false
            continue
        fi
        as_user_begin
    fi
    conf=$(conf_file)
    rm -rf -- "$XDG_CONFIG_HOME"
    mkdir -p "$XDG_CONFIG_HOME"
    [[ $who == user ]] && as_user_own "$XDG_CONFIG_HOME"
    "$maker" "$conf"
    # what was there, to compare with what is kept aside
    original=$DESKTOP_DIR/original.$name
    rm -rf -- "$original"
    cp -a -- "$conf" "$original"

    if ! dovo_start; then
        check_true "$name: dovo starts and shows its window" false
        [[ $who == user ]] && as_user_end
        continue
    fi
    check_true "$name: dovo starts and shows its window" true
    check_eq "$name: its tray icon is docked" 1 "$(wait_eq 5 1 tray_icon_count)"
    # Started from a menu, nobody reads the standard error: the balloon from
    # the icon (a tooltip-type window of dovo's) tells it.
    check_true "$name: told on screen, by the balloon" wait_until 5 tooltip_shown
    check_true "$name: still running a moment later" holds_for 1 _desk_alive "$DOVO_PID"
    echo "# stderr: $(tr '\n' '|' <"$DOVO_STDERR")"
    check_eq "$name: exactly one stderr line names the file" 1 "$(stderr_lines "$DOVO_STDERR" "$conf")"
    check_eq "$name: nothing else on stderr" 0 "$(dovo_said | grep -vcF -- "$conf")"

    kept=$conf.damaged-1
    case $aside in
    copy)
        check_true "$name: Dovo.conf.damaged-1 holds the same bytes" cmp -s -- "$original" "$kept"
        ;;
    move)
        check_false "$name: the damaged one no longer stands in the way" test -e "$conf"
        check_true "$name: the folder was moved aside whole" diff -r -- "$original" "$kept"
        ;;
    keep)
        check_false "$name: nothing is kept aside" test -e "$kept"
        check_true "$name: the file is left unchanged" cmp -s -- "$original" "$conf"
        check_eq "$name: and keeps its mode" 0 "$(stat -c %a "$conf")"
        # readable again before the close, which reads it and adds to it
        chmod 600 "$conf"
        ;;
    esac
    check_false "$name: only one copy kept aside" test -e "$conf.damaged-2"

    rc=0
    dovo_close || rc=$?
    check_eq "$name: closing exits 0" 0 "$rc"
    check_true "$name: a regular file is written at close" test -f "$conf"
    if [[ $aside == keep ]]; then
        check_eq "$name: it holds the totals read at the close" "4321 5" "$(conf_totals "$conf")"
        check_false "$name: still nothing kept aside after close" test -e "$kept"
    else
        check_eq "$name: it holds both totals, from zero" "0 0" "$(conf_totals "$conf")"
        check_true "$name: the kept copy is still there after close" test -e "$kept"
    fi
    [[ $who == user ]] && as_user_end
done

desktop_stop
echo "# took $(faults_took) s"
finish
