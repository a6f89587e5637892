#!/usr/bin/env bash
# Packing with the release folder: `pack-payload --zip` on the full-size test archive (its checks
# included) beside the work packing cannot avoid, measured in the same run (tools/pack_baseline.cpp:
# every entry inflated once and its CRC-32 checked, the launcher and the archive written to one file and
# flushed), as a ratio; then package.sh's time for a package made again with everything built before.
#   scripts/bench-package.sh [RUNS]      (default 5; the figures are medians)
# It builds the release folder first (scripts/release.sh) and says how long that took.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
runs="${1:-5}"
work="${KESTREL_BENCH_PACKAGE:-$repo/build/bench-package}"
mkdir -p "$work"
export SOURCE_DATE_EPOCH=1623752430

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
# The median of RUNS timed runs of a command, its output kept in the work folder's log.
median_of() {
    local times=() i start
    for ((i = 0; i < runs; i++)); do
        start=$(now)
        "$@" >>"$work/bench.log" 2>&1 || { echo "bench-package.sh: failed: $* (see $work/bench.log)" >&2; exit 1; }
        times+=("$(seconds "$start" "$(now)")")
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
: >"$work/bench.log"

start=$(now)
bash "$repo/scripts/release.sh" "$work/release" >>"$work/bench.log" 2>&1 ||
    { echo "bench-package.sh: release.sh failed (see $work/bench.log)" >&2; exit 1; }
release_seconds=$(seconds "$start" "$(now)")
cmake -S "$repo/tools/native" -B "$work/tools" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_TOOLS_TESTS=OFF \
    >>"$work/bench.log" 2>&1
cmake --build "$work/tools" --target make-full-size-archive pack-baseline >>"$work/bench.log" 2>&1
archive="$work/full-size.zip"
[ -f "$archive" ] || "$work/tools/make-full-size-archive" "$archive"
entries=$(python3 -c 'import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).infolist()))' "$archive")

baseline=$(median_of "$work/tools/pack-baseline" "$archive" "$work/release/launcher-prebuilt.exe" "$work/baseline.exe")
packer=$(median_of "$work/release/pack-payload" --zip "$archive" "$work/packed.exe")
# package.sh: once to build and cache what it needs, then timed as a package made again.
bash "$repo/scripts/package.sh" --zip "$archive" "$work/package.exe" >>"$work/bench.log" 2>&1 ||
    { echo "bench-package.sh: package.sh failed (see $work/bench.log)" >&2; exit 1; }
package=$(median_of bash "$repo/scripts/package.sh" --zip "$archive" "$work/package.exe")

echo "Packing the full-size test archive ($entries entries, $(stat -c %s "$archive") bytes), median of $runs runs:"
echo "  baseline (read every entry once, CRC-32, write):  ${baseline} s"
echo "  pack-payload --zip (release folder):            ${packer} s"
echo "  ratio:                                          $(awk -v a="$packer" -v b="$baseline" 'BEGIN { printf "%.2f", a / b }') (goal: at most 1.20)"
echo "  package.sh --zip, made again:                   ${package} s"
echo "  the release folder built (scripts/release.sh):  ${release_seconds} s"
