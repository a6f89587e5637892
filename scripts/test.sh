#!/usr/bin/env bash
# Checks the includes, builds every program and test for 32-bit Windows and runs them all under Wine:
#   bash scripts/test.sh [ctest options...]
# The build folder is build/test, or KESTREL_BUILD where set (scripts/configure.sh). On a new machine, run
# as root: it installs what is missing first (scripts/setup.sh).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

if [ "$(id -u)" -eq 0 ]; then
    bash "$repo/scripts/setup.sh"
fi

# First, as it takes a moment; the tests still run, and a broken layer fails the run at the end.
status=0
python3 "$repo/scripts/check-includes.py" || status=$?

. "$repo/scripts/configure.sh"
kestrel_configure test
cmake --build "$build"

"$repo/scripts/wine-run" --prefix="$prefix" --warm
ctest --test-dir "$build" --output-on-failure -j2 "$@" || status=$?
# Leave no Wine process running.
"$repo/scripts/wine-run" --prefix="$prefix" --kill
exit $status
