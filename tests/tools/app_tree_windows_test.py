#!/usr/bin/env python3
# The packer's Windows reader of an application's folder against the Linux packer, on the same trees:
#   app_tree_windows_test.py PACK_PAYLOAD TOOLS_APP_TREE_PACK.exe REPO WINEPREFIX TOOLS_SWAP_FOR_LINK.exe
# A tree the launcher can install (nested folders, names in Chinese, an empty file, an empty folder)
# gives the same archive byte for byte, with one time for every entry and with the files' own times;
# a tree with a name code page 936 cannot spell and a link to a folder gives the same refusals.
# The trees are made here, on the Linux side, where a link can be made; Wine shows them to the Windows
# program through drive Z:.
import os
import shutil
import subprocess
import sys

pack_payload, windows_tool, repo, prefix, swapper = sys.argv[1:6]
failures = []


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what)
    if not condition:
        failures.append(what)


def windows(path):
    return "Z:" + path.replace("/", "\\")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


shared = prefix + "-app-tree"
shutil.rmtree(shared, ignore_errors=True)
app = os.path.join(shared, "app")
# Files first, then folders, each in byte order of their UTF-8 names, Velkar.exe first of all: the
# names below sort differently by bytes, by case and by their code page 936 spelling.
write(os.path.join(app, "Velkar.exe"), b"MZ" + bytes(range(256)) * 40)
write(os.path.join(app, "b.txt"), b"lower case sorts after capitals\n")
write(os.path.join(app, "C.txt"), b"C" * 5000)
write(os.path.join(app, "说明 readme.txt"), "说明\n".encode())
write(os.path.join(app, "资源", "图片.png"), b"\x89PNG" + b"\0" * 300)
write(os.path.join(app, "资源", "空.txt"), b"")
write(os.path.join(app, "资源", "深", "层", "deep.bin"), os.urandom(20000))
write(os.path.join(app, "a-folder", "x.dat"), b"x")
os.makedirs(os.path.join(app, "zz empty"))
# The files' own times, distinct and odd (the archive's DOS time has 2-second steps, the NTFS block
# whole seconds), the folders' last of all so that nothing written above moves them.
stamp = 1600000001
for folder, subfolders, names in os.walk(app, topdown=False):
    for name in names:
        stamp += 3
        os.utime(os.path.join(folder, name), (stamp, stamp))
    stamp += 3
    os.utime(folder, (stamp, stamp))
subprocess.run(["chmod", "-R", "a+rwX", shared], check=True)


def linux(app_dir, out, *options):
    return subprocess.run([pack_payload, "--app", app_dir, out, *options], capture_output=True, text=True)


def on_windows(app_dir, out, *options):
    ran = subprocess.run([os.path.join(repo, "scripts", "wine-run"), "--prefix=" + prefix, windows_tool,
                          windows(app_dir), windows(out), *options], capture_output=True, timeout=500)
    return ran.returncode, ran.stdout.decode("utf-8", errors="replace"), ran.stderr.decode(errors="replace")


for options, what in ((["--time", "1700000000"], "one time for every entry"), ([], "the files' own times")):
    linux_out = os.path.join(shared, "linux.zip")
    windows_out = os.path.join(shared, "windows.zip")
    for path in (linux_out, windows_out):
        if os.path.exists(path):
            os.remove(path)
    result = linux(app, linux_out, *options)
    check(result.returncode == 0, "the Linux packer packs the tree (%s)" % result.stderr.strip()[-300:])
    code, out, err = on_windows(app, windows_out, *options)
    check(code == 0, "the Windows reader packs the tree, %s (%d: %s%s)" % (what, code, out[-300:], err[-300:]))
    same = os.path.exists(windows_out) and open(windows_out, "rb").read() == open(linux_out, "rb").read()
    check(same, "the Windows reader's archive is the Linux packer's, byte for byte, %s" % what)

# The faulty tree: what Linux refuses, Windows refuses with the same words. (A Unix link to a file
# would not do: Wine shows it as the plain file it names, so only the Linux packer could see it.)
bad = os.path.join(shared, "bad")
shutil.copytree(app, bad, symlinks=True)
write(os.path.join(bad, "表情😀.txt"), b"no code page 936 spelling\n")
os.symlink(os.path.join(bad, "资源"), os.path.join(bad, "资源 link"))
subprocess.run(["chmod", "-R", "a+rwX", shared], check=True)
result = linux(bad, os.path.join(shared, "bad-linux.zip"))
check(result.returncode == 1, "the Linux packer refuses the faulty tree")
linux_refusals = [line for line in result.stderr.splitlines() if line.startswith("refused: ")]
code, out, err = on_windows(bad, os.path.join(shared, "bad-windows.zip"))
check(code == 1 and not os.path.exists(os.path.join(shared, "bad-windows.zip")),
      "the Windows reader refuses the faulty tree and writes nothing (%d: %s)" % (code, err[-300:]))


def as_packer_says(name):
    # The packer's own words for a refused file: its path in the folder, then where it would install.
    top = "Velkar/"
    if name.startswith(top) and name != top:
        return name[len(top):] + " (installs as " + name.replace("/", "\\") + ")"
    return name


windows_refusals = []
for line in out.splitlines():
    fields = line.split("\t")
    if len(fields) == 3 and fields[0] == "refused":
        windows_refusals.append("refused: " + as_packer_says(fields[1]) + ": " + fields[2])
print("Linux:\n  " + "\n  ".join(linux_refusals) + "\nWindows:\n  " + "\n  ".join(windows_refusals))
check(len(linux_refusals) == 2, "the Linux packer refuses the link and the name, no more")
check(windows_refusals == linux_refusals, "the Windows reader's refusals are the Linux packer's")

# A file and a folder swapped for links after their folder was listed, before they are opened (the
# packer's test seam): refused, never read through. Under Wine the opens go through to the links'
# targets whatever the flags, so what refuses them there is the file id, which is no longer the listed
# one; on Windows the open lands on the link itself and its attributes say so.
swapped = os.path.join(shared, "swapped")
secret = os.path.join(shared, "secret")
write(os.path.join(swapped, "Velkar.exe"), b"MZ")
write(os.path.join(swapped, "data.txt"), b"data")
write(os.path.join(swapped, "sub", "inner.txt"), b"inner")
write(os.path.join(secret, "key.txt"), b"the secret")
subprocess.run(["chmod", "-R", "a+rwX", shared], check=True)
seam = " ".join([windows(swapper), "Velkar/", windows(os.path.join(swapped, "data.txt")),
                 windows(os.path.join(secret, "key.txt")), windows(os.path.join(swapped, "sub")), windows(secret)])
ran = subprocess.run([os.path.join(repo, "scripts", "wine-run"), "--prefix=" + prefix, windows_tool,
                      windows(swapped), windows(os.path.join(shared, "swapped.zip"))],
                     capture_output=True, timeout=500, env=dict(os.environ, PACK_PAYLOAD_TEST_SEAM=seam))
out = ran.stdout.decode("utf-8", errors="replace")
check(os.path.islink(os.path.join(swapped, "data.txt")) and os.path.islink(os.path.join(swapped, "sub")),
      "the seam swapped the file and the folder for links")
refused = sorted(line.split("\t")[1] for line in out.splitlines() if line.startswith("refused\t"))
check(ran.returncode == 1 and refused == ["Velkar/data.txt", "Velkar/sub"],
      "the swapped file and folder are refused (%d: %s%s)" % (ran.returncode, out[-300:], ran.stderr.decode()[-300:]))
check(not os.path.exists(os.path.join(shared, "swapped.zip")), "nothing is written")

print("%d checks failed" % len(failures) if failures else "app tree on Windows: every check holds")
sys.exit(1 if failures else 0)
