#!/usr/bin/env bash
# The long pass of the archive fuzzer, one command:
#   bash scripts/fuzz.sh [CASES] [SEED]          (defaults: 100000 cases, seed 1)
#   bash scripts/fuzz.sh --differential [CASES] [SEED]
#       the differential family instead: the launcher's extraction against the packer's check
#       (fuzz/differential.py); its records go to BUILD/fuzz-differential
# Builds kestrel_fuzz.exe for 32-bit Windows and runs it under Wine. It prints the cases tried, the
# outcomes by result and the failures found (crash, hang, escape, bad result, mismatch, leftover),
# and exits non-zero on any failure. Failing inputs are kept in BUILD/fuzz-failures; once the fault
# is fixed, copy them into tests/fuzz/inputs/, which CI replays. The build folder is build/fuzz, or
# KESTREL_BUILD where set (scripts/configure.sh). KESTREL_FUZZ_TIMEOUT sets the per-case time bound in
# seconds (default 10).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
differential=
if [ "${1:-}" = --differential ]; then
    differential=1
    shift
fi
cases="${1:-100000}"
seed="${2:-1}"

. "$repo/scripts/configure.sh"
kestrel_set_up fuzz.sh
kestrel_configure fuzz
cmake --build "$build" --target kestrel_fuzz packer_native

keep="$build/fuzz-failures"
mkdir -p "$keep"
chmod 777 "$keep"
status=0
if [ -n "$differential" ]; then
    python3 "$repo/fuzz/differential.py" --packer "$build/tools/native/pack-payload" --work "$build/fuzz-differential" \
        --cases "$cases" --seed "$seed" --timeout "${KESTREL_FUZZ_TIMEOUT:-10}" --wine-run "$repo/scripts/wine-run" \
        --prefix "$prefix" --fuzz "$build/bin/kestrel_fuzz.exe" || status=$?
else
    "$repo/scripts/wine-run" --prefix="$prefix" "$build/bin/kestrel_fuzz.exe" --cases "$cases" --seed "$seed" \
        --timeout "${KESTREL_FUZZ_TIMEOUT:-10}" --keep "Z:${keep//\//\\}" || status=$?
fi
"$repo/scripts/wine-run" --prefix="$prefix" --kill
exit $status
