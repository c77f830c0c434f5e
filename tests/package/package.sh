#!/usr/bin/env bash
# package.sh BUILD_DIR: builds the .deb, unpacks it into a scratch root and
# checks that everything lands where the desktop looks for it and that the
# installed binary starts.
set -euo pipefail

build=$(cd "$1" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../../scripts/lib/desktop.sh"

work=$(mktemp -d)
desktop_on_cleanup() { rm -rf "$work"; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log" >&2
    exit 1
}
debs=("$work"/out/*.deb)
check_eq "one package built" 1 "${#debs[@]}"
deb=${debs[0]}
check_true "the package is a Debian archive" dpkg-deb --info "$deb"
check_eq "package name" dovo "$(dpkg-deb --field "$deb" Package)"

root=$work/root
dpkg-deb -x "$deb" "$root"
app=net.quendorvil.Dovo
for path in \
    usr/bin/dovo \
    usr/share/applications/$app.desktop \
    usr/share/metainfo/$app.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/$app.svg \
    usr/share/icons/hicolor/32x32/apps/$app.png \
    usr/share/dovo/kwin/dovo-pointer.js \
    usr/share/gnome-shell/extensions/dovo@quendorvil.net/metadata.json \
    usr/share/gnome-shell/extensions/dovo@quendorvil.net/extension.js \
    usr/share/gnome-shell/extensions/dovo@quendorvil.net/extension/__init__.js; do
    check_true "installs /$path" test -s "$root/$path"
done
check_true "the binary is executable" test -x "$root/usr/bin/dovo"
check_eq "the menu entry starts the installed binary" "Exec=dovo" \
    "$(grep '^Exec=' "$root/usr/share/applications/$app.desktop")"
check_eq "the menu entry names the installed icon" "Icon=$app" \
    "$(grep '^Icon=' "$root/usr/share/applications/$app.desktop")"
check_eq "the 32 px icon is 32 x 32" "32x32" \
    "$(identify -format '%wx%h' "$root/usr/share/icons/hicolor/32x32/apps/$app.png")"
check_true "the installed menu entry is valid" \
    desktop-file-validate "$root/usr/share/applications/$app.desktop"

desktop_start
export DOVO=$root/usr/bin/dovo
if dovo_start; then
    _desk_pass_line "the installed binary shows its window"
    rc=0
    dovo_close || rc=$?
    check_eq "the installed binary closes cleanly" 0 "$rc"
    check_true "and saves its totals" test -f "$XDG_CONFIG_HOME/Dovo.conf"
else
    _desk_fail_line "the installed binary shows its window"
fi
finish
