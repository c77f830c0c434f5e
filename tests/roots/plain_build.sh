#!/usr/bin/env bash
# Inside a root with only the "build" packages (tests/driver/roots.py
# --build-only): a packager's build, configured with no options at all as
# the distributions' CMake helpers do, then built and installed into a
# staging folder. Passes when every file a desktop needs is installed.
set -euo pipefail

work=$(mktemp -d /var/tmp/dovo-plain.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "== $(. /etc/os-release && echo "$PRETTY_NAME"): $(cmake --version | head -n 1)"
cmake -S /dovo -B "$work/build" -G Ninja
cmake --build "$work/build" -j "$(nproc)"
DESTDIR=$work/stage cmake --install "$work/build" >/dev/null

share=$work/stage/usr/local/share
missing=0
for file in \
    "$work/stage/usr/local/bin/dovo" \
    "$share/applications/net.quendorvil.Dovo.desktop" \
    "$share/metainfo/net.quendorvil.Dovo.metainfo.xml" \
    "$share/icons/hicolor/scalable/apps/net.quendorvil.Dovo.svg" \
    "$share/icons/hicolor/32x32/apps/net.quendorvil.Dovo.png" \
    "$share/dovo/kwin/dovo-pointer.js" \
    "$share/gnome-shell/extensions/dovo@quendorvil.net/metadata.json" \
    "$share/gnome-shell/extensions/dovo@quendorvil.net/extension.js" \
    "$share/gnome-shell/extensions/dovo@quendorvil.net/extension/__init__.js"; do
    if [[ ! -s $file ]]; then
        echo "not installed: ${file#"$work/stage"}" >&2
        missing=1
    fi
done
[[ -x $work/stage/usr/local/bin/dovo ]] || { echo "dovo is not executable" >&2; missing=1; }
# Nothing of the tests is made when no test was asked for.
if [[ -e $work/build/tests || -e $work/build/windows ]]; then
    echo "a build that asked for no tests made them anyway" >&2
    missing=1
fi

# The .deb made here depends on what this release calls its packages: the
# "build" packages bring every one of them, so each is installed here.
(cd "$work/build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; exit 1; }
depends=$(dpkg-deb --field "$work"/out/*.deb Depends)
echo "Depends: $depends"
IFS=, read -ra needs <<<"$depends"
for need in "${needs[@]}"; do
    found=0
    IFS='|' read -ra alternatives <<<"$need"
    for package in "${alternatives[@]}"; do
        package=${package// /}
        dpkg-query -W -f='${Status}' "${package%%(*}" 2>/dev/null |
            grep -q 'install ok installed' && found=1
    done
    ((found)) || { echo "the .deb depends on '${need# }', which is not installed here" >&2; missing=1; }
done
exit "$missing"
