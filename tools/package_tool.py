#!/usr/bin/env python3
"""The packager's checks around a launcher, run by scripts/package.sh on the build machine:

    package_tool.py icon FILE.ico
        Checks that FILE.ico is an icon the resource compiler and Windows take whole; a refusal is one line
        and exit 1. A line says which of the sizes Explorer shows most (16, 32, 48) it lacks.
    package_tool.py text NAME VALUE
        Checks a text of the version block (NAME is the option or setting it came from: --company,
        --product-name, --description, --copyright, --product-version, or LAUNCHER_COMPANY and the
        like) and prints it as the resource script's string holds it; a refusal is one line and exit 1.
    package_tool.py verify LAUNCHER.exe --packer PACK_PAYLOAD [--ca ROOT.pem] [--require-signature]
                           [--report FILE.json] [--as PATH] [--input KEY=VALUE]... [--step NAME=SECONDS]...
        Reads a built launcher without running it: the program's kind, the version block, the icon, the
        manifest, the embedded archive (found by the record the build leaves beside it, then checked by
        pack-payload --check) and the Authenticode signature (osslsigncode). Prints what it found and each
        failing point; exit 0 when all holds, 1 otherwise. --report writes the same as one JSON document,
        with the inputs and the steps' times package.sh passes (fields: README, "Package your application").
        --as names the exe in what is printed and reported: package.sh checks the exe under a temporary
        name before it moves it into place.
"""
import hashlib
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

REPORT_FORMAT = 1
EXPLORER_SIZES = (16, 32, 48)
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# What the build puts in every launcher it makes: the version block's original file name, and a record
# of the embedded archive's size and SHA-256 (cmake/payload_record.cmake), under this resource name.
ORIGINAL_FILENAME = "launcher.exe"
PAYLOAD_RECORD = "KESTREL_PAYLOAD"
RT_ICON, RT_GROUP_ICON, RT_RCDATA, RT_VERSION, RT_MANIFEST = 3, 14, 10, 16, 24


class Refused(Exception):
    """A file that is not what it must be; the text says what is wrong, in one line."""


# ---- The version block's texts -------------------------------------------------------------------

# The product version is a short tag ("1.2.3-beta"); the other texts are a sentence at most.
TEXT_LIMITS = {"--product-version": 64, "LAUNCHER_PRODUCT_VERSION": 64}
TEXT_LIMIT = 256


def version_text(name, value):
    """The text as a string of the resource script (quotes doubled, backslashes escaped); raises Refused.
    The block stores UTF-16, and programs that read it through the ANSI functions get code page 936, so a
    text holds only characters that code page spells, and no control characters."""
    limit = TEXT_LIMITS.get(name, TEXT_LIMIT)
    if not value:
        raise Refused("%s is empty: leave the option out to keep the default" % name)
    if value != value.strip(" "):
        raise Refused("%s begins or ends with a space" % name)
    if len(value) > limit:
        raise Refused("%s takes at most %d characters, not %d" % (name, limit, len(value)))
    for c in value:
        if ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0:
            raise Refused("%s holds the control character U+%04X: a version text is one line of printable "
                          "characters" % (name, ord(c)))
        try:
            if c.encode("gbk").decode("gbk") != c:
                raise UnicodeError
        except UnicodeError:
            stand_in = {"\u00a9": "(C)", "\u00ae": "(R)", "\u2122": "(TM)"}.get(c)
            raise Refused("%s holds %r (U+%04X), which code page 936 cannot spell: Windows reads these texts in "
                          "that code page%s" % (name, c, ord(c), "; write %s instead" % stand_in if stand_in else ""))
    return value.replace("\\", "\\\\").replace('"', '""')


def check_text(name, value):
    # The text's bytes as given, read as UTF-8 whatever this machine's locale, and written back as UTF-8,
    # the resource script's encoding.
    try:
        escaped = version_text(name, os.fsencode(value).decode("utf-8"))
    except UnicodeDecodeError:
        print("%s is not UTF-8 text" % name, file=sys.stderr)
        return 1
    except Refused as e:
        print(e, file=sys.stderr)
        return 1
    sys.stdout.buffer.write(escaped.encode("utf-8") + b"\n")
    return 0


# ---- Icons -------------------------------------------------------------------------------------------

def icon_images(data):
    """The images of an .ico file as (width, height, kind, offset, size), kind "PNG" or "N-bit"; raises
    Refused naming the first fault. Every image must lie within the file, whole (a DIB's pixels and mask as
    its header counts them), and the directory and the images must cover the file with nothing else."""
    if data.startswith(PNG_SIGNATURE):
        raise Refused("a PNG file, not an icon (.ico): put the PNG image in an .ico file")
    if len(data) < 6:
        raise Refused("%d bytes: too short for an icon's header (6 bytes)" % len(data))
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if reserved != 0 or kind not in (1, 2):
        raise Refused("not an icon (.ico): its header is not an icon's")
    if kind == 2:
        raise Refused("a cursor (.cur), not an icon (.ico)")
    if count == 0:
        raise Refused("holds no image")
    directory_end = 6 + 16 * count
    if directory_end > len(data):
        raise Refused("its directory of %d images runs past the end of the file (%d of %d bytes)" %
                      (count, directory_end, len(data)))
    images = []
    for i in range(count):
        width, height, _, _, _, _, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        width, height = width or 256, height or 256
        name = "image %d (%d x %d)" % (i + 1, width, height)
        if size == 0:
            raise Refused("%s is empty" % name)
        if offset < directory_end:
            raise Refused("%s starts inside the directory (at byte %d)" % (name, offset))
        if offset + size > len(data):
            raise Refused("%s runs past the end of the file (bytes %d to %d of %d)" %
                          (name, offset, offset + size, len(data)))
        image = data[offset:offset + size]
        if image.startswith(PNG_SIGNATURE):
            # Vista and later read PNG images; the size is the PNG's own header's (IHDR).
            if len(image) < 33 or image[12:16] != b"IHDR":
                raise Refused("%s is a PNG image without its header (IHDR)" % name)
            png_width, png_height = struct.unpack_from(">II", image, 16)
            if (png_width, png_height) != (width, height):
                raise Refused("%s holds a PNG image of %d x %d" % (name, png_width, png_height))
            kind_text = "PNG"
        else:
            if len(image) < 40:
                raise Refused("%s is neither a PNG image nor a bitmap (%d bytes)" % (name, size))
            header, dib_width, dib_height, planes, bits, compression, _, _, _, used = struct.unpack_from(
                "<IiiHHIIiiI", image)
            if header not in (40, 108, 124) or planes != 1:
                raise Refused("%s is neither a PNG image nor a bitmap" % name)
            if (dib_width, dib_height) != (width, 2 * height):
                raise Refused("%s holds a bitmap of %d x %d (an icon's is %d x %d: the picture and its mask)" %
                              (name, dib_width, dib_height, width, 2 * height))
            if bits not in (1, 4, 8, 16, 24, 32) or compression not in (0, 3):
                raise Refused("%s is a bitmap of %d bits, compression %d: icons take 1, 4, 8, 16, 24 or 32 bits, "
                              "uncompressed" % (name, bits, compression))
            colours = used or (1 << bits if bits <= 8 else 0)
            masks = 12 if compression == 3 and header == 40 else 0
            mask = (width + 31) // 32 * 4 * height
            need = header + masks + 4 * colours + (width * bits + 31) // 32 * 4 * height + mask
            if bits == 32 and need - mask <= size < need:
                # Many favicon writers leave the mask out beside the alpha channel, but Windows reads an icon
                # bitmap as picture and mask whatever its depth, and draws with the mask in places.
                raise Refused("%s is a 32-bit bitmap without its mask (the 1-bit AND mask that follows the "
                              "picture): Windows requires it beside the alpha channel; save the icon again "
                              "from an icon editor that writes the mask, or with its images as PNG" % name)
            if need > size:
                raise Refused("%s is cut short: its picture and mask need %d bytes, the directory gives it %d" %
                              (name, need, size))
            kind_text = "%d-bit" % bits
        images.append((width, height, kind_text, offset, size))
    covered = directory_end
    for width, height, _, offset, size in sorted(images, key=lambda image: image[3]):
        if offset < covered:
            raise Refused("image (%d x %d) at byte %d overlaps another part of the file" % (width, height, offset))
        if offset > covered:
            raise Refused("bytes %d to %d belong to no image" % (covered, offset))
        covered = offset + size
    if covered != len(data):
        raise Refused("%d bytes after the last image belong to no image" % (len(data) - covered))
    return images


def check_icon(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        print("%s: cannot read it: %s" % (path, e.strerror), file=sys.stderr)
        return 1
    try:
        images = icon_images(data)
    except Refused as e:
        print("%s: %s" % (path, e), file=sys.stderr)
        return 1
    present = {(w, h) for w, h, _, _, _ in images}
    lacking = ["%d x %d" % (s, s) for s in EXPLORER_SIZES if (s, s) not in present]
    shown = ", ".join("%d x %d %s" % (w, h, kind) for w, h, kind, _, _ in images)
    print("Icon %s: %d image%s (%s)" % (path, len(images), "" if len(images) == 1 else "s", shown))
    if lacking:
        print("  note: no %s image: Explorer scales another one for %s" %
              (" or ".join(lacking), "that size" if len(lacking) == 1 else "those sizes"))
    return 0


# ---- The program file ------------------------------------------------------------------------------

class Program:
    """A PE32 file's headers, sections and resources, read from its bytes; raises Refused when the bytes
    are not a 32-bit Windows GUI program."""

    def __init__(self, data):
        self.data = data
        if len(data) < 64 or data[:2] != b"MZ":
            raise Refused("not a Windows program (no MZ header)")
        pe = struct.unpack_from("<I", data, 60)[0]
        if pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
            raise Refused("not a Windows program (no PE header)")
        machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        if machine != 0x14C or optional + optional_size > len(data) or \
                struct.unpack_from("<H", data, optional)[0] != 0x10B:
            raise Refused("not a 32-bit Windows program (PE32 for x86)")
        if struct.unpack_from("<H", data, optional + 68)[0] != 2:
            raise Refused("not a GUI program (the launcher's subsystem is the Windows GUI)")
        directories = struct.unpack_from("<I", data, optional + 92)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i) for i in range(min(directories, 16))]
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            name, virtual_size, address, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, at)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), address, max(virtual_size, raw_size),
                                  raw_offset, raw_size))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def at_address(self, address, size):
        for _, start, length, raw_offset, raw_size in self.sections:
            if start <= address and address + size <= start + min(length, raw_size):
                return self.data[raw_offset + address - start:raw_offset + address - start + size]
        raise Refused("a resource lies outside the program's sections")

    def resources(self):
        """{(type, name): bytes} of the first language of each resource; a name is an id or a text."""
        address, size = self.directory(2)
        if not size:
            return {}
        tree = self.at_address(address, size)

        def entries(offset):
            named, ids = struct.unpack_from("<HH", tree, offset + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", tree, offset + 16 + 8 * i)
                if key & 0x80000000:
                    length = struct.unpack_from("<H", tree, key & 0x7FFFFFFF)[0]
                    start = (key & 0x7FFFFFFF) + 2
                    key = tree[start:start + 2 * length].decode("utf-16-le")
                yield key, target

        found = {}
        for kind, names in entries(0):
            for name, languages in entries(names & 0x7FFFFFFF):
                for _, leaf in entries(languages & 0x7FFFFFFF):
                    data_address, data_size = struct.unpack_from("<II", tree, leaf)
                    found.setdefault((kind, name), self.at_address(data_address, data_size))
                    break
        return found


def version_block(data):
    """(the fixed part's file version, its product version, {string name: text}) of a VS_VERSIONINFO."""
    def node(offset):
        length, value_length, text = struct.unpack_from("<HHH", data, offset)
        end = data.index(b"\0\0", offset + 6)
        while (end - offset - 6) % 2:
            end = data.index(b"\0\0", end + 1)
        key = data[offset + 6:end].decode("utf-16-le")
        value_at = (end + 2 + 3) & ~3
        value = data[value_at:value_at + (2 * value_length if text else value_length)]
        children_at = (value_at + len(value) + 3) & ~3
        return key, value, offset + length, children_at

    def children(start, end):
        while start < end:
            key, value, child_end, inner = node(start)
            yield key, value, inner, child_end
            start = (child_end + 3) & ~3

    _, fixed, end, inner = node(0)
    if len(fixed) < 52 or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        raise Refused("the version block has no fixed part")
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", fixed, 8)
    dotted = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {}
    for key, _, block_inner, block_end in children(inner, end):
        if key != "StringFileInfo":
            continue
        for _, _, table_inner, table_end in children(block_inner, block_end):
            for name, value, _, _ in children(table_inner, table_end):
                strings[name] = value.decode("utf-16-le").rstrip("\0")
    return dotted(file_ms, file_ls), dotted(product_ms, product_ls), strings


def find_archive(program, record):
    """(file offset, bytes) of the archive the record names: its 8-byte array header (dimension count 1,
    length) followed by a ZIP's first local header, in the program's sections."""
    match = re.fullmatch(rb"bytes=(\d+)\nsha256=([0-9a-f]{64})\n", record)
    if not match:
        raise Refused("its payload record is unreadable")
    size = int(match.group(1))
    header = struct.pack("<II", 1, size) + b"PK\x03\x04"
    found = [m.start() for m in re.finditer(re.escape(header), program.data)]
    if len(found) != 1:
        raise Refused("the archive of %d bytes its record names is %s" %
                      (size, "not in it" if not found else "in it %d times" % len(found)))
    at = found[0] + 8
    return at, program.data[at:at + size], match.group(2).decode()


# ---- The signature ---------------------------------------------------------------------------------

def run(command):
    return subprocess.run(command, capture_output=True, text=True, errors="replace")


def signature_of(exe, program, ca, scratch):
    """The Authenticode signature's state as the report's "signature" object, and its failing points."""
    if not program.directory(4)[1]:
        return {"state": "unsigned", "digest": None, "signer": None, "signing_time": None, "timestamp": None,
                "chain": None}, []
    extracted = os.path.join(scratch, "signature.pem")
    run(["osslsigncode", "extract-signature", "-pem", "-in", exe, "-out", extracted])
    certificates = run(["openssl", "pkcs7", "-in", extracted, "-print_certs"]).stdout
    if ca:
        anchors = ca
    else:
        # Without a root of the user's, the signature is checked against the certificates it carries and
        # this machine's roots: that proves the signature sound, not who stands behind it.
        anchors = os.path.join(scratch, "anchors.pem")
        system = "/etc/ssl/certs/ca-certificates.crt"
        with open(anchors, "w") as f:
            f.write(certificates)
            if os.path.exists(system):
                with open(system) as roots:
                    f.write(roots.read())
    result = run(["osslsigncode", "verify", "-CAfile", anchors, "-in", exe])
    text = result.stdout + result.stderr

    def line(pattern):
        found = re.search(pattern, text, re.M)
        return found.group(1).strip() if found else None

    current, calculated = line(r"^Current message digest\s*:\s*(\S+)"), line(r"^Calculated message digest\s*:\s*(\S+)")
    # osslsigncode names no signer once the digest fails; the certificates carried tell it still: the
    # signer's is the one that issued none of the others.
    pairs = re.findall(r"^subject=(.*)\n\s*issuer=(.*)$", certificates, re.M)
    issuers = {issuer.strip() for subject, issuer in pairs if subject.strip() != issuer.strip()}
    signers = [subject.strip() for subject, _ in pairs if subject.strip() not in issuers]
    timestamp = "none" if "Timestamp is not available" in text else line(r"^The signature is timestamped: (.+)$")
    state = {"state": "valid", "digest": "matches" if current and current == calculated else "differs",
             "signer": signers[0] if signers else None, "signing_time": line(r"^\s*Signing time: (.+)$"),
             "timestamp": timestamp,
             "chain": "verified against %s" % ca if ca else "not checked (--ca ROOT.pem checks it)"}
    points = []
    if state["digest"] != "matches":
        points.append("the signature's digest does not match the file: it was changed after it was signed")
    elif result.returncode != 0:
        error = line(r"^\s*Error: (.+)$") or line(r"^(.*error.*)$") or "osslsigncode verify failed"
        if ca:
            state["chain"] = "failed: " + error
            points.append("the signature does not verify against %s: %s" % (ca, error))
        elif "issuer certificate" in error:
            # Sound or not, it cannot be told without the root; said, not failed.
            state["chain"] = "not checked: its root is neither in the signature nor among this machine's roots"
        else:
            points.append("the signature does not verify: %s" % error)
    if points:
        state["state"] = "invalid"
    return state, points


# ---- verify --------------------------------------------------------------------------------------

def sha256(data):
    return hashlib.sha256(data).hexdigest()


def inspect(exe, packer, ca, require_signature, scratch):
    """(the report's exe, archive and signature objects, the failing points, the lines for a person)."""
    points, lines = [], []
    with open(exe, "rb") as f:
        data = f.read()
    facts = {"path": exe, "bytes": len(data), "sha256": sha256(data)}
    try:
        program = Program(data)
        resources = program.resources()
    except (Refused, struct.error, ValueError) as e:
        points.append("%s: %s" % (exe, e if isinstance(e, Refused) else "its headers are damaged"))
        return facts, None, None, points, lines
    lines.append("  program:       PE32 GUI, %s bytes, SHA-256 %s" % (format(len(data), ","), facts["sha256"]))

    version = resources.get((RT_VERSION, 1))
    try:
        if version is None:
            raise Refused("it has no version block")
        file_version, product_version, strings = version_block(version)
    except (Refused, struct.error, ValueError) as e:
        points.append("not a launcher this packager made: %s" % (e if isinstance(e, Refused) else
                                                                  "its version block is damaged"))
        file_version, product_version, strings = None, None, {}
    if version is not None and strings.get("OriginalFilename") != ORIGINAL_FILENAME:
        points.append("not a launcher this packager made: its version block names %r, not %r" %
                      (strings.get("OriginalFilename"), ORIGINAL_FILENAME))
    if file_version and strings.get("FileVersion") != file_version:
        points.append("the version block's FileVersion text %r differs from its number %s" %
                      (strings.get("FileVersion"), file_version))
    facts.update(version=file_version, product_version=product_version, product_name=strings.get("ProductName"))
    lines.append("  version:       %s (%s)" % (file_version, strings.get("ProductName")))
    # The texts beside the numbers, absent where the block has none (a launcher built before they could be
    # set has no company or copyright).
    for field, key, shown in (("product_version_text", "ProductVersion", "product ver.:"),
                              ("description", "FileDescription", "description:"),
                              ("company", "CompanyName", "company:"), ("copyright", "LegalCopyright", "copyright:")):
        facts[field] = strings.get(key)
        if facts[field] is not None:
            lines.append("  %-14s %s" % (shown, facts[field]))

    group = resources.get((RT_GROUP_ICON, "DEFAULT_ICON"))
    icons = []
    if group is None:
        points.append("it has no icon DEFAULT_ICON")
    else:
        try:
            for i in range(struct.unpack_from("<H", group, 4)[0]):
                width, height, _, _, _, bits, size, ident = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
                image = resources.get((RT_ICON, ident))
                if image is None:
                    raise Refused("its icon DEFAULT_ICON names an image it lacks")
                icons.append({"width": width or 256, "height": height or 256,
                              "kind": "PNG" if image.startswith(PNG_SIGNATURE) else "%d-bit" % bits, "bytes": size,
                              "sha256": sha256(image)})
            lines.append("  icon:          " + ", ".join("%(width)d x %(height)d %(kind)s" % i for i in icons))
        except (Refused, struct.error) as e:
            points.append(str(e) if isinstance(e, Refused) else "its icon DEFAULT_ICON is damaged")
    facts["icon"] = icons

    manifest = resources.get((RT_MANIFEST, 1))
    facts["manifest"] = None
    try:
        if manifest is None:
            raise Refused("it has no manifest")
        # Entities are no part of a manifest; refused before parsing, so none can be expanded.
        if b"<!DOCTYPE" in manifest or b"<!ENTITY" in manifest:
            raise Refused("its manifest declares a document type")
        root = ElementTree.fromstring(manifest)
        level = root.find(".//{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")
        identity = root.find("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity")
        facts["manifest"] = {"identity": identity.get("name") if identity is not None else None,
                             "execution_level": level.get("level") if level is not None else None}
        # The launcher installs under the AppData of the user who starts it: elevated, it would write
        # into the administrator's profile instead.
        if facts["manifest"]["execution_level"] != "asInvoker":
            raise Refused("its manifest asks for %s, not asInvoker" % facts["manifest"]["execution_level"])
        lines.append("  manifest:      %s, %s" % (facts["manifest"]["identity"], "asInvoker"))
    except (Refused, ElementTree.ParseError) as e:
        points.append(str(e) if isinstance(e, Refused) else "its manifest is not well-formed XML: %s" % e)

    archive = None
    record = resources.get((RT_RCDATA, PAYLOAD_RECORD))
    if record is None:
        points.append("not a launcher this packager made: it carries no payload record (%s)" % PAYLOAD_RECORD)
    else:
        try:
            offset, archive_bytes, recorded = find_archive(program, record)
            archive = {"offset": offset, "bytes": len(archive_bytes), "sha256": sha256(archive_bytes)}
            lines.append("  archive:       %s bytes at byte %s, SHA-256 %s" %
                         (format(len(archive_bytes), ","), format(offset, ","), archive["sha256"]))
            if archive["sha256"] != recorded:
                points.append("the embedded archive's bytes differ from those the build recorded (SHA-256 %s)" %
                              recorded)
            zip_path, listing_path = os.path.join(scratch, "payload.zip"), os.path.join(scratch, "listing.json")
            with open(zip_path, "wb") as f:
                f.write(archive_bytes)
            checked = run([packer, "--check", zip_path, "--json", listing_path])
            lines += ["  " + l for l in checked.stdout.splitlines()[1:]]
            if checked.returncode != 0:
                points += ["the embedded archive is refused: " + l[len("refused: "):]
                           for l in checked.stderr.splitlines() if l.startswith("refused: ")] or \
                          ["the embedded archive is refused: " + checked.stderr.strip()]
            else:
                with open(listing_path) as f:
                    listing = json.load(f)
                listing.update(archive)
                archive = listing
        except Refused as e:
            points.append("the embedded archive: %s" % e)

    signature, signature_points = signature_of(exe, program, ca, scratch)
    points += signature_points
    if signature["state"] == "unsigned":
        lines.append("  signature:     none")
        if require_signature:
            points.append("it is not signed (--require-signature)")
    else:
        shown = {key: "unknown" if value is None else value for key, value in signature.items()}
        lines += ["  signature:     %s (the signed digest %s the file's)" %
                  (shown["state"], "matches" if signature["digest"] == "matches" else "differs from"),
                  "  signer:        " + shown["signer"], "  signing time:  " + shown["signing_time"],
                  "  time stamp:    " + shown["timestamp"], "  chain:         " + shown["chain"]]
    return facts, archive, signature, points, lines


def tool_version():
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    described = run(["git", "-C", repo, "describe", "--always", "--dirty"])
    return described.stdout.strip() if described.returncode == 0 else "unknown"


def verify(arguments):
    options = {"--packer": None, "--ca": None, "--report": None, "--as": None}
    inputs, steps, require_signature, exe = {}, [], False, None
    it = iter(arguments)
    for argument in it:
        if argument == "--require-signature":
            require_signature = True
        elif argument in options or argument in ("--input", "--step"):
            value = next(it, None)
            if value is None:
                return usage()
            if argument == "--input":
                key, _, text = value.partition("=")
                inputs[key] = text or None
            elif argument == "--step":
                name, _, seconds = value.partition("=")
                steps.append({"step": name, "seconds": round(float(seconds), 3)})
            else:
                options[argument] = value
        elif exe is None:
            exe = argument
        else:
            return usage()
    if exe is None or options["--packer"] is None:
        return usage()
    begun = time.monotonic()
    with tempfile.TemporaryDirectory() as scratch:
        facts, archive, signature, points, lines = inspect(exe, options["--packer"], options["--ca"],
                                                           require_signature, scratch)
    steps.append({"step": "verify", "seconds": round(time.monotonic() - begun, 3)})
    if options["--as"]:
        exe = facts["path"] = options["--as"]
    print("Verified %s" % exe)
    for line in lines:
        print(line)
    sys.stdout.flush()
    for point in points:
        print("failed: %s" % point, file=sys.stderr)
    sys.stderr.flush()
    if options["--report"]:
        report = {"report_format": REPORT_FORMAT, "tool": {"name": "scripts/package.sh", "version": tool_version()},
                  "inputs": inputs, "exe": facts, "archive": archive, "signature": signature,
                  "holds": not points, "failures": points, "steps": steps}
        # Written under a fresh name beside it (made new, never through a file planted there) and moved into
        # place whole; a report that cannot be written is said, and leaves nothing.
        target = options["--report"]
        try:
            fd, part = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(target)), prefix=".report-",
                                        suffix=".part")
            try:
                with os.fdopen(fd, "w", encoding="utf-8") as f:
                    json.dump(report, f, indent=2, ensure_ascii=False)
                    f.write("\n")
                # mkstemp makes the file for its owner alone; the report is read like any file written here.
                mask = os.umask(0)
                os.umask(mask)
                os.chmod(part, 0o666 & ~mask)
                os.replace(part, target)
            except BaseException:
                os.unlink(part)
                raise
        except OSError as e:
            print("%s: the report cannot be written: %s" % (target, e.strerror or e), file=sys.stderr)
            return 1
    print("%s: %s" % (exe, "all holds" if not points else "%d failing point%s" %
                      (len(points), "" if len(points) == 1 else "s")))
    return 0 if not points else 1


def usage():
    print(__doc__.strip(), file=sys.stderr)
    return 2


def main(arguments):
    if len(arguments) == 2 and arguments[0] == "icon":
        return check_icon(arguments[1])
    if len(arguments) == 3 and arguments[0] == "text":
        return check_text(arguments[1], arguments[2])
    if arguments and arguments[0] == "verify":
        return verify(arguments[1:])
    return usage()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
