#!/usr/bin/env bash
# Configures and builds one build folder: scripts/configure.sh BUILD_DIR [cmake -D options...]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build="$1"; shift
cmake -S "$repo" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/i686-w64-mingw32.cmake" "$@" >/dev/null
cmake --build "$build"
