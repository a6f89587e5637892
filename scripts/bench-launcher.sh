#!/usr/bin/env bash
# Measures the launcher on the full-size test payload under Wine, each figure beside its limit or
# baseline measured in the same run:
#   1. launcher start to application start less the fixed 3,000 ms, beside a bare GUI program's start
#      + writing the archive + the extraction benchmark's inflate limit (goal: within 1.15 x);
#   2. the launcher's processor time over a run in which the application lives ten seconds, as a ratio
#      to a baseline run's (the same start, archive write and inflate limit, then as long idle);
#   3. its peak working set beside the baseline's and a bare GUI program's (goal <= 2 x payload + bare + 8 MB).
#   scripts/bench-launcher.sh [BUILD_DIR] [RUNS]      (defaults: build/bench or KESTREL_BUILD, 3 runs)
# A figure whose runs all failed says so, with the reasons; the exit status is 0 when at least one run
# of the launcher succeeded, 1 when none did (then nothing of the launcher was measured).
# wineserver and every measured program are pinned to CPU 0.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
runs="${2:-3}"
. "$repo/scripts/configure.sh"
kestrel_bench_build "${1:-}" launcher_bench_driver
archive="$build/bench/launcher/full-size-payload.zip"
windows_archive="Z:${archive//\//\\}"
# A prefix of the benchmark's own, so that its wineserver is started by the pinned program and runs
# on the same CPU (a server already running for the tests would not be pinned).
prefix="$build/bench-prefix"
kestrel_end_wineserver
# Wine writes a GUI program's stdout to the terminal as it would a console program's. The driver fails
# only when no run of the launcher succeeded; the prefix is ended either way.
status=0
taskset -c 0 "$repo/scripts/wine-run" --prefix="$prefix" "$build/bin/launcher_bench_driver.exe" "$runs" \
    "$windows_archive" | cat || status=$?
kestrel_end_wineserver
exit "$status"
