"""The packer's checked modes, run natively: the layout of a packed application folder, each install rule
refused once, an archive made elsewhere checked by the same rules, and package.sh leaving no OUT.exe
behind a refusal.
    python3 packer_test.py PACK_PAYLOAD REPO WORK_DIR
"""
import json
import os
import shutil
import socket
import stat
import struct
import subprocess
import sys
import unittest
import zipfile
import zlib

import hostile_zips
import icons
import tiny_prebuilt

PACKER, REPO, WORK = sys.argv[1:4]
del sys.argv[1:4]

FIXED_TIME = 1704067200  # 2024-01-01 00:00:00 UTC
# Where package.sh builds its packer and prebuilt launcher, once: the first call builds the product.
PACKAGE_BUILD = os.environ.get("KESTREL_PACKAGE_BUILD") or os.path.join(WORK, "package-build")


def make_files(root, names, content=b"x"):
    for name in names:
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def raw_name(info):
    # zipfile shows a name without the UTF-8 flag as code page 437; back to the stored bytes.
    return info.filename.encode("utf-8") if info.flag_bits & 0x800 else info.filename.encode("cp437")


class Work(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(WORK, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.app = os.path.join(self.dir, "app")
        os.makedirs(self.app)
        self.out = os.path.join(self.dir, "payload.zip")

    def pack(self, *extra):
        return subprocess.run([PACKER, "--app", self.app, self.out, *extra], capture_output=True, text=True)

    def check(self, archive):
        return subprocess.run([PACKER, "--check", archive], capture_output=True, text=True)

    def assertRefused(self, run, expected, packed=True):
        """Every (name, words of the rule) pair is among the refusals, and nothing was written. A packed
        folder's refusal names the file on disk beside its install path, an archive's the entry."""
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        lines = [l for l in run.stderr.splitlines() if l.startswith("refused: ")]
        for name, words in expected:
            shown = name
            if packed and name.startswith("Velkar/"):
                shown = "%s (installs as %s)" % (name[len("Velkar/"):], name.replace("/", "\\"))
            self.assertTrue(any(l.startswith("refused: " + shown + ": ") and words in l for l in lines),
                            "no refusal of %r for %r in:\n%s" % (shown, words, run.stderr))
        self.assertFalse(os.path.exists(self.out))


class Layout(Work):
    def test_packed_folder_layout_names_and_times(self):
        make_files(self.app, ["A.dll", "Velkar.exe", "zeta.ini", "Resources/Help/usage.txt", "Resources/a.png",
                              "说明/读我.txt"])
        os.utime(os.path.join(self.app, "zeta.ini"), (FIXED_TIME + 86400, FIXED_TIME + 86400))
        run = self.pack()
        self.assertEqual(run.returncode, 0, run.stderr)
        with zipfile.ZipFile(self.out) as z:
            infos = z.infolist()
            names = [raw_name(i) for i in infos]
            # Velkar/ first, its main executable second although "A.dll" sorts before it, each folder
            # before its contents; names in code page 936 with the UTF-8 flag clear.
            self.assertEqual(names[:3], [b"Velkar/", b"Velkar/Velkar.exe", b"Velkar/A.dll"])
            self.assertIn("说明/读我.txt".encode("gbk"), [n[len(b"Velkar/"):] for n in names])
            for i, name in enumerate(names):
                parent = name.rstrip(b"/").rpartition(b"/")[0]
                if parent:
                    self.assertIn(parent + b"/", names[:i], name)
            self.assertTrue(all(i.flag_bits == 0 for i in infos))
            self.assertEqual(z.getinfo("Velkar/zeta.ini").date_time, (2024, 1, 2, 0, 0, 0))
        self.assertIn("entries:       10 (4 folders, 6 files)", run.stdout)
        self.assertIn("longest path:", run.stdout)

        # SOURCE_DATE_EPOCH's part: one time for every entry, and the same tree gives the same bytes.
        def packed_bytes():
            self.assertEqual(self.pack("--time", str(FIXED_TIME)).returncode, 0)
            with open(self.out, "rb") as f:
                return f.read()
        first = packed_bytes()
        os.utime(os.path.join(self.app, "A.dll"))
        self.assertEqual(packed_bytes(), first)
        with zipfile.ZipFile(self.out) as z:
            self.assertEqual({i.date_time for i in z.infolist()}, {(2024, 1, 1, 0, 0, 0)})


class Refusals(Work):
    def test_names_the_launcher_or_windows_cannot_keep(self):
        make_files(self.app, ["Velkar.exe", "trailing.", "trailing ", "ctl\x01", "con.txt", "COM0", "lpt1.log",
                              "a\\b", "smile😀.txt", "Readme.txt", "README.TXT", "Ωmega", "ωMEGA"] +
                   ["bad%sname" % c for c in '<>:"|?*'])
        long_folder = "d" * 120
        # C:\Users\<20>\AppData\Roaming\Kestrelworks\ (59 bytes), Velkar\ (7), the folder (121), the name.
        make_files(self.app, [long_folder + "/" + "f" * 72,   # 259 bytes installed: fits
                              long_folder + "/" + "g" * 73])  # 260 bytes: refused
        run = self.pack()
        expected = [("Velkar/trailing.", "ends in '.' or ' '"), ("Velkar/trailing ", "ends in '.' or ' '"),
                    ("Velkar/ctl\\x01", "a byte below 0x20"), ("Velkar/con.txt", "device name"),
                    ("Velkar/COM0", "device name"), ("Velkar/lpt1.log", "device name"),
                    ("Velkar/a\\b", "backslash"), ("Velkar/smile😀.txt", "code page 936 cannot spell"),
                    ("Velkar/Readme.txt", 'only in case'), ("Velkar/ωMEGA", "only in case"),
                    ("Velkar/%s/%s" % (long_folder, "g" * 73), "takes 260 bytes")]
        expected += [("Velkar/bad%sname" % c, 'one of < > " | ? *') for c in '<>"|?*']
        expected.append(("Velkar/bad:name", "holds ':'"))
        self.assertRefused(run, expected)
        self.assertNotIn("f" * 72, run.stderr)
        self.assertIn("pack-payload: 18 refusals; nothing was written", run.stderr)

    def test_links_pipes_sockets_devices_and_huge_files(self):
        make_files(self.app, ["Velkar.exe", "target.txt"])
        os.symlink("target.txt", os.path.join(self.app, "link.txt"))
        os.symlink(REPO, os.path.join(self.app, "folder-link"))
        os.mkfifo(os.path.join(self.app, "pipe"))
        sock = socket.socket(socket.AF_UNIX)
        self.addCleanup(sock.close)
        # Bound by a relative name: a socket's path may hold at most 107 bytes, and a build folder's
        # path can be longer than that.
        here = os.getcwd()
        os.chdir(self.app)
        try:
            sock.bind("sock")
        finally:
            os.chdir(here)
        expected = [("Velkar/link.txt", "symbolic link"), ("Velkar/folder-link", "symbolic link"),
                    ("Velkar/pipe", "named pipe"), ("Velkar/sock", "socket"), ("Velkar/huge.bin", "4 GiB")]
        try:
            os.mknod(os.path.join(self.app, "null"), 0o600 | stat.S_IFCHR, os.makedev(1, 3))
            expected.append(("Velkar/null", "a device"))
        except PermissionError:
            pass  # only root makes device nodes
        with open(os.path.join(self.app, "huge.bin"), "wb") as f:
            f.truncate(4 << 30)  # sparse: the packer refuses it by its size without reading it
        try:
            self.assertRefused(self.pack(), expected)
        finally:
            sock.close()

    def test_missing_main_program(self):
        make_files(self.app, ["velkar.dll"])
        self.assertRefused(self.pack(), [("Velkar/Velkar.exe", "missing")])

    def test_more_entries_than_an_archive_without_zip64_holds(self):
        # Velkar/, Velkar.exe and 65,534 files: 65,536 entries.
        make_files(self.app, ["Velkar.exe"] + ["%05d" % i for i in range(65534)], b"")
        self.assertRefused(self.pack(), [("(the payload)", "65,536 entries")])


class ArchivesMadeElsewhere(Work):
    def zip(self, entries, **options):
        path = os.path.join(self.dir, "elsewhere.zip")
        with zipfile.ZipFile(path, "w", **options) as z:
            for name, data in entries:
                z.writestr(name, data)
        return path

    def test_utf8_names_are_checked_and_listed_as_the_launcher_installs_them(self):
        # Python's zipfile marks these names UTF-8; 936 spells them, so the archive is fine.
        archive = self.zip([("Velkar/Velkar.exe", b"MZ"), ("Velkar/docs/说明.txt", b"x")])
        listing = os.path.join(self.dir, "listing.json")
        run = subprocess.run([PACKER, "--check", archive, "--json", listing], capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("entries:       2 (0 folders, 2 files)", run.stdout)
        with open(listing, encoding="utf-8") as f:
            listed = json.load(f)
        self.assertEqual([(e["path"], e["size"], e["crc32"]) for e in listed["entries"]],
                         [("Velkar\\Velkar.exe", 2, zlib.crc32(b"MZ")), ("Velkar\\docs\\说明.txt", 1, zlib.crc32(b"x"))])
        self.assertEqual((listed["bytes"], listed["files"], listed["bytes_in"]), (os.path.getsize(archive), 2, 3))
        self.assertTrue(listed["longest_install_path"]["path"].endswith("\\Velkar\\docs\\说明.txt"))

    def test_refusals(self):
        archive = self.zip([("Velkar/Velkar.exe", b"MZ"), ("Velkar/../evil.txt", b"x"), ("other/x.txt", b"x"),
                            ("Velkar/smile😀.txt", b"x"), ("Velkar/a.txt", b"x"), ("Velkar/A.TXT", b"x")])
        self.assertRefused(self.check(archive), [("Velkar/../evil.txt", "'..'"), ("other/x.txt", "outside Velkar/"),
                                                 ("Velkar/smile😀.txt", "cannot spell"),
                                                 ("Velkar/A.TXT", "only in case")], packed=False)
        run = subprocess.run([PACKER, "--check", archive, "--json", self.out], capture_output=True, text=True)
        self.assertRefused(run, [("Velkar/A.TXT", "only in case")], packed=False)  # and no listing

    def test_a_short_name_beside_a_long_one_is_refused(self):
        # Windows may give "library-long.dll" the short name LIBRAR~1.DLL, and "Program Files" PROGRA~1:
        # the second entry of each pair would open the first one's file or folder.
        archive = self.zip([("Velkar/Velkar.exe", b"MZ"), ("Velkar/library-long.dll", b"L" * 400),
                            ("Velkar/LIBRAR~1.DLL", b"EVIL"), ("Velkar/Program Files/a.txt", b"a"),
                            ("Velkar/progra~1/a.txt", b"b")])
        self.assertRefused(self.check(archive), [("Velkar/LIBRAR~1.DLL", "has the form of a short (8.3) name"),
                                                 ("Velkar/progra~1/a.txt", '"progra~1" has the form')], packed=False)
        # Only beside a name that gets a short name of its own: alone, or among 8.3 names, it is a name.
        run = self.check(self.zip([("Velkar/Velkar.exe", b"MZ"), ("Velkar/BACKUP~1.TXT", b"x"),
                                   ("Velkar/readme.txt", b"x")]))
        self.assertEqual(run.returncode, 0, run.stderr)

    def test_methods_the_reader_does_not_take(self):
        archive = self.zip([("Velkar/Velkar.exe", b"MZ" * 100)], compression=zipfile.ZIP_BZIP2)
        self.assertRefused(self.check(archive), [("Velkar/Velkar.exe", "compression method 12")], packed=False)
        self.assertRefused(self.check(self.zip([("Velkar/readme.txt", b"x")])), [("Velkar/Velkar.exe", "missing")],
                           packed=False)


class ReadAsTheLauncherReads(Work):
    """--check reads an archive made elsewhere as the launcher's reader (minizip) does, and refuses what two
    readers could read differently; --list shows what it read."""

    def setUp(self):
        super().setUp()
        self.local, directory, _ = hostile_zips.parts(hostile_zips.build(
            [("Velkar/Velkar.exe", b"MZ" * 64), ("Velkar/readme.txt", b"read me " * 8)], zipfile.ZIP_DEFLATED))
        self.records = hostile_zips.records(directory)

    def checked(self, archive):
        path = os.path.join(self.dir, "made.zip")
        with open(path, "wb") as f:
            f.write(archive)
        return subprocess.run([PACKER, "--check", path, "--list"], capture_output=True, text=True)

    def listed(self, archive):
        run = self.checked(archive)
        self.assertEqual(run.returncode, 0, run.stderr)
        return [l for l in run.stdout.splitlines() if l.startswith(("file ", "folder "))]

    def test_an_archive_two_readers_read_differently_is_refused(self):
        h, records, local = hostile_zips, self.records, self.local
        directory = b"".join(records)
        zip64_end = (struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, 2, 2, len(directory), len(local)) +
                     struct.pack("<IIQI", 0x07064B50, 0, len(local) + len(directory), 1))
        stub = b"MZ" + bytes(100)
        crc, = struct.unpack_from("<I", records[1], 16)
        offset, = struct.unpack_from("<I", records[1], 42)
        data_crc = bytearray(local)  # the readme's CRC-32 wrong in both headers
        at = local.rindex(b"PK\x03\x04") + 14
        data_crc[at:at + 4] = struct.pack("<I", crc ^ 1)
        archive, readme = "(the archive)", "Velkar/readme.txt"
        cases = {
            # A decoy directory: readers that trust the offsets saw a harmless one, the launcher installed .config.
            "decoy directory": (h.decoy(), archive, "the launcher would read the directory from"),
            # A self-extractor's layout, offsets counted from the file's start: the launcher takes none.
            "bytes in front, offsets moved": (stub + local + b"".join(h.moved(r, len(stub)) for r in records) +
                                              h.end_record(2, len(directory), len(stub) + len(local)), archive,
                                              "does not begin with a local file header"),
            "bytes in front, offsets not moved": (stub + h.assemble(local, records), archive,
                                                  "the launcher would read the directory from"),
            "ZIP64 end record": (local + directory + zip64_end + h.end_record(2, len(directory), len(local)), archive,
                                 "a ZIP64 end record at"),
            "ZIP64 offset": (h.assemble(local, [records[0], h.with_extra(h.with_field(records[1], 42, "<I", 0xFFFFFFFF),
                                                                         struct.pack("<HHQ", 1, 8, offset))]),
                             readme, "ZIP64 sizes, offset or extra field"),
            "ZIP64 extra field alone": (h.assemble(local, [records[0], h.with_extra(records[1], struct.pack("<HHQ", 1, 8, 5))]),
                                        readme, "ZIP64 sizes, offset or extra field"),
            "two entry counts": (local + directory + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 2, len(directory),
                                                                  len(local), 0), archive, "gives two entry counts"),
            "local header disagrees": (h.assemble(local, [records[0], h.with_field(records[1], 16, "<I", crc ^ 1)]),
                                       readme, "disagrees with the central directory"),
            "data of another CRC-32": (h.assemble(bytes(data_crc), [records[0], h.with_field(records[1], 16, "<I", crc ^ 1)]),
                                       readme, "does not give its recorded size and CRC-32"),
            "file below a file": (h.build([("Velkar/Velkar.exe", b"MZ"), ("Velkar/a.txt", b"a"), ("Velkar/A.TXT/b", b"b")]),
                                  "Velkar/A.TXT/b", 'lies below the file "Velkar/a.txt"'),
            # Two names the launcher would install as one file, the last one written over the first.
            "two separators in a row": (h.doubled(), "Velkar//lib.dll", "two separators in a row"),
            "local name of other bytes": (h.renamed(), readme, 'names it "Velkar/README.exe"'),
            "folder bit on a file with data": (h.assemble(local, [records[0], h.with_field(records[1], 38, "<I", 0x41ED0000)]),
                                               readme, "a folder entry holding 64 bytes"),
        }
        for case, (made, name, words) in cases.items():
            with self.subTest(case=case):
                self.assertRefused(self.checked(made), [(name, words)], packed=False)
        # An end record beyond the last 65,535 bytes, where minizip does not look for it.
        run = self.checked(h.assemble(local, records, b"c" * 65535))
        self.assertEqual(run.returncode, 1)
        self.assertIn("no end-of-central-directory record in its last 65,535 bytes", run.stderr)

    def test_the_listing_is_what_the_launcher_installs(self):
        h = hostile_zips
        self.assertEqual(self.listed(h.assemble(self.local, self.records)),
                         ["file 128 Velkar/Velkar.exe", "file 64 Velkar/readme.txt"])
        # The first Unicode Path field decides, as in the launcher's reader: one whose CRC-32 is not the
        # stored name's leaves the stored name, whatever follows it.
        name = b"Velkar/readme.txt"
        def unicode_path(crc, utf8):
            return struct.pack("<HHBI", 0x7075, 5 + len(utf8), 1, crc) + utf8
        right = unicode_path(zlib.crc32(name), "Velkar/说明.txt".encode())
        wrong = unicode_path(zlib.crc32(name) ^ 1, "Velkar/其他.txt".encode())
        for extra, shown in ((right, "Velkar/说明.txt"), (wrong + right, "Velkar/readme.txt")):
            with self.subTest(shown=shown):
                listing = self.listed(h.assemble(self.local, [self.records[0], h.with_extra(self.records[1], extra)]))
                self.assertEqual(listing[1], "file 64 " + shown)
        # The Unix folder bit makes an empty entry a folder, as the launcher makes it.
        empty = h.build([("Velkar/Velkar.exe", b"MZ"), ("Velkar/data", b"")])
        local, directory, _ = h.parts(empty)
        records = h.records(directory)
        self.assertEqual(self.listed(h.assemble(local, [records[0], h.with_field(records[1], 38, "<I", 0x41ED0000)])),
                         ["file 2 Velkar/Velkar.exe", "folder Velkar/data/"])


class PackageCommand(Work):
    def test_a_refusal_builds_nothing_and_leaves_no_exe(self):
        make_files(self.app, ["Velkar.exe", "nul"])
        out = os.path.join(self.dir, "launcher.exe")
        with open(out, "wb") as f:
            f.write(b"an earlier build")
        env = dict(os.environ, KESTREL_PACKAGE_BUILD=PACKAGE_BUILD)
        run = subprocess.run(["bash", os.path.join(REPO, "scripts/package.sh"), self.app, out], env=env,
                             capture_output=True, text=True)
        self.assertNotEqual(run.returncode, 0)
        self.assertIn("refused: nul (installs as Velkar\\nul): the launcher refuses it: a component is a device name",
                      run.stderr)
        self.assertNotIn("[2/4]", run.stdout)
        self.assertFalse(os.path.exists(out))

class StaysBehindAndHints(Work):
    def test_dot_names_names_gbk_merges_and_names_not_utf8(self):
        make_files(self.app, ["Velkar.exe", ".hidden", ".config/.settings", ".config/a.txt", "docs/.keep",
                              "x.txt", "x\U000E0041.txt",        # GBK drops the tag character: one name
                              "Note.txt", "note\U000E0020.TXT"])  # one name without regard to case, too
        with open(os.path.join(self.app.encode(), b"\xd6\xd0.txt"), "wb") as f:  # GBK bytes, not UTF-8
            f.write(b"x")
        run = self.pack()
        self.assertRefused(run, [("Velkar/.hidden", "clean-up passes over names beginning with '.'"),
                                 ("Velkar/.config/", "so it would stay on the user's machine"),
                                 ("Velkar/docs/.keep", "begins with '.'"),
                                 ("Velkar/x\U000E0041.txt", 'stored under the same name as "Velkar/x.txt"'),
                                 ("Velkar/note\U000E0020.TXT", "on Windows one would overwrite the other"),
                                 ("Velkar/\\xD6\\xD0.txt", "its name on disk is not UTF-8")])
        # A folder beginning with "." is refused once, not again for each file in it.
        self.assertNotIn(".settings", run.stderr)
        self.assertIn("pack-payload: 6 refusals", run.stderr)
        # An archive made elsewhere by the same rule; the launcher's extraction still takes such names.
        archive = os.path.join(self.dir, "elsewhere.zip")
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("Velkar/Velkar.exe", b"MZ")
            z.writestr("Velkar/sub/.cache/x", b"x")
        self.assertRefused(self.check(archive), [("Velkar/sub/.cache/", "begins with '.'")], packed=False)

    def test_hints_for_a_folder_one_level_too_high_and_a_folder_named_like_the_program(self):
        make_files(self.app, ["Velkar/Velkar.exe"])
        self.assertRefused(self.pack(), [("Velkar/Velkar.exe", "did you mean %s/Velkar?" % self.app)])
        shutil.rmtree(self.app)
        make_files(self.app, ["Velkar.exe/readme.txt"])
        self.assertRefused(self.pack(), [("Velkar/Velkar.exe", "holds a folder of that name, not the program")])
        archive = os.path.join(self.dir, "deep.zip")
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("Velkar/Velkar/Velkar.exe", b"MZ")
        self.assertRefused(self.check(archive), [("Velkar/Velkar.exe", "its entries lie one folder too deep")],
                           packed=False)

    def test_archive_above_the_measured_limit(self):
        # Stored zeros: the archive is as large as the file, and the file is one byte above the limit.
        limit = int(subprocess.run([PACKER, "--limit"], capture_output=True, text=True).stdout)
        archive = os.path.join(self.dir, "large.zip")
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as z:
            z.writestr("Velkar/Velkar.exe", b"MZ")
            with z.open(zipfile.ZipInfo("Velkar/large.bin"), "w") as f:
                for _ in range(limit >> 20):
                    f.write(bytes(1 << 20))
                f.write(bytes(limit % (1 << 20) + 1))
        self.assertRefused(self.check(archive), [("(the payload)", "the launcher installs at most {:,} ({:,} MiB)"
                                                  .format(limit, limit >> 20))], packed=False)


class HostileBuildMachine(Work):
    """What the packer reads and writes on a build machine where others can write too."""

    def test_a_file_or_folder_swapped_for_a_link_after_the_listing_is_refused_not_read_through(self):
        # The seam runs after Velkar/ has been listed and sorted, before any entry is opened: the moment
        # a walk that checks a path and then reads it again would be fooled. The packer opens each name
        # without following a link and reads through that one descriptor, so the swap is refused.
        make_files(self.app, ["Velkar.exe", "data.txt", "sub/inner.txt"])
        secret = os.path.join(self.dir, "secret")
        make_files(secret, ["key.txt"], b"the secret")
        seam = ('[ "$PACK_PAYLOAD_FOLDER" = Velkar/ ] || exit 0; cd "%s" && rm data.txt && ln -s "%s/key.txt" data.txt'
                ' && rm -r sub && ln -s "%s" sub' % (self.app, secret, secret))
        run = subprocess.run([PACKER, "--app", self.app, self.out], env=dict(os.environ, PACK_PAYLOAD_TEST_SEAM=seam),
                             capture_output=True, text=True)
        self.assertRefused(run, [("Velkar/data.txt", "a symbolic link"), ("Velkar/sub", "a symbolic link")])

    def test_the_temporary_file_is_created_new_never_written_through_a_planted_link(self):
        make_files(self.app, ["Velkar.exe"])
        victim = os.path.join(self.dir, "victim")
        for plant in (os.symlink, os.link):
            with self.subTest(plant=plant.__name__):
                with open(victim, "wb") as f:
                    f.write(b"untouched")
                part = self.out + ".part"
                if os.path.lexists(part):
                    os.remove(part)
                plant(victim, part)
                run = self.pack()
                self.assertEqual(run.returncode, 0, run.stderr)
                with open(victim, "rb") as f:
                    self.assertEqual(f.read(), b"untouched")
                self.assertFalse(os.path.lexists(part))
                self.assertTrue(zipfile.is_zipfile(self.out))
                os.remove(self.out)


class PackageOptions(Work):
    def package(self, *args):
        env = dict(os.environ, KESTREL_PACKAGE_BUILD=PACKAGE_BUILD)
        return subprocess.run(["bash", os.path.join(REPO, "scripts/package.sh"), *args], env=env,
                              capture_output=True, text=True)

    def test_help_and_mistakes_on_the_command_line(self):
        run = self.package("--help")
        self.assertEqual(run.returncode, 0)
        for words in ("--zip FILE.zip", "--sign CERT.pfx", "--password-file", "--timestamp-url", "--version",
                      "SOURCE_DATE_EPOCH", "KESTREL_PACKAGE_BUILD", "0  OUT.exe built", "1  refused or failed",
                      "2  a mistake on the command line"):
            self.assertIn(words, run.stdout)
        run = self.package(self.app, "out.exe", "--sing", "c.pfx")
        self.assertEqual(run.returncode, 2)
        self.assertIn("unknown option '--sing'", run.stderr)

    def test_certificates_are_read_before_anything_long(self):
        # A PEM file, a wrong password and an expired certificate: one line each, before the set-up.
        make_files(self.app, ["Velkar.exe"])
        d = os.path.join(self.dir, "cert")
        os.makedirs(os.path.join(d, "ca"))
        def openssl(*args):
            subprocess.run(["openssl", *args], cwd=d, check=True, capture_output=True)
        with open(os.path.join(d, "password"), "w") as f:
            f.write("right")
        with open(os.path.join(d, "wrong"), "w") as f:
            f.write("wrong")
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem", "-days", "30",
                "-subj", "/CN=test")
        openssl("pkcs12", "-export", "-inkey", "key.pem", "-in", "cert.pem", "-out", "cert.pfx", "-passout",
                "file:password")
        # Expired: signed by itself with dates of the past (openssl ca takes them as given).
        open(os.path.join(d, "ca/index.txt"), "w").close()
        with open(os.path.join(d, "ca/serial"), "w") as f:
            f.write("01\n")
        with open(os.path.join(d, "ca.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca = d\n[d]\ndatabase = ca/index.txt\nserial = ca/serial\nnew_certs_dir = ca\n"
                    "default_md = sha256\npolicy = p\n[p]\ncommonName = supplied\n")
        openssl("req", "-new", "-key", "key.pem", "-out", "old.csr", "-subj", "/CN=old")
        openssl("ca", "-batch", "-config", "ca.cnf", "-selfsign", "-keyfile", "key.pem", "-in", "old.csr", "-out",
                "old.pem", "-startdate", "20200101000000Z", "-enddate", "20200201000000Z")
        openssl("pkcs12", "-export", "-inkey", "key.pem", "-in", "old.pem", "-out", "old.pfx", "-passout",
                "file:password")
        out = os.path.join(self.dir, "out.exe")
        for cert, password, words in (("cert.pem", "password", "is a PEM file; --sign takes a PKCS#12 file"),
                                      ("cert.pfx", "wrong", "does not open"),
                                      ("old.pfx", "password", "expired on Feb  1 00:00:00 2020 GMT")):
            with self.subTest(cert=cert, password=password):
                run = self.package(self.app, out, "--sign", os.path.join(d, cert), "--password-file",
                                   os.path.join(d, password))
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertIn(words, run.stderr)
                self.assertEqual(len(run.stderr.splitlines()), 1, run.stderr)
                self.assertNotIn("[1/4]", run.stdout)

    def test_a_refused_zip_builds_nothing_and_leaves_no_exe(self):
        archive = os.path.join(self.dir, "elsewhere.zip")
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("Velkar/Velkar.exe", b"MZ")
            z.writestr("Velkar/.hidden", b"x")
        out = os.path.join(self.dir, "launcher.exe")
        with open(out, "wb") as f:
            f.write(b"an earlier build")
        run = self.package("--zip", archive, out)
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("refused: Velkar/.hidden: begins with '.'", run.stderr)
        self.assertIn("is refused", run.stderr)
        self.assertNotIn("[2/4]", run.stdout)
        self.assertFalse(os.path.exists(out))
        run = self.package("--zip", archive, self.app, out)
        self.assertEqual(run.returncode, 2)
        self.assertIn("takes OUT.exe alone", run.stderr)


class Icons(PackageOptions):
    def test_each_kind_of_bad_icon_is_refused_in_one_line_before_anything_is_built(self):
        make_files(self.app, ["Velkar.exe"])
        good = icons.icon([(16, 32, icons.bitmap(16))])
        moved = bytearray(good)
        struct.pack_into("<I", moved, 18, 6)  # the image's offset: inside the directory
        short = icons.bitmap(16)[:-65]  # the mask left out, and a byte of the picture
        flat = bytearray(icons.bitmap(16))
        struct.pack_into("<i", flat, 8, 16)  # the bitmap's height not doubled for its mask
        image = icons.bitmap(16)
        entry = struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, len(image), 6 + 32)
        twice = struct.pack("<HHH", 0, 1, 2) + entry + entry + image  # two entries, one image
        for fault, data, words in (
                ("empty", b"", "too short for an icon's header"),
                ("a PNG file", icons.png(32), "a PNG file, not an icon"),
                ("a cursor", icons.icon([(16, 32, icons.bitmap(16))], kind=2), "a cursor (.cur)"),
                ("no image", struct.pack("<HHH", 0, 1, 0), "holds no image"),
                ("directory cut", good[:14], "its directory of 1 images runs past the end"),
                ("image cut", good[:-1], "image 1 (16 x 16) runs past the end of the file"),
                ("image inside the directory", bytes(moved), "starts inside the directory"),
                ("mask missing", icons.icon([(16, 32, short)]), "is cut short"),
                ("bitmap without room for its mask", icons.icon([(16, 32, bytes(flat))]), "holds a bitmap of 16 x 16"),
                ("PNG of another size", icons.icon([(32, 32, icons.png(48))]), "holds a PNG image of 48 x 48"),
                ("bytes after the images", good + b"\0\0\0\0", "4 bytes after the last image"),
                ("two entries, one image", twice, "overlaps another part"),
                ("text", b"not an icon at all", "not an icon (.ico)")):
            with self.subTest(fault=fault):
                path = os.path.join(self.dir, "app.ico")
                with open(path, "wb") as f:
                    f.write(data)
                run = self.package(self.app, os.path.join(self.dir, "out.exe"), "--icon", path)
                self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                self.assertEqual(len(run.stderr.splitlines()), 1, run.stderr)
                self.assertTrue(run.stderr.startswith("package.sh: %s: " % path), run.stderr)
                self.assertIn(words, run.stderr)
                self.assertNotIn("[1/4]", run.stdout)

    def test_a_whole_icon_passes_and_the_sizes_explorer_shows_most_that_it_lacks_are_said(self):
        make_files(self.app, ["Velkar.exe"])
        path = os.path.join(self.dir, "app.ico")
        prebuilt = os.path.join(self.dir, "prebuilt.exe")
        with open(prebuilt, "wb") as f:
            f.write(tiny_prebuilt.image())
        for images, said in (
                ([(16, 32, icons.bitmap(16)), (256, 32, icons.png(256))],
                 "Icon %s: 2 images (16 x 16 32-bit, 256 x 256 PNG)\n"
                 "  note: no 32 x 32 or 48 x 48 image: Explorer scales another one for those sizes\n"),
                ([(16, 32, icons.bitmap(16)), (32, 4, icons.bitmap(32, 4)), (48, 32, icons.png(48))],
                 "Icon %s: 3 images (16 x 16 32-bit, 32 x 32 4-bit, 48 x 48 PNG)\n")):
            with self.subTest(images=len(images)):
                with open(path, "wb") as f:
                    f.write(icons.icon(images))
                run = subprocess.run([PACKER, self.app, os.path.join(self.dir, "out.exe"), "--launcher", prebuilt,
                                      "--icon", path], capture_output=True, text=True)
                self.assertEqual(run.returncode, 0, run.stderr)
                lines = [line + "\n" for line in run.stdout.splitlines() if line.startswith(("Icon ", "  note:"))]
                self.assertEqual("".join(lines), said % path, run.stdout)

    def test_verify_takes_its_own_options_only(self):
        run = self.package("--verify", "x.exe", "--sign", "c.pfx")
        self.assertEqual(run.returncode, 2)
        self.assertIn("--verify takes --ca, --signer, --require-signature and --report only", run.stderr)
        for option in (("--ca", "root.pem"), ("--signer", "AB" * 32)):
            run = self.package(self.app, "out.exe", *option)
            self.assertEqual(run.returncode, 2)
        # A fingerprint is 32 bytes in hexadecimal; anything else is told before anything is set up.
        exe = os.path.join(self.dir, "some.exe")
        make_files(self.dir, ["some.exe"])
        for pin in ("12:34", "AB" * 31 + "XY", "AB" * 33):
            run = self.package("--verify", exe, "--signer", pin)
            self.assertEqual(run.returncode, 2, run.stderr)
            self.assertIn("--signer takes a certificate's SHA-256 fingerprint", run.stderr)
            self.assertNotIn("Verified", run.stdout)
        run = self.package("--verify", os.path.join(self.dir, "missing.exe"))
        self.assertEqual(run.returncode, 1)
        self.assertIn("no such file", run.stderr)
        self.assertNotIn("Verified", run.stdout)


def payload_section(exe):
    """The archive in a packed launcher's last section (.payload), read from the section table."""
    pe = struct.unpack_from("<I", exe, 0x3C)[0]
    count, optional = struct.unpack_from("<H", exe, pe + 6)[0], struct.unpack_from("<H", exe, pe + 20)[0]
    for i in range(count):
        at = pe + 24 + optional + 40 * i
        if exe[at:at + 8].rstrip(b"\0") == b".payload":
            raw = struct.unpack_from("<I", exe, at + 20)[0]
            dimensions, length = struct.unpack_from("<II", exe, raw)
            return exe[raw + 8:raw + 8 + length] if dimensions == 1 else None
    return None


class PackerCommand(Work):
    """pack-payload APP_DIR OUT.exe and --zip on a stand-in prebuilt launcher: what it writes, and what it
    leaves when it fails."""

    def setUp(self):
        super().setUp()
        make_files(self.app, ["Velkar.exe", "lib/a.dll"])
        self.prebuilt = os.path.join(self.dir, "prebuilt.exe")
        with open(self.prebuilt, "wb") as f:
            f.write(tiny_prebuilt.image())
        self.exe = os.path.join(self.dir, "launcher.exe")

    def packer(self, *args, **env):
        return subprocess.run([PACKER, *args], capture_output=True, text=True,
                              env=dict(os.environ, SOURCE_DATE_EPOCH=str(FIXED_TIME), **env))

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def leftovers(self):
        return [n for n in os.listdir(self.dir) if n.endswith(".part")]

    def test_a_folder_and_its_archive_give_the_same_exe_which_carries_the_archive_whole(self):
        run = self.packer(self.app, self.exe, "--launcher", self.prebuilt, "--version", "2.3.4.5")
        self.assertEqual(run.returncode, 0, run.stderr)
        first = self.read(self.exe)
        self.assertIn("Built %s" % self.exe, run.stdout)
        # The archive the packer embeds is the one --app writes with the same time, byte for byte.
        self.assertEqual(self.pack("--time", str(FIXED_TIME)).returncode, 0)
        self.assertEqual(payload_section(first), self.read(self.out))
        run = self.packer("--zip", self.out, self.exe, "--launcher", self.prebuilt, "--version", "2.3.4.5")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("the launcher can install it", run.stdout)
        self.assertEqual(self.read(self.exe), first)
        # A packed launcher packed again is the prebuilt one again first: the same bytes.
        run = self.packer(self.app, os.path.join(self.dir, "again.exe"), "--launcher", self.exe, "--version", "2.3.4.5")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(self.read(os.path.join(self.dir, "again.exe")), first)
        self.assertEqual(self.leftovers(), [])

    def test_a_failure_after_the_command_line_leaves_no_output_and_no_part(self):
        report = os.path.join(self.dir, "report.json")
        not_a_launcher = os.path.join(self.dir, "text.exe")
        with open(not_a_launcher, "w") as f:
            f.write("not a program")
        for case, args, said in (
                ("not a launcher", (self.app, self.exe, "--launcher", not_a_launcher, "--report", report),
                 "pack-payload: %s cannot be packed: not a Windows program" % not_a_launcher),
                ("a bad icon", (self.app, self.exe, "--launcher", self.prebuilt, "--icon",
                                      os.path.join(self.dir, "bad.ico")), "pack-payload: %s: " %
                 os.path.join(self.dir, "bad.ico"))):
            with self.subTest(case=case):
                with open(os.path.join(self.dir, "bad.ico"), "wb") as f:
                    f.write(b"\0\0\1\0\0\0")
                for path in (self.exe, report):
                    with open(path, "w") as f:
                        f.write("from an earlier run")
                run = self.packer(*args)
                self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                self.assertTrue(run.stderr.startswith(said), run.stderr)
                self.assertIn("removed the earlier %s (a failed run leaves none)" % self.exe, run.stderr)
                self.assertFalse(os.path.exists(self.exe))
                self.assertEqual(os.path.exists(report), "--report" not in args)
                self.assertEqual(self.leftovers(), [])

    def test_mistakes_on_the_command_line_touch_nothing_and_the_build_mode_stays(self):
        with open(self.exe, "w") as f:
            f.write("from an earlier run")
        for args, said in (((self.app, self.exe, "--launcher", "missing.exe"), "missing.exe: no such file (--launcher)"),
                           ((self.app, self.exe, "--launcher", self.exe), "is the same file as the launcher"),
                           ((self.app, os.path.join(self.app, "lib")), "the output is an .exe"),
                           ((self.app, self.exe, "--sign"), "--sign needs a value")):
            run = self.packer(*args)
            self.assertEqual(run.returncode, 2, run.stderr)
            self.assertIn(said, run.stderr.splitlines()[0])
            self.assertEqual(self.read(self.exe), b"from an earlier run")
        # Without --launcher the prebuilt one is looked for beside the packer, and its absence is said.
        if not os.path.exists(os.path.join(os.path.dirname(PACKER), "launcher-prebuilt.exe")):
            run = self.packer(self.app, self.exe)
            self.assertEqual(run.returncode, 1)
            self.assertIn("no prebuilt launcher beside the packer", run.stderr)
        # The build's own mode: OUT.zip SRC_DIR packs a tree as it is.
        run = self.packer(os.path.join(self.dir, "tree.zip"), self.app)
        self.assertEqual(run.returncode, 0, run.stderr)
        with zipfile.ZipFile(os.path.join(self.dir, "tree.zip")) as z:
            self.assertEqual(z.namelist(), ["Velkar.exe", "lib/", "lib/a.dll"])

    def test_the_report_reads_the_exe_written_and_verify_refuses_it_changed(self):
        report, ico = os.path.join(self.dir, "report.json"), os.path.join(self.dir, "app.ico")
        with open(ico, "wb") as f:
            f.write(icons.release_icon())
        run = self.packer(self.app, self.exe, "--launcher", self.prebuilt, "--icon", ico, "--report", report,
                          "--company", "Kestrel")
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        with open(report, encoding="utf-8") as f:
            r = json.load(f)
        exe = self.read(self.exe)
        self.assertTrue(r["holds"], r["failures"])
        # The exe read under its temporary name is reported under the name it was moved to.
        self.assertEqual((r["exe"]["path"], r["exe"]["bytes"]), (self.exe, len(exe)))
        self.assertEqual((r["inputs"]["company"], r["inputs"]["archive"], r["inputs"]["icon"]), ("Kestrel", None, ico))
        self.assertEqual(r["inputs"]["folder"], os.path.abspath(self.app))
        self.assertEqual(r["archive"]["bytes"], len(payload_section(exe)))
        self.assertEqual([s["step"] for s in r["steps"]], ["checks", "payload", "launcher", "signing", "verify"])
        self.assertEqual(self.packer("--verify", self.exe).returncode, 0)
        changed = bytearray(exe)
        changed[exe.index(payload_section(exe)) + 40] ^= 1
        with open(self.exe, "wb") as f:
            f.write(changed)
        run = self.packer("--verify", self.exe)
        self.assertEqual(run.returncode, 1, run.stdout)
        self.assertIn("failed: ", run.stderr)

    def test_a_signature_is_reproducible_and_leaves_no_unsigned_image_behind(self):
        key, cert, pfx = (os.path.join(self.dir, n) for n in ("key.pem", "cert.pem", "cert.pfx"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "30", "-subj", "/CN=packer test"], check=True, capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx, "-passout", "pass:"],
                       check=True, capture_output=True)
        signed = []
        for name in ("one.exe", "two.exe"):
            run = self.packer(self.app, os.path.join(self.dir, name), "--launcher", self.prebuilt, "--sign", pfx)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertIn("signed by:     CN = packer test", run.stdout)
            self.assertIn("the signature has no time stamp", run.stderr)
            signed.append(self.read(os.path.join(self.dir, name)))
        self.assertEqual(signed[0], signed[1])
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", os.path.join(self.dir, "one.exe")],
                                  capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
