#!/usr/bin/env bash
# Turns an application's folder, or a ZIP made elsewhere, into launcher.exe, with this clone's packer:
#   bash scripts/package.sh APP_DIR OUT.exe [OPTIONS]
#   bash scripts/package.sh --zip FILE.zip OUT.exe [OPTIONS]
#   bash scripts/package.sh --verify LAUNCHER.exe [--ca ROOT.pem] [--signer SHA256] [--require-signature]
#                           [--report FILE.json]
#   bash scripts/package.sh --help          the options, the environment and the exit codes
# The command line, the checks, the messages and the exit codes are pack-payload's (tools/pack_payload.cpp):
# this script builds the packer and the prebuilt launcher once (the CMake targets packer_native and
# launcher-prebuilt of a build without the tests), keeps them while the sources they are built from stay
# the same, and hands the command line to the packer. A mistake in the form of the command line (an
# unknown option, a value missing or empty) is told before anything is set up or built.
# On a new machine, run as root: it installs what packaging needs first (scripts/setup.sh --packaging).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
as="bash scripts/package.sh"

usage() {  # a mistake on the command line: what was wrong, then how it goes
    echo "package.sh: $*" >&2
    cat >&2 <<USAGE
usage: $as APP_DIR OUT.exe [OPTIONS]
       $as --zip FILE.zip OUT.exe [OPTIONS]
       $as --verify LAUNCHER.exe [--ca ROOT.pem] [--signer SHA256] [--require-signature]
                                [--report FILE.json]
($as --help tells more)
USAGE
    exit 2
}
# The form of the command line, as the packer takes it; the packer checks every value.
help="" verify="" own_launcher=""
for ((i = 1; i <= $#; i++)); do
    arg=${!i}
    case "$arg" in
        --help|-h) help=1; break ;;
        --require-signature) ;;
        --zip|--sign|--password-file|--timestamp-url|--version|--icon|--report|--verify|--ca|--company|\
        --product-name|--description|--copyright|--product-version|--signer|--launcher)
            [ "$i" -lt $# ] || usage "$arg needs a value"
            i=$((i + 1))
            [ -n "${!i}" ] || usage "$arg needs a value, not an empty one: leave $arg out to go without it"
            [ "$arg" != --verify ] || verify=1
            [ "$arg" != --launcher ] || own_launcher=1 ;;
        --) break ;;
        -*) usage "unknown option '$arg'" ;;
    esac
done

# The packer and the prebuilt launcher, built once per state of the sources they are made from: the
# key is the SHA-256 of those files, so an edit builds them again and nothing else does.
build="${KESTREL_PACKAGE_BUILD:-$repo/build/package}"
product="$build/product"
packer="$product/tools/native/pack-payload"
prebuilt="$product/bin/launcher-prebuilt.exe"
sources_key() {
    (cd "$repo" && find base host sysops payload launcher tools cmake demo CMakeLists.txt CMakePresets.json \
        -type f ! -name '*.pyc' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
}
key=$(sources_key)
# The help needs no build where a packer is there already, whatever sources it was built from.
if { [ -z "$help" ] || [ ! -x "$packer" ]; } &&
    { [ ! -x "$packer" ] || [ ! -f "$prebuilt" ] || [ "$(cat "$build/sources.key" 2>/dev/null)" != "$key" ]; }; then
    mkdir -p "$build"
    log="$build/package.log"
    : >"$log"
    # Runs a build step with its output in the log; a failure is said in one line first, then the log's end.
    quietly() {
        if ! "$@" >>"$log" 2>&1; then
            echo "package.sh: a build step failed: $1 ${2:-} ... (the whole log: $log); its last lines:" >&2
            tail -n 30 "$log" | sed 's/^/  /' >&2
            exit 1
        fi
    }
    # What packaging needs and nothing of the tests; without root it only says what is missing. Its own
    # lines are shown: they say what failed and what to try.
    if ! bash "$repo/scripts/setup.sh" --packaging; then
        echo "package.sh: the set-up failed (its lines above say why); nothing was built" >&2
        exit 1
    fi
    echo "Building the packer and the prebuilt launcher in $product (once; later packages reuse them)"
    rm -f "$build/sources.key"
    quietly cmake -S "$repo" --preset windows-i686 -B "$product" -DKESTREL_TESTS=OFF
    quietly cmake --build "$product" --target launcher-prebuilt packer_native
    printf '%s\n' "$key" >"$build/sources.key"
fi

export KESTREL_PACKER_AS="$as"
if [ -n "$help" ]; then
    "$packer" --help
    cat <<HELP

package.sh, besides:
  KESTREL_PACKAGE_BUILD    where it builds the packer and the prebuilt launcher, once for each state of
                           their sources (default: build/package in this clone)
HELP
    exit 0
fi
# The prebuilt launcher this clone built, unless one is named; --verify reads a packed one alone.
if [ -n "$verify" ] || [ -n "$own_launcher" ]; then
    exec "$packer" "$@"
fi
exec "$packer" --launcher "$prebuilt" "$@"
