#!/usr/bin/env bash
# The long pass of the archive fuzzer, one command:
#   bash scripts/fuzz.sh [CASES] [SEED]          (defaults: 100000 cases, seed 1)
# Builds kestrel_fuzz.exe for 32-bit Windows and runs it under Wine. It prints the cases tried, the
# outcomes by result and the failures found (crash, hang, escape, bad result, mismatch, leftover),
# and exits non-zero on any failure. Failing inputs are kept in BUILD/fuzz-failures; once the fault
# is fixed, copy them into tests/fuzz/inputs/, which CI replays. KESTREL_FUZZ_TIMEOUT sets the
# per-case time bound in seconds (default 10).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cases="${1:-100000}"
seed="${2:-1}"
test_user="${KESTREL_TEST_USER:-kestrel}"

if [ "$(id -u)" -eq 0 ]; then
    bash "$repo/scripts/setup.sh"
fi

# The same build folder as scripts/test.sh, with the same fallback when the test user cannot reach it.
build="${KESTREL_BUILD:-$repo/build/test}"
mkdir -p "$build"
if [ "$(id -u)" -eq 0 ] && ! runuser -u "$test_user" -- test -x "$build"; then
    build="/var/tmp/kestrel-build/$(printf '%s' "$repo" | md5sum | cut -c1-12)"
    mkdir -p "$build"
    chmod 755 /var/tmp/kestrel-build
fi

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/i686-w64-mingw32.cmake" >/dev/null
cmake --build "$build" --target kestrel_fuzz
prefix=$(sed -n 's/^KESTREL_WINEPREFIX:PATH=//p' "$build/CMakeCache.txt")

keep="$build/fuzz-failures"
mkdir -p "$keep"
chmod 777 "$keep"
status=0
"$repo/scripts/wine-run" --prefix="$prefix" "$build/bin/kestrel_fuzz.exe" --cases "$cases" --seed "$seed" \
    --timeout "${KESTREL_FUZZ_TIMEOUT:-10}" --keep "Z:${keep//\//\\}" || status=$?
"$repo/scripts/wine-run" --prefix="$prefix" --kill
exit $status
