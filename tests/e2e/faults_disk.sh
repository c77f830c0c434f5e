#!/usr/bin/env bash
# shellcheck disable=SC2317 # helpers are called through check_true
#
# DOVO=/absolute/path/to/dovo tests/e2e/faults_disk.sh
#
# The settings folder on a small filesystem that fills up while Dovo runs,
# with a periodic save every second. The failed save is told on screen (the
# balloon from the icon); the intact file is never taken for damage, kept
# aside or replaced; once there is room again the next periodic save
# succeeds, and the totals at close hold all the travel. Needs root to mount
# the filesystem: exits 77 where it cannot.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=faults_common.sh
source "$here/faults_common.sh"

must "desktop with a tray starts" desktop_start
mkdir -p "$XDG_CONFIG_HOME"
if ! mount -t tmpfs -o size=64k dovo-faults-disk "$XDG_CONFIG_HOME" 2>/dev/null; then
    echo "# skip: cannot mount a small tmpfs here"
    desktop_stop
    exit 77
fi
unmount() { umount "$XDG_CONFIG_HOME" 2>/dev/null || true; }

failed_saves() { grep -c 'could not be written' "$DOVO_STDERR" || true; }
no_damage_said() { ! grep -q 'kept aside\|valid settings file' "$DOVO_STDERR"; }
saved_twips_above() { local t; t=$(conf_totals) && (($(total_of "$t") > $1)); }

conf=$(conf_file)
conf_write 1000 0 "$conf"
export DOVO_AUTOSAVE_INTERVAL_MS=1000
if ! dovo_start; then
    check_true "dovo starts and shows its window" false
    unmount
    desktop_stop
    finish
fi
check_eq "its tray icon is docked" 1 "$(wait_eq 5 1 tray_icon_count)"

head -c 1M /dev/zero >"$XDG_CONFIG_HOME/filler" 2>/dev/null
pointer_move_sampled 300 200
pointer_move_sampled 500 200
check_true "the failed save is on stderr" wait_until 10 eval '(($(failed_saves) >= 1))'
# The tray balloon is a tooltip-type window of dovo.
check_true "and told on screen, by the balloon" wait_until 5 tooltip_shown
check_eq "the file is as it was" "1000 0" "$(conf_totals "$conf")"
# Three more periodic saves into the full disk.
check_true "it is not taken for damage" holds_for 3 no_damage_said
check_false "nothing kept aside" compgen -G "$conf.damaged-*"

rm -f -- "$XDG_CONFIG_HOME/filler"
check_true "with room again the next periodic save succeeds" wait_until 10 saved_twips_above 1000
check_true "still nothing taken for damage" no_damage_said
pointer_move_sampled 500 400
rc=0
dovo_close || rc=$?
check_eq "closing exits 0" 0 "$rc"
check_false "nothing kept aside at close" compgen -G "$conf.damaged-*"
# 400 px across and 200 down at 15 twips a pixel, after the first move.
check_true "the totals hold the travel since the first move" saved_twips_above $((1000 + 600 * 15 - 1))
echo "# stderr: $(tr '\n' '|' <"$DOVO_STDERR")"
unmount
desktop_stop
echo "# took $(faults_took) s"
finish
