#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through wait_until
#
# A newcomer's first command, from nothing: a pristine Debian 12 root
# (minbase and git), the checkout cloned into it, and the README's
# scripts/run, with a display of the test's own desktop. Passes only when
# Dovo's window is up on that display, and closing it ends scripts/run
# cleanly.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/desktop.sh
source "$here/../../scripts/lib/desktop.sh"

release=${1:-bookworm}

must "desktop starts" desktop_start

run_log=$DESKTOP_DIR/logs/fresh-run.log
python3 "$here/../driver/roots.py" --fresh "$release" -- sh -c \
    'git clone -q /dovo /root/dovo && cd /root/dovo && exec scripts/run' >"$run_log" 2>&1 &
run_pid=$!
desktop_track_pid "$run_pid"

window() { xdotool search --onlyvisible --name "^${DOVO_TITLE}\$" 2>/dev/null | head -n 1; }
up() { [[ -n $(window) ]] || { _desk_alive "$run_pid" || return 2; return 1; }; }
if ! check_true "scripts/run installs, builds and shows Dovo's window" wait_until 1200 up; then
    tail -n 40 "$run_log"
else
    DOVO_WID=$(printf '0x%x' "$(window)")
    # Dovo inside the root is a grandchild; the window names its process.
    DOVO_PID=$(xprop -id "$DOVO_WID" -notype _NET_WM_PID | awk '{ print $NF }')
    check_true "the window is managed, in normal state" wait_until 10 shown_normal
    check_true "Dovo's icon is in the panel" wait_until 10 tray_icon_dovo
    must "closed through the window manager" wmctrl -F -c "$DOVO_TITLE"
    gone() { ! _desk_alive "$run_pid"; }
    check_true "scripts/run ends with Dovo" wait_until 20 gone
    rc=0
    wait "$run_pid" || rc=$?
    check_eq "scripts/run exits 0" 0 "$rc"
    grep -E '^==> installing|^dovo: ' "$run_log" | cut -c1-200
fi
finish
