"""The release build's launcher read back: its icon from the resources, package.sh --verify on it signed,
changed after signing and unsigned, and the build's report against the exe and its archive. Uses what
release_test.sh build left in WORK (first.exe, built with --icon, --sign and --report, its payload, the
test root, the packer); each --verify run reuses that build folder.
    python3 verify_test.py REPO WORK
"""
import hashlib
import json
import os
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

    def test_archive_changed_after_signing_fails_by_its_digest(self):
        with open(os.path.join(WORK, "first.json")) as f:
            archive = json.load(f)["archive"]
        changed = os.path.join(SCRATCH, "changed.exe")
        with open(EXE, "rb") as f:
            data = bytearray(f.read())
        # The middle of the demo archive lies in Velkar.exe's bytes: the archive's directory still reads.
        data[archive["offset"] + archive["bytes"] // 2] ^= 0xFF
        with open(changed, "wb") as f:
            f.write(data)
        run = self.verify(changed)
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("failed: the signature's digest does not match the file: it was changed after it was signed",
                      run.stderr)
        self.assertIn("failed: the embedded archive's bytes differ from those the build recorded", run.stderr)

    def test_unsigned_launcher_is_said_and_fails_only_when_a_signature_is_required(self):
        unsigned = os.path.join(SCRATCH, "unsigned.exe")
        subprocess.run(["osslsigncode", "remove-signature", "-in", EXE, "-out", unsigned], check=True,
                       capture_output=True)
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
        self.assertEqual(report["report_format"], 1)
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
        self.assertEqual(report["signature"]["state"], "valid")
        self.assertEqual([s["step"] for s in report["steps"]],
                         ["set-up", "packer", "payload", "launcher", "signing", "verify"])
        self.assertTrue(all(s["seconds"] >= 0 for s in report["steps"]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
