#!/usr/bin/env bash
# Inside a Debian root (tests/driver/roots.py): builds Dovo and its tests
# with that release's compiler, Qt and CMake, warnings as errors, and runs the
# tests whose names match REGEX there. A test named in REPEAT runs that many
# times, for faults that come in most runs but not all.
#
#   in_root.sh REGEX [REPEAT_REGEX COUNT]
set -euo pipefail

build=/var/tmp/dovo-build
# The build folder stays in the cached root from one checkout to the next,
# but every checkout is mounted at /dovo: a source older than an output made
# from another checkout's source would not be rebuilt (AUTOMOC kept a stale
# moc file that way). A new checkout, or one git cannot name, builds afresh.
checkout=$(git -C /dovo rev-parse HEAD 2>/dev/null &&
    git -C /dovo status --porcelain 2>/dev/null | md5sum) || checkout=unknown
if [[ $checkout == unknown || $checkout != "$(cat "$build/checkout" 2>/dev/null)" ]]; then
    rm -rf "$build"
fi
if [[ ! -f $build/build.ninja ]]; then
    cmake -S /dovo -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOVO_WERROR=ON \
        -DDOVO_BENCHMARKS=OFF -DBUILD_TESTING=ON -DDOVO_ROOT_TESTS=OFF >/dev/null
fi
printf '%s\n' "$checkout" >"$build/checkout"
echo "== $(. /etc/os-release && echo "$PRETTY_NAME"): $(g++ --version | head -n 1)," \
    "Qt $(qtpaths6 --qt-version 2>/dev/null || echo '?'), $(cmake --version | head -n 1)"
cmake --build "$build" -j "$(nproc)"

# Nothing a test does may reach a home folder, even the root's.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_CONFIG_HOME=$scratch/config HOME=$scratch/home XDG_CACHE_HOME=$scratch/cache
mkdir -p "$XDG_CONFIG_HOME" "$HOME" "$XDG_CACHE_HOME"
unset DISPLAY XAUTHORITY

cd "$build"
status=0
if [[ -n ${2:-} ]]; then
    ctest --output-on-failure --timeout 600 -R "$2" --repeat "until-fail:${3:-1}" || status=$?
    ctest --output-on-failure --timeout 600 -R "$1" -E "$2" || status=$?
else
    ctest --output-on-failure --timeout 600 -R "$1" || status=$?
fi
exit "$status"
