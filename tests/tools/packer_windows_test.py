#!/usr/bin/env python3
# The packer built for Windows against the one built for Linux: the same inputs give the same bytes.
#   packer_windows_test.py LINUX_PACKER WINDOWS_PACKER.exe PREBUILT_LAUNCHER.exe|none REPO WINEPREFIX [win64]
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
arch = sys.argv[6] if len(sys.argv) > 6 else "win32"  # win64: the 64-bit prefix, the packer under WoW64
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


def linux_merged(*args):
    # Standard error into standard output, as scripts/wine-run gives a Windows program's (std::cerr is
    # tied to std::cout, so the two interleave alike).
    return subprocess.run([linux_packer, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)


def on_windows(*args):
    return subprocess.run([os.path.join(repo, "scripts", "wine-run"), "--prefix=" + prefix, "--arch=" + arch,
                           windows_packer, *args], capture_output=True, env=env, timeout=500)


def text(result):
    # What a program wrote, a Windows program's CR LF read as LF.
    return (result.stdout + (result.stderr or b"")).decode().replace("\r\n", "\n")


def said(result):
    return (result.stdout + (result.stderr or b"")).decode(errors="replace").strip()[-400:]


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
    linux_verify = linux_merged("--verify", linux_out)
    windows_verify = on_windows("--verify", windows(windows_out))

    def answer(result, path):
        return result.returncode, text(result).replace(path, "OUT.exe")
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

# A launcher signed on Linux (osslsigncode) is read back alike on both, the signature's RSA and the
# chain checked by the packer's own code, built once for 64 bits and once for 32: as signed, with the
# signer pinned by another fingerprint, and with one byte of its code changed.
key, cert, pfx = (os.path.join(shared, name) for name in ("key.pem", "cert.pem", "cert.pfx"))
password = os.path.join(shared, "password.txt")
write(password, b"secret\n")
subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-keyout", key, "-out", cert, "-days", "3650",
                "-nodes", "-subj", "/CN=Kestrelworks Test Signer"], check=True, capture_output=True)
subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx, "-passout", "pass:secret"],
               check=True, capture_output=True)
fingerprint = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", cert], check=True,
                             capture_output=True, text=True).stdout.strip().split("=")[1]
signed = os.path.join(shared, "输出", "signed.exe")
result = linux(app, signed, "--launcher", launcher, "--icon", icon, "--sign", pfx, "--password-file", password, *texts)
check(result.returncode == 0, "the Linux packer packs and signs (%s)" % said(result))
tampered = os.path.join(shared, "输出", "tampered.exe")
data = bytearray(open(signed, "rb").read())
data[0x400] ^= 1  # the first byte of the first section
write(tampered, bytes(data))
subprocess.run(["chmod", "-R", "a+rwX", shared], check=True)
for exe, pins, holds, what in ((signed, ["--signer", fingerprint], True, "signed, the signer pinned"),
                               (signed, ["--signer", "00" * 32], False, "pinned to another signer"),
                               (tampered, [], False, "changed after signing")):
    options = ["--ca", cert, "--require-signature", *pins]
    on_linux = linux_merged("--verify", exe, *options)
    under_wine = on_windows("--verify", windows(exe), *[windows(o) if o.startswith("/") else o for o in options])
    replaced = [(exe, "OUT.exe"), (cert, "ROOT.pem")]

    def answer(result, spelled):
        said_here = text(result)
        for path, name in replaced:
            said_here = said_here.replace(spelled(path), name)
        return result.returncode, said_here
    check((on_linux.returncode == 0) == holds, "--verify of the launcher %s: %s on Linux (%s)"
          % (what, "holds" if holds else "fails", said(on_linux)))
    check(answer(under_wine, windows) == answer(on_linux, lambda path: path),
          "--verify of the launcher %s answers alike under Wine (%s)" % (what, said(under_wine)))

# Signing is osslsigncode's, on Linux: the Windows packer refuses --sign, writes nothing, and says the
# signtool command instead, a path with a blank in quotes.
refused_out = os.path.join(shared, "输出", "not signed.exe")
result = on_windows(windows(app), windows(refused_out), "--launcher", windows(launcher), "--sign", windows(pfx),
                    "--password-file", windows(password))
command = "signtool sign /fd SHA256 /f %s /p PASSWORD \"%s\"" % (windows(pfx), windows(refused_out))
check(result.returncode == 1 and command in text(result) and not os.path.exists(refused_out),
      "the Windows packer refuses --sign with the signtool command and writes nothing (%s)" % said(result))

# --help: the same text (a Windows console program ends its lines with CR LF).
linux_help = linux("--help")
windows_help = on_windows("--help")
check(linux_help.returncode == windows_help.returncode == 0, "--help answers 0 on both")
linux_text = (linux_help.stdout + linux_help.stderr).decode()
windows_text = (windows_help.stdout + windows_help.stderr).decode().replace("\r\n", "\n")
check(linux_text == windows_text and "--launcher" in linux_text, "--help says the same on both")

print("%d checks failed" % len(failures) if failures else "the Windows packer: every check holds")
sys.exit(1 if failures else 0)
