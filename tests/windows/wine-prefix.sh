# shellcheck shell=bash
# Wine prefixes for the tests: one made per test run, a copy for each test.
#
# A fresh prefix takes Wine 13 to 20 s (wineboot -i) and weighs 700 MB,
# nearly all of it the DLLs Wine copies into system32.  A test never writes
# those, so a copy hard-links them and copies only the registry files, which
# Wine rewrites (it replaces them whole, by rename, so even a link would be
# safe; a copy keeps the template's untouched whatever Wine does).

# wine_exe_bits EXE: 32 or 64, from the machine field of the PE header.
wine_exe_bits() {
    local pe machine
    pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null) || return 1
    machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" 2>/dev/null) || return 1
    case ${machine// /} in
    014c) echo 32 ;;
    8664) echo 64 ;;
    *) return 1 ;;
    esac
}

# wine_loader 32|64: Wine's loader for programs of that kind.
#
# Not Debian's `wine`: that script starts the 32-bit loader whenever wine32
# is installed, and the 32-bit loader hands a 64-bit program to a new
# process of the 64-bit one.  The window is then that process's, not the
# one the test started (no window of $DOVO_PID ever showed), and every
# start costs a second Wine process.
wine_loader() {
    case $1 in
    32) echo /usr/lib/wine/wine ;;
    64) echo /usr/lib/wine/wine64 ;;
    *) return 1 ;;
    esac
}

# wine_cannot_run 32|64: why Wine cannot run programs of that kind on this
# machine, in one line; says nothing and fails where it can.  Debian's
# wine64 runs 64-bit programs only; 32-bit ones need wine32 (and with it the
# i386 architecture), and a kernel that runs 32-bit x86 code: some virtual
# machines run only 64-bit code, and wine32 installs there all the same.
# Under CTest the verdict is the one `wineprefix.py make` reached once for the
# run, kept beside the prefix it made; by hand the loader is asked.
wine_cannot_run() {
    local loader verdict=${DOVO_WINE_TEMPLATE:+$DOVO_WINE_TEMPLATE.cannot-run}
    if [[ -n $verdict && -f $verdict ]]; then
        cat -- "$verdict"
        return 0
    fi
    [[ -n $verdict && -d $DOVO_WINE_TEMPLATE ]] && return 1
    loader=$(wine_loader "$1") || return 1
    if ! command -v wineserver >/dev/null || [[ ! -x $loader ]]; then
        echo "no $1-bit Wine here (Debian: wine$1)"
    elif ! "$loader" --version >/dev/null 2>&1; then
        echo "this machine cannot run $1-bit x86 programs ($loader --version fails)"
    else
        return 1
    fi
}

# wine_prefix_make DIR: a new prefix in DIR (which must not exist yet),
# with nothing of Wine's left running.
wine_prefix_make() {
    local dir=$1
    # the 64-bit loader where there is one: it makes the prefix that runs
    # both kinds of program (WoW64), as 64-bit Windows is
    local bits=32
    wine_cannot_run 64 >/dev/null || bits=64
    WINEPREFIX=$dir WINEDEBUG=-all "$(wine_loader "$bits")" wineboot -i || return 1
    WINEPREFIX=$dir wineserver -w
    _wine_prefix_forget_server "$dir"
}

# wine_prefix_copy TEMPLATE DIR: DIR becomes a prefix of its own, as the
# template was made.
wine_prefix_copy() {
    local from=$1 to=$2 reg
    cp -al -- "$from" "$to" || return 1
    # Wine keeps the name of its server's folder in the prefix; a copy that
    # kept it would share that folder with the template and every sibling.
    rm -f -- "$to/wineserver"
    for reg in "$from"/*.reg; do
        cp --remove-destination -- "$reg" "$to/${reg##*/}" || return 1
    done
}

# wine_prefix_remove DIR: stop the prefix's Wine and remove the prefix.
wine_prefix_remove() {
    local dir=$1
    [[ -d $dir ]] || return 0
    WINEPREFIX=$dir wineserver -k 2>/dev/null
    _wine_prefix_forget_server "$dir"
    rm -rf -- "$dir"
}

# Wine 8 makes its server's socket folder with mkdtemp, under TMPDIR for the
# loader and /tmp for wineserver, and names it in DIR/wineserver; nobody
# removes it, so a test run would leave one behind for every prefix.
_wine_prefix_forget_server() {
    local name="" t
    [[ -f $1/wineserver ]] || return 0
    # no newline at its end: read fails yet fills name
    read -r name <"$1/wineserver" || true
    if [[ $name == wine-?????? ]]; then
        for t in "${TMPDIR:-/tmp}" /tmp; do
            rm -rf -- "${t:?}/$name"
        done
    fi
    rm -f -- "$1/wineserver"
}
