#!/usr/bin/env bash
# Turns an application's folder into launcher.exe:
#   bash scripts/package.sh APP_DIR OUT.exe [--sign CERT.pfx --password-file FILE [--timestamp-url URL]]
#                           [--version A.B.C.D]
# APP_DIR must hold Velkar.exe at its top; it becomes Velkar/ in the payload. Before anything is built
# the packer refuses, naming the file and the rule, what would fail on a user's machine (see the
# README, "Package your application"). OUT.exe is written only when everything went well; a failed run
# leaves none. SOURCE_DATE_EPOCH, where set, is the time of every entry (and of the signature), so the
# same folder and options give the same bytes from any clone.
# On a new machine, run as root: it installs what is missing first (scripts/setup.sh).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    echo "usage: bash scripts/package.sh APP_DIR OUT.exe [--sign CERT.pfx --password-file FILE [--timestamp-url URL]] [--version A.B.C.D]" >&2
    exit 2
}
fail() {
    echo "package.sh: $*" >&2
    exit 1
}

[ $# -ge 2 ] || usage
app_dir=$1 out=$2
shift 2
cert="" password_file="" timestamp_url="" version=1.0.0.0
while [ $# -gt 0 ]; do
    case "$1" in
        --sign) [ $# -ge 2 ] || usage; cert=$2; shift 2 ;;
        --password-file) [ $# -ge 2 ] || usage; password_file=$2; shift 2 ;;
        --timestamp-url) [ $# -ge 2 ] || usage; timestamp_url=$2; shift 2 ;;
        --version) [ $# -ge 2 ] || usage; version=$2; shift 2 ;;
        *) usage ;;
    esac
done

[ -d "$app_dir" ] || fail "$app_dir is not a folder"
case "$out" in *.exe|*.EXE) ;; *) fail "$out: the output is an .exe" ;; esac
out_dir=$(dirname -- "$out")
[ -d "$out_dir" ] || fail "$out_dir is not a folder"
version_error=$(bash "$repo/scripts/launcher-version.sh" --version "$version" 2>&1 >/dev/null) || fail "$version_error"
if [ -n "$cert" ] || [ -n "$password_file" ]; then
    [ -n "$cert" ] && [ -n "$password_file" ] || fail "--sign and --password-file go together"
    [ -f "$cert" ] || fail "$cert: no such certificate file"
    [ -f "$password_file" ] || fail "$password_file: no such password file"
fi
[ -z "$timestamp_url" ] || [ -n "$cert" ] || fail "--timestamp-url needs --sign"
time_args=()
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    [[ "$SOURCE_DATE_EPOCH" =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH must be seconds since 1970, not '$SOURCE_DATE_EPOCH'"
    time_args=(--time "$SOURCE_DATE_EPOCH")
fi
app_dir=$(cd "$app_dir" && pwd)

# From here on a failed run leaves no OUT.exe, not even one from an earlier run that could be shipped
# by mistake. (A mistyped command line above leaves everything as it was.)
finished=0
cleanup() {
    if [ "$finished" -eq 0 ] && [ -e "$out" ]; then
        rm -f -- "$out"
        echo "package.sh: removed the earlier $out" >&2
    fi
    rm -f -- "$out.part"
}
trap cleanup EXIT

if [ "$(id -u)" -eq 0 ]; then
    bash "$repo/scripts/setup.sh" >/dev/null
fi

build="${KESTREL_PACKAGE_BUILD:-$repo/build/package}"
mkdir -p "$build"
log="$build/package.log"
: >"$log"
# Runs a build step with its output in the log; a failure shows the log's end.
quietly() {
    if ! "$@" >>"$log" 2>&1; then
        tail -n 30 "$log" >&2
        fail "a build step failed (the whole log: $log)"
    fi
}

echo "[1/4] Building the packer in $build/tools"
quietly cmake -S "$repo/tools/native" -B "$build/tools" -G Ninja -DCMAKE_BUILD_TYPE=Release
quietly cmake --build "$build/tools" --target pack-payload

echo "[2/4] Checking and packing $app_dir"
payload="$build/payload.zip"
rm -f "$payload"
"$build/tools/pack-payload" --app "$app_dir" "$payload" "${time_args[@]}" --progress ||
    fail "nothing was built: mend what is refused above and run again"

echo "[3/4] Building launcher.exe (version $version) around the payload"
quietly cmake -S "$repo" -B "$build/launcher" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/i686-w64-mingw32.cmake" \
    -DPAYLOAD_ZIP="$payload" -DLAUNCHER_VERSION="$version"
# The build's own steps, counted as they pass: on one line at a terminal, every tenth step elsewhere.
show_step() {
    local step
    while IFS= read -r line; do
        case "$line" in \[*/*\]*) ;; *) continue ;; esac
        step=${line%%]*}
        step=${step#[}
        if [ -t 1 ]; then
            printf '\r      step %s ' "$step"
        elif [ $(( ${step%/*} % 10 )) -eq 0 ] || [ "${step%/*}" = "${step#*/}" ]; then
            echo "      step $step"
        fi
    done
}
if ! cmake --build "$build/launcher" --target launcher 2>&1 | tee -a "$log" | show_step; then
    echo
    tail -n 30 "$log" >&2
    fail "the build of launcher.exe failed (the whole log: $log)"
fi
[ ! -t 1 ] || echo
built="$build/launcher/bin/launcher.exe"

if [ -n "$cert" ]; then
    echo "[4/4] Signing with $cert"
    sign_args=(-pkcs12 "$cert" -readpass "$password_file" -h sha256)
    # No time-stamp server by default: many build machines reach none.
    [ -z "$timestamp_url" ] || sign_args+=(-ts "$timestamp_url")
    # The signing time is part of the signature: fixed where the build is to be reproducible.
    [ -z "${SOURCE_DATE_EPOCH:-}" ] || sign_args+=(-time "$SOURCE_DATE_EPOCH")
    rm -f "$build/signed.exe"
    quietly osslsigncode sign "${sign_args[@]}" -in "$built" -out "$build/signed.exe"
    built="$build/signed.exe"
else
    echo "[4/4] Not signed (--sign CERT.pfx --password-file FILE signs)"
fi

cp -- "$built" "$out.part"
mv -f -- "$out.part" "$out"
finished=1
echo "Built $out"
echo "  size:          $(stat -c %s "$out" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta') bytes"
echo "  SHA-256:       $(sha256sum "$out" | cut -d' ' -f1)"
echo "  version:       $version"
if [ -n "$cert" ]; then
    echo "  signed by:     $(openssl pkcs12 -in "$cert" -passin "file:$password_file" -nokeys -clcerts 2>/dev/null |
        openssl x509 -noout -subject 2>/dev/null | sed 's/^subject=//')"
fi
