#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12, as root. Safe to run again:
# each step checks whether its work is already done.
#   setup.sh              the build and the tests: the toolchain, Wine, qemu where needed, the test user
#   setup.sh --packaging  what building the prebuilt launcher and the packers needs, and signing: the
#                         cross compiler, CMake, Ninja, zlib, minizip's sources, osslsigncode, openssl.
#                         No Wine, no qemu, no clang-format, no locales, no user. Without root it
#                         installs nothing: it says what is missing and the one command that installs it.
set -euo pipefail

cache="${KESTREL_CACHE:-/var/cache/kestrel}"
test_user="${KESTREL_TEST_USER:-kestrel}"
packaging=
case "${1:-}" in
    --packaging) packaging=1 ;;
    "") ;;
    *) echo "setup.sh: unknown option '$1' (setup.sh [--packaging])" >&2; exit 2 ;;
esac

# The packages of each use. wine64 makes the 64-bit test prefix, in which the 32-bit programs run under
# WoW64 as on 64-bit Windows; python3-pefile: the tests read the packer's rewritten launcher back with a
# reader that is not ours. dpkg-dev unpacks minizip's source package; zlib1g-dev links the static packer;
# python3 draws the launcher's own icon at its build.
packaging_packages=(g++ g++-mingw-w64-i686 libz-mingw-w64-dev cmake ninja-build dpkg-dev zlib1g-dev python3
                    osslsigncode openssl)
if [ -n "$packaging" ]; then
    packages=("${packaging_packages[@]}")
else
    packages=("${packaging_packages[@]}" mingw-w64-tools wine wine32:i386 wine32-preloader:i386 wine64
              locales procps qemu-user-static clang-format-14 python3-pefile)
fi
# KESTREL_SETUP_EXTRA_PACKAGES adds packages to the list: the set-up's own test names one that does not
# exist, so that the install step runs, against a stand-in for apt-get (KESTREL_APT_GET).
read -r -a extra_packages <<<"${KESTREL_SETUP_EXTRA_PACKAGES:-}"
packages+=("${extra_packages[@]}")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
minizip="$cache/minizip"

need_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    if [ -n "$packaging" ]; then
        # Packaging needs no root once its packages are there: say what is missing and how to get it.
        if [ "${#missing[@]}" -eq 0 ] && [ -f "$minizip/unzip.c" ]; then
            echo "setup.sh: the packaging toolchain is ready (nothing to install)"
            exit 0
        fi
        [ "${#missing[@]}" -eq 0 ] ||
            echo "setup.sh: missing packages: ${missing[*]}; install them with: sudo apt-get install ${missing[*]}" >&2
        [ -f "$minizip/unzip.c" ] ||
            echo "setup.sh: minizip's sources are not in $minizip; run 'sudo bash scripts/setup.sh --packaging' once" >&2
        exit 1
    fi
    echo "setup.sh: run as root (it installs packages and creates the test user)" >&2
    exit 1
}
need_root

# The Debian source-package entry, so that minizip's sources can be taken from the zlib source package.
sources_list=/etc/apt/sources.list.d/kestrel-src.sources
if [ ! -f "$sources_list" ]; then
    cat > "$sources_list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    fresh_lists=1
fi

# Wine's 32-bit packages are i386 ones; packaging needs none.
if [ -z "$packaging" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    fresh_lists=1
fi

# apt's own output goes to a log; the console gets one line a step, and on a failure the step, the log
# and what to try. KESTREL_APT_GET stands in for apt-get in the set-up's own tests.
apt_get="${KESTREL_APT_GET:-apt-get}"
log="${KESTREL_SETUP_LOG:-$cache/setup.log}"
tries="${KESTREL_APT_TRIES:-4}"
pause="${KESTREL_APT_PAUSE:-15}"
mkdir -p "$(dirname "$log")"
setup_failed() {  # step, what to try
    echo "setup.sh: $1 failed; apt's output is in $log" >&2
    echo "setup.sh: $2" >&2
    exit 1
}
# A mirror in the middle of a sync answers "File has unexpected size" for an index or two for a while:
# try again after a pause. An update that still fails for some lists has fetched the others, and apt
# keeps the older copies of the failed ones, so the install is tried with what there is; only a failed
# install ends the set-up.
update_lists() {
    local try=1
    until "$apt_get" update -q >>"$log" 2>&1; do
        if [ "$try" -ge "$tries" ]; then
            echo "setup.sh: some package lists could not be fetched after $tries tries;" \
                "going on with the lists there are (details in $log)" >&2
            lists_incomplete=1
            return 0
        fi
        echo "setup.sh: fetching the package lists failed (try $try of $tries); trying again in ${pause}s" >&2
        sleep "$pause"
        try=$((try + 1))
    done
}
if [ "${#missing[@]}" -gt 0 ] || [ -n "${fresh_lists:-}" ]; then
    echo "setup.sh: installing the ${packaging:+packaging }toolchain: a first run takes minutes (${#missing[@]} packages; log: $log)"
    update_lists
fi
install_missing() {
    DEBIAN_FRONTEND=noninteractive "$apt_get" install -y -q --no-install-recommends "$@" "${missing[@]}" >>"$log" 2>&1
}
if [ "${#missing[@]}" -gt 0 ] && ! install_missing; then
    # A list missing for one architecture of the security suite (its index mid-sync) leaves apt wanting
    # the suite's newer amd64 library beside an i386 one it cannot see, and the two must be the same
    # version. The release's own suite has both; its packages are taken where the lists disagree.
    [ -n "${lists_incomplete:-}" ] && echo "setup.sh: the install failed with a package list missing;" \
        "trying again with the release's own suite (bookworm) preferred" >&2
    [ -n "${lists_incomplete:-}" ] && install_missing -t bookworm ||
        setup_failed "installing ${missing[*]}" \
            "the package mirror may be mid-sync or out of reach: run the same command again later"
fi

# minizip comes as sources from Debian's zlib source package; only contrib/minizip is kept.
if [ ! -f "$minizip/unzip.c" ]; then
    echo "setup.sh: fetching minizip's sources (Debian's zlib source package)"
    work=$(mktemp -d)
    (cd "$work" && "$apt_get" source -q --download-only zlib >>"$log" 2>&1 &&
        dpkg-source -x --no-check zlib_*.dsc src >>"$log" 2>&1) ||
        { rm -rf "$work"; setup_failed "fetching the zlib source package" \
            "the package mirror may be mid-sync or out of reach: run the same command again later"; }
    mkdir -p "$cache"
    rm -rf "$minizip"
    cp -r "$work/src/contrib/minizip" "$minizip"
    rm -rf "$work"
fi

if [ -n "$packaging" ]; then
    echo "setup.sh: the packaging toolchain and minizip ($minizip) are ready"
    exit 0
fi

# 32-bit Wine is a 32-bit Linux program. Some kernels (virtual machines that run 64-bit user code only)
# refuse to execute one: there, the kernel hands every i386 program to qemu's user-mode emulator. The
# 'F' flag opens the emulator now, so that it serves programs started under another user or root too.
# Wine's preloader matters there: it reserves Wine's address ranges in one step, where Wine alone
# probes the emulator's address space for about a minute at every process start.
i386_probe=/lib/ld-linux.so.2
if ! "$i386_probe" --help >/dev/null 2>&1; then
    binfmt=/proc/sys/fs/binfmt_misc
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    if [ ! -e "$binfmt/kestrel-i386" ]; then
        printf '%s' ':kestrel-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:OCF' \
            > "$binfmt/register"
    fi
    "$i386_probe" --help >/dev/null 2>&1 || { echo "setup.sh: this machine cannot run 32-bit programs, even through qemu" >&2; exit 1; }
    echo "setup.sh: 32-bit programs run through qemu-i386 on this machine"
fi

# Wine takes its ANSI code page from the locale: zh_CN.UTF-8 gives code page 936 (GBK), the one the
# launcher is made for; en_US.UTF-8 (1252) and ja_JP.UTF-8 (932) let tests show names other code pages
# spell differently.
locales_made=0
for loc in zh_CN en_US ja_JP; do
    if ! locale -a 2>/dev/null | grep -qi "^$loc\.utf-\?8\$"; then
        sed -i "s/^# *\($loc.UTF-8 UTF-8\)/\1/" /etc/locale.gen
        grep -q "^$loc.UTF-8 UTF-8" /etc/locale.gen || echo "$loc.UTF-8 UTF-8" >> /etc/locale.gen
        locales_made=1
    fi
done
[ "$locales_made" -eq 0 ] || locale-gen >/dev/null

# The Wine tests run as an unprivileged user: as root, Wine lets a read-only file be overwritten.
if ! id "$test_user" >/dev/null 2>&1; then
    useradd --create-home --shell /usr/sbin/nologin "$test_user"
fi

echo "setup.sh: toolchain, Wine, minizip ($minizip) and test user '$test_user' are ready"
