# shellcheck shell=bash
# shellcheck disable=SC2034 # FAULTS_* are read by the sourcing script
#
# Shared by the faults_*.sh end-to-end tests; sourced, never run.
#
#   source "$here/faults_common.sh"     # also sources desktop.sh
#
# The saved totals are judged the way a person restoring them would: both
# keys present once, plain decimal integers in the 32-bit range, and the
# whole distance (blocks * 567000 + twips) never going backwards.

_FAULTS_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/desktop.sh
source "$_FAULTS_HERE/../../scripts/lib/desktop.sh"

require_dovo || exit 2
FAULTS_DOVO=$DOVO
FAULTS_STARTED=$EPOCHREALTIME
BLOCK_TWIPS=567000

faults_took() {
    awk -v a="$FAULTS_STARTED" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'
}

conf_file() { printf '%s/Dovo.conf\n' "${XDG_CONFIG_HOME:?desktop_start first}"; }

# conf_totals [FILE]: prints "TWIPS BLOCKS" and succeeds only when [odoledger]
# holds totalpixels and totalmpixels exactly once each, as plain integers
# within the 32-bit range.  Anything else (torn, empty, missing key, junk)
# prints what was found and fails, so a check can show it.
conf_totals() {
    local f=${1:-$(conf_file)}
    [[ -f $f ]] || { echo "no file"; return 1; }
    awk "$DESK_ODOLEDGER_AWK"'
        function entry(k, v) { n[k]++; val[k] = v }
        function ok(k) {
            return n[k] == 1 && val[k] ~ /^-?[0-9]+$/ && length(val[k]) <= 11 &&
                   val[k] + 0 >= -2147483648 && val[k] + 0 <= 2147483647
        }
        END {
            if (ok("totalpixels") && ok("totalmpixels")) { print val["totalpixels"] " " val["totalmpixels"]; exit 0 }
            printf "bad: totalpixels x%d \"%s\", totalmpixels x%d \"%s\"\n", \
                n["totalpixels"], val["totalpixels"], n["totalmpixels"], val["totalmpixels"]
            exit 1
        }' "$f"
}

# total_of "TWIPS BLOCKS": the whole distance in twips (64-bit shell maths).
total_of() {
    local twips=${1% *} blocks=${1#* }
    printf '%s\n' "$((blocks * BLOCK_TWIPS + twips))"
}

# conf_write TWIPS BLOCKS [FILE]: a well-formed settings file.
conf_write() {
    local f=${3:-$(conf_file)}
    mkdir -p "$(dirname "$f")"
    printf '[odoledger]\ntotalmpixels=%s\ntotalpixels=%s\n' "$2" "$1" >"$f"
}

# stderr_lines FILE PATTERN: how many lines of FILE contain PATTERN (fixed).
stderr_lines() { grep -cF -- "$2" "$1" 2>/dev/null || true; }

# reap PID: wait for a child of this shell and set REAPED to its exit status
# (128+N: killed by signal N).  Not usable inside $(...): a subshell cannot
# wait for its parent's children.
reap() {
    REAPED=0
    wait "$1" 2>/dev/null || REAPED=$?
}

# alive PID: the process exists and is not a zombie.
alive() {
    local s
    { read -r s <"/proc/$1/stat"; } 2>/dev/null || return 1
    s=${s##*) }
    [[ ${s%% *} != Z ]]
}

gone() { ! alive "$1"; }

# window_of_pid PID: the id of the visible dovo window owned by PID.
window_of_pid() {
    local w ids=''
    # without --all, xdotool ORs its conditions: filter by title here
    for w in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
        [[ $(xdotool getwindowname "$w" 2>/dev/null) == "$DOVO_TITLE" ]] || continue
        window_managed "$w" || continue
        ids+=$(printf '0x%x' "$w")
    done
    [[ -n $ids && $ids != *0x*0x* ]] || return 1
    printf '%s\n' "$ids"
}

# --------------------------------------------------------- unprivileged runs
#
# The test runs as root in CI, and root ignores file modes; a folder that is
# read-only or a file that is unreadable only bites an ordinary user.  These
# give dovo its own HOME and XDG folders owned by nobody inside DESKTOP_DIR
# and a copy of the X cookie it can read, and run it through setpriv.  The
# shell keeps running as root so that it can examine everything afterwards.

FAULTS_USER=nobody
FAULTS_GROUP=nogroup

_faults_env_saved=()

# as_user_begin: from now on DOVO (and dovo_start) run as the unprivileged
# user with XDG_CONFIG_HOME=$DESKTOP_DIR/user/config.
as_user_begin() {
    local dir=$DESKTOP_DIR/user v
    _faults_env_saved=()
    for v in HOME XDG_CONFIG_HOME XDG_RUNTIME_DIR XDG_CACHE_HOME XDG_DATA_HOME XDG_STATE_HOME XAUTHORITY DOVO; do
        _faults_env_saved+=("$v=${!v}")
    done
    mkdir -p "$dir"/{home,config,cache,data,state,runtime}
    chmod 700 "$dir/runtime"
    cp -- "$XAUTHORITY" "$dir/Xauthority"
    cat >"$DESKTOP_DIR/bin/dovo-as-user" <<EOF
#!/bin/sh
# exec all the way down so that the window's _NET_WM_PID is this script's pid
exec setpriv --reuid=$FAULTS_USER --regid=$FAULTS_GROUP --clear-groups -- "$FAULTS_DOVO" "\$@"
EOF
    chmod 755 "$DESKTOP_DIR/bin/dovo-as-user"
    if ((EUID == 0)); then
        chown -R "$FAULTS_USER:$FAULTS_GROUP" "$dir"
        # the user must be able to walk into its own folder and to run dovo
        chmod 711 "$DESKTOP_DIR" "$DESKTOP_DIR/bin"
        export DOVO=$DESKTOP_DIR/bin/dovo-as-user
    fi
    export HOME=$dir/home XDG_CONFIG_HOME=$dir/config XDG_RUNTIME_DIR=$dir/runtime
    export XDG_CACHE_HOME=$dir/cache XDG_DATA_HOME=$dir/data XDG_STATE_HOME=$dir/state
    export XAUTHORITY=$dir/Xauthority
}

as_user_end() {
    local kv
    for kv in "${_faults_env_saved[@]}"; do
        export "${kv%%=*}=${kv#*=}"
    done
    _faults_env_saved=()
}

# as_user_own PATH...: hand files made by the root shell to the user.
as_user_own() {
    ((EUID == 0)) || return 0
    chown -h "$FAULTS_USER:$FAULTS_GROUP" "$@"
}

# as_user_can_run: setpriv works here (it needs root; without root the test
# already runs unprivileged and file modes already apply).
as_user_can_run() {
    ((EUID != 0)) && return 0
    command -v setpriv >/dev/null &&
        setpriv --reuid="$FAULTS_USER" --regid="$FAULTS_GROUP" --clear-groups -- true
}

# --------------------------------------------------------- seeing a tick
#
# With the 5-minute save there is nothing in a file to poll, so a tick is
# seen on screen: the centimetre readout is blank until the first tick and
# changes whenever a tick counts a move of 38 px or more.  A single jump of
# the pointer has no positions in between, so once the readout changes after
# the jump the whole jump has been counted.  The pointer is kept off the
# button so hovering never changes the picture.

# The centimetre readout's band of the window: Qt lays the window out in
# twips at 96 dpi, so the first readout starts 48 px down and is 25 px high.
# Only that band is looked at, so a repaint for focus or activation is never
# taken for a tick.
READOUT_BAND=290x25+10+48

# readout_digest [WID]
readout_digest() {
    import -window "${1:-$DOVO_WID}" -crop "$READOUT_BAND" +repage -depth 8 rgb:- 2>/dev/null |
        md5sum | cut -d' ' -f1
}

# readouts_painted [WID]: the centimetre line is no longer blank (its band
# has more than the one background colour), so the first tick has run.
readouts_painted() {
    local colours
    colours=$(import -window "${1:-$DOVO_WID}" -crop "$READOUT_BAND" +repage -format '%k' info: 2>/dev/null) || return 1
    ((colours > 1))
}

# jump_seen X Y [WID]: move the pointer in one jump and wait (10 s) until
# dovo's centimetre readout shows that a tick counted it.  Needs a jump of
# 38 px or more (one centimetre).
jump_seen() {
    local before
    before=$(readout_digest "${3:-}")
    pointer_move "$1" "$2" || return 1
    wait_until 10 _faults_digest_differs "$before" "${3:-}"
}

_faults_digest_differs() { [[ $(readout_digest "$2") != "$1" ]]; }
