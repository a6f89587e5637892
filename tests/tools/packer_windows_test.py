#!/usr/bin/env python3
# The packer built for Windows against the one built for Linux: the same inputs give the same bytes.
#   packer_windows_test.py LINUX_PACKER WINDOWS_PACKER.exe PREBUILT_LAUNCHER.exe|none REPO WINEPREFIX
# Both pack the same application folder, and then the same archive (--zip), with the same prebuilt
# launcher, SOURCE_DATE_EPOCH, icon (four sizes, a 256-pixel PNG among them), version and texts; the
# packed launchers must be equal byte for byte, --verify must answer the same for them, and --help must
# say the same on both. The folder and the
# output have Chinese names, which the Windows packer takes from its UTF-16 command line; its files lie
# where the test user who runs Wine can reach them. A build without the prebuilt launcher packs the
# packer tests' stand-in for it (tests/package/tiny_prebuilt.py), and says so.
import os
import shutil
import subprocess
import sys

linux_packer, windows_packer, prebuilt, repo, prefix = sys.argv[1:6]
sys.path.insert(0, os.path.join(repo, "tests", "package"))
import icons  # noqa: E402  (the packager tests' icon maker)
import tiny_prebuilt  # noqa: E402  (their stand-in for the prebuilt launcher)

failures = []


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what)
    if not condition:
        failures.append(what)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def windows(path):
    return "Z:" + path.replace("/", "\\")


shared = prefix + "-packer-windows"
shutil.rmtree(shared, ignore_errors=True)
app = os.path.join(shared, "应用 app")
write(os.path.join(app, "Velkar.exe"), b"MZ" + bytes(range(256)) * 64)  # the launcher only starts it
write(os.path.join(app, "说明.txt"), "说明\n".encode())
write(os.path.join(app, "资源", "图片.png"), b"\x89PNG" + bytes(range(256)) * 30)
write(os.path.join(app, "资源", "空.txt"), b"")
write(os.path.join(app, "资源", "深", "data.bin"), os.urandom(50000))
launcher = os.path.join(shared, "launcher-prebuilt.exe")
if prebuilt != "none":
    shutil.copy(prebuilt, launcher)
else:
    print("note: this build has no prebuilt launcher: the packers pack the packer tests' stand-in for it")
    write(launcher, tiny_prebuilt.image())
images = [(16, 32, icons.bitmap(16)), (32, 32, icons.bitmap(32)), (48, 8, icons.bitmap(48, 8)), (256, 32, icons.png(256))]
icon = os.path.join(shared, "app.ico")
write(icon, icons.icon(images))
os.makedirs(os.path.join(shared, "输出"))
subprocess.run(["chmod", "-R", "a+rwX", shared], check=True)

texts = ["--version", "2.3.4.5", "--product-version", "2.3.4-beta", "--company", "Kestrelworks",
         "--product-name", "檀溪舟楫 测试", "--description", "檀溪舟楫", "--copyright", "(C) 2026 Kestrelworks"]
env = dict(os.environ, SOURCE_DATE_EPOCH="1700000000")


def linux(*args):
    return subprocess.run([linux_packer, *args], capture_output=True, env=env)


def on_windows(*args):
    return subprocess.run([os.path.join(repo, "scripts", "wine-run"), "--prefix=" + prefix, windows_packer,
                           *args], capture_output=True, env=env, timeout=500)


def said(result):
    return (result.stdout + result.stderr).decode(errors="replace").strip()[-400:]


def both(what, inputs):
    # inputs: the packer's leading arguments as Linux paths; the Windows packer gets them on drive Z:.
    linux_out = os.path.join(shared, "输出", "出 linux.exe")
    windows_out = os.path.join(shared, "输出", "出 windows.exe")
    common = ["--launcher", launcher, "--icon", icon]
    result = linux(*inputs, linux_out, *common, *texts)
    check(result.returncode == 0, "the Linux packer packs %s (%s)" % (what, said(result)))
    result = on_windows(*[windows(a) if a.startswith("/") else a for a in inputs], windows(windows_out),
                        *[windows(a) if a.startswith("/") else a for a in common], *texts)
    check(result.returncode == 0, "the Windows packer packs %s under Wine (%s)" % (what, said(result)))
    same = (os.path.exists(linux_out) and os.path.exists(windows_out) and
            open(linux_out, "rb").read() == open(windows_out, "rb").read())
    check(same, "the two packed launchers of %s are the same, byte for byte" % what)
    # --verify reads each back with the same answers, its own path aside.
    linux_verify = linux("--verify", linux_out)
    windows_verify = on_windows("--verify", windows(windows_out))

    def answer(result, path):
        return (result.returncode, result.stdout.decode().replace("\r\n", "\n").replace(path, "OUT.exe"),
                result.stderr.decode().replace("\r\n", "\n").replace(path, "OUT.exe"))
    linux_answer = answer(linux_verify, linux_out)
    check(linux_answer[0] == 0, "--verify holds for the Linux packer's launcher of %s (%s)" % (what, said(linux_verify)))
    check(answer(windows_verify, windows(windows_out)) == linux_answer,
          "--verify under Wine answers as on Linux for %s (%s)" % (what, said(windows_verify)))
    for path in (linux_out, windows_out):
        if os.path.exists(path):
            os.remove(path)


both("the application folder", [app])
archive = os.path.join(shared, "app.zip")
result = linux("--app", app, archive, "--time", "1700000000")
check(result.returncode == 0, "the Linux packer makes the archive (%s)" % said(result))
subprocess.run(["chmod", "a+rw", archive], check=True)
both("the archive", ["--zip", archive])

# --help: the same text (a Windows console program ends its lines with CR LF).
linux_help = linux("--help")
windows_help = on_windows("--help")
check(linux_help.returncode == windows_help.returncode == 0, "--help answers 0 on both")
linux_text = (linux_help.stdout + linux_help.stderr).decode()
windows_text = (windows_help.stdout + windows_help.stderr).decode().replace("\r\n", "\n")
check(linux_text == windows_text and "--launcher" in linux_text, "--help says the same on both")

print("%d checks failed" % len(failures) if failures else "the Windows packer: every check holds")
sys.exit(1 if failures else 0)
