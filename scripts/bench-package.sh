#!/usr/bin/env bash
# Packaging speed against the work packing cannot avoid, measured in the same run: package.sh --zip on
# the full-size test archive, made again with everything built before (its checks, the launcher's build
# and the report), beside tools/pack_baseline.cpp (every entry inflated once and its CRC-32 checked, then
# an output of the package's size written and flushed), as a ratio.
#   scripts/bench-package.sh [RUNS]      (default 5; the figures are medians)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
runs="${1:-5}"
work="${KESTREL_BENCH_PACKAGE:-$repo/build/bench-package}"
mkdir -p "$work"
export SOURCE_DATE_EPOCH=1623752430

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
fail() {
    echo "bench-package.sh: $* (see $work/bench.log)" >&2
    exit 1
}
# The median of RUNS timed runs of a command, its output kept in the work folder's log.
median_of() {
    local times=() i start
    for ((i = 0; i < runs; i++)); do
        start=$(now)
        "$@" >>"$work/bench.log" 2>&1 || fail "failed: $*"
        times+=("$(seconds "$start" "$(now)")")
    done
    printf '%s\n' "${times[@]}" | sort -n |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
: >"$work/bench.log"

cmake -S "$repo/tools/native" -B "$work/tools" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_TOOLS_TESTS=OFF \
    >>"$work/bench.log" 2>&1 || fail "configuring the native tools failed"
cmake --build "$work/tools" --target make-full-size-archive pack-baseline >>"$work/bench.log" 2>&1 ||
    fail "building the native tools failed"
archive="$work/full-size.zip"
[ -f "$archive" ] || "$work/tools/make-full-size-archive" "$archive"
entries=$(python3 -c 'import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).infolist()))' "$archive")

# A first package builds and caches what package.sh needs; it is timed once, as a first package with
# the toolchain installed.
start=$(now)
KESTREL_PACKAGE_BUILD="$work/package" bash "$repo/scripts/package.sh" --zip "$archive" "$work/package.exe" \
    >>"$work/bench.log" 2>&1 || fail "package.sh failed"
first=$(seconds "$start" "$(now)")
package=$(median_of env KESTREL_PACKAGE_BUILD="$work/package" bash "$repo/scripts/package.sh" --zip "$archive" \
    "$work/package.exe")
# The baseline writes what package.sh writes: the launcher's part of the package, then the archive.
head -c "$(($(stat -c %s "$work/package.exe") - $(stat -c %s "$archive")))" /dev/zero >"$work/launcher-part"
baseline=$(median_of "$work/tools/pack-baseline" "$archive" "$work/launcher-part" "$work/baseline.exe")

echo "Packing the full-size test archive ($entries entries, $(stat -c %s "$archive") bytes), median of $runs runs:"
echo "  baseline (every entry inflated once, CRC-32, the output written): ${baseline} s"
echo "  package.sh --zip, made again:                                   ${package} s"
echo "  ratio:                                                          $(awk -v a="$package" -v b="$baseline" 'BEGIN { printf "%.1f", a / b }')"
echo "  package.sh --zip, the first package (toolchain installed):      ${first} s"
