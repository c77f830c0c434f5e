#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through wait_until/check_true
# shellcheck disable=SC2119 # optional arguments of the helpers left out on purpose
#
# DOVO=/absolute/path/to/dovo tests/e2e/faults_folders.sh
#
# The folder that should hold Dovo.conf is read-only, missing, or a symlink
# to nowhere.  A save dovo cannot make must be reported and must fail the
# exit status without touching what is there; a folder that is merely
# missing is created.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=faults_common.sh
source "$here/faults_common.sh"

must "desktop starts" desktop_start --no-panel
base_config=$XDG_CONFIG_HOME

# ------------------------------------------------------------ read-only
echo "# config folder read-only"
if as_user_can_run; then
    as_user_begin
    conf=$(conf_file)
    conf_write 123456 42 "$conf"
    as_user_own "$conf"
    chmod 555 "$XDG_CONFIG_HOME"
    cp -p -- "$conf" "$DESKTOP_DIR/readonly.before"
    listing_before=$(ls -A "$XDG_CONFIG_HOME")

    must "dovo starts as $FAULTS_USER" dovo_start
    check_true "the readouts are painted" wait_until 10 readouts_painted
    # travel, so that the save has something new to write
    check_true "a jump of 300 px is counted" jump_seen 940 400
    rc=0
    dovo_close_told || rc=$?
    check_eq "closing tells it in a box, then exits 1" 1 "$rc"
    echo "# stderr: $(tr '\n' '|' <"$DOVO_STDERR")"
    check_eq "one line says the totals cannot be saved, naming the file" 1 \
        "$(grep -c "^dovo: cannot save the totals to $conf: ." "$DOVO_STDERR")"
    check_true "the old file is byte for byte intact" cmp -s -- "$DESKTOP_DIR/readonly.before" "$conf"
    check_eq "nothing was added to the folder" "$listing_before" "$(ls -A "$XDG_CONFIG_HOME")"
    chmod 755 "$XDG_CONFIG_HOME"
    as_user_end
else
    check_true "setpriv can run dovo as $FAULTS_USER" false
fi

# ------------------------------------------------------------ missing
echo "# config folder missing"
export XDG_CONFIG_HOME=$DESKTOP_DIR/not/yet/there
export DOVO_AUTOSAVE_INTERVAL_MS=200
pointer_move 640 400
must "dovo starts without its config folder" dovo_start
check_false "the folder is not there yet" test -e "$XDG_CONFIG_HOME"
pointer_move 940 400
check_eq "the folder is created at the first save and the file holds the travel" "4500 0" \
    "$(wait_eq 10 "4500 0" conf_totals)"
rc=0
dovo_close || rc=$?
check_eq "closing exits 0" 0 "$rc"
check_eq "after close the file holds the travel" "4500 0" "$(conf_totals)"
check_eq "nothing on stderr names the file" 0 "$(stderr_lines "$DOVO_STDERR" Dovo.conf)"

# ------------------------------------------------------------ dangling symlink
# Either outcome is acceptable: the save goes through the link (the folder
# it points at gets created), or dovo says it cannot save and exits 1.
echo "# config folder is a symlink to a missing place"
target=$DESKTOP_DIR/elsewhere/config
export XDG_CONFIG_HOME=$DESKTOP_DIR/linked-config
ln -s -- "$target" "$XDG_CONFIG_HOME"
pointer_move 640 400
must "dovo starts with the dangling link" dovo_start
pointer_move 940 400
if wait_until 5 test -f "$target/Dovo.conf"; then
    outcome=saved-through-link
    check_eq "saved through the link: the file holds the travel" "4500 0" "$(wait_eq 10 "4500 0" conf_totals)"
    rc=0
    dovo_close || rc=$?
    check_eq "closing exits 0" 0 "$rc"
    check_true "the link is still a link" test -L "$XDG_CONFIG_HOME"
    check_eq "the file behind it holds the travel" "4500 0" "$(conf_totals "$target/Dovo.conf")"
else
    outcome=refused
    rc=0
    dovo_close_told || rc=$?
    check_eq "closing tells it in a box, then exits 1" 1 "$rc"
    check_eq "one line says the totals cannot be saved, naming the file" 1 \
        "$(grep -c "^dovo: cannot save the totals to $XDG_CONFIG_HOME/Dovo.conf: ." "$DOVO_STDERR")"
    check_true "the link is left as it was" test -L "$XDG_CONFIG_HOME"
    check_false "nothing was created behind it" test -e "$DESKTOP_DIR/elsewhere"
fi
echo "# dangling symlink outcome: $outcome; stderr: $(tr '\n' '|' <"$DOVO_STDERR")"
unset DOVO_AUTOSAVE_INTERVAL_MS
export XDG_CONFIG_HOME=$base_config

desktop_stop
echo "# took $(faults_took) s"
finish
