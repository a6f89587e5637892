#!/usr/bin/env bash
# Makes the release folder a release engineer downloads, to package an application without a compiler:
#   bash scripts/release.sh OUT_DIR
# OUT_DIR gets the prebuilt launcher (launcher-prebuilt.exe: the launcher without an application), the
# packer for Linux (pack-payload, x86-64, static) and for Windows (pack-payload.exe, a static console
# program), the page that says how to use them (README.md) and SHA256SUMS. The same sources give the same
# bytes from any clone in any folder (no time stamp, no path of the clone in any file).
# Building needs the cross compiler, CMake, Ninja, zlib and minizip's sources (scripts/setup.sh
# --packaging installs them, as root; without root it says what is missing); nothing of the tests.
# KESTREL_RELEASE_BUILD names the build folder (default build/release in the clone).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -ne 1 ] || [ -z "$1" ] || [ "${1#-}" != "$1" ]; then
    echo "usage: bash scripts/release.sh OUT_DIR" >&2
    exit 2
fi
out=$1
build="${KESTREL_RELEASE_BUILD:-$repo/build/release}"
log="$build/release.log"

echo "[1/4] Checking the packaging toolchain (scripts/setup.sh --packaging)"
if ! bash "$repo/scripts/setup.sh" --packaging; then
    echo "release.sh: the set-up failed (its lines above say why); nothing was built" >&2
    exit 1
fi
mkdir -p "$build"
: >"$log"
quietly() {
    if ! "$@" >>"$log" 2>&1; then
        echo "release.sh: a build step failed: $* (the whole log: $log); its last lines:" >&2
        tail -n 30 "$log" | sed 's/^/  /' >&2
        exit 1
    fi
}

echo "[2/4] Building the prebuilt launcher and the Windows packer in $build/windows"
quietly cmake -S "$repo" --preset windows-i686 -B "$build/windows" -DKESTREL_TESTS=OFF -DPAYLOAD_ZIP=
quietly cmake --build "$build/windows" --target launcher-prebuilt pack-payload-windows

echo "[3/4] Building the Linux packer (static) in $build/linux"
quietly cmake -S "$repo/tools/native" -B "$build/linux" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKESTREL_STATIC_TOOLS=ON -DKESTREL_TOOLS_TESTS=OFF
quietly cmake --build "$build/linux" --target pack-payload
strip --strip-all -o "$build/pack-payload" "$build/linux/pack-payload"

echo "[4/4] Writing $out"
# Made under a fresh name beside OUT_DIR and moved into place whole, so that a failed run leaves no half
# folder to be shipped.
part="$out.part.$$"
rm -rf "$part"
mkdir -p "$part"
trap 'rm -rf "$part"' EXIT
cp "$build/windows/bin/launcher-prebuilt.exe" "$part/launcher-prebuilt.exe"
cp "$build/windows/bin/pack-payload.exe" "$part/pack-payload.exe"
cp "$build/pack-payload" "$part/pack-payload"
cp "$repo/docs/release-readme.md" "$part/README.md"
chmod 644 "$part"/*
chmod 755 "$part/pack-payload"
(cd "$part" && sha256sum launcher-prebuilt.exe pack-payload pack-payload.exe README.md >SHA256SUMS)
rm -rf "$out"
mv "$part" "$out"
trap - EXIT
echo "Release folder $out:"
(cd "$out" && sed 's/^/  /' SHA256SUMS)
