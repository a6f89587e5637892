#!/usr/bin/env bash
# Measures Delay under Wine: wall time, processor time and their ratio for a 3000 ms wait, beside a
# spinning wait measured in the same run, all pinned to one CPU.
#   scripts/bench-sysops.sh [BUILD_DIR] [MILLISECONDS]      (defaults: build/bench or KESTREL_BUILD, 3000)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
ms="${2:-3000}"
. "$repo/scripts/configure.sh"
kestrel_bench_build "${1:-}" sysops_delay_bench
# A prefix of the benchmark's own, so that its wineserver is started by the pinned program and runs
# on the same CPU (a server already running for the tests would not be pinned).
prefix="$build/bench-prefix"
kestrel_end_wineserver
# Wine writes a GUI program's stdout to the terminal as it would a console program's.
taskset -c 0 "$repo/scripts/wine-run" --prefix="$prefix" "$build/bin/sysops_delay_bench.exe" "$ms" | cat
kestrel_end_wineserver
