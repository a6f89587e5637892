#!/usr/bin/env bash
# How large a payload the launcher installs and starts: for each size, launcher.exe is built around a
# stored payload of that many MiB (Velkar/Velkar.exe, the demo application, and one file of zeros: stored,
# so the archive is as large as the file) and run under Wine, large-address-aware as built and with that
# flag cleared, in a 32-bit prefix and in a 64-bit one (WoW64). A size holds when the launcher's trace
# shows the archive written, Extract giving 1 and the application started, and the launcher ends with 0.
#   scripts/bench-payload-size.sh [BUILD_DIR] [SIZE_MIB...]     (defaults: build/bench, 256 512 768 1024)
# KESTREL_SIZE_PREFIXES chooses the prefixes ("win32 win64"), KESTREL_SIZE_FLAGS the flag ("laa nolaa").
# The prefixes are the benchmark's own (BUILD_DIR/size-prefix-win32 and -win64): the first run makes them.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/configure.sh"
kestrel_configure bench "${1:-}"
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(256 512 768 1024)
work="$build/payload-size"
mkdir -p "$work"
chmod 755 "$work"
payload="$work/payload.zip"

cmake --build "$build" --target Velkar packer_native >/dev/null
velkar="$build/bin/Velkar.exe"
packer="$build/tools/native/pack-payload"
# A build folder of its own whose launcher embeds $payload.
launcher_build="$work/build"
cmake -S "$repo" --preset "$kestrel_preset" -B "$launcher_build" -DPAYLOAD_ZIP="$payload" >/dev/null
test_user="${KESTREL_TEST_USER:-kestrel}"
[ "$(id -u)" -eq 0 ] || test_user=$(id -un)

# Writes the payload: the two entries, stored, without ZIP64 (below 4 GiB).
make_payload() {
    python3 - "$payload" "$velkar" "$1" <<'EOF'
import sys, zipfile, zlib
out, velkar, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
chunk = bytes(1 << 20)
crc = 0
for _ in range(mib):
    crc = zlib.crc32(chunk, crc)
with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED, allowZip64=False) as z:
    z.writestr(zipfile.ZipInfo("Velkar/", (2024, 1, 1, 0, 0, 0)), b"")
    z.write(velkar, "Velkar/Velkar.exe")
    info = zipfile.ZipInfo("Velkar/zeros.bin", (2024, 1, 1, 0, 0, 0))
    info.file_size = mib << 20
    with z.open(info, "w", force_zip64=False) as f:
        for _ in range(mib):
            f.write(chunk)
EOF
}

# Sets or clears IMAGE_FILE_LARGE_ADDRESS_AWARE (0x20) in the PE file header's characteristics.
set_laa() {
    python3 - "$1" "$2" <<'EOF'
import struct, sys
path, on = sys.argv[1], sys.argv[2] == "laa"
with open(path, "r+b") as f:
    f.seek(0x3C)
    pe = struct.unpack("<I", f.read(4))[0]
    f.seek(pe + 4 + 18)
    flags = struct.unpack("<H", f.read(2))[0]
    flags = flags | 0x20 if on else flags & ~0x20
    f.seek(pe + 4 + 18)
    f.write(struct.pack("<H", flags))
EOF
}

# Runs the launcher once in a prefix from a clean state; prints "holds" or what it stopped at.
run_once() {
    local arch=$1 exe=$2 prefix="$build/size-prefix-$1" trace status=0
    local args=(--prefix="$prefix")
    [ "$arch" = win32 ] || args+=(--arch=win64)
    "$repo/scripts/wine-run" "${args[@]}" --kill
    "$repo/scripts/wine-run" "${args[@]}" cmd /c exit 0 >/dev/null 2>&1 || true
    rm -rf "$prefix/drive_c/users/$test_user/AppData/Roaming/Kestrelworks"
    trace=$(WINEDEBUG=+debugstr timeout 240 "$repo/scripts/wine-run" "${args[@]}" "$exe" 2>&1) || status=$?
    "$repo/scripts/wine-run" "${args[@]}" --kill
    rm -rf "$prefix/drive_c/users/$test_user/AppData/Roaming/Kestrelworks"
    local lines
    lines=$(printf '%s\n' "$trace" | grep -a 'Kestrelworks launcher: ' | sed 's/.*Kestrelworks launcher: //' || true)
    if printf '%s\n' "$lines" | grep -q 'Extract into .* gave 1' &&
        printf '%s\n' "$lines" | grep -q 'command .*Velkar\.exe.* /n started' && [ "$status" -eq 0 ]; then
        echo "holds"
    else
        echo "fails (exit $status; last trace line: $(printf '%s\n' "$lines" | tail -n 1 | cut -c1-100))"
        printf '%s\n' "$trace" | grep -av 'OutputDebugStringA' | tail -n 3 | sed 's/^/        /' >&2
    fi
}

echo "size MiB | flag  | prefix | result | seconds"
for mib in "${sizes[@]}"; do
    make_payload "$mib"
    "$packer" --check "$payload" >/dev/null
    cmake --build "$launcher_build" --target launcher >/dev/null
    for flag in ${KESTREL_SIZE_FLAGS:-laa nolaa}; do
        exe="$work/launcher-$flag.exe"
        cp "$launcher_build/bin/launcher.exe" "$exe"
        set_laa "$exe" "$flag"
        chmod 644 "$exe"
        for arch in ${KESTREL_SIZE_PREFIXES:-win32 win64}; do
            start=$(date +%s)
            result=$(run_once "$arch" "$exe")
            printf '%8s | %-5s | %-6s | %s | %s\n' "$mib" "$flag" "$arch" "$result" "$(( $(date +%s) - start ))"
        done
        rm -f "$exe"
    done
done
rm -f "$payload"
