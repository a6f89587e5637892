#!/usr/bin/env bash
# Packing speed against the work packing cannot avoid, measured in the same run: the release folder's
# packer (pack-payload --zip, its checks included) on the full-size test archive, beside
# tools/pack_baseline.cpp (every entry inflated once and its CRC-32 checked, then an output of the
# package's size written and flushed), as a ratio; and package.sh beside them, made again and made first
# (its prebuilt launcher and packer built and cached, the toolchain installed).
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

echo "Building the release folder and the benchmark's tools (log: $work/bench.log)"
KESTREL_RELEASE_BUILD="$work/release-build" bash "$repo/scripts/release.sh" "$work/release" >>"$work/bench.log" 2>&1 ||
    fail "release.sh failed"
cmake -S "$repo/tools/native" -B "$work/tools" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_TOOLS_TESTS=OFF \
    >>"$work/bench.log" 2>&1 || fail "configuring the native tools failed"
cmake --build "$work/tools" --target make-full-size-archive pack-baseline >>"$work/bench.log" 2>&1 ||
    fail "building the native tools failed"
archive="$work/full-size.zip"
[ -f "$archive" ] || "$work/tools/make-full-size-archive" "$archive"
entries=$(python3 -c 'import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).infolist()))' "$archive")

rm -f "$work/release.exe"
packer=$(median_of sh -c 'rm -f "$2" && exec "$1" --zip "$3" "$2"' packer "$work/release/pack-payload" \
    "$work/release.exe" "$archive")
# The baseline writes what the packer writes: the launcher's part of the package, then the archive.
head -c "$(($(stat -c %s "$work/release.exe") - $(stat -c %s "$archive")))" /dev/zero >"$work/launcher-part"
baseline=$(median_of "$work/tools/pack-baseline" "$archive" "$work/launcher-part" "$work/baseline.exe")

# package.sh's first package builds and caches its prebuilt launcher and packer; timed once.
rm -rf "$work/package"
start=$(now)
KESTREL_PACKAGE_BUILD="$work/package" bash "$repo/scripts/package.sh" --zip "$archive" "$work/package.exe" \
    >>"$work/bench.log" 2>&1 || fail "package.sh failed"
first=$(seconds "$start" "$(now)")
package=$(median_of env KESTREL_PACKAGE_BUILD="$work/package" bash "$repo/scripts/package.sh" --zip "$archive" \
    "$work/package.exe")
cmp -s "$work/package.exe" "$work/release.exe" || fail "package.sh and the release folder made different bytes"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "Packing the full-size test archive ($entries entries, $(stat -c %s "$archive") bytes), median of $runs runs:"
echo "  baseline (every entry inflated once, CRC-32, the output written): ${baseline} s"
echo "  release folder: pack-payload --zip:                             ${packer} s"
echo "  ratio:                                                          $(ratio "$packer" "$baseline")"
echo "  package.sh --zip, made again:                                   ${package} s ($(ratio "$package" "$baseline") x the baseline)"
echo "  package.sh --zip, the first package (toolchain installed):      ${first} s"
