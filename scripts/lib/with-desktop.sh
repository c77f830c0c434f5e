#!/usr/bin/env bash
#
# with-desktop.sh [--no-panel] [--dpi N] [--] COMMAND [ARGS...]
#
# Runs COMMAND inside a fresh private desktop (Xvfb + openbox + tint2, see
# desktop.sh) and exits with COMMAND's status.  Meant for ctest entries such
# as an in-process Qt Test binary that needs a real window manager and tray.
# Exits 125 when the desktop itself could not be started, so that failure
# is not mistaken for the command's.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=desktop.sh
source "$here/desktop.sh"

opts=()
while (($#)); do
    case $1 in
    --no-panel) opts+=(--no-panel); shift ;;
    --dpi) opts+=(--dpi "${2:-}"); shift 2 || shift ;;
    --dpi=*) opts+=("$1"); shift ;;
    --) shift; break ;;
    *) break ;;
    esac
done
if (($# == 0)); then
    echo "usage: with-desktop.sh [--no-panel] [--dpi N] [--] COMMAND [ARGS...]" >&2
    exit 2
fi

desktop_start "${opts[@]}" || exit 125

# In the background so that a TERM from a test driver's timeout reaches the
# trap at once (bash defers traps while a foreground child runs) and the
# command is stopped together with the desktop; stdin is passed on
# explicitly because background jobs would otherwise read /dev/null.
"$@" <&0 &
cmd_pid=$!
desktop_track_pid "$cmd_pid"
wait "$cmd_pid"
exit $?
