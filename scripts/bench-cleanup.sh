#!/usr/bin/env bash
# Measures the clean-up at scale under Wine: RemoveFolderBelow removing the tree Extract makes of the
# scale test archive (21,112 entries: 20,255 files in 857 folders, tools/full_size_archive.h) beside
# the limit of this machine (the same files and folders removed by relative opens below a held
# folder with delete on close, no checks), in one run, and prints medians, the ratio and where the
# product's time goes. Each run extracts the tree afresh (untimed) for each of them.
#   scripts/bench-cleanup.sh [BUILD_DIR] [RUNS]      (defaults: build/bench or KESTREL_BUILD, 3 runs)
# wineserver and the measured program are pinned to CPU 0, as in scripts/bench-extract.sh.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
runs="${2:-3}"
. "$repo/scripts/configure.sh"
kestrel_bench_build "${1:-}" cleanup_bench
archive="$build/tools/scale.zip"
windows_archive="Z:${archive//\//\\}"
kestrel_end_wineserver
echo "archive: $archive ($(stat -c %s "$archive") bytes)"
taskset -c 0 "$repo/scripts/wine-run" --prefix="$prefix" "$build/bin/cleanup_bench.exe" "$runs" \
    'C:\kestrel-bench-cleanup' "$windows_archive"
kestrel_end_wineserver
