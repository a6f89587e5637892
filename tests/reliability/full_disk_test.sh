#!/usr/bin/env bash
# A full disk while the launcher writes its archive and while it extracts it: a small tmpfs mapped as
# drive R: of the test prefix holds the application-data folder. First too small for the archive,
# then big enough for the archive but not the tree, then with room: the first two installs fail, so
# each must start nothing, end with the install-failure code and leave nothing that stops the next
# run; the last must install, launch, clean up and end with 0.
#   full_disk_test.sh WINE_RUN PREFIX DRIVER ARCHIVE [win32|win64]
# The prefix's kind is the fifth argument (win64: a 64-bit prefix, the launcher under WoW64).
# Exits 77 (skipped) when no file system can be mounted here.
set -euo pipefail
wine_run="$1" prefix="$2" driver="$3" archive_bytes=$(stat -c %s "$4") arch="${5:-win32}"
test_user="${KESTREL_TEST_USER:-kestrel}"
disk="$(dirname "$driver")/../tests/reliability/full-disk"
drive="$prefix/dosdevices/r:"

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: mounting a small file system needs root"; exit 77
fi
mkdir -p "$disk"
mountpoint -q "$disk" && umount "$disk"
if ! mount -t tmpfs -o size=1m,mode=0755 tmpfs "$disk" 2>/tmp/kestrel-full-disk-mount.$$; then
    echo "skipped: this machine refuses to mount a tmpfs: $(cat /tmp/kestrel-full-disk-mount.$$)"
    rm -f /tmp/kestrel-full-disk-mount.$$
    exit 77
fi
rm -f /tmp/kestrel-full-disk-mount.$$
cleanup() {
    rm -f "$drive"
    mountpoint -q "$disk" && umount "$disk"
    true
}
trap cleanup EXIT

"$wine_run" --prefix="$prefix" --arch="$arch" --warm || true
ln -sfn "$(cd "$disk" && pwd)" "$drive"

run_case() {  # SIZE_BYTES MODE WHAT
    mount -o remount,size="$1" "$disk"
    install -d -o "$test_user" "$disk/AppData"
    chown "$test_user" "$disk"
    echo "== $3 ($1 bytes of room, archive $archive_bytes bytes)"
    "$wine_run" --prefix="$prefix" --arch="$arch" "$driver" "$2" 'R:\AppData'
    echo "left on the disk:"; (cd "$disk" && find . | sort)
}

# tmpfs counts whole pages; the archive and the tree each need about archive_bytes.
run_case $((archive_bytes / 2)) full "no room for the archive"
run_case $((archive_bytes * 3 / 2)) full "room for the archive but not the tree"
run_case $((archive_bytes * 4)) room "room for both"
echo "full-disk faults: 2 injected, 2 survived (nothing started, exit 1603, nothing left behind), then a complete run"
