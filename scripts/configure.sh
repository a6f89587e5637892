# Sourced by the scripts that build, after they set `repo`:
#   kestrel_configure USE [FOLDER]
# configures a build folder with the one preset of CMakePresets.json (32-bit Windows, MinGW-w64) and sets
# `build` to the folder, `prefix` to its Wine prefix and `prefix64` to its 64-bit one (the paths the top
# CMakeLists.txt gives KESTREL_WINEPREFIX and KESTREL_WINEPREFIX64). The uses (test, demo, bench, fuzz)
# differ only in that folder, so that one use's build never disturbs another's: FOLDER, else
# KESTREL_BUILD, else build/USE in the clone. Wine runs as the test user, who must reach the programs in
# it: run as root in a clone closed to other users, the build goes to a folder of its own under
# /var/tmp/kestrel-build instead.
kestrel_preset=windows-i686

kestrel_configure() {
    local use="$1" folder="${2:-}"
    build="${folder:-${KESTREL_BUILD:-$repo/build/$use}}"
    mkdir -p "$build"
    if [ "$(id -u)" -eq 0 ] && ! runuser -u "${KESTREL_TEST_USER:-kestrel}" -- test -x "$build"; then
        build="/var/tmp/kestrel-build/$use-$(printf '%s' "$repo" | md5sum | cut -c1-12)"
        mkdir -p "$build"
        chmod 755 /var/tmp/kestrel-build
    fi
    build=$(cd "$build" && pwd)
    cmake -S "$repo" --preset "$kestrel_preset" -B "$build" >/dev/null
    prefix="$build/wine-prefix"
    prefix64="$build/wine-prefix64"
}

# For the benchmarks: configures the bench build (FOLDER, else as kestrel_configure says) and builds
# TARGET...; where the set-up had 32-bit programs run through qemu (scripts/setup.sh registers it only
# where the kernel cannot run them), the figures mean little: this says so and sets KESTREL_EMULATED for
# the measured programs, which say so too and still measure.
kestrel_bench_build() {
    local folder="$1"
    shift
    if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/kestrel-i386; then
        export KESTREL_EMULATED=1
        echo "EMULATED: 32-bit programs run through qemu-i386 on this machine; see the notes below."
    fi
    kestrel_configure bench "$folder"
    cmake --build "$build" --target "$@" >/dev/null
}

# Ends the wineserver of `prefix`: a server left running by earlier tests is not pinned to the
# benchmark's CPU, so the pinned program must start its own.
kestrel_end_wineserver() {
    "$repo/scripts/wine-run" --prefix="$prefix" --kill
}

# For the scripts a person runs on a new machine: run as root, installs what is missing first
# (scripts/setup.sh, safe to run again); otherwise leaves the set-up to root. `script` names the caller in
# the message that ends the run when the set-up fails.
kestrel_set_up() {
    local script="$1"
    [ "$(id -u)" -eq 0 ] || return 0
    bash "$repo/scripts/setup.sh" || {
        echo "$script: the set-up failed (its last lines above say why); nothing was built or run" >&2
        exit 1
    }
}
