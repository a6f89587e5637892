# Sourced by the scripts that build, after they set `repo`:
#   kestrel_configure PRESET [FOLDER]
# configures a build folder with the preset PRESET of CMakePresets.json and sets `build` to the folder,
# `prefix` to its Wine prefix and `prefix64` to its 64-bit one (the paths the top CMakeLists.txt gives
# KESTREL_WINEPREFIX and KESTREL_WINEPREFIX64). The folder is FOLDER, else KESTREL_BUILD, else
# build/PRESET in the clone. Wine runs as the test user, who must reach the programs in it: run as root
# in a clone closed to other users, the build goes to a folder of its own under /var/tmp/kestrel-build
# instead.
kestrel_configure() {
    local preset="$1" folder="${2:-}"
    build="${folder:-${KESTREL_BUILD:-$repo/build/$preset}}"
    mkdir -p "$build"
    if [ "$(id -u)" -eq 0 ] && ! runuser -u "${KESTREL_TEST_USER:-kestrel}" -- test -x "$build"; then
        build="/var/tmp/kestrel-build/$preset-$(printf '%s' "$repo" | md5sum | cut -c1-12)"
        mkdir -p "$build"
        chmod 755 /var/tmp/kestrel-build
    fi
    build=$(cd "$build" && pwd)
    cmake -S "$repo" --preset "$preset" -B "$build" >/dev/null
    prefix="$build/wine-prefix"
    prefix64="$build/wine-prefix64"
}

# For the benchmarks: where the set-up had 32-bit programs run through qemu (scripts/setup.sh registers it
# only where the kernel cannot run them), the figures mean little; this says so and sets KESTREL_EMULATED
# for the measured programs, which say so too and still measure.
kestrel_note_emulation() {
    if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/kestrel-i386; then
        export KESTREL_EMULATED=1
        echo "EMULATED: 32-bit programs run through qemu-i386 on this machine; see the notes below."
    fi
}
