"""pe-resources on the real prebuilt launcher, read back by an independent reader (pefile, from Debian):
    pe_resources_test.py PE_RESOURCES PREBUILT REPO BUILD_ICON WORK PREFIX PE_RESOURCES_EXE ARCHIVE
- with the inputs the build gives the resource compiler (its icon, version and manifest), every resource
  comes out byte for byte as the resource compiler wrote it, and so does packing with the defaults;
- packed with ARCHIVE, an icon of 16, 32, 48 and a 256-pixel PNG, a version and texts of its own and
  another manifest, pefile reads those back, the archive last where its record says, the checksum right;
- images it cannot rewrite are refused with one line and exit 1 (a packed launcher among them), a bad
  option with exit 2;
- the packed launcher (its resource section grown, the relocations moved) does its job under Wine;
- the same program built for Windows, run under Wine, packs the same bytes.
"""
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys

import pefile

tool, launcher, repo, build_icon, work, prefix, windows_tool, archive = sys.argv[1:9]
sys.path.insert(0, os.path.join(repo, "tests", "package"))
import icons  # noqa: E402  (the packager tests' icon maker)

os.makedirs(work, exist_ok=True)
failures = []


def check(condition, what):
    print(("ok:     " if condition else "FAILED: ") + what)
    if not condition:
        failures.append(what)


def resources(path):
    """{(type, name, language): bytes} and the pefile object."""
    pe = pefile.PE(path)
    out = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                d = lang.data.struct
                key = (t.id if t.name is None else str(t.name), n.id if n.name is None else str(n.name), lang.id)
                out[key] = pe.get_data(d.OffsetToData, d.Size)
    return out, pe


def run(*args):
    return subprocess.run([tool, *args], capture_output=True, text=True)


original, original_pe = resources(launcher)
fixed = original_pe.VS_FIXEDFILEINFO[0]
version = "%d.%d.%d.%d" % (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16,
                           fixed.FileVersionLS & 0xFFFF)
manifest = os.path.join(repo, "launcher", "launcher.manifest")

# The build's own inputs give the resource compiler's bytes.
same = os.path.join(work, "same.exe")
if os.path.exists(build_icon):
    result = run(launcher, same, "--version", version, "--icon", build_icon, "--manifest", manifest)
    check(result.returncode == 0, "the build's inputs are written (%s)" % result.stderr.strip())
    rewritten, _ = resources(same)
    check(rewritten.keys() == original.keys(), "the same resources, in the same languages")
    for key in original:
        check(rewritten.get(key) == original[key], "resource %s: the resource compiler's bytes" % (key,))
    defaults = os.path.join(work, "defaults.exe")
    result = run("pack", launcher, archive, defaults)
    check(result.returncode == 0, "packed with the defaults (%s)" % result.stderr.strip())
    packed, _ = resources(defaults)
    record_key = (pefile.RESOURCE_TYPE["RT_RCDATA"], "KESTREL_PAYLOAD", 1033)
    check(packed.keys() == original.keys() | {record_key}, "packing adds the archive's record alone")
    for key in original:
        check(packed.get(key) == original[key], "packed with the defaults, resource %s: the resource compiler's "
              "bytes" % (key,))
else:
    print("note: no %s (the build was given an icon of its own): the comparison with the build's is left out" % build_icon)

# An icon, a version, texts and a manifest of the test's own.
images = [(16, 32, icons.bitmap(16)), (32, 32, icons.bitmap(32)), (48, 8, icons.bitmap(48, 8)), (256, 32, icons.png(256))]
icon_path = os.path.join(work, "app.ico")
with open(icon_path, "wb") as f:
    f.write(icons.icon(images))
own_manifest = os.path.join(work, "app.manifest")
manifest_bytes = open(manifest, "rb").read().replace(b"<description>", b"<!-- repacked --><description>")
with open(own_manifest, "wb") as f:
    f.write(manifest_bytes)
out = os.path.join(work, "launcher.exe")
result = run("pack", launcher, archive, out, "--icon", icon_path, "--version", "2.3.4.5", "--manifest", own_manifest,
             "--text", "CompanyName=Kestrelworks", "--text", "LegalCopyright=© 2026 Kestrelworks",
             "--text", "ProductVersion=2.3-beta")
check(result.returncode == 0, "packed with an icon, a version, texts and a manifest (%s)" % result.stderr.strip())
written, pe = resources(out)

group = written.get((pefile.RESOURCE_TYPE["RT_GROUP_ICON"], "DEFAULT_ICON", 1033))
check(group is not None, "DEFAULT_ICON is there")
if group:
    _, kind, count = struct.unpack_from("<HHH", group, 0)
    entries = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(count)]
    check((kind, count) == (1, 4), "the group holds 4 icon images")
    check([(e[0] or 256, e[1] or 256) for e in entries] == [(16, 16), (32, 32), (48, 48), (256, 256)],
          "sizes 16, 32, 48 and 256 (width and height 0)")
    for (size, bits, data), entry in zip(images, entries):
        icon = written.get((pefile.RESOURCE_TYPE["RT_ICON"], entry[7], 1033))
        check(icon == data and entry[6] == len(data) and entry[5] == bits,
              "the %d-pixel image is the file's, its size and bits in the group" % size)
    check(written[(pefile.RESOURCE_TYPE["RT_ICON"], entries[3][7], 1033)].startswith(b"\x89PNG"), "the 256 image a PNG")
    icon_ids = {key[1] for key in written if key[0] == pefile.RESOURCE_TYPE["RT_ICON"]}
    check(icon_ids == {e[7] for e in entries}, "the old images are gone, no icon left unnamed")

info = pe.VS_FIXEDFILEINFO[0]
check((info.FileVersionMS, info.FileVersionLS, info.ProductVersionMS, info.ProductVersionLS) ==
      (0x20003, 0x40005, 0x20003, 0x40005), "file and product version 2.3.4.5")
texts, translations = {}, []
for file_info in pe.FileInfo[0]:
    if file_info.Key == b"StringFileInfo":
        for table in file_info.StringTable:
            check(table.LangID == b"080403a8", "the string table is 080403a8")
            texts.update({k.decode(): v.decode() for k, v in table.entries.items()})
    if file_info.Key == b"VarFileInfo":
        for var in file_info.Var:
            translations.append(var.entry)
check(texts == {"FileDescription": "檀溪舟楫", "FileVersion": "2.3.4.5", "ProductName": "檀溪舟楫",
                "ProductVersion": "2.3-beta", "OriginalFilename": "launcher.exe", "CompanyName": "Kestrelworks",
                "LegalCopyright": "© 2026 Kestrelworks"}, "the version texts (%r)" % texts)
check(translations == [{b"Translation": "0x0804 0x03a8"}], "the translation 0x0804, code page 936 (%r)" % translations)
check(written.get((pefile.RESOURCE_TYPE["RT_MANIFEST"], 1, 1033)) == manifest_bytes, "the manifest's bytes")
check(pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum() != 0, "the checksum is pefile's generate_checksum()")
check(len(pe.DIRECTORY_ENTRY_BASERELOC) == len(original_pe.DIRECTORY_ENTRY_BASERELOC), "the relocations read back")
rsrc, reloc, payload = pe.sections[-3], pe.sections[-2], pe.sections[-1]
check([s.Name.rstrip(b"\0") for s in pe.sections[-3:]] == [b".rsrc", b".reloc", b".payload"],
      "the archive's section .payload last, after .rsrc and .reloc")
check(reloc.VirtualAddress > original_pe.sections[-2].VirtualAddress, "the section grew and .reloc moved after it")
check(pe.OPTIONAL_HEADER.SizeOfImage ==
      payload.VirtualAddress + (payload.Misc_VirtualSize + 0xFFF) // 0x1000 * 0x1000,
      "the image size follows the last section")
zip_bytes = open(archive, "rb").read()
check(payload.Characteristics == 0x40000040 and payload.get_data()[:8 + len(zip_bytes)] ==
      struct.pack("<II", 1, len(zip_bytes)) + zip_bytes, "the section holds the array's header and the archive")
record = written.get((pefile.RESOURCE_TYPE["RT_RCDATA"], "KESTREL_PAYLOAD", 1033), b"")
check(record == b"bytes=%d\nsha256=%s\naddress=0x%08X\n" %
      (len(zip_bytes), hashlib.sha256(zip_bytes).hexdigest().encode(), payload.VirtualAddress + 8),
      "the record gives the archive's size, SHA-256 and address (%r)" % record)

# Images it cannot rewrite, and mistakes on the command line.
image = bytearray(open(launcher, "rb").read())
pe_at = struct.unpack_from("<I", image, 0x3C)[0]
directories = pe_at + 24 + 96
signed = bytearray(image)
struct.pack_into("<II", signed, directories + 4 * 8, len(image) - 8, 8)  # a certificate table
plus = bytearray(image)
struct.pack_into("<H", plus, pe_at + 24, 0x20B)
cases = [("signed", signed, "certificate table"), ("pe32plus", plus, "PE32+"),
         ("truncated", image[: len(image) // 2], "outside the file"), ("overlay", image + b"x" * 100, "follow the last"),
         ("packed", open(out, "rb").read(), "a packed launcher")]
for name, data, words in cases:
    path = os.path.join(work, name + ".exe")
    with open(path, "wb") as f:
        f.write(data)
    result = run(path, os.path.join(work, name + "-out.exe"), "--version", "1.2.3.4")
    lines = result.stderr.strip().splitlines()
    check(result.returncode == 1 and len(lines) == 1 and words in lines[0] and
          not os.path.exists(os.path.join(work, name + "-out.exe")), "%s: refused (%s)" % (name, result.stderr.strip()))
signed_path = os.path.join(work, "signed.exe")
result = run("pack", signed_path, archive, os.path.join(work, "signed-packed.exe"))
check(result.returncode == 1 and "signed" in result.stderr and
      not os.path.exists(os.path.join(work, "signed-packed.exe")), "pack refuses a signed image (%s)" %
      result.stderr.strip())
for args in (["--version", "1.2.3"], ["--version", "1.2.3.65536"], ["--text", "=x"], ["--bogus", "1"], ["--icon"]):
    for command in ([launcher, os.path.join(work, "bad.exe")], ["pack", launcher, archive, os.path.join(work, "bad.exe")]):
        result = run(*command, *args)
        check(result.returncode == 2, "%s: exit 2 (%s)" % (" ".join(command[:1] + args),
                                                           result.stderr.strip().splitlines()[0]))
result = run("pack", launcher, archive)
check(result.returncode == 2, "pack without an output: exit 2")
for args in (["--setting", "LAUNCHER_COMPANY"], ["--setting", "LAUNCHER_COMPANY", "--version", "1.2.3.4"],
             ["--setting", "--icon", "x.ico"]):
    result = run("pack", launcher, archive, os.path.join(work, "bad.exe"), *args)
    check(result.returncode == 2 and not os.path.exists(os.path.join(work, "bad.exe")),
          "pack %s: exit 2 (%s)" % (" ".join(args), result.stderr.strip()))

# The build's settings (launcher/CMakeLists.txt): an icon or a text that the packer would refuse stops the
# pack step with one line naming the setting, and the launcher an earlier pack left there is removed, so
# that no launcher with the earlier inputs stays to be taken for the new one; without --setting, pack takes
# the text as it is (a name of its own, a character code page 936 lacks).
bad_icon = os.path.join(work, "bad.ico")
with open(bad_icon, "wb") as f:
    f.write(icons.icon([(16, 32, icons.bitmap(16))]) + b"\0\0\0\0")
bad_out = os.path.join(work, "bad.exe")
for args, said in (
        (["--setting", "LAUNCHER_ICON_FILE", "--icon", bad_icon],
         "pe-resources: LAUNCHER_ICON_FILE %s: 4 bytes after the last image belong to no image" % bad_icon),
        (["--setting", "LAUNCHER_ICON_FILE", "--icon", os.path.join(work, "missing.ico")],
         "pe-resources: LAUNCHER_ICON_FILE %s: cannot be read" % os.path.join(work, "missing.ico")),
        (["--setting", "LAUNCHER_COPYRIGHT", "--text", "LegalCopyright=\u00a9 2026 Kestrelworks"],
         "pe-resources: LAUNCHER_COPYRIGHT holds '\u00a9' (U+00A9), which code page 936 cannot spell: Windows "
         "reads these texts in that code page; write (C) instead"),
        (["--setting", "LAUNCHER_COMPANY", "--text", "CompanyName= Kestrelworks"],
         "pe-resources: LAUNCHER_COMPANY begins or ends with a space")):
    with open(bad_out, "w") as f:
        f.write("from an earlier run")
    result = run("pack", launcher, archive, bad_out, "--icon", icon_path, *args)
    check(result.returncode == 1 and result.stderr.strip() == said and not os.path.exists(bad_out),
          "pack %s: refused naming the setting (%s)" % (args[1], result.stderr.strip()))
result = run("pack", launcher, archive, bad_out, "--setting", "LAUNCHER_COMPANY", "--text", "CompanyName=Kestrelworks",
             "--text", "LegalCopyright=\u00a9 2026")
check(result.returncode == 0 and os.path.exists(bad_out), "pack with a good setting (%s)" % result.stderr.strip())

# The rewritten launcher installs, starts and removes the demo application under Wine, and ends with 0.
runner = prefix + "-pe-resources/launcher.exe"
os.makedirs(os.path.dirname(runner), exist_ok=True)
shutil.copy(out, runner)
subprocess.run(["chmod", "-R", "a+rX", os.path.dirname(runner)], check=True)
env = dict(os.environ, WINEDEBUG="+debugstr")
ran = subprocess.run([os.path.join(repo, "scripts", "wine-run"), "--prefix=" + prefix, runner], env=env,
                     capture_output=True, timeout=500)
trace = [line for line in ran.stdout.decode(errors="replace").splitlines() +
         ran.stderr.decode(errors="replace").splitlines() if "Kestrelworks launcher: " in line]
print("\n".join(trace))
check(ran.returncode == 0, "the packed launcher ended with 0 (%d)" % ran.returncode)
for step in ("started", "clean-up: archive removed, tree removed"):
    check(any(step in line for line in trace), "its trace shows '%s'" % step)

# The Windows build of the same sources, under Wine, with the same inputs (ASCII texts: a console
# program takes its arguments in the ANSI code page). Its files lie where the test user can reach them.
shared = prefix + "-pe-resources/windows"
shutil.rmtree(shared, ignore_errors=True)
os.makedirs(shared)
for path in (launcher, icon_path, own_manifest, archive):
    shutil.copy(path, shared)
subprocess.run(["chmod", "-R", "a+rwX", shared], check=True)
def windows(name):
    return "Z:" + os.path.join(shared, name).replace("/", "\\")
options = ["--icon", "app.ico", "--version", "2.3.4.5", "--manifest", "app.manifest", "--text", "CompanyName=Kestrelworks"]
on_windows = [windows(value) if value.startswith("app.") else value for value in options]
linux_out = os.path.join(work, "linux.exe")
result = run("pack", os.path.join(shared, os.path.basename(launcher)), os.path.join(shared, os.path.basename(archive)),
             linux_out,
             *[os.path.join(shared, value) if value.startswith("app.") else value for value in options])
check(result.returncode == 0, "the Linux build packs (%s)" % result.stderr.strip())
ran = subprocess.run([os.path.join(repo, "scripts", "wine-run"), "--prefix=" + prefix, windows_tool, "pack",
                      windows(os.path.basename(launcher)), windows(os.path.basename(archive)), windows("windows.exe"),
                      *on_windows],
                     capture_output=True, timeout=500)
check(ran.returncode == 0, "the Windows build packs under Wine (%s)" % ran.stderr.decode(errors="replace").strip()[-300:])
windows_out = os.path.join(shared, "windows.exe")
check(os.path.exists(windows_out) and open(windows_out, "rb").read() == open(linux_out, "rb").read(),
      "the Windows build's launcher is the Linux build's, byte for byte")

print("%d checks failed" % len(failures) if failures else "pe-resources: every check holds")
sys.exit(1 if failures else 0)
