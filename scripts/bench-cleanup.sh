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
# Where the set-up had 32-bit programs run through qemu (scripts/setup.sh registers it only where the
# kernel cannot run them), the figures mean little; the program says so and still measures.
if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/kestrel-i386; then
    export KESTREL_EMULATED=1
    echo "EMULATED: 32-bit programs run through qemu-i386 on this machine; see the notes below."
fi
. "$repo/scripts/configure.sh"
kestrel_configure bench "${1:-}"
cmake --build "$build" --target cleanup_bench >/dev/null
archive="$build/tools/scale.zip"
windows_archive="Z:${archive//\//\\}"
# A wineserver left running by earlier tests is not pinned: end it so the pinned run starts its own.
"$repo/scripts/wine-run" --prefix="$prefix" --kill
echo "archive: $archive ($(stat -c %s "$archive") bytes)"
taskset -c 0 "$repo/scripts/wine-run" --prefix="$prefix" "$build/bin/cleanup_bench.exe" "$runs" \
    'C:\kestrel-bench-cleanup' "$windows_archive"
"$repo/scripts/wine-run" --prefix="$prefix" --kill
