#!/usr/bin/env bash
# Builds every program and test for 32-bit Windows and runs them all under Wine:
#   bash scripts/test.sh [ctest options...]
# On a new machine, run as root: it installs what is missing first (scripts/setup.sh).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
test_user="${KESTREL_TEST_USER:-kestrel}"

if [ "$(id -u)" -eq 0 ]; then
    bash "$repo/scripts/setup.sh"
fi

build="${KESTREL_BUILD:-$repo/build/test}"
mkdir -p "$build"
# Wine runs as the test user, who must reach the programs in the build folder. A clone inside a
# folder closed to other users builds in a folder of its own instead.
if [ "$(id -u)" -eq 0 ] && ! runuser -u "$test_user" -- test -x "$build"; then
    build="/var/tmp/kestrel-build/$(printf '%s' "$repo" | md5sum | cut -c1-12)"
    mkdir -p "$build"
    chmod 755 /var/tmp/kestrel-build
fi

bash "$repo/scripts/configure.sh" "$build"
prefix=$(sed -n 's/^KESTREL_WINEPREFIX:PATH=//p' "$build/CMakeCache.txt")

# The tests named *_wow64 run in the 64-bit prefix, warmed (made, the first time) only when selected.
prefix64=$(sed -n 's/^KESTREL_WINEPREFIX64:PATH=//p' "$build/CMakeCache.txt")
wow64=()
if [ -n "$prefix64" ] && ctest --test-dir "$build" -N "$@" | grep '_wow64$' >/dev/null; then
    wow64=(--prefix="$prefix64" --arch=win64)
fi

status=0
# Made while the first tests run: a test in it waits for the making to end.
[ ${#wow64[@]} -eq 0 ] || "$repo/scripts/wine-run" "${wow64[@]}" --warm &
"$repo/scripts/wine-run" --prefix="$prefix" --warm
ctest --test-dir "$build" --output-on-failure -j2 "$@" || status=$?
wait || true
# Leave no Wine process running.
"$repo/scripts/wine-run" --prefix="$prefix" --kill
[ ${#wow64[@]} -eq 0 ] || "$repo/scripts/wine-run" "${wow64[@]}" --kill
exit $status
