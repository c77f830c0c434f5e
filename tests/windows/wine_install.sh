#!/usr/bin/env bash
# shellcheck disable=SC2317 # predicates are called through check_true/wait_until
#
# The real installer under Wine, silent as an administrator runs it (/S):
# what it puts where; Dovo started from there counting a path and saving
# it; an install over the running Dovo, which is asked to close (so it
# saves), keeps the totals, writes the login entry and starts Dovo again;
# the silent uninstaller closing that one and taking away all it put there
# but the totals.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine.sh
source "$here/wine.sh"
require_wine
if [[ -z ${DOVO_SETUP:-} || $DOVO_SETUP != /* || -z ${DOVO_VERSION:-} ]]; then
    _desk_err "${0##*/}: set DOVO_SETUP to the installer's absolute path, and DOVO_VERSION"
    exit 2
fi

HOLD=0.6 # three ticks of 200 ms: the position has been sampled
UNINSTALL_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Dovo'
RUN_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'

# key_values KEY: its values as sorted "NAME=DATA" lines; nothing when the
# key is missing.
key_values() {
    wine reg query "$1" 2>/dev/null | tr -d '\r' | awk '$2 ~ /^REG_/ {
        v = $0; sub(/^[ \t]*[^ \t]+[ \t]+REG_[A-Z_]+[ \t]*/, "", v); print $1 "=" v }' | LC_ALL=C sort
}
run_entry() { key_values "$RUN_KEY" | sed -n 's/^Dovo=//p'; }

n_setup=0
# setup [SWITCHES]: the installer, silent; returns its exit status.
setup() {
    n_setup=$((n_setup + 1))
    wine "$DOVO_SETUP" /S "$@" >"$DESKTOP_DIR/logs/setup.$n_setup.log" 2>&1
}

dovo_windows() { xdotool search --onlyvisible --name "^$DOVO_TITLE\$" 2>/dev/null; }
a_dovo_window() { [[ -n $(dovo_windows) ]]; }
no_dovo_window() { [[ -z $(dovo_windows) ]]; }

must "desktop starts" wine_desktop_start

# Where this prefix's user keeps programs and roaming settings, as Windows
# and as Unix paths.
mapfile -t win < <(wine cmd /c 'echo %LOCALAPPDATA%&echo %APPDATA%' 2>/dev/null | tr -d '\r')
mapfile -t unix < <(wine winepath -u "${win[@]}" 2>/dev/null | tr -d '\r')
must "the user's folders are known" test "${#unix[@]}" -eq 2
win_dir="${win[0]}\\Programs\\Dovo"
dir=${unix[0]%/}/Programs/Dovo
shortcut="${unix[1]%/}/Microsoft/Windows/Start Menu/Programs/Dovo.lnk"

# ------------------------------------------------------ the first install
rc=0
setup || rc=$?
check_eq "silent install exits 0" 0 "$rc"
check_eq "the program and its uninstaller in the user's programs folder" \
    "LICENSE.txt dovo.exe uninstall.exe" "$(find "$dir" -mindepth 1 -printf '%f\n' 2>/dev/null | LC_ALL=C sort | paste -sd ' ')"
# the shortcut's target, as the ANSI path of its LinkInfo
check_true "the Start-menu shortcut starts the installed dovo.exe" \
    grep -qFx "$win_dir\\dovo.exe" <(strings -a "$shortcut" 2>/dev/null)
entry=$(key_values "$UNINSTALL_KEY")
check_eq "the apps-list entry" "DisplayIcon=$win_dir\\dovo.exe,0
DisplayName=Dovo
DisplayVersion=$DOVO_VERSION
Publisher=Quen Dorvil
QuietUninstallString=\"$win_dir\\uninstall.exe\" /S
UninstallString=\"$win_dir\\uninstall.exe\"" \
    "$(grep -E '^(Display|Publisher|(Quiet)?UninstallString)' <<<"$entry")"
size=$(sed -n 's/^EstimatedSize=//p' <<<"$entry")
check_true "the apps list gets the size in KiB, at least dovo.exe's" \
    test "$((size))" -ge "$(($(stat -c %s "$dir/dovo.exe" 2>/dev/null || echo 0) / 1024 + 1))"
check_eq "Dovo does not start at login unless asked" "" "$(run_entry)"

# ------------------------------------- Dovo from there, counting and saving
printf '#!/bin/sh\nexec %q %q "$@"\n' "$_WINE_LOADER" "$dir/dovo.exe" >"$DOVO"
must "the installed dovo.exe starts" dovo_start
read -r x0 y0 < <(pointer_at)
path=$(seeded_path 20 6 100 100 700 500)
walk <<<"$path"
want=$(path_twips 15 "$x0" "$y0" <<<"$path")

# ------------------------------- again, over the running Dovo, login on
rc=0
setup /STARTATLOGIN=1 || rc=$?
check_eq "install over a running Dovo exits 0" 0 "$rc"
rc=0
dovo_wait 10 || rc=$?
check_eq "the running Dovo was asked to close, and did (exit 0)" 0 "$rc"
check_eq "it saved the path as it closed; the install kept the totals" "$want/0" "$(reg_totals)"
check_true "the installer started Dovo again" wait_until 15 a_dovo_window
check_eq "the login switch writes the Run entry" "\"$win_dir\\dovo.exe\"" "$(run_entry)"

# ----------------------------------------- the silent uninstall, Dovo on
rc=0
wine "$dir/uninstall.exe" /S >"$DESKTOP_DIR/logs/uninstall.log" 2>&1 || rc=$?
check_eq "silent uninstall exits 0" 0 "$rc"
# It returns at once: a copy of it in TEMP does the work (and goes at the
# next restart, as Windows' own way to remove a running program).  Taking
# away the apps-list entry is the last thing it does.
uninstalled() { [[ ! -e $dir && -z $(key_values "$UNINSTALL_KEY") ]]; }
check_true "the uninstall finishes" wait_until 60 uninstalled
check_true "it closed the running Dovo first" no_dovo_window
check_false "no shortcut left" test -e "$shortcut"
check_eq "no apps-list entry left" "" "$(key_values "$UNINSTALL_KEY")"
check_eq "no Run entry left" "" "$(run_entry)"
check_eq "the totals stay" "$want/0" "$(reg_totals)"

finish
