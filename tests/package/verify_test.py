"""The release build's launcher read back: its icon from the resources, package.sh --verify on it signed,
changed after signing and unsigned, and the build's report against the exe and its archive. Uses what
release_test.sh build left in WORK (first.exe, built with --icon, --sign and --report, its payload, the
test root, the packer); each --verify run reuses that build folder.
    python3 verify_test.py REPO WORK
"""
import hashlib
import io
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import unittest
import zipfile

REPO, WORK = sys.argv[1:3]
del sys.argv[1:3]
EXE = os.path.join(WORK, "first.exe")
BUILD = os.path.join(WORK, "build-first")
SCRATCH = os.path.join(WORK, "verify")


def resources(exe):
    """{(type, name): bytes} as the cross binutils' windres reads them from the program (its .res output:
    a header per resource, the type and name each an id behind 0xFFFF or a UTF-16 text)."""
    res = os.path.join(SCRATCH, "resources.res")
    subprocess.run(["i686-w64-mingw32-windres", "-i", exe, "-O", "res", "-o", res], check=True)
    with open(res, "rb") as f:
        data, found, at = f.read(), {}, 0

    def key(at):
        if data[at:at + 2] == b"\xff\xff":
            return struct.unpack_from("<H", data, at + 2)[0], at + 4
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[at:end].decode("utf-16-le"), end + 2

    while at < len(data):
        size, header = struct.unpack_from("<II", data, at)
        kind, after = key(at + 8)
        name, _ = key(after)
        found[(kind, name)] = data[at + header:at + header + size]
        at = (at + header + size + 3) & ~3
    return found


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def fingerprint(pem):
    run = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", pem], check=True,
                         capture_output=True, text=True)
    return run.stdout.strip().split("=", 1)[1]


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


class Verify(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        os.makedirs(SCRATCH)

    def verify(self, exe, *options):
        env = dict(os.environ, KESTREL_PACKAGE_BUILD=BUILD)
        return subprocess.run(["bash", os.path.join(REPO, "scripts/package.sh"), "--verify", exe, *options],
                              env=env, capture_output=True, text=True)

    def test_the_icon_given_is_the_launchers_image_for_image(self):
        with open(os.path.join(WORK, "app.ico"), "rb") as f:
            ico = f.read()
        found = resources(EXE)
        group = found[(14, "DEFAULT_ICON")]
        count = struct.unpack_from("<H", ico, 4)[0]
        self.assertEqual(struct.unpack_from("<H", group, 4)[0], count)
        for i in range(count):
            size, offset = struct.unpack_from("<II", ico, 6 + 16 * i + 8)
            ident = struct.unpack_from("<H", group, 6 + 14 * i + 12)[0]
            self.assertEqual(found[(3, ident)], ico[offset:offset + size], "image %d" % (i + 1))

    @classmethod
    def unsigned(cls):
        """first.exe without its signature (made once)."""
        path = os.path.join(SCRATCH, "unsigned.exe")
        if not os.path.exists(path):
            subprocess.run(["osslsigncode", "remove-signature", "-in", EXE, "-out", path], check=True,
                           capture_output=True)
        return path

    def other_signer(self):
        """A second self-made certificate and key, of the same name as the test signer's."""
        key, cert = os.path.join(SCRATCH, "other.key"), os.path.join(SCRATCH, "other.pem")
        if not os.path.exists(cert):
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                            "-days", "30", "-subj", "/CN=Kestrelworks test signer"], check=True, capture_output=True)
        return cert, key

    def sign(self, exe, out, cert, key, *options):
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, *options, "-in", exe, "-out", out],
                       check=True, capture_output=True)
        return out

    def archive_place(self):
        with open(os.path.join(WORK, "first.json")) as f:
            archive = json.load(f)["archive"]
        return archive["offset"], archive["bytes"]

    def test_signed_launcher_holds_against_the_test_root(self):
        report = os.path.join(SCRATCH, "signed.json")
        run = self.verify(EXE, "--ca", os.path.join(WORK, "cert.pem"), "--require-signature", "--report", report)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("all holds", run.stdout)
        with open(report) as f:
            signature = json.load(f)["signature"]
        self.assertEqual((signature["state"], signature["digest"], signature["timestamp"]), ("valid", "matches", "none"))
        self.assertIn("CN = Kestrelworks test signer", signature["signer"])
        self.assertTrue(signature["chain"].startswith("verified against"), signature["chain"])
        self.assertEqual(signature["signer_sha256"], fingerprint(os.path.join(WORK, "cert.pem")))

    def test_without_a_root_or_a_pin_a_signature_is_present_but_its_signer_not_verified(self):
        report = os.path.join(SCRATCH, "unverified.json")
        run = self.verify(EXE, "--report", report)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("signature:     present, signer not verified", run.stdout)
        with open(report) as f:
            self.assertEqual(json.load(f)["signature"]["state"], "unverified")
        run = self.verify(EXE, "--require-signature")
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("failed: its signer is not verified (--require-signature)", run.stderr)

    def test_the_signer_pinned_by_its_fingerprint_holds_in_any_spelling(self):
        pin = fingerprint(os.path.join(WORK, "cert.pem"))
        for spelling in (pin, pin.replace(":", "").lower(), "sha256 Fingerprint=" + pin):
            with self.subTest(spelling=spelling):
                run = self.verify(EXE, "--signer", spelling, "--require-signature")
                self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
                self.assertIn("signature:     valid", run.stdout)

    def test_a_launcher_signed_again_by_another_is_refused_by_the_root_and_by_the_pin(self):
        cert, key = self.other_signer()
        resigned = self.sign(self.unsigned(), os.path.join(SCRATCH, "resigned.exe"), cert, key)
        run = self.verify(resigned, "--ca", os.path.join(WORK, "cert.pem"))
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("failed: the signature does not verify against", run.stderr)
        pin = fingerprint(os.path.join(WORK, "cert.pem"))
        run = self.verify(resigned, "--signer", pin)
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("failed: the signature's signer (/CN=Kestrelworks test signer, SHA-256 %s) is not the one "
                      "pinned by --signer %s" % (fingerprint(cert), pin), run.stderr)
        # The same name, another certificate: said apart only by the root or the fingerprint.
        run = self.verify(resigned)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("present, signer not verified", run.stdout)

    def test_a_nested_signature_is_listed_and_must_be_the_pinned_signers_too(self):
        cert, key = self.other_signer()
        nested = self.sign(EXE, os.path.join(SCRATCH, "nested.exe"), cert, key, "-nest")
        report = os.path.join(SCRATCH, "nested.json")
        run = self.verify(nested, "--report", report)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("nested 1:      signer not verified, by /CN=Kestrelworks test signer (SHA-256 %s)" %
                      fingerprint(cert), run.stdout)
        with open(report) as f:
            signatures = json.load(f)["signature"]["signatures"]
        self.assertEqual([(s["index"], s["nested"], s["signer_sha256"]) for s in signatures],
                         [(0, False, fingerprint(os.path.join(WORK, "cert.pem"))), (1, True, fingerprint(cert))])
        run = self.verify(nested, "--signer", fingerprint(os.path.join(WORK, "cert.pem")))
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("failed: the nested signature 1's signer", run.stderr)
        self.assertNotIn("failed: the signature's signer", run.stderr)

    def test_only_the_archive_the_program_reads_counts_and_nothing_may_follow_the_last_section(self):
        with open(self.unsigned(), "rb") as f:
            unsigned = f.read()
        offset, size = self.archive_place()
        genuine = unsigned[offset - 8:offset + size]
        # Another archive where the program reads, the genuine one (with its array header) after the last
        # section: the launcher installs the other one.
        other = zipfile.ZipFile(os.path.join(SCRATCH, "other.zip"), "w")
        other.writestr("Velkar/Velkar.exe", b"MZ another program")
        other.close()
        with open(os.path.join(SCRATCH, "other.zip"), "rb") as f:
            other = f.read()
        swapped = bytearray(unsigned)
        swapped[offset - 8:offset + len(other)] = struct.pack("<II", 1, len(other)) + other
        run = self.verify(write(os.path.join(SCRATCH, "appended.exe"), bytes(swapped) + genuine))
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("failed: the archive the program reads is %s bytes, the build recorded %s" %
                      (format(len(other), ","), format(size, ",")), run.stderr)
        self.assertIn("failed: %s bytes follow the last section (from byte %s)" %
                      (format(len(genuine), ","), format(len(unsigned), ",")), run.stderr)
        # The genuine archive appended, the program as built: the bytes after it are still refused.
        run = self.verify(write(os.path.join(SCRATCH, "trailing.exe"), unsigned + genuine))
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertEqual([l for l in run.stderr.splitlines() if l.startswith("failed: ")],
                         ["failed: %s bytes follow the last section (from byte %s): a launcher this packager makes "
                          "ends there" % (format(len(genuine), ","), format(len(unsigned), ","))])

    def test_the_code_must_read_the_archive_where_the_build_put_it(self):
        with open(self.unsigned(), "rb") as f:
            unsigned = f.read()
        recorded = re.search(rb"address=0x([0-9A-F]{8})\n", unsigned)
        with open(os.path.join(WORK, "first.json")) as f:
            self.assertEqual(int(recorded.group(1), 16), json.load(f)["archive"]["address"])
        moved = unsigned.replace(recorded.group(0), b"address=0x%08X\n" % (int(recorded.group(1), 16) + 16))
        run = self.verify(write(os.path.join(SCRATCH, "moved.exe"), moved))
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertEqual([l for l in run.stderr.splitlines() if l.startswith("failed: ")],
                         ["failed: the program's code reads the archive at address 0x%X, the build put it at 0x%X" %
                          (int(recorded.group(1), 16), int(recorded.group(1), 16) + 16)])

    def test_a_certificate_table_larger_than_its_signature_is_refused(self):
        with open(EXE, "rb") as f:
            signed = bytearray(f.read())
        pe = struct.unpack_from("<I", signed, 60)[0]
        security = pe + 24 + 96 + 8 * 4
        table, size = struct.unpack_from("<II", signed, security)
        self.assertEqual(table + size, len(signed))
        der = struct.unpack_from(">H", signed, table + 10)[0] + 4  # the signature: 30 82 and its length
        # 4 KiB in the table and in its WIN_CERTIFICATE alike: Windows hashes neither, so the digest and
        # the chain still verify, and only the signature's own length tells the padding.
        struct.pack_into("<I", signed, security + 4, size + 4096)
        struct.pack_into("<I", signed, table, struct.unpack_from("<I", signed, table)[0] + 4096)
        padded = write(os.path.join(SCRATCH, "padded.exe"), bytes(signed) + bytes(4096))
        run = self.verify(padded, "--ca", os.path.join(WORK, "cert.pem"))
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertEqual([l for l in run.stderr.splitlines() if l.startswith("failed: ")],
                         ["failed: its certificate table takes %s bytes, but the signature in it %s: the rest is no "
                          "part of the signature" % (format(size + 4096, ","), format(8 + der, ","))])

    def test_names_the_launcher_would_install_elsewhere_are_refused(self):
        with open(self.unsigned(), "rb") as f:
            unsigned = f.read()
        offset, size = self.archive_place()
        archive = unsigned[offset:offset + size]
        # The longest name is no other's beginning: its bytes stand in its local header and its central one.
        with zipfile.ZipFile(io.BytesIO(archive)) as z:
            name = max((i.filename for i in z.infolist()), key=len).encode("ascii")
        local, central = archive.index(name), archive.rindex(name)
        self.assertTrue(name.startswith(b"Velkar/Resources/") and local < central, name)
        doubled = b"Velkar//esources/" + name[len(b"Velkar/Resources/"):]
        renamed = b"Velkar/resources/" + name[len(b"Velkar/Resources/"):]
        for case, places, new, words in (
                ("doubled", (local, central), doubled,
                 "%s: the launcher refuses it: the name holds two separators in a row" % doubled.decode()),
                ("renamed", (local,), renamed, '%s: its local header at offset %d names it "%s"' %
                 (name.decode(), local - 30, renamed.decode()))):
            with self.subTest(case=case):
                changed = bytearray(unsigned)
                for at in places:
                    changed[offset + at:offset + at + len(new)] = new
                run = self.verify(write(os.path.join(SCRATCH, case + ".exe"), bytes(changed)))
                self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                self.assertIn("failed: the embedded archive is refused: " + words, run.stderr)

    def test_unsigned_launcher_is_said_and_fails_only_when_a_signature_is_required(self):
        unsigned = self.unsigned()
        run = self.verify(unsigned)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("signature:     none", run.stdout)
        run = self.verify(unsigned, "--require-signature")
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("failed: it is not signed (--require-signature)", run.stderr)

    def test_a_file_that_is_no_launcher_is_named_so(self):
        run = self.verify(os.path.join(BUILD, "payload.zip"))
        self.assertEqual(run.returncode, 1)
        self.assertIn("not a Windows program", run.stderr)

    def test_build_report_matches_the_exe_and_its_archive(self):
        with open(os.path.join(WORK, "first.json"), encoding="utf-8") as f:
            report = json.load(f)
        with open(EXE, "rb") as f:
            exe = f.read()
        # The first clone's payload as release_test.sh kept it (the build folder's copy is replaced after).
        payload = os.path.join(WORK, "elsewhere.zip")
        with open(payload, "rb") as f:
            archive = f.read()
        self.assertEqual(report["report_format"], 2)
        self.assertTrue(report["tool"]["version"])
        self.assertTrue(report["holds"])
        self.assertEqual(report["failures"], [])
        self.assertEqual(report["inputs"]["version"], "2.3.4.5")
        self.assertEqual(report["inputs"]["icon"], os.path.join(WORK, "app.ico"))
        self.assertEqual(report["inputs"]["certificate_subject"], report["signature"]["signer"])
        self.assertIn("CN = Kestrelworks test signer", report["signature"]["signer"])
        self.assertEqual((report["exe"]["bytes"], report["exe"]["sha256"]), (len(exe), sha256(exe)))
        self.assertEqual(report["exe"]["version"], "2.3.4.5")
        self.assertEqual([(i["width"], i["kind"]) for i in report["exe"]["icon"]],
                         [(16, "32-bit"), (32, "4-bit"), (48, "PNG")])
        self.assertEqual((report["archive"]["bytes"], report["archive"]["sha256"]), (len(archive), sha256(archive)))
        self.assertEqual(exe[report["archive"]["offset"]:report["archive"]["offset"] + len(archive)], archive)
        with zipfile.ZipFile(payload) as z:
            # zipfile shows a name without the UTF-8 flag as code page 437; the packer stores code page 936.
            listed = [((i.filename.encode("utf-8") if i.flag_bits & 0x800 else i.filename.encode("cp437"))
                       .decode("gbk").replace("/", "\\"), i.file_size, i.CRC) for i in z.infolist()]
        self.assertEqual([(e["path"], e["size"], e["crc32"]) for e in report["archive"]["entries"]], listed)
        self.assertEqual(report["archive"]["files"], sum(not e["folder"] for e in report["archive"]["entries"]))
        longest = report["archive"]["longest_install_path"]
        self.assertEqual((longest["bytes"], longest["limit"]), (len(longest["path"].encode("gbk")), 259))
        # The build pins the certificate it signed with.
        self.assertEqual(report["signature"]["state"], "valid")
        self.assertEqual(report["signature"]["signer_sha256"], fingerprint(os.path.join(WORK, "cert.pem")))
        self.assertEqual((report["archive"]["section"], report["archive"]["address"] > 0), (".payload", True))
        self.assertEqual([s["step"] for s in report["steps"]],
                         ["checks", "payload", "launcher", "signing", "verify"])
        self.assertTrue(all(s["seconds"] >= 0 for s in report["steps"]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
