#!/usr/bin/env bash
# Turns an application's folder, or a ZIP made elsewhere, into launcher.exe:
#   bash scripts/package.sh APP_DIR OUT.exe [--sign CERT.pfx [--password-file FILE] [--timestamp-url URL]]
#                           [--version A.B.C.D] [--product-version TEXT] [--company TEXT] [--product-name TEXT]
#                           [--description TEXT] [--copyright TEXT] [--icon FILE.ico] [--report FILE.json]
#   bash scripts/package.sh --zip FILE.zip OUT.exe [the same options]
#   bash scripts/package.sh --verify LAUNCHER.exe [--ca ROOT.pem] [--signer SHA256] [--require-signature]
#                           [--report FILE.json]
#   bash scripts/package.sh --help          the options, the environment and the exit codes
# The command line (every value, and that no output is or lies inside an input), the certificate (read
# with its password), the version, its texts and the icon are checked before the set-up and the build.
# --verify reads a launcher built before without running it (tools/package_tool.py), --report writes what
# was built or verified as JSON. APP_DIR must hold Velkar.exe at its top; it becomes Velkar/ in the
# payload. Before anything is built the packer refuses, naming the file and the rule, what would fail on a
# user's machine (see the README, "Package your application"). OUT.exe and the report are written under
# fresh names beside them and moved into place only when everything went well; a failed run leaves
# neither, not even earlier ones. SOURCE_DATE_EPOCH, where set, is the time of every entry (and of the
# signature), so the same folder and options give the same bytes from any clone.
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
  --sign CERT.pfx          sign OUT.exe with Authenticode (a PKCS#12 file with the certificate and key;
                           one exported the old way, RC2-40 encrypted, is read too)
  --password-file FILE     the PKCS#12 file's password (its first line, without its line end, CR LF
                           included); goes with --sign; leave it out for a file without a password
  --timestamp-url URL      ask this time-stamp server to counter-sign (none is asked otherwise, and a
                           signature without a time stamp is said)
  --version A.B.C.D        the file and product version numbers (default 1.0.0.0)
  --product-version TEXT   the product version as a text, such as 1.2.3-beta (default: A.B.C.D)
  --company TEXT           the version block's company (default: none)
  --product-name TEXT      its product name (default: 檀溪舟楫)
  --description TEXT       its file description (default: 檀溪舟楫)
  --copyright TEXT         its copyright (default: none)
                           Each text: one line of at most 256 characters (the product version 64), no
                           control characters, no space at either end, only characters code page 936
                           spells (the code page Windows reads them in: no ©, write (C))
  --icon FILE.ico          the launcher's icon, the application's own (checked first: a whole .ico file)
  --report FILE.json       also write what was built as JSON: the inputs, every entry, the sizes, the
                           SHA-256s, the signature and each step's time (fields: the README)
  --help                   this text
No output may be, or lie inside, the application's folder or an input, and the two outputs differ: each
is compared by what it is on disk (links followed), not by how it is spelt.

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
  1  refused or failed: no OUT.exe and no report is left, not even one from an earlier run; with
     --verify: a point failed (each is named)
  2  a mistake on the command line (an empty value, a value of the wrong form, a file that is not there,
     an output that overlaps an input): nothing is touched
HELP
    exit 0
}
fail() {
    echo "package.sh: $*" >&2
    exit 1
}

app_dir="" zip="" out="" cert="" password_file="" timestamp_url="" version="" icon="" report=""
verify="" ca="" signer="" require_signature=""
company="" product_name="" description="" copyright="" product_version=""
positional=()
while [ $# -gt 0 ]; do
    case "$1" in
        --help|-h) help ;;
        --require-signature) require_signature=1; shift ;;
        --zip|--sign|--password-file|--timestamp-url|--version|--icon|--report|--verify|--ca|--company|\
        --product-name|--description|--copyright|--product-version|--signer)
            [ $# -ge 2 ] || usage "$1 needs a value"
            # An empty value is a slip (an unset variable, say), never a way to leave a feature out.
            [ -n "$2" ] || usage "$1 needs a value, not an empty one: leave $1 out to go without it"
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
                --company) company=$2 ;;
                --product-name) product_name=$2 ;;
                --description) description=$2 ;;
                --copyright) copyright=$2 ;;
                --product-version) product_version=$2 ;;
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
# Runs a build step with its output in the log; a failure is said in one line first, then the log's end.
quietly() {
    if ! "$@" >>"$log" 2>&1; then
        echo "package.sh: a build step failed: $1 ${2:-} ... (the whole log: $log); its last lines:" >&2
        tail -n 30 "$log" | sed 's/^/  /' >&2
        exit 1
    fi
}
# Where a file on disk is, as the file system knows it: device and inode of the file where it exists, else
# of its folder followed by its name; links are followed first. Two spellings of one file (a link, "./",
# a folder reached twice) give the same identity.
identity() {
    local resolved
    resolved=$(readlink -m -- "$1")
    if [ -e "$resolved" ]; then
        stat -L -c '%d:%i' -- "$resolved"
    else
        echo "$(stat -L -c '%d:%i' -- "$(dirname -- "$resolved")" 2>/dev/null)/$(basename -- "$resolved")"
    fi
}
# Whether the output $1 is the folder $2 or lies anywhere below it, compared folder by folder upwards.
inside_folder() {
    local at folder
    folder=$(stat -L -c '%d:%i' -- "$2")
    at=$(readlink -m -- "$1")
    while :; do
        [ ! -e "$at" ] || [ "$(stat -L -c '%d:%i' -- "$at")" != "$folder" ] || return 0
        [ "$at" != / ] || return 1
        at=$(dirname -- "$at")
    done
}
# An output ($1, named by the option $2) that is a folder, or whose folder is missing, is a slip of the
# command line; so is one that is an input ("what=path" pairs after it), which writing it would destroy.
check_output() {
    local path=$1 option=$2 input
    shift 2
    [ ! -d "$path" ] || usage "$path is a folder ($option): name the file to write"
    [ -d "$(dirname -- "$path")" ] || usage "$(dirname -- "$path") is not a folder ($option)"
    [ -w "$(dirname -- "$path")" ] ||
        usage "$(dirname -- "$path") cannot be written in ($option): name a folder of yours"
    for input in "$@"; do
        [ -n "${input#*=}" ] || continue
        if [ "${input%%=*}" = "the application's folder" ]; then
            ! inside_folder "$path" "${input#*=}" ||
                usage "$path lies inside the application's folder ${input#*=} ($option): it would overwrite" \
                    "the application's files or be packed into the next package; write it outside"
        elif [ -e "${input#*=}" ] && [ "$(identity "$path")" = "$(identity "${input#*=}")" ]; then
            usage "$path is the same file as ${input%%=*} ${input#*=} ($option): writing it would destroy" \
                "that file; name another"
        fi
    done
}
[ -z "$report" ] || check_output "$report" --report

if [ -n "$verify" ]; then
    [ ${#positional[@]} -eq 0 ] || usage "--verify LAUNCHER.exe takes no APP_DIR or OUT.exe"
    for option in "$zip" "$cert" "$password_file" "$timestamp_url" "$version" "$icon" "$company" "$product_name" \
        "$description" "$copyright" "$product_version"; do
        [ -z "$option" ] || usage "--verify takes --ca, --signer, --require-signature and --report only"
    done
    [ -f "$verify" ] || fail "$verify: no such file"
    [ -z "$report" ] || check_output "$report" --report "the launcher=$verify" "the root certificate=$ca"
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
    [ -f "$zip" ] || usage "$zip: no such archive (--zip)"
else
    [ ${#positional[@]} -eq 2 ] || usage "APP_DIR and OUT.exe are needed"
    app_dir=${positional[0]} out=${positional[1]}
    [ -n "$app_dir" ] || usage "APP_DIR is empty: name the application's folder"
    [ -d "$app_dir" ] || usage "$app_dir is not a folder (APP_DIR)"
fi

[ -n "$out" ] || usage "OUT.exe is empty: name the launcher to write"
case "$out" in *.exe|*.EXE) ;; *) usage "$out: the output is an .exe (OUT.exe)" ;; esac
out_dir=$(dirname -- "$out")
version_error=$(bash "$repo/scripts/launcher-version.sh" --version "$version" 2>&1 >/dev/null) || usage "$version_error"
[ -z "$password_file" ] || [ -n "$cert" ] || usage "--password-file goes with --sign"
if [ -n "$cert" ]; then
    [ -f "$cert" ] || usage "$cert: no such certificate file (--sign)"
    [ -z "$password_file" ] || [ -f "$password_file" ] || usage "$password_file: no such password file"
fi
[ -z "$timestamp_url" ] || [ -n "$cert" ] || usage "--timestamp-url needs --sign"
[ -z "$icon" ] || [ -f "$icon" ] || usage "$icon: no such icon file (--icon)"
# The version block's texts, checked as the build checks them (tools/package_tool.py text); on a fresh
# machine without Python, right after the set-up.
texts_checked=""
check_texts() {
    local option value said
    for option in --company --product-name --description --copyright --product-version; do
        case "$option" in
            --company) value=$company ;;
            --product-name) value=$product_name ;;
            --description) value=$description ;;
            --copyright) value=$copyright ;;
            --product-version) value=$product_version ;;
        esac
        [ -z "$value" ] || said=$(python3 "$tool" text "$option" "$value" 2>&1 >/dev/null) || usage "$said"
    done
    texts_checked=1
}
! command -v python3 >/dev/null || check_texts
inputs=("the application's folder=$app_dir" "the archive=$zip" "the icon=$icon" "the certificate=$cert"
    "the password file=$password_file")
check_output "$out" OUT.exe "${inputs[@]}"
if [ -n "$report" ]; then
    check_output "$report" --report "${inputs[@]}"
    # The two outputs, by identity too; neither need exist yet.
    [ "$(identity "$report")" != "$(identity "$out")" ] ||
        usage "$report is the same file as OUT.exe $out (--report): the report would replace the launcher;" \
            "name another file"
fi
time_args=()
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    [[ "$SOURCE_DATE_EPOCH" =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH must be seconds since 1970, not '$SOURCE_DATE_EPOCH'"
    time_args=(--time "$SOURCE_DATE_EPOCH")
fi

[ -z "$app_dir" ] || app_dir=$(cd "$app_dir" && pwd)

# From here on a failed run leaves no OUT.exe and no report, not even ones from an earlier run that could
# be shipped by mistake. (A mistyped command line above leaves everything as it was.)
finished=0
cleanup() {
    local output
    [ -z "${part:-}" ] || rm -f -- "$part"
    [ -z "${report_part:-}" ] || rm -f -- "$report_part"
    [ -z "${scratch:-}" ] || rm -rf -- "$scratch"
    [ "$finished" -eq 0 ] || return 0
    for output in "$out" "$report"; do
        if [ -n "$output" ] && { [ -e "$output" ] || [ -L "$output" ]; }; then
            rm -f -- "$output"
            echo "package.sh: removed the earlier $output (a failed run leaves none)" >&2
        fi
    done
}
trap cleanup EXIT
scratch=$(mktemp -d)

# The certificate is read now, with its password, so that a wrong one stops the run before anything long.
# The password is the password file's first line without its line end (a file saved on Windows ends it
# with CR LF), kept in the scratch folder for openssl and osslsigncode alike; none given, or an empty one,
# is the empty password of a file exported without one.
password=""
openssl_legacy=()
pkcs12() {
    local passin=pass:
    [ -z "$password" ] || passin="file:$password"
    openssl pkcs12 -in "$cert" -passin "$passin" "${openssl_legacy[@]}" "$@"
}
# What a file that openssl does not read as PKCS#12 is, and how it becomes one; one line.
not_pkcs12() {
    local kind convert export_command="openssl pkcs12 -export -inkey KEY.pem"
    if grep -q -- '-----BEGIN' "$cert" 2>/dev/null; then
        fail "$cert is a PEM file; --sign takes a PKCS#12 file (.pfx) that holds the certificate and its key:" \
            "make one with  openssl pkcs12 -export -inkey KEY.pem -in $cert -out CERT.pfx"
    elif openssl x509 -inform DER -in "$cert" -noout 2>/dev/null; then
        kind="a DER certificate (.cer) without its key"
        convert="openssl x509 -inform DER -in $cert -out cert.pem && $export_command -in cert.pem -out CERT.pfx"
    elif openssl pkcs7 -inform DER -in "$cert" -noout 2>/dev/null; then
        kind="a PKCS#7 certificate bundle (.p7b, .spc) without a key"
        convert="openssl pkcs7 -inform DER -in $cert -print_certs -out certs.pem && $export_command -in certs.pem"
        convert+=" -out CERT.pfx"
    elif [ "$(head -c 4 -- "$cert" | od -An -tx1 | tr -d ' \n')" = 1ef1b5b0 ]; then
        kind="a private key in Microsoft's PVK format without its certificate"
        # Most PVK files are RC4 encrypted, which OpenSSL 3 reads only through its legacy provider.
        convert="openssl rsa -inform PVK -provider legacy -provider default -in $cert -out KEY.pem"
        convert+=" && $export_command -in CERT.pem -out CERT.pfx"
    else
        fail "$cert is not a PKCS#12 file (.pfx), nor a certificate or key openssl reads: export the" \
            "certificate with its private key as a .pfx file (in Windows: certmgr.msc, Export, with the private key)"
    fi
    fail "$cert is $kind; --sign takes a PKCS#12 file (.pfx) with the certificate and its key: $convert"
}
check_certificate() {
    local line=""
    if [ -n "$password_file" ]; then
        IFS= read -r line <"$password_file" || true
        while [ "${line%$'\r'}" != "$line" ]; do line=${line%$'\r'}; done
    fi
    if [ -n "$line" ]; then
        password="$scratch/password"
        (umask 077 && printf '%s' "$line" >"$password")
    fi
    # Older Windows and many tools still encrypt with RC2-40, which OpenSSL 3 reads only through its
    # legacy provider (osslsigncode loads that provider itself).
    if ! pkcs12 -nokeys -clcerts -out "$scratch/cert.pem" 2>"$scratch/error" &&
        grep -q 'unsupported' "$scratch/error"; then
        openssl_legacy=(-legacy)
    fi
    if ! pkcs12 -nokeys -clcerts -out "$scratch/cert.pem" 2>"$scratch/error"; then
        if grep -q 'unsupported' "$scratch/error"; then
            fail "$cert is a PKCS#12 file encrypted in a way openssl cannot read even with -legacy" \
                "($(grep -o 'Algorithm ([^)]*)' "$scratch/error" | head -n 1)): export it again with AES, or" \
                "convert it:" \
                "openssl pkcs12 -in $cert -nodes -out all.pem && openssl pkcs12 -export -in all.pem -out CERT.pfx"
        elif grep -qi 'mac verify\|invalid password\|bad decrypt' "$scratch/error"; then
            [ -n "$password_file" ] ||
                fail "$cert needs its password: give it with --password-file FILE (the file's first line)"
            fail "the password in $password_file does not open $cert: check the password file (its first line" \
                "is read, without its line end)"
        fi
        not_pkcs12
    fi
    pkcs12 -nocerts -nodes 2>/dev/null | grep -q 'PRIVATE KEY' ||
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

set_up 5
if [ -z "$texts_checked" ]; then
    # A mistake on the command line still, though found only now that Python is there: nothing is
    # removed for it.
    finished=1
    check_texts
    finished=0
fi
[ -z "$icon" ] || [ -n "$icon_checked" ] || check_icon
build_packer 5

payload="$build/payload.zip"
# What most often makes an archive from elsewhere fail, said once beside its refusals ($1): it was made
# from inside the application's folder or from one of another name, or by a tool that writes backslashes.
archive_hints() {
    local outside program
    if grep -q '^refused: .*backslash' "$1"; then
        echo "hint: the archive's names hold backslashes, as some Windows tools write them; ZIP names" \
            "separate folders with '/': make it again with a tool that writes '/', or give package.sh the" \
            "application's folder itself (package.sh APP_DIR OUT.exe)"
    fi
    outside=$(sed -n 's/^refused: \(.*\): lies outside Velkar\/: .*/\1/p' "$1" | grep -v '\\' || true)
    [ -n "$outside" ] || return 0
    program=$(printf '%s\n' "$outside" | grep -m 1 -i '\(^\|/\)Velkar\.exe$' || true)
    if [ "$program" = "${program#*/}" ] && [ -n "$program" ]; then
        echo "hint: Velkar.exe is at the archive's top: it was made inside the application's folder; make it" \
            "from the folder above, with the application's folder named Velkar (zip -r app.zip Velkar), or" \
            "give package.sh the folder itself (package.sh APP_DIR OUT.exe)"
    elif [ -n "$program" ]; then
        echo "hint: the application lies in ${program%/*}/, not Velkar/: name its folder Velkar before making" \
            "the archive, or give package.sh the folder itself (package.sh ${program%/*} OUT.exe)"
    else
        echo "hint: every entry must lie under Velkar/, the folder the launcher installs and starts from"
    fi
}
if [ -n "$zip" ]; then
    # The archive is copied first, so that the bytes checked are the bytes embedded.
    echo "[3/5] Checking $zip"
    cp -- "$zip" "$payload.part"
    mv -f -- "$payload.part" "$payload"
    if ! "$build/tools/pack-payload" --check "$payload" 2>"$scratch/refusals"; then
        cat -- "$scratch/refusals" >&2
        rm -f "$payload"
        archive_hints "$scratch/refusals" >&2
        fail "nothing was built: $zip is refused (the lines above name each entry and the rule)"
    fi
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
    -DPAYLOAD_ZIP="$payload" -DLAUNCHER_VERSION="$version" -DLAUNCHER_ICON_FILE="$icon_file" \
    -DLAUNCHER_COMPANY="$company" -DLAUNCHER_PRODUCT_NAME="$product_name" -DLAUNCHER_DESCRIPTION="$description" \
    -DLAUNCHER_COPYRIGHT="$copyright" -DLAUNCHER_PRODUCT_VERSION="$product_version"
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
    echo "package.sh: the build of launcher.exe failed (the whole log: $log); its last lines:" >&2
    tail -n 30 "$log" | sed 's/^/  /' >&2
    exit 1
fi
[ ! -t 1 ] || echo
built="$build/launcher/bin/launcher.exe"
step_done launcher

if [ -n "$cert" ]; then
    echo "[5/5] Signing with $cert"
    sign_args=(-pkcs12 "$cert" -h sha256)
    # osslsigncode refuses an empty password file; without -readpass it takes the empty password.
    [ -z "$password" ] || sign_args+=(-readpass "$password")
    # No time-stamp server by default: many build machines reach none.
    [ -z "$timestamp_url" ] || sign_args+=(-ts "$timestamp_url")
    # The signing time is part of the signature: fixed where the build is to be reproducible.
    [ -z "${SOURCE_DATE_EPOCH:-}" ] || sign_args+=(-time "$SOURCE_DATE_EPOCH")
    rm -f "$build/signed.exe"
    # Bounded: a time-stamp server that takes the connection and never answers would hold the run.
    signing_log="$build/signing.log"
    if ! timeout 300 osslsigncode sign "${sign_args[@]}" -in "$built" -out "$build/signed.exe" >"$signing_log" 2>&1
    then
        cat -- "$signing_log" >>"$log"
        if [ -n "$timestamp_url" ] && grep -qi 'timestamp\|HTTP failure\|curl' "$signing_log" ||
            { [ -n "$timestamp_url" ] && [ ! -s "$signing_log" ]; }; then
            echo "package.sh: the time-stamp server $timestamp_url did not answer, so nothing was signed:" \
                "check the URL and the network, or leave --timestamp-url out to sign without a time stamp" >&2
        else
            echo "package.sh: osslsigncode could not sign with $cert (what it said follows)" >&2
        fi
        # osslsigncode's own lines, without OpenSSL's error stack.
        grep -v '^[0-9A-F]\{8,\}:error:' "$signing_log" | grep -v '^$' | head -n 12 | sed 's/^/  /' >&2
        fail "nothing was built (the whole log: $log)"
    fi
    cat -- "$signing_log" >>"$log"
    built="$build/signed.exe"
    if [ -z "$timestamp_url" ]; then
        echo "package.sh: warning: the signature has no time stamp: Windows holds it valid only until the" \
            "certificate expires ($(openssl x509 -in "$scratch/cert.pem" -noout -enddate | sed 's/^notAfter=//'));" \
            "--timestamp-url URL has a time-stamp server counter-sign it" >&2
    fi
else
    echo "[5/5] Not signed (--sign CERT.pfx [--password-file FILE] signs)"
fi
step_done signing
subject=""
[ -z "$cert" ] || subject=$(openssl x509 -in "$scratch/cert.pem" -noout -subject 2>/dev/null | sed 's/^subject=//')
# The report pins the certificate just signed with (--signer): the signature read back must be its.
# Where its fingerprint cannot be read here, the report says the signer is not verified.
signer_pin=() pin=""
[ -z "$cert" ] || pin=$(openssl x509 -in "$scratch/cert.pem" -noout -fingerprint -sha256 2>/dev/null | sed 's/^.*=//') ||
    pin=""
[ -z "$pin" ] || signer_pin=(--signer "$pin")

# Each output is written under a fresh name beside it, made by mktemp alone (O_EXCL), so that nothing
# planted at a name known beforehand is written through, and moved into place only once both are whole
# and the exe holds; mv replaces whatever stands at the name as a name.
part=$(mktemp "$out_dir/.package-XXXXXX.part")
cp -- "$built" "$part"
chmod "$(printf '%o' $((0666 & ~$(umask))))" "$part"
# The report reads the exe as --verify does: an exe that does not hold fails the run and is not kept.
if [ -n "$report" ]; then
    report_part=$(mktemp "$(dirname -- "$report")/.package-report-XXXXXX.part")
    if ! python3 "$tool" verify "$part" --as "$out" --packer "$build/tools/pack-payload" --report "$report_part" \
        --input "folder=$app_dir" --input "archive=$zip" --input "version=$version" --input "icon=$icon" \
        --input "certificate_subject=$subject" --input "source_date_epoch=${SOURCE_DATE_EPOCH:-}" \
        --input "product_version_text=$product_version" --input "company=$company" \
        --input "product_name=$product_name" --input "description=$description" --input "copyright=$copyright" \
        "${signer_pin[@]}" "${steps[@]}" >"$build/report.log" 2>&1; then
        cat "$build/report.log" >&2
        fail "the exe built does not hold as --verify checks it (the lines above): neither it nor a report is kept"
    fi
    chmod "$(printf '%o' $((0666 & ~$(umask))))" "$report_part"
    mv -f -- "$report_part" "$report"
    report_part=""
fi
mv -f -- "$part" "$out"
part=""
finished=1
echo "Built $out"
echo "  size:          $(stat -c %s "$out" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta') bytes"
echo "  SHA-256:       $(sha256sum "$out" | cut -d' ' -f1)"
echo "  version:       $version"
[ -z "$cert" ] || echo "  signed by:     $subject"
[ -z "$report" ] || echo "  report:        $report"
