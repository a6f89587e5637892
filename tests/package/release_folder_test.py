"""The release folder as a release engineer uses it, on a machine with nothing else:
    release_folder_test.py REPO RELEASE_BUILD APP_DIR WORK PREFIX
- scripts/release.sh makes it: the prebuilt launcher, the packer for Linux (one static program) and for
  Windows, the page and the sums, which hold;
- the Linux packer packs APP_DIR with an icon of several sizes (a 256-pixel PNG among them), a version and
  texts, run with an empty PATH: no compiler, CMake or Ninja to fall back on;
- an independent reader (pefile, from Debian) reads the icon, the version and the manifest back, the
  checksum right, the archive in the image's last section;
- --zip with that archive gives the same bytes; --verify holds for the package and fails for one changed;
- the Windows packer under Wine, with the same inputs, writes the same bytes;
- the package installs and starts the application under Wine, and cleans up.
"""
import os
import re
import shutil
import struct
import subprocess
import sys

import pefile

repo, release_build, app, work, prefix = sys.argv[1:6]
sys.path.insert(0, os.path.join(repo, "tests", "package"))
import icons  # noqa: E402  (the packager tests' icon maker)

failures = []


def check(condition, what):
    print(("ok:     " if condition else "FAILED: ") + what)
    if not condition:
        failures.append(what)


def finish():
    print("%d checks failed" % len(failures) if failures else "release folder: every check holds")
    sys.exit(1 if failures else 0)


shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
release = os.path.join(work, "release")
made = subprocess.run(["bash", os.path.join(repo, "scripts", "release.sh"), release],
                      env=dict(os.environ, KESTREL_RELEASE_BUILD=release_build), capture_output=True, text=True)
print(made.stdout + made.stderr)
check(made.returncode == 0, "release.sh makes the folder")
if made.returncode != 0:
    finish()
names = sorted(os.listdir(release))
check(names == ["README.md", "SHA256SUMS", "launcher-prebuilt.exe", "pack-payload", "pack-payload.exe"],
      "the folder holds the launcher, both packers, the page and the sums (%s)" % names)
sums = subprocess.run(["sha256sum", "--check", "--quiet", "SHA256SUMS"], cwd=release, capture_output=True, text=True)
check(sums.returncode == 0, "SHA256SUMS holds (%s)" % sums.stdout.strip())
packer = os.path.join(release, "pack-payload")
elf = open(packer, "rb").read()
# A static program has no interpreter (PT_INTERP, type 3) among its program headers.
phoff, = struct.unpack_from("<Q", elf, 32)
phentsize, phnum = struct.unpack_from("<HH", elf, 54)
types = [struct.unpack_from("<I", elf, phoff + i * phentsize)[0] for i in range(phnum)]
check(elf[:5] == b"\x7fELF\x02" and 3 not in types, "the Linux packer is a static x86-64 program")

# The application, with a name only UTF-16 (and code page 936) spells, where the test user can reach it.
shared = prefix + "-release-folder"
shutil.rmtree(shared, ignore_errors=True)
os.makedirs(shared)
tree = os.path.join(shared, "app")
shutil.copytree(app, tree)
with open(os.path.join(tree, "说明.txt"), "w", encoding="utf-8") as f:
    f.write("packed by the release folder\n")
images = [(16, 32, icons.bitmap(16)), (32, 32, icons.bitmap(32)), (48, 8, icons.bitmap(48, 8)), (256, 32, icons.png(256))]
with open(os.path.join(shared, "app.ico"), "wb") as f:
    f.write(icons.icon(images))
for name in os.listdir(release):
    shutil.copy(os.path.join(release, name), shared)
subprocess.run(["chmod", "-R", "a+rwX", shared], check=True)

options = ["--version", "2.3.4.5", "--product-version", "2.3-beta", "--company", "Kestrelworks",
           "--copyright", "(C) 2026 Kestrelworks"]
empty = os.path.join(work, "empty-path")
os.makedirs(empty)
bare = {"PATH": empty, "HOME": work, "SOURCE_DATE_EPOCH": "1704067200", "LANG": "C.UTF-8"}
out = os.path.join(work, "linux.exe")
packed = subprocess.run([packer, tree, out, "--icon", os.path.join(shared, "app.ico"), *options], env=bare,
                        capture_output=True, text=True)
print(packed.stdout + packed.stderr)
check(packed.returncode == 0 and os.path.exists(out), "the Linux packer packs the folder with an empty PATH")
if not os.path.exists(out):
    finish()

pe = pefile.PE(out)
written = {}
for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    for n in t.directory.entries:
        for lang in n.directory.entries:
            d = lang.data.struct
            key = (t.id if t.name is None else str(t.name), n.id if n.name is None else str(n.name))
            written[key] = pe.get_data(d.OffsetToData, d.Size)
group = written.get((pefile.RESOURCE_TYPE["RT_GROUP_ICON"], "DEFAULT_ICON"))
check(group is not None, "the icon group DEFAULT_ICON is there")
if group:
    _, kind, count = struct.unpack_from("<HHH", group, 0)
    entries = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(count)]
    check([(e[0] or 256, e[1] or 256) for e in entries] == [(16, 16), (32, 32), (48, 48), (256, 256)],
          "the icon's sizes 16, 32, 48 and 256")
    for (size, bits, data), entry in zip(images, entries):
        check(written.get((pefile.RESOURCE_TYPE["RT_ICON"], entry[7])) == data and entry[5] == bits,
              "the %d-pixel image is the file's" % size)
info = pe.VS_FIXEDFILEINFO[0]
check((info.FileVersionMS, info.FileVersionLS, info.ProductVersionMS, info.ProductVersionLS) ==
      (0x20003, 0x40005, 0x20003, 0x40005), "file and product version 2.3.4.5")
texts = {}
for file_info in pe.FileInfo[0]:
    if file_info.Key == b"StringFileInfo":
        for table in file_info.StringTable:
            texts.update({k.decode(): v.decode() for k, v in table.entries.items()})
for name, value in (("ProductVersion", "2.3-beta"), ("CompanyName", "Kestrelworks"),
                    ("LegalCopyright", "(C) 2026 Kestrelworks"), ("ProductName", "檀溪舟楫"), ("FileVersion", "2.3.4.5")):
    check(texts.get(name) == value, "the version text %s is %r (%r)" % (name, value, texts.get(name)))
manifest = open(os.path.join(repo, "launcher", "launcher.manifest"), "rb").read()
check(written.get((pefile.RESOURCE_TYPE["RT_MANIFEST"], 1)) == manifest, "the manifest is the launcher's own")
check(pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum() != 0, "the checksum is pefile's generate_checksum()")
last = pe.sections[-1]
check(last.Name.rstrip(b"\0") == b".payload", "the archive's section is the image's last")
dimensions, length = struct.unpack_from("<iI", last.get_data(), 0)
archive = last.get_data()[8:8 + length]
check(dimensions == 1 and archive[:4] == b"PK\x03\x04" and archive[-22:-18] == b"PK\x05\x06",
      "the section holds the byte array's image of a whole ZIP archive")
zip_path = os.path.join(shared, "packed.zip")
with open(zip_path, "wb") as f:
    f.write(archive)
os.chmod(zip_path, 0o644)

again = os.path.join(work, "zip.exe")
result = subprocess.run([packer, "--zip", zip_path, again, "--icon", os.path.join(shared, "app.ico"), *options],
                        env=bare, capture_output=True, text=True)
check(result.returncode == 0 and open(again, "rb").read() == open(out, "rb").read(),
      "--zip with the packed archive gives the same bytes (%s)" % result.stderr.strip()[-200:])
result = subprocess.run([packer, "--verify", out], env=bare, capture_output=True, text=True)
print(result.stdout)
check(result.returncode == 0, "--verify holds for the package")
changed = bytearray(open(out, "rb").read())
changed[last.PointerToRawData + 8 + length // 2] ^= 1
with open(os.path.join(work, "changed.exe"), "wb") as f:
    f.write(changed)
result = subprocess.run([packer, "--verify", os.path.join(work, "changed.exe")], env=bare, capture_output=True,
                        text=True)
check(result.returncode == 1 and "failed: the embedded archive's bytes differ" in result.stdout + result.stderr,
      "--verify fails for a package changed afterwards, naming the archive")


def windows(path):
    return "Z:" + path.replace("/", "\\")


wine = os.path.join(repo, "scripts", "wine-run")
ran = subprocess.run([wine, "--prefix=" + prefix, os.path.join(shared, "pack-payload.exe"), windows(tree),
                      windows(os.path.join(shared, "windows.exe")), "--icon", windows(os.path.join(shared, "app.ico")),
                      *options], env=dict(os.environ, SOURCE_DATE_EPOCH="1704067200"), capture_output=True, timeout=900)
print(ran.stdout.decode(errors="replace")[-2000:])
windows_out = os.path.join(shared, "windows.exe")
check(ran.returncode == 0 and os.path.exists(windows_out) and open(windows_out, "rb").read() == open(out, "rb").read(),
      "the Windows packer under Wine writes the same bytes (%d: %s)" %
      (ran.returncode, ran.stderr.decode(errors="replace").strip()[-300:]))

runner = os.path.join(shared, "launcher.exe")
shutil.copy(out, runner)
os.chmod(runner, 0o755)
ran = subprocess.run([wine, "--prefix=" + prefix, runner], env=dict(os.environ, WINEDEBUG="+debugstr"),
                     capture_output=True, timeout=500)
trace = [line for line in ran.stdout.decode(errors="replace").splitlines() +
         ran.stderr.decode(errors="replace").splitlines() if "Kestrelworks launcher: " in line]
print("\n".join(trace))
check(ran.returncode == 0, "the package ended with 0 under Wine (%d)" % ran.returncode)
for step in ("archive .* written", "started", "clean-up: archive removed, tree removed"):
    check(any(re.search(step, line) for line in trace), "its trace shows '%s'" % step)
finish()
