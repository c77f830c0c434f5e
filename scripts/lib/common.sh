# Shared by the scripts in scripts/: installing packages and building.
# shellcheck shell=bash

DOVO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
DOVO_BUILD=${DOVO_BUILD:-$DOVO_ROOT/build}

say() { printf '==> %s\n' "$*"; }

# The Debian release this machine runs, by name (testing has the next one's).
debian_release() {
    (source /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-unknown}")
}

# packages_for RELEASE GROUP...: the packages of those groups for that release.
packages_for() {
    local release=$1 group pkg releases g
    shift
    while read -r group pkg releases; do
        [[ -z "$group" || "$group" == \#* ]] && continue
        [[ -z "$releases" || ",$releases," == *",$release,"* ]] || continue
        for g in "$@"; do
            [[ "$g" == "$group" ]] && echo "$pkg"
        done
    done <"$DOVO_ROOT/scripts/packages.txt"
}

# Without apt-get (not Debian or Ubuntu), what the build needs is looked for
# by its commands and pkg-config names instead, and whatever is missing is
# named in one line for the user to install.
ensure_build_tools() {
    local missing=() tool module
    for tool in cmake ninja c++ pkg-config; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    if command -v pkg-config >/dev/null; then
        for module in Qt6Widgets Qt6DBus Qt6Svg xcb xcb-xinput xcb-xfixes x11 wayland-client wayland-scanner; do
            pkg-config --exists "$module" || missing+=("$module")
        done
        if command -v fc-list >/dev/null; then
            fc-list | grep -q 'Liberation Sans' || missing+=("Liberation fonts")
        fi
    fi
    ((${#missing[@]} == 0)) && return 0
    echo "dovo: no apt-get here to install what the build needs; please install: ${missing[*]}" \
        "(commands, pkg-config names, fonts)" >&2
    exit 1
}

# Installs the packages of the given groups that are not installed yet.
# One of another architecture (name:arch) is installed where it can be: a
# mirror may lack that architecture's lists, or have them out of step with
# the machine's own; the tests that need it then skip and say why.
ensure_packages() {
    command -v apt-get >/dev/null || { ensure_build_tools; return 0; }
    local wanted=() missing=() native=() foreign=() pkg
    mapfile -t wanted < <(packages_for "$(debian_release)" "$@")
    for pkg in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    ((${#missing[@]} == 0)) && return 0
    say "installing: ${missing[*]}"
    local sudo=()
    ((EUID != 0)) && sudo=(sudo)
    # name:arch asks for a foreign architecture, which dpkg must know first
    local arch known
    known=" $(dpkg --print-architecture) $(dpkg --print-foreign-architectures | tr '\n' ' ') "
    for pkg in "${missing[@]}"; do
        [[ $pkg == *:* ]] || { native+=("$pkg"); continue; }
        foreign+=("$pkg")
        arch=${pkg##*:}
        [[ $known == *" $arch "* ]] && continue
        say "adding the $arch architecture to dpkg"
        "${sudo[@]}" dpkg --add-architecture "$arch"
        known+="$arch "
    done
    # Another apt run (an update notifier, a second build) is waited for.
    local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600)
    # A list that failed to download leaves the one there was; whether that
    # is enough is for the install to say.
    "${sudo[@]}" "${apt[@]}" update ||
        say "apt-get update failed for some lists (above); installing from those there are"
    if ((${#native[@]})); then
        "${sudo[@]}" "${apt[@]}" install -y --no-install-recommends "${native[@]}"
    fi
    ((${#foreign[@]})) || return 0
    "${sudo[@]}" "${apt[@]}" install -y --no-install-recommends "${foreign[@]}" && return 0
    say "could not install ${foreign[*]} (above); the tests that need them are skipped"
    # An architecture with nothing installed would only fail every update.
    for arch in $(dpkg --print-foreign-architectures); do
        dpkg-query -W -f='${Architecture}\n' 2>/dev/null | grep -qx "$arch" ||
            "${sudo[@]}" dpkg --remove-architecture "$arch"
    done
    return 0
}

# Configures and builds a build folder; extra arguments go to cmake, and a
# folder configured before is configured again only when there are any.
# DOVO_TARGET, when set, builds only that target.
build_in() {
    local dir=$1
    shift
    if [[ ! -f "$dir/build.ninja" ]]; then
        cmake -S "$DOVO_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    elif (($#)); then
        cmake -S "$DOVO_ROOT" -B "$dir" "$@" >/dev/null
    fi
    cmake --build "$dir" -j "$(nproc)" ${DOVO_TARGET:+--target "$DOVO_TARGET"}
}
