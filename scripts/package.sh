#!/usr/bin/env bash
# Turns an application's folder, or a ZIP made elsewhere, into launcher.exe:
#   bash scripts/package.sh APP_DIR OUT.exe [--sign CERT.pfx --password-file FILE [--timestamp-url URL]]
#                           [--version A.B.C.D] [--icon FILE.ico] [--report FILE.json]
#   bash scripts/package.sh --zip FILE.zip OUT.exe [the same options]
#   bash scripts/package.sh --verify LAUNCHER.exe [--ca ROOT.pem] [--signer SHA256] [--require-signature]
#                           [--report FILE.json]
#   bash scripts/package.sh --help          the options, the environment and the exit codes
# The command line, the certificate (read with its password), the version and the icon are checked before
# the set-up and the build. --verify reads a launcher built before without running it
# (tools/package_tool.py), --report writes what was built or verified as JSON. APP_DIR must hold Velkar.exe at its top; it becomes Velkar/ in the payload. Before anything is built
# the packer refuses, naming the file and the rule, what would fail on a user's machine (see the
# README, "Package your application"). OUT.exe is written only when everything went well; a failed run
# leaves none. SOURCE_DATE_EPOCH, where set, is the time of every entry (and of the signature), so the
# same folder and options give the same bytes from any clone.
# On a new machine, run as root: it installs what is missing first (scripts/setup.sh).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/configure.sh"

usage_line="usage: bash scripts/package.sh APP_DIR OUT.exe [OPTIONS]
       bash scripts/package.sh --zip FILE.zip OUT.exe [OPTIONS]
       bash scripts/package.sh --verify LAUNCHER.exe [--ca ROOT.pem] [--signer SHA256] [--require-signature]
                               [--report FILE.json]"
usage() {  # a mistake on the command line: what was wrong, then how it goes
    [ $# -eq 0 ] || echo "package.sh: $*" >&2
    echo "$usage_line" >&2
    echo "(bash scripts/package.sh --help tells more)" >&2
    exit 2
}
help() {
    cat <<HELP
$usage_line

Packs APP_DIR (the folder that holds Velkar.exe at its top; it becomes Velkar\\ on the user's machine), or
checks an archive made elsewhere (--zip), and builds OUT.exe around it. Everything is checked first:
what the launcher could not install is refused, naming each file and the rule, and nothing is built.

Options:
  --zip FILE.zip           embed this archive (its entries under Velkar/) instead of packing a folder;
                           it is checked by the same rules
  --sign CERT.pfx          sign OUT.exe with Authenticode (a PKCS#12 file with the certificate and key)
  --password-file FILE     the PKCS#12 file's password (its first line); goes with --sign
  --timestamp-url URL      ask this time-stamp server to counter-sign (none is asked otherwise)
  --version A.B.C.D        the file and product version (default 1.0.0.0)
  --icon FILE.ico          the launcher's icon, the application's own (checked first: a whole .ico file)
  --report FILE.json       also write what was built as JSON: the inputs, every entry, the sizes, the
                           SHA-256s, the signature and each step's time (fields: the README)
  --help                   this text

Checking a launcher built before, without running it:
  --verify LAUNCHER.exe    the program, its version block, icon and manifest, the embedded archive (by the
                           packer's rules) and the signature (digest, signer, time stamp); each failing
                           point is named
  --ca ROOT.pem            check the signer's chain against this root
  --signer SHA256          the signer's certificate must be this one: its SHA-256 fingerprint, as
                           openssl x509 -noout -fingerprint -sha256 -in CERT.pem prints it (colons and
                           case do not matter). Without --ca or --signer a signature is "present, signer
                           not verified": anybody can make a certificate of any name
  --require-signature      a launcher fails unless it is signed by a signer --ca or --signer vouches for
                           (an unsigned one is said, and holds, otherwise)
  --report FILE.json       the same as JSON

Environment:
  SOURCE_DATE_EPOCH        seconds since 1970: the time of every entry and of the signature, so the same
                           input gives the same bytes from any clone
  KESTREL_PACKAGE_BUILD    the build folder (default: build/package in this clone)

Exit codes:
  0  OUT.exe built; with --verify: all holds
  1  refused or failed: no OUT.exe is left, not even one from an earlier run; with --verify: a point
     failed (each is named)
  2  a mistake on the command line: nothing is touched
HELP
    exit 0
}
fail() {
    echo "package.sh: $*" >&2
    exit 1
}

app_dir="" zip="" out="" cert="" password_file="" timestamp_url="" version="" icon="" report=""
verify="" ca="" signer="" require_signature=""
positional=()
while [ $# -gt 0 ]; do
    case "$1" in
        --help|-h) help ;;
        --require-signature) require_signature=1; shift ;;
        --zip|--sign|--password-file|--timestamp-url|--version|--icon|--report|--verify|--ca|--signer)
            [ $# -ge 2 ] || usage "$1 needs a value"
            case "$1" in
                --zip) zip=$2 ;;
                --sign) cert=$2 ;;
                --password-file) password_file=$2 ;;
                --timestamp-url) timestamp_url=$2 ;;
                --version) version=$2 ;;
                --icon) icon=$2 ;;
                --report) report=$2 ;;
                --verify) verify=$2 ;;
                --ca) ca=$2 ;;
                --signer) signer=$2 ;;
            esac
            shift 2 ;;
        --) shift; positional+=("$@"); break ;;
        -*) usage "unknown option '$1'" ;;
        *) positional+=("$1"); shift ;;
    esac
done
tool="$repo/tools/package_tool.py"
build="${KESTREL_PACKAGE_BUILD:-$repo/build/package}"
# The report's steps: each one's seconds, counted from the end of the one before.
step_start=$(date +%s.%N)
steps=()
step_done() {
    local now
    now=$(date +%s.%N)
    steps+=(--step "$1=$(awk -v a="$step_start" -v b="$now" 'BEGIN { printf "%.3f", b - a }')")
    step_start=$now
}
# The set-up and the packer's build, the first two of `total` steps.
set_up() {
    local total=$1
    if [ "$(id -u)" -eq 0 ]; then
        echo "[1/$total] Setting up the toolchain (scripts/setup.sh)"
    else
        echo "[1/$total] Set-up skipped: not root (scripts/setup.sh installs what is missing, as root)"
    fi
    kestrel_set_up package.sh
    step_done set-up
}
build_packer() {
    local total=$1
    mkdir -p "$build"
    log="$build/package.log"
    : >"$log"
    echo "[2/$total] Building the packer in $build/tools"
    quietly cmake -S "$repo/tools/native" -B "$build/tools" -G Ninja -DCMAKE_BUILD_TYPE=Release
    quietly cmake --build "$build/tools" --target pack-payload
    step_done packer
}
# Runs a build step with its output in the log; a failure shows the log's end.
quietly() {
    if ! "$@" >>"$log" 2>&1; then
        tail -n 30 "$log" >&2
        fail "a build step failed (the whole log: $log)"
    fi
}
[ -z "$report" ] || [ -d "$(dirname -- "$report")" ] || fail "$(dirname -- "$report") is not a folder (--report)"

if [ -n "$verify" ]; then
    [ ${#positional[@]} -eq 0 ] || usage "--verify LAUNCHER.exe takes no APP_DIR or OUT.exe"
    for option in "$zip" "$cert" "$password_file" "$timestamp_url" "$version" "$icon"; do
        [ -z "$option" ] || usage "--verify takes --ca, --signer, --require-signature and --report only"
    done
    [ -f "$verify" ] || fail "$verify: no such file"
    pin=$(printf '%s' "$signer" | sed 's/^ *[Ss][Hh][Aa]256 [Ff]ingerprint=//' | tr -d ':')
    [ -z "$signer" ] || [[ "$pin" =~ ^[0-9A-Fa-f]{64}$ ]] ||
        usage "--signer takes a certificate's SHA-256 fingerprint (64 hexadecimal digits, colons allowed), as openssl x509 -noout -fingerprint -sha256 prints it"
    if [ -n "$ca" ]; then
        [ -f "$ca" ] || fail "$ca: no such file (--ca)"
        openssl x509 -in "$ca" -noout 2>/dev/null || fail "$ca is not a PEM certificate (--ca takes the root, PEM)"
    fi
    set_up 3
    build_packer 3
    echo "[3/3] Verifying $verify"
    verify_args=(--packer "$build/tools/pack-payload" --input "launcher=$verify" --input "ca=$ca")
    [ -z "$ca" ] || verify_args+=(--ca "$ca")
    [ -z "$signer" ] || verify_args+=(--signer "$signer" --input "signer=$signer")
    [ -z "$require_signature" ] || verify_args+=(--require-signature --input require_signature=yes)
    [ -z "$report" ] || verify_args+=(--report "$report")
    exec python3 "$tool" verify "$verify" "${verify_args[@]}" "${steps[@]}"
fi
[ -z "$ca" ] && [ -z "$signer" ] && [ -z "$require_signature" ] ||
    usage "--ca, --signer and --require-signature go with --verify"
version=${version:-1.0.0.0}

if [ -n "$zip" ]; then
    [ ${#positional[@]} -eq 1 ] || usage "--zip FILE.zip takes OUT.exe alone (no APP_DIR)"
    out=${positional[0]}
    [ -f "$zip" ] || fail "$zip: no such archive"
else
    [ ${#positional[@]} -eq 2 ] || usage "APP_DIR and OUT.exe are needed"
    app_dir=${positional[0]} out=${positional[1]}
    [ -d "$app_dir" ] || fail "$app_dir is not a folder"
fi

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

# The certificate is read now, with its password, so that a wrong one stops the run before anything long.
check_certificate() {
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    if grep -q -- '-----BEGIN' "$cert" 2>/dev/null; then
        fail "$cert is a PEM file; --sign takes a PKCS#12 file (.pfx) that holds the certificate and its key:" \
            "make one with  openssl pkcs12 -export -inkey KEY.pem -in $cert -out CERT.pfx"
    fi
    if ! openssl pkcs12 -in "$cert" -passin "file:$password_file" -nokeys -clcerts -out "$scratch/cert.pem" \
        2>"$scratch/error"; then
        if grep -qi 'mac verify\|invalid password\|bad decrypt' "$scratch/error"; then
            fail "the password in $password_file does not open $cert: check the password file (its first line is read)"
        fi
        fail "$cert is not a PKCS#12 file (.pfx) openssl can read: $(head -n 1 "$scratch/error")"
    fi
    openssl pkcs12 -in "$cert" -passin "file:$password_file" -nocerts -nodes 2>/dev/null | grep -q 'PRIVATE KEY' ||
        fail "$cert holds no private key: export the certificate with its key (openssl pkcs12 -export -inkey KEY.pem ...)"
    grep -q 'BEGIN CERTIFICATE' "$scratch/cert.pem" || fail "$cert holds no certificate"
    if ! openssl x509 -in "$scratch/cert.pem" -noout -checkend 0 >/dev/null; then
        fail "the certificate in $cert expired on $(openssl x509 -in "$scratch/cert.pem" -noout -enddate | sed 's/^notAfter=//'):" \
            "renew it; Windows shows a signature made with it as invalid"
    fi
}
[ -z "$cert" ] || check_certificate

# The icon too (tools/package_tool.py); on a fresh machine without Python, right after the set-up.
icon_checked=""
check_icon() {
    local said
    said=$(python3 "$tool" icon "$icon" 2>&1) || fail "$said (--icon)"
    echo "$said"
    icon_checked=1
}
[ -z "$icon" ] || ! command -v python3 >/dev/null || check_icon

[ -z "$app_dir" ] || app_dir=$(cd "$app_dir" && pwd)

# From here on a failed run leaves no OUT.exe, not even one from an earlier run that could be shipped
# by mistake. (A mistyped command line above leaves everything as it was.)
finished=0
cleanup() {
    if [ "$finished" -eq 0 ] && [ -e "$out" ]; then
        rm -f -- "$out"
        echo "package.sh: removed the earlier $out" >&2
    fi
    [ -z "${part:-}" ] || rm -f -- "$part"
    [ -z "${scratch:-}" ] || rm -rf -- "$scratch"
}
trap cleanup EXIT

set_up 5
[ -z "$icon" ] || [ -n "$icon_checked" ] || check_icon
build_packer 5

payload="$build/payload.zip"
if [ -n "$zip" ]; then
    # The archive is copied first, so that the bytes checked are the bytes embedded.
    echo "[3/5] Checking $zip"
    cp -- "$zip" "$payload.part"
    mv -f -- "$payload.part" "$payload"
    "$build/tools/pack-payload" --check "$payload" ||
        { rm -f "$payload"; fail "nothing was built: $zip is refused (the lines above name each entry and the rule)"; }
else
    echo "[3/5] Reading, checking and packing $app_dir"
    rm -f "$payload"
    "$build/tools/pack-payload" --app "$app_dir" "$payload" "${time_args[@]}" --progress ||
        fail "nothing was built: mend what is refused above and run again"
fi
step_done payload

echo "[4/5] Building launcher.exe (version $version) around the payload"
# The icon is copied into the build folder, as the archive is, and only when it changed: a fresh copy's
# time alone would compile the resources again.
icon_file=""
if [ -n "$icon" ]; then
    icon_file="$build/icon.ico"
    cmp -s -- "$icon" "$icon_file" || cp -- "$icon" "$icon_file"
fi
quietly cmake -S "$repo" -B "$build/launcher" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/i686-w64-mingw32.cmake" \
    -DPAYLOAD_ZIP="$payload" -DLAUNCHER_VERSION="$version" -DLAUNCHER_ICON_FILE="$icon_file"
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
step_done launcher

if [ -n "$cert" ]; then
    echo "[5/5] Signing with $cert"
    sign_args=(-pkcs12 "$cert" -readpass "$password_file" -h sha256)
    # No time-stamp server by default: many build machines reach none.
    [ -z "$timestamp_url" ] || sign_args+=(-ts "$timestamp_url")
    # The signing time is part of the signature: fixed where the build is to be reproducible.
    [ -z "${SOURCE_DATE_EPOCH:-}" ] || sign_args+=(-time "$SOURCE_DATE_EPOCH")
    rm -f "$build/signed.exe"
    quietly osslsigncode sign "${sign_args[@]}" -in "$built" -out "$build/signed.exe"
    built="$build/signed.exe"
else
    echo "[5/5] Not signed (--sign CERT.pfx --password-file FILE signs)"
fi
step_done signing
subject=""
[ -z "$cert" ] || subject=$(openssl pkcs12 -in "$cert" -passin "file:$password_file" -nokeys -clcerts 2>/dev/null |
    openssl x509 -noout -subject 2>/dev/null | sed 's/^subject=//')
# The report pins the certificate just signed with (--signer): the signature read back must be its.
# Where its fingerprint cannot be read here, the report says the signer is not verified.
signer_pin=() pin=""
[ -z "$cert" ] || pin=$(openssl pkcs12 -in "$cert" -passin "file:$password_file" -nokeys -clcerts 2>/dev/null |
    openssl x509 -noout -fingerprint -sha256 2>/dev/null | sed 's/^.*=//') || pin=""
[ -z "$pin" ] || signer_pin=(--signer "$pin")

# Copied to a temporary file of a fresh name, made by mktemp alone (O_EXCL): nothing planted at a name
# known beforehand is written through. mv then replaces whatever stands at OUT.exe as a name.
part=$(mktemp "$out_dir/.package-XXXXXX.part")
cp -- "$built" "$part"
chmod "$(printf '%o' $((0666 & ~$(umask))))" "$part"
mv -f -- "$part" "$out"
part=""
# The report reads OUT.exe as --verify does: an exe that does not hold fails the run, and is removed.
if [ -n "$report" ]; then
    if ! python3 "$tool" verify "$out" --packer "$build/tools/pack-payload" --report "$report" \
        --input "folder=$app_dir" --input "archive=$zip" --input "version=$version" --input "icon=$icon" \
        --input "certificate_subject=$subject" --input "source_date_epoch=${SOURCE_DATE_EPOCH:-}" \
        "${signer_pin[@]}" "${steps[@]}" >"$build/report.log" 2>&1; then
        cat "$build/report.log" >&2
        fail "the exe built does not hold as --verify checks it (the lines above; the report $report says the same)"
    fi
fi
finished=1
echo "Built $out"
echo "  size:          $(stat -c %s "$out" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta') bytes"
echo "  SHA-256:       $(sha256sum "$out" | cut -d' ' -f1)"
echo "  version:       $version"
[ -z "$cert" ] || echo "  signed by:     $subject"
[ -z "$report" ] || echo "  report:        $report"
