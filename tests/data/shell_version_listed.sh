#!/bin/sh
# GNOME Shell refuses an extension whose metadata does not name the shell's
# own major version; every Debian release the tests run on must find its
# GNOME Shell in the list.
#   shell_version_listed.sh METADATA_JSON
set -eu
version=$(gnome-shell --version | sed -n 's/^GNOME Shell \([0-9]*\).*/\1/p')
[ -n "$version" ] || { echo "cannot tell the GNOME Shell version" >&2; exit 1; }
listed=$(sed -n 's/.*"shell-version": *\[\(.*\)\].*/\1/p' "$1" | tr -d '" ' | tr ',' '\n')
if printf '%s\n' "$listed" | grep -qx "$version"; then
    echo "GNOME Shell $version is listed"
else
    echo "GNOME Shell $version is missing from shell-version in $1" >&2
    exit 1
fi
