#!/usr/bin/env bash
# Measures Extract of the full-size test archive under Wine beside (a) the inflate limit of this
# machine and (b) minizip's own miniunz, in one run, and prints medians, ratios and peak memory.
# Each checks every entry's CRC-32, creates every file, sets its times, and loads the same system
# libraries. Extract also makes each file plain after writing it, as the inflate limit does; the
# inflate limit reads each entry's compressed bytes whole in one ReadFile and checks nothing else;
# miniunz reads headers a byte at a time through ReadFile, writes through an 8 KB stdio buffer and
# opens each file a second time to set its times.
#   scripts/bench-extract.sh [--scale] [BUILD_DIR] [RUNS]   (defaults: build/bench or KESTREL_BUILD, 5 runs)
# With --scale, the archive is the same one at the scale of a large application: 21,112 entries,
# 20,255 files in 857 folders (tools/full_size_archive.h), which measures the work per entry.
# wineserver and the measured programs are pinned to CPU 0: a round trip to wineserver from the
# other CPU costs several times more, and unpinned medians jump between two modes.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
archive_target=full_size_archive archive_name=full-size.zip
if [ "${1:-}" = --scale ]; then
    archive_target=scale_archive archive_name=scale.zip
    shift
fi
runs="${2:-5}"
. "$repo/scripts/configure.sh"
kestrel_bench_build "${1:-}" bench_driver "$archive_target"
archive="$build/tools/$archive_name"
windows_archive="Z:${archive//\//\\}"
kestrel_end_wineserver
echo "archive: $archive ($(stat -c %s "$archive") bytes)"
taskset -c 0 "$repo/scripts/wine-run" --prefix="$prefix" "$build/bin/bench_driver.exe" "$runs" \
    'C:\kestrel-bench-extract' "$windows_archive"
kestrel_end_wineserver
