#!/usr/bin/env bash
# The demo package as a release is made: scripts/package.sh with a signature and a version, from two
# clones in different folders.
#   release_test.sh build REPO APP_DIR WORK   both clones build it with an icon of the test's own; the
#                                             two exes must be byte-identical, the signature must verify
#                                             and the version block must hold the version asked for. The
#                                             first also writes its report (verify_test.py reads it back)
#   release_test.sh run REPO WORK PREFIX      the signed exe does its whole job under Wine; its trace
#                                             (OutputDebugStringA) shows each step
set -euo pipefail
mode=$1
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

if [ "$mode" = build ]; then
    repo=$2 app=$3 work=$4
    mkdir -p "$work"
    # A throwaway signing certificate, made here for the test.
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 30 \
        -subj "/CN=Kestrelworks test signer" 2>/dev/null
    printf 'test password' >"$work/password"
    openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.pfx" -passout "file:$work/password"
    python3 "$(dirname "$0")/icons.py" "$work/app.ico"

    # The second clone: the same files in a deeper folder of another name.
    second="$work/clones/a-second-clone-elsewhere/src"
    rm -rf "$work/clones"
    mkdir -p "$second"
    if git -C "$repo" rev-parse --git-dir >/dev/null 2>&1; then
        (cd "$repo" && git ls-files -z -co --exclude-standard | tar --null --ignore-failed-read -cf - -T - 2>/dev/null) |
            tar -xf - -C "$second"
    else
        tar -C "$repo" --exclude=./build -cf - . | tar -xf - -C "$second"
    fi

    # Both at once: each builds launcher.exe in a build folder of its own.
    export SOURCE_DATE_EPOCH=1704067200
    status=0
    for clone in first second; do
        src=$repo report=()
        [ "$clone" = first ] || src=$second
        # The report is written beside the build, and changes none of its bytes.
        [ "$clone" = second ] || report=(--report "$work/first.json")
        KESTREL_PACKAGE_BUILD="$work/build-$clone" bash "$src/scripts/package.sh" "$app" "$work/$clone.exe" \
            --sign "$work/cert.pfx" --password-file "$work/password" --version 2.3.4.5 --icon "$work/app.ico" \
            "${report[@]}" >"$work/$clone.log" 2>&1 &
    done
    for job in $(jobs -p); do wait "$job" || status=1; done
    for clone in first second; do
        echo "--- package.sh in the $clone clone"
        cat "$work/$clone.log"
    done
    [ "$status" -eq 0 ] || fail "package.sh failed"

    first=$(sha256sum <"$work/first.exe" | cut -d' ' -f1)
    second=$(sha256sum <"$work/second.exe" | cut -d' ' -f1)
    echo "first clone:  $first"
    echo "second clone: $second"
    [ "$first" = "$second" ] || fail "the two clones built different exes"
    grep -q "SHA-256:       $first" "$work/first.log" || fail "package.sh did not print the exe's SHA-256"

    osslsigncode verify -CAfile "$work/cert.pem" -in "$work/first.exe" >"$work/verify.log" 2>&1 ||
        { cat "$work/verify.log"; fail "osslsigncode does not accept the signature"; }
    grep -E "Signature verification|Subject|Signing time" "$work/verify.log"

    # An archive made elsewhere (--zip), here the first clone's packer's archive of the same folder: the
    # same checks, and signed and versioned the same way it gives the same exe.
    "$work/build-first/product/tools/native/pack-payload" --app "$app" "$work/elsewhere.zip" \
        --time "$SOURCE_DATE_EPOCH" >/dev/null || fail "pack-payload --app failed"
    KESTREL_PACKAGE_BUILD="$work/build-first" bash "$repo/scripts/package.sh" --zip "$work/elsewhere.zip" \
        "$work/third.exe" --sign "$work/cert.pfx" --password-file "$work/password" --version 2.3.4.5 \
        --icon "$work/app.ico" >"$work/third.log" 2>&1 ||
        { cat "$work/third.log"; fail "package.sh --zip failed"; }
    echo "--- package.sh --zip"
    cat "$work/third.log"
    grep -q "the launcher can install it" "$work/third.log" || fail "package.sh --zip printed no check summary"
    cmp -s "$work/first.exe" "$work/third.exe" || fail "--zip with the same archive built another exe"

    # Archives the launcher would install otherwise than they look: a refused entry, a decoy central
    # directory (a reader that goes by the end record's offset sees harmless entries, the launcher's
    # reader the real directory with Velkar/.config), a doubled separator, a local header that names its
    # entry otherwise. Each is refused, and leaves no exe, not even the one an earlier run made.
    python3 -c 'import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("Velkar/Velkar.exe", b"MZ")
    z.writestr("Velkar/.hidden", b"x")' "$work/refused.zip"
    for made in "refused:refused: Velkar/.hidden" \
        "decoy:refused: (the archive): the end record gives the central directory at offset" \
        "doubled:refused: Velkar//lib.dll: the launcher refuses it: the name holds two separators" \
        'renamed:refused: Velkar/readme.txt: its local header at offset [0-9]* names it "Velkar/README.exe"'; do
        kind=${made%%:*}
        if [ "$kind" != refused ]; then
            cp "$work/elsewhere.zip" "$work/$kind.zip"
            python3 "$repo/tests/package/hostile_zips.py" "$kind" "$work/$kind.zip"
        fi
        cp "$work/first.exe" "$work/hostile.exe"
        if KESTREL_PACKAGE_BUILD="$work/build-first" bash "$repo/scripts/package.sh" --zip "$work/$kind.zip" \
            "$work/hostile.exe" >"$work/$kind.log" 2>&1; then
            fail "package.sh accepted the $kind archive"
        fi
        grep -q "${made#*:}" "$work/$kind.log" || { cat "$work/$kind.log"; fail "no refusal of the $kind archive"; }
        [ ! -e "$work/hostile.exe" ] || fail "the $kind archive left a launcher.exe"
        echo "package.sh --zip with the $kind archive: refused, no exe left"
    done

    # The version block: the fixed part's file and product versions, and the texts beside the names.
    python3 - "$work/first.exe" <<'EOF' || fail "the version block does not hold 2.3.4.5"
import struct, sys
image = open(sys.argv[1], "rb").read()
fixed = image.find(struct.pack("<I", 0xFEEF04BD))
assert fixed > 0, "no VS_FIXEDFILEINFO"
_, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", image, fixed)
assert (file_ms, file_ls, product_ms, product_ls) == (0x20003, 0x40005, 0x20003, 0x40005), \
    [hex(v) for v in (file_ms, file_ls, product_ms, product_ls)]
for key in ("FileVersion", "ProductVersion"):
    assert (key + "\0").encode("utf-16-le") in image, key
    assert "2.3.4.5\0".encode("utf-16-le") in image
assert "檀溪舟楫".encode("utf-16-le") in image  # the texts stay as designed
print("version block: file and product version 2.3.4.5")
EOF
    exit 0
fi

if [ "$mode" = run ]; then
    repo=$2 work=$3 prefix=$4
    exe="$work/first.exe"
    [ -f "$exe" ] || fail "no signed exe: the build part did not run"
    # Copied where the test user who runs Wine can reach it.
    runner_copy="$prefix-release/launcher.exe"
    mkdir -p "$(dirname "$runner_copy")"
    cp "$exe" "$runner_copy"
    chmod -R a+rX "$(dirname "$runner_copy")"
    status=0
    trace=$(WINEDEBUG=+debugstr timeout 240 "$repo/scripts/wine-run" --prefix="$prefix" "$runner_copy" 2>&1) || status=$?
    lines=$(printf '%s\n' "$trace" | grep -a 'Kestrelworks launcher: ' || true)
    printf '%s\n' "$lines"
    [ "$status" -eq 0 ] || fail "the signed launcher ended with $status"
    for step in 'folder .* found' 'archive .* written' 'Extract into .* gave 1' 'command .*Velkar\.exe.* /n started' \
        'watch: Velkar.exe still runs' 'watch: Velkar.exe runs no more' 'clean-up: archive removed, tree removed'; do
        printf '%s\n' "$lines" | grep -q -- "$step" || fail "no trace line matching '$step'"
    done
    exit 0
fi
fail "unknown mode $mode"
