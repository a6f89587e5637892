"""package.sh at the command line: what it reads, what it writes and what it leaves. Each case gives the
exact exit code, the message's first line and what is on disk afterwards: the application's folder
unchanged byte for byte, and no output left by a failed run.
    python3 package_io_test.py REPO WORK_DIR
Most cases are refused before any build. The few that build share one build folder: KESTREL_PACKAGE_BUILD
where it is set, else WORK_DIR/package-build.
"""
import hashlib
import json
import os
import shutil
import socket
import subprocess
import sys
import unittest
import zipfile

import icons

REPO, WORK = sys.argv[1:3]
del sys.argv[1:3]
BUILD = os.environ.get("KESTREL_PACKAGE_BUILD") or os.path.join(WORK, "package-build")
CERTS = os.path.join(WORK, "certificates")
NOT_AN_ICON = "not-an-icon.ico"


def make_certificates():
    """The certificate files a Windows user has: exported with AES (today's default), the old way (RC2-40,
    which OpenSSL 3 reads only with -legacy), with no password; the password saved with CR LF; and files
    that are not PKCS#12 at all."""
    shutil.rmtree(CERTS, ignore_errors=True)
    os.makedirs(CERTS)

    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=CERTS, check=True, capture_output=True)

    for name, text in (("password", "right"), ("password-crlf", "right\r\n"), ("wrong-crlf", "wrong\r\n"),
                       ("empty", "")):
        with open(os.path.join(CERTS, name), "w", newline="") as f:
            f.write(text)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem", "-days", "30",
            "-subj", "/CN=Kestrelworks test")
    openssl("pkcs12", "-export", "-inkey", "key.pem", "-in", "cert.pem", "-out", "aes.pfx", "-passout", "file:password")
    openssl("pkcs12", "-export", "-legacy", "-inkey", "key.pem", "-in", "cert.pem", "-out", "legacy.pfx", "-passout",
            "file:password")
    openssl("pkcs12", "-export", "-inkey", "key.pem", "-in", "cert.pem", "-out", "no-password.pfx", "-passout", "pass:")
    openssl("x509", "-in", "cert.pem", "-outform", "DER", "-out", "cert.cer")
    openssl("crl2pkcs7", "-nocrl", "-certfile", "cert.pem", "-outform", "DER", "-out", "cert.p7b")
    openssl("rsa", "-in", "key.pem", "-outform", "PVK", "-out", "key.pvk", "-passout", "pass:pvk", "-provider", "legacy",
            "-provider", "default")
    with open(os.path.join(CERTS, "noise.pfx"), "wb") as f:
        f.write(b"\x01\x02 not a certificate")


def cert(name):
    return os.path.join(CERTS, name)


def snapshot(root):
    """Every entry below root: its kind and bytes (or link target), to compare byte for byte."""
    found = {}
    for folder, folders, files in os.walk(root):
        for name in folders + files:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                found[os.path.relpath(path, root)] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                found[os.path.relpath(path, root)] = ("folder", None)
            else:
                with open(path, "rb") as f:
                    found[os.path.relpath(path, root)] = ("file", f.read())
    return found


def setUpModule():
    make_certificates()


class Package(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(WORK, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.dir, ignore_errors=True)
        self.app = os.path.join(self.dir, "app")
        os.makedirs(os.path.join(self.app, "lib"))
        for name, data in (("Velkar.exe", b"MZ the program"), ("lib/a.dll", b"MZ a library")):
            with open(os.path.join(self.app, name), "wb") as f:
                f.write(data)
        with open(os.path.join(self.dir, NOT_AN_ICON), "wb") as f:
            f.write(b"no icon")
        self.out = os.path.join(self.dir, "launcher.exe")
        self.before = snapshot(self.app)

    def tearDown(self):
        self.assertEqual(snapshot(self.app), self.before, "the application's folder changed")

    def package(self, *args):
        env = dict(os.environ, KESTREL_PACKAGE_BUILD=BUILD)
        return subprocess.run(["bash", os.path.join(REPO, "scripts/package.sh"), *args], env=env, cwd=self.dir,
                              capture_output=True, text=True)

    def assertRun(self, run, code, first_line):
        self.assertEqual(run.returncode, code, run.stdout + run.stderr)
        self.assertTrue(run.stderr.startswith(first_line), "first line not %r in:\n%s" % (first_line, run.stderr))

    def earlier(self, *paths):
        for path in paths:
            with open(path, "w") as f:
                f.write("from an earlier run")

    def assertNoTemporaryFiles(self, *folders):
        for folder in folders or (self.dir,):
            self.assertEqual([n for n in os.listdir(folder) if n.endswith(".part")], [], folder)


class OutputsOverlappingInputs(Package):
    """Refused before anything runs, with exit 2; every file stays as it was, earlier outputs included."""

    def test_an_output_inside_the_application_or_naming_an_input_is_refused(self):
        d = self.dir
        os.symlink(self.app, os.path.join(d, "app-link"))
        os.symlink(os.path.join(self.app, "Velkar.exe"), os.path.join(d, "points-into-app.exe"))
        zip_exe = os.path.join(d, "payload.exe")  # an archive whose name ends like an exe
        with zipfile.ZipFile(zip_exe, "w") as z:
            z.writestr("Velkar/Velkar.exe", b"MZ")
        icon_exe = os.path.join(d, "art.exe")
        with open(icon_exe, "wb") as f:
            f.write(icons.release_icon())
        os.link(icon_exe, os.path.join(d, "art-again.json"))  # a second name of the icon
        signing = ("--sign", cert("aes.pfx"), "--password-file", cert("password"))
        app_exe = os.path.join(self.app, "Velkar.exe")
        for case, args, first in (
                ("the application's own program", ("app", "app/Velkar.exe"),
                 "package.sh: app/Velkar.exe lies inside the application's folder app (OUT.exe)"),
                ("a new name in a subfolder, spelt the long way", ("app", "./app/../app/lib/new.exe"),
                 "package.sh: ./app/../app/lib/new.exe lies inside the application's folder app (OUT.exe)"),
                ("through a link to the folder", ("app", "app-link/new.exe"),
                 "package.sh: app-link/new.exe lies inside the application's folder app (OUT.exe)"),
                ("a link to the program", ("app", "points-into-app.exe"),
                 "package.sh: points-into-app.exe lies inside the application's folder app (OUT.exe)"),
                ("the report inside the folder", ("app", "out.exe", "--report", "app/report.json"),
                 "package.sh: app/report.json lies inside the application's folder app (--report)"),
                ("the report as the program", ("app", "out.exe", "--report", app_exe),
                 "package.sh: %s lies inside the application's folder app (--report)" % app_exe),
                ("the archive", ("--zip", "payload.exe", "payload.exe"),
                 "package.sh: payload.exe is the same file as the archive payload.exe (OUT.exe)"),
                ("the icon", ("app", "art.exe", "--icon", "art.exe"),
                 "package.sh: art.exe is the same file as the icon art.exe (OUT.exe)"),
                ("the icon by a hard link", ("app", "out.exe", "--icon", "art.exe", "--report", "art-again.json"),
                 "package.sh: art-again.json is the same file as the icon art.exe (--report)"),
                ("the certificate", ("app", "out.exe", *signing, "--report", cert("aes.pfx")),
                 "package.sh: %s is the same file as the certificate" % cert("aes.pfx")),
                ("the password file", ("app", "out.exe", *signing, "--report", cert("password")),
                 "package.sh: %s is the same file as the password file" % cert("password")),
                ("the report as OUT.exe", ("app", "out.exe", "--report", "out.exe"),
                 "package.sh: out.exe is the same file as OUT.exe out.exe (--report)"),
                ("the report as OUT.exe spelt otherwise", ("app", "out.exe", "--report", "./app/../out.exe"),
                 "package.sh: ./app/../out.exe is the same file as OUT.exe out.exe (--report)"),
                ("the report as a folder", ("app", "out.exe", "--report", "app-link"),
                 "package.sh: app-link is a folder (--report)"),
                ("the report in no folder", ("app", "out.exe", "--report", "missing/report.json"),
                 "package.sh: missing is not a folder (--report)"),
                ("the report as the launcher verified", ("--verify", "art.exe", "--report", "art.exe"),
                 "package.sh: art.exe is the same file as the launcher art.exe (--report)")):
            with self.subTest(case=case):
                files = snapshot(d)
                run = self.package(*args)
                self.assertRun(run, 2, first)
                self.assertEqual(snapshot(d), files)
                self.assertNotIn("[1/", run.stdout)

    def test_a_dangling_link_to_the_exe_is_the_exe(self):
        # A dangling link is followed to where it points: to OUT.exe's name, it is OUT.exe.
        os.symlink("launcher.exe", os.path.join(self.dir, "report.json"))
        run = self.package("app", "launcher.exe", "--report", "report.json")
        self.assertRun(run, 2, "package.sh: report.json is the same file as OUT.exe launcher.exe (--report)")


class CommandLineMistakes(Package):
    """Exit 2, decided before anything runs: nothing is touched, an earlier OUT.exe stays."""

    def test_empty_values_and_values_of_the_wrong_form(self):
        self.earlier(self.out)
        signing = ("--sign", cert("aes.pfx"), "--password-file", cert("password"))
        for args, first in (
                (("--sign", ""), "package.sh: --sign needs a value, not an empty one"),
                (("--icon", ""), "package.sh: --icon needs a value, not an empty one"),
                (("--version", ""), "package.sh: --version needs a value, not an empty one"),
                (("--report", ""), "package.sh: --report needs a value, not an empty one"),
                (("--company", ""), "package.sh: --company needs a value, not an empty one"),
                (("--version", "1.2.3"), "package.sh: --version takes four numbers A.B.C.D, not '1.2.3'"),
                (("--version", "1.2.3.65536"), "package.sh: --version: each number is at most 65535"),
                (("--product-version", "1.2.3\tbeta"), "package.sh: --product-version holds the control character "
                                                        "U+0009"),
                (("--product-version", "1" * 65), "package.sh: --product-version takes at most 64 characters, not 65"),
                (("--description", "d" * 257), "package.sh: --description takes at most 256 characters, not 257"),
                (("--company", "Kestrel 😀"), "package.sh: --company holds '😀' (U+1F600), which code page 936 "
                                              "cannot spell"),
                (("--copyright", "© 2026"), "package.sh: --copyright holds '©' (U+00A9), which code page 936 "
                                            "cannot spell: Windows reads these texts in that code page; write (C) "
                                            "instead"),
                (("--product-name", " Velkar"), "package.sh: --product-name begins or ends with a space"),
                (("--password-file", cert("password")), "package.sh: --password-file goes with --sign"),
                (("--timestamp-url", "http://127.0.0.1:9/"), "package.sh: --timestamp-url needs --sign"),
                (("--sign", cert("missing.pfx")), "package.sh: %s: no such certificate file" % cert("missing.pfx")),
                (("--sign", cert("aes.pfx"), "--password-file", "missing"), "package.sh: missing: no such password"),
                (("--icon", "missing.ico"), "package.sh: missing.ico: no such icon file (--icon)"),
                ((*signing, "--ca", cert("cert.pem")), "package.sh: --ca, --signer and --require-signature go with --verify")):
            with self.subTest(args=args):
                run = self.package(self.app, self.out, *args)
                self.assertRun(run, 2, first)
                self.assertNotIn("[1/", run.stdout)
                with open(self.out) as f:
                    self.assertEqual(f.read(), "from an earlier run")
        for args, first in ((("missing", "out.exe"), "package.sh: missing is not a folder (APP_DIR)"),
                            (("--zip", "missing.zip", "out.exe"), "package.sh: missing.zip: no such archive (--zip)"),
                            (("app", "out.zip"), "package.sh: out.zip: the output is an .exe (OUT.exe)"),
                            (("app", ""), "package.sh: OUT.exe is empty")):
            with self.subTest(args=args):
                self.assertRun(self.package(*args), 2, first)


class RefusalsLeaveNoOutput(Package):
    def test_a_refusal_before_the_build_removes_earlier_outputs_and_says_so(self):
        report = os.path.join(self.dir, "report.json")
        for args, first in ((("--icon", NOT_AN_ICON), "package.sh: not-an-icon.ico: "),
                            (("--sign", cert("aes.pfx"), "--password-file", cert("wrong-crlf")),
                             "package.sh: the password in %s does not open" % cert("wrong-crlf"))):
            with self.subTest(args=args):
                self.earlier(self.out, report)
                run = self.package(self.app, self.out, "--report", report, *args)
                self.assertRun(run, 1, first)
                self.assertIn("package.sh: removed the earlier %s (a failed run leaves none)" % self.out, run.stderr)
                self.assertIn("package.sh: removed the earlier %s" % report, run.stderr)
                self.assertFalse(os.path.lexists(self.out))
                self.assertFalse(os.path.lexists(report))
                self.assertNotIn("[2/4]", run.stdout)


class Certificates(Package):
    """Read before the set-up. A certificate that passes lets the run go on to the icon, which is refused
    here so that nothing is built: its line comes first, and none about the certificate."""

    def test_certificates_as_windows_users_export_them_are_read(self):
        for case, args in (("AES, the password with CR LF", ("--sign", cert("aes.pfx"), "--password-file",
                                                              cert("password-crlf"))),
                           ("RC2-40", ("--sign", cert("legacy.pfx"), "--password-file", cert("password"))),
                           ("RC2-40, CR LF", ("--sign", cert("legacy.pfx"), "--password-file", cert("password-crlf"))),
                           ("no password, no password file", ("--sign", cert("no-password.pfx"))),
                           ("no password, an empty password file", ("--sign", cert("no-password.pfx"),
                                                                    "--password-file", cert("empty")))):
            with self.subTest(case=case):
                run = self.package(self.app, self.out, *args, "--icon", NOT_AN_ICON)
                self.assertRun(run, 1, "package.sh: not-an-icon.ico: ")
                self.assertNotIn(".pfx", run.stderr)

    def test_a_refusal_names_the_file_what_it_is_and_how_to_convert_it(self):
        for case, args, first, words in (
                ("RC2-40 without its password", ("--sign", cert("legacy.pfx")),
                 "package.sh: %s needs its password: give it with --password-file FILE" % cert("legacy.pfx"), None),
                ("a wrong password with CR LF", ("--sign", cert("legacy.pfx"), "--password-file", cert("wrong-crlf")),
                 "package.sh: the password in %s does not open %s" % (cert("wrong-crlf"), cert("legacy.pfx")), None),
                ("a DER certificate", ("--sign", cert("cert.cer")),
                 "package.sh: %s is a DER certificate (.cer) without its key" % cert("cert.cer"),
                 "openssl x509 -inform DER -in %s -out cert.pem && openssl pkcs12 -export" % cert("cert.cer")),
                ("a PKCS#7 bundle", ("--sign", cert("cert.p7b")),
                 "package.sh: %s is a PKCS#7 certificate bundle" % cert("cert.p7b"),
                 "openssl pkcs7 -inform DER -in %s -print_certs" % cert("cert.p7b")),
                ("a PVK key", ("--sign", cert("key.pvk")),
                 "package.sh: %s is a private key in Microsoft's PVK format" % cert("key.pvk"),
                 "openssl rsa -inform PVK -provider legacy -provider default -in %s" % cert("key.pvk")),
                ("a PEM certificate", ("--sign", cert("cert.pem")),
                 "package.sh: %s is a PEM file" % cert("cert.pem"), "openssl pkcs12 -export -inkey KEY.pem"),
                ("noise", ("--sign", cert("noise.pfx")),
                 "package.sh: %s is not a PKCS#12 file (.pfx), nor a certificate or key openssl reads" %
                 cert("noise.pfx"), "with its private key")):
            with self.subTest(case=case):
                self.earlier(self.out)
                run = self.package(self.app, self.out, *args)
                self.assertRun(run, 1, first)
                if words:
                    self.assertIn(words, run.stderr.splitlines()[0])
                self.assertFalse(os.path.exists(self.out))
                self.assertNotIn("[1/", run.stdout)


class IconsAndArchives(Package):
    def test_a_32_bit_icon_without_its_mask_is_refused_with_the_remedy(self):
        bitmap = icons.bitmap(16)
        mask = 4 * 16  # 16 rows of 32 bits
        for case, image, first in (
                ("no mask", bitmap[:-mask], "package.sh: %s: image 1 (16 x 16) is a 32-bit bitmap without its mask"),
                ("a byte short of no mask", bitmap[:-mask - 1], "package.sh: %s: image 1 (16 x 16) is cut short")):
            with self.subTest(case=case):
                path = os.path.join(self.dir, "favicon.ico")
                with open(path, "wb") as f:
                    f.write(icons.icon([(16, 32, image)]))
                run = self.package(self.app, self.out, "--icon", path)
                self.assertRun(run, 1, first % path)
                if case == "no mask":
                    self.assertIn("save the icon again from an icon editor that writes the mask, or with its images "
                                  "as PNG", run.stderr)

    def test_an_archive_made_the_wrong_way_gets_a_hint(self):
        for case, names, hint in (
                ("made inside the folder", ["Velkar.exe", "lib/a.dll"], "hint: Velkar.exe is at the archive's top"),
                ("a folder of another name", ["velkar-3.1/", "velkar-3.1/Velkar.exe"],
                 "hint: the application lies in velkar-3.1/, not Velkar/"),
                ("backslashes", ["Velkar/", "Velkar/Velkar.exe", "Velkar\\lib\\a.dll"],
                 "hint: the archive's names hold backslashes")):
            with self.subTest(case=case):
                archive = os.path.join(self.dir, "app.zip")
                with zipfile.ZipFile(archive, "w") as z:
                    for name in names:
                        z.writestr(name, b"" if name.endswith("/") else b"MZ")
                self.earlier(self.out)
                run = self.package("--zip", archive, self.out)
                self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                self.assertTrue(run.stderr.startswith("refused: "), run.stderr)
                hints = [l for l in run.stderr.splitlines() if l.startswith("hint: ")]
                self.assertEqual(len(hints), 1, run.stderr)
                self.assertTrue(hints[0].startswith(hint), run.stderr)
                self.assertFalse(os.path.exists(self.out))


class Builds(Package):
    """The cases that need launcher.exe built, in one shared build folder."""

    def read_report(self, path):
        with open(path, encoding="utf-8") as f:
            return json.load(f)

    def test_texts_an_old_certificate_and_the_report_then_the_defaults_again(self):
        report = os.path.join(self.dir, "report.json")
        self.earlier(self.out, report)
        texts = {"--company": 'Kestrel "works"; a\\b 50%', "--product-name": "Velkar",
                 "--description": "Velkar 安装程序", "--copyright": "(C) 2026 檀溪", "--product-version": "1.2.3-beta"}
        run = self.package(self.app, self.out, "--sign", cert("legacy.pfx"), "--password-file", cert("password-crlf"),
                           "--version", "1.2.3.4", "--report", report, *[a for pair in texts.items() for a in pair])
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("Built %s" % self.out, run.stdout)
        self.assertTrue(run.stderr.startswith("package.sh: warning: the signature has no time stamp"), run.stderr)
        self.assertNoTemporaryFiles()
        r = self.read_report(report)
        exe = r["exe"]
        self.assertEqual(exe["path"], self.out)
        self.assertEqual((exe["version"], exe["product_version"]), ("1.2.3.4", "1.2.3.4"))
        self.assertEqual({k: exe[k] for k in ("company", "product_name", "description", "copyright",
                                              "product_version_text")},
                         {"company": texts["--company"], "product_name": "Velkar", "description": "Velkar 安装程序",
                          "copyright": "(C) 2026 檀溪", "product_version_text": "1.2.3-beta"})
        self.assertEqual(r["inputs"]["product_version_text"], "1.2.3-beta")
        self.assertEqual((r["signature"]["digest"], r["signature"]["timestamp"]), ("matches", "none"))
        self.assertTrue(r["holds"], r["failures"])
        with open(self.out, "rb") as f:
            self.assertEqual(exe["sha256"], hashlib.sha256(f.read()).hexdigest())
        run = self.package("--verify", self.out)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("  company:       %s" % texts["--company"], run.stdout)
        self.assertIn("  product ver.:  1.2.3-beta", run.stdout)

        # The same build folder without the texts, signed with a certificate without a password: the block
        # is the default one again, nothing kept from the run before.
        run = self.package(self.app, self.out, "--sign", cert("no-password.pfx"), "--report", report)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        exe = self.read_report(report)["exe"]
        self.assertEqual((exe["product_name"], exe["description"], exe["company"], exe["copyright"],
                          exe["product_version_text"]), ("檀溪舟楫", "檀溪舟楫", None, None, "1.0.0.0"))
        self.assertEqual(self.read_report(report)["signature"]["digest"], "matches")

    def test_an_unreachable_time_stamp_server_is_said_first_and_nothing_is_left(self):
        with socket.socket() as s:  # a port nothing listens on once it is closed
            s.bind(("127.0.0.1", 0))
            url = "http://127.0.0.1:%d/" % s.getsockname()[1]
        report = os.path.join(self.dir, "report.json")
        self.earlier(self.out, report)
        run = self.package(self.app, self.out, "--sign", cert("aes.pfx"), "--password-file", cert("password"),
                           "--timestamp-url", url, "--report", report)
        self.assertRun(run, 1, "package.sh: the time-stamp server %s did not answer, so nothing was signed" % url)
        self.assertIn("leave --timestamp-url out to sign without a time stamp", run.stderr.splitlines()[0])
        self.assertLess(len(run.stderr.splitlines()), 20, run.stderr)
        self.assertFalse(os.path.lexists(self.out))
        self.assertFalse(os.path.lexists(report))
        self.assertNoTemporaryFiles()


if __name__ == "__main__":
    unittest.main(verbosity=2)
