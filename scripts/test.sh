#!/usr/bin/env bash
# Checks the includes and the format, builds every program and test for 32-bit Windows and runs them all under Wine:
#   bash scripts/test.sh [ctest options...]
# The build folder is build/test, or KESTREL_BUILD where set (scripts/configure.sh). On a new machine, run
# as root: it installs what is missing first (scripts/setup.sh).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

. "$repo/scripts/configure.sh"
kestrel_set_up test.sh

# First, as they take a moment; the tests still run, and a broken layer or a misformatted line fails the
# run at the end.
status=0
python3 "$repo/scripts/check-includes.py" || status=$?
bash "$repo/scripts/check-format.sh" "$repo" || status=$?

kestrel_configure test
cmake --build "$build"

# The tests named *_wow64 run in the 64-bit prefix, warmed (made, the first time) only when selected.
wow64=()
if ctest --test-dir "$build" -N "$@" | grep '_wow64$' >/dev/null; then
    wow64=(--prefix="$prefix64" --arch=win64)
fi

# Made while the first tests run: a test in it waits for the making to end.
[ ${#wow64[@]} -eq 0 ] || "$repo/scripts/wine-run" "${wow64[@]}" --warm &
"$repo/scripts/wine-run" --prefix="$prefix" --warm
ctest --test-dir "$build" --output-on-failure -j2 "$@" || status=$?
wait || true
# Leave no Wine process running.
"$repo/scripts/wine-run" --prefix="$prefix" --kill
[ ${#wow64[@]} -eq 0 ] || "$repo/scripts/wine-run" "${wow64[@]}" --kill
exit $status
