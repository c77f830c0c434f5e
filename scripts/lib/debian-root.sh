#!/usr/bin/env bash
# Runs a command inside a pristine root of a Debian release, so that Dovo is
# built and tested with that release's compiler, Qt and desktops.
#
#   scripts/lib/debian-root.sh [--fresh | --build-only] RELEASE -- COMMAND [ARGS...]
#
# RELEASE is a codename: bookworm (12), trixie (13), forky (testing).
#
# Without --fresh the root has the "build" and "test" packages of
# scripts/packages.txt. It is kept in a cache folder outside the checkout
# ($DOVO_ROOTS, default /var/cache/dovo-roots) and made anew whenever the
# list for that release changes, so repeated runs cost only the command.
# Runs of the same release wait for each other.
#
# With --build-only the root has the "build" packages alone, as a packager's
# machine has; it is cached the same way, next to the other.
#
# With --fresh the root is a new copy of minbase plus git, as a newcomer's
# machine is, and it is removed afterwards.
#
# Inside, the checkout is at /dovo (read-only), /proc /sys /dev /dev/pts and
# /dev/shm are the host's, and /tmp/.X11-unix is the host's too, so that a
# program in the root can show a window on a display of the host. The
# command runs as root with a plain environment plus DISPLAY, XAUTHORITY
# and every DOVO_* variable. Whatever is mounted is unmounted again however
# the command ends.
#
# Facts this relies on: debootstrap has no script for the next release yet;
# its sid script makes one. The InRelease files of testing and of a new
# stable can be past their Valid-Until on a mirror, which apt inside the
# root is told to accept (never on the host). Needs root, debootstrap and
# chroot.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh
source "$here/common.sh"

usage() {
    echo "usage: debian-root.sh [--fresh | --build-only] RELEASE -- COMMAND [ARGS...]" >&2
    exit 2
}

fresh=0 groups=(build test) kind=''
case ${1:-} in
--fresh) fresh=1; shift ;;
--build-only) groups=(build) kind=build-only-; shift ;;
esac
release=${1:-}
[[ -n $release && ${2:-} == -- && $# -ge 3 ]] || usage
shift 2

case $release in
bookworm | trixie | forky) ;;
*) echo "debian-root.sh: unknown release '$release'" >&2; exit 2 ;;
esac
((EUID == 0)) || { echo "debian-root.sh: needs root (debootstrap, mount, chroot)" >&2; exit 1; }
command -v debootstrap >/dev/null || { echo "debian-root.sh: needs debootstrap" >&2; exit 1; }

cache=${DOVO_ROOTS:-/var/cache/dovo-roots}
mirror=${DOVO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
mkdir -p "$cache"

log() { printf 'debian-root.sh: %s\n' "$*" >&2; }

# in_root DIR COMMAND...: a command inside DIR, with nothing of the caller's
# environment but the essentials.
in_root() {
    local dir=$1
    shift
    chroot "$dir" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

# The base every root starts from: minbase, git, and apt set up for a root.
# Kept as a tarball so that a fresh copy costs seconds.
make_base() {
    local tarball=$cache/base-$release.tar dir script=()
    [[ -s $tarball ]] && return 0
    dir=$(mktemp -d "$cache/.base-$release.XXXXXX")
    chmod 755 "$dir"
    [[ $release == forky ]] && script=(/usr/share/debootstrap/scripts/sid)
    log "making a $release root with debootstrap (minbase)"
    if ! debootstrap --variant=minbase --include=git,ca-certificates \
        "$release" "$dir" "$mirror" "${script[@]}" >"$dir.log" 2>&1; then
        tail -n 20 "$dir.log" >&2
        rm -rf "$dir" "$dir.log"
        return 1
    fi
    cat >"$dir/etc/apt/apt.conf.d/90dovo-root" <<'EOF'
Acquire::Check-Valid-Until "false";
Acquire::Languages "none";
APT::Install-Recommends "false";
DPkg::Lock::Timeout "600";
EOF
    # Nothing installed in the root starts a service on the host's behalf.
    printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
    chmod +x "$dir/usr/sbin/policy-rc.d"
    tar -C "$dir" -cf "$tarball.tmp" . && mv "$tarball.tmp" "$tarball"
    rm -rf "$dir" "$dir.log"
}

mounted=()
root_dir=''
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -l "${mounted[i]}" 2>/dev/null || true
    done
    mounted=()
    if ((fresh)) && [[ -n $root_dir ]]; then
        # Never remove through a mount that is still there: it could be the
        # host's.
        if awk -v d="$root_dir/" 'index($2 "/", d) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
            log "left $root_dir in place: something is still mounted in it"
        else
            rm -rf --one-file-system "$root_dir"
        fi
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

bind() {
    local from=$1 to=$2
    mkdir -p "$to"
    mount --bind "$from" "$to"
    mounted+=("$to")
}

mount_all() {
    local dir=$1
    bind /proc "$dir/proc"
    bind /sys "$dir/sys"
    bind /dev "$dir/dev"
    bind /dev/pts "$dir/dev/pts"
    bind /dev/shm "$dir/dev/shm"
    mkdir -p /tmp/.X11-unix && chmod 1777 /tmp/.X11-unix
    bind /tmp/.X11-unix "$dir/tmp/.X11-unix"
    bind "$DOVO_ROOT" "$dir/dovo"
    mount -o remount,bind,ro "$dir/dovo"
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
    if [[ -r ${XAUTHORITY:-} ]]; then
        install -m 600 "$XAUTHORITY" "$dir/root/.Xauthority"
    fi
}

# unmount_under DIR: what a run that was killed left mounted in DIR.
unmount_under() {
    local target
    awk -v d="$1/" 'index($2 "/", d) == 1 { print $2 }' /proc/mounts | sort -r |
        while read -r target; do umount -l "$target" 2>/dev/null || true; done
}

exec 9>"$cache/$release.lock"
flock 9
for stale in "${TMPDIR:-/var/tmp}/dovo-fresh-$release".*; do
    [[ -d $stale ]] || continue
    unmount_under "$stale"
    rm -rf --one-file-system "$stale"
done

if ((fresh)); then
    make_base
    root_dir=$(mktemp -d "${TMPDIR:-/var/tmp}/dovo-fresh-$release.XXXXXX")
    chmod 755 "$root_dir"
    tar -C "$root_dir" -xf "$cache/base-$release.tar"
else
    mapfile -t wanted < <(packages_for "$release" "${groups[@]}")
    stamp=$(printf '%s\n' "$release" "${wanted[@]}" | sha256sum | cut -c1-12)
    root_dir=$cache/$release-$kind$stamp
    if [[ ! -f $root_dir/.dovo-ready ]]; then
        make_base
        # Only the roots of the same kind: the other kind is still current.
        for old in "$cache/$release-$kind"*; do
            [[ -d $old && ${old#"$cache/$release-$kind"} =~ ^[0-9a-f]{12}$ ]] || continue
            unmount_under "$old"
            rm -rf --one-file-system "$old"
        done
        mkdir -p "$root_dir"
        tar -C "$root_dir" -xf "$cache/base-$release.tar"
        mount_all "$root_dir"
        log "installing ${#wanted[@]} packages into the $release root"
        if ! in_root "$root_dir" apt-get -q update >"$root_dir.log" 2>&1 ||
            ! in_root "$root_dir" apt-get -q install -y "${wanted[@]}" >>"$root_dir.log" 2>&1; then
            tail -n 30 "$root_dir.log" >&2
            exit 1
        fi
        touch "$root_dir/.dovo-ready"
        cleanup
    fi
fi

unmount_under "$root_dir"
mount_all "$root_dir"
passed=(DISPLAY="${DISPLAY:-}")
[[ -r ${XAUTHORITY:-} ]] && passed+=(XAUTHORITY=/root/.Xauthority)
while IFS='=' read -r name _; do
    [[ $name == DOVO_* && $name != DOVO_ROOT && $name != DOVO_BUILD ]] && passed+=("$name=${!name}")
done < <(env)
# Not exec: the mounts are undone when the command is over.
rc=0
in_root "$root_dir" "${passed[@]}" "$@" || rc=$?
exit "$rc"
