#!/usr/bin/env python3
"""The packager's checks around a launcher, run by scripts/package.sh on the build machine:

    package_tool.py icon FILE.ico
        Checks that FILE.ico is an icon the resource compiler and Windows take whole; a refusal is one line
        and exit 1. A line says which of the sizes Explorer shows most (16, 32, 48) it lacks.
    package_tool.py text NAME VALUE
        Checks a text of the version block (NAME is the option or setting it came from: --company,
        --product-name, --description, --copyright, --product-version, or LAUNCHER_COMPANY and the
        like) and prints it as the resource script's string holds it; a refusal is one line and exit 1.
    package_tool.py verify LAUNCHER.exe --packer PACK_PAYLOAD [--ca ROOT.pem] [--signer SHA256]
                           [--require-signature] [--report FILE.json] [--as PATH] [--input KEY=VALUE]... [--step NAME=SECONDS]...
        Reads a built launcher without running it: the program's kind, the version block, the icon, the
        manifest, the embedded archive (where the program reads it, the byte array that begins its last
        section .payload, compared with the record packing leaves beside it, then checked by pack-payload
        --check), that nothing but the signature follows
        the last section, and every Authenticode signature (osslsigncode). Prints what it found and each
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

# 2: a signature is "valid" only when --ca or --signer vouches for its signer, "unverified" otherwise.
REPORT_FORMAT = 2
EXPLORER_SIZES = (16, 32, 48)
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# What the build puts in every launcher it makes: the version block's original file name, and a record
# of the embedded archive's size, SHA-256 and address (tools/launcher_image.cpp), under this resource name.
ORIGINAL_FILENAME = "launcher.exe"
PAYLOAD_RECORD = "KESTREL_PAYLOAD"
RT_ICON, RT_GROUP_ICON, RT_RCDATA, RT_VERSION, RT_MANIFEST = 3, 14, 10, 16, 24
IMAGE_SCN_CNT_INITIALIZED_DATA, IMAGE_SCN_MEM_EXECUTE, IMAGE_SCN_MEM_WRITE = 0x40, 0x20000000, 0x80000000


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
        self.image_base = struct.unpack_from("<I", data, optional + 28)[0]
        directories = struct.unpack_from("<I", data, optional + 92)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i) for i in range(min(directories, 16))]
        self.sections, self.virtual_sizes = [], []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            name, virtual_size, address, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, at)
            characteristics = struct.unpack_from("<I", data, at + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), address, max(virtual_size, raw_size),
                                  raw_offset, raw_size, characteristics))
            self.virtual_sizes.append(virtual_size)

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def section_at(self, address, size):
        """The section whose raw data holds `size` bytes at the address, or None."""
        for section in self.sections:
            _, start, length, _, raw_size, _ = section
            if start <= address and address + size <= start + min(length, raw_size):
                return section
        return None

    def at_address(self, address, size):
        section = self.section_at(address, size)
        if section is None:
            raise Refused("a resource lies outside the program's sections")
        _, start, _, raw_offset, _, _ = section
        return self.data[raw_offset + address - start:raw_offset + address - start + size]

    def raw_end(self):
        """The file offset where the last section's raw data ends."""
        return max([raw_offset + raw_size for _, _, _, raw_offset, raw_size, _ in self.sections if raw_size] or [0])

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


def read_record(record):
    """(bytes, SHA-256, address or None) of the embedded archive as the build recorded them; a launcher
    built before the record held an address has none."""
    match = re.fullmatch(rb"bytes=(\d+)\nsha256=([0-9a-f]{64})\n(address=(0x[0-9A-F]{8}|unrecorded)\n)?", record)
    if not match:
        raise Refused("its payload record is unreadable")
    if match.group(4) == b"unrecorded":
        raise Refused("its payload record holds no address")
    return int(match.group(1)), match.group(2).decode(), int(match.group(4), 16) if match.group(4) else None


# The launcher's section that carries the archive (payload/embedded_payload.h, tools/launcher_image.h).
PAYLOAD_SECTION = ".payload"


def find_archive(program):
    """(the report's place of the archive, its bytes): the archive where the launcher reads it. The
    launcher finds its section .payload by name in its own section table and hands the byte array at the
    section's start (dimension count 1, length) to ToByteArray, which copies the length it gives from
    behind the 8-byte header; so the place is there, and the section must be the image's last, read-only
    initialised data, the header and its length within the section's bytes in the file and in memory.
    Bytes anywhere else in the file (after the last section, say) are never read."""
    sections = [s for s in program.sections if s[0] == PAYLOAD_SECTION]
    if not sections:
        raise Refused("the program has no %s section: no embedded archive" % PAYLOAD_SECTION)
    index = program.sections.index(sections[0])
    name, start, _, raw_offset, raw_size, characteristics = sections[0]
    if index != len(program.sections) - 1:
        raise Refused("the program's %s section is not its last" % PAYLOAD_SECTION)
    virtual_size = program.virtual_sizes[index] or raw_size
    room = min(virtual_size, raw_size, max(0, len(program.data) - raw_offset))
    size = struct.unpack_from("<I", program.data, raw_offset + 4)[0] if room >= 8 else 0
    dimensions = struct.unpack_from("<I", program.data, raw_offset)[0] if room >= 8 else 0
    if characteristics & (IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_WRITE) or \
            not characteristics & IMAGE_SCN_CNT_INITIALIZED_DATA or dimensions != 1 or not 0 < size <= room - 8:
        raise Refused("the archive the program reads (%d bytes at address 0x%X) does not lie whole in read-only "
                      "data, in the file's bytes of its section %s" % (size, start + 8, PAYLOAD_SECTION))
    offset = raw_offset + 8
    place = {"section": name, "address": start + 8, "offset": offset}
    return place, program.data[offset:offset + size]


def der_length(data, at):
    """The bytes of the DER value (a SEQUENCE: the PKCS#7 signature) at `at`, its tag and length included;
    0 when there is none."""
    if data[at:at + 1] != b"\x30" or at + 2 > len(data):
        return 0
    first = data[at + 1]
    if first < 0x80:
        return 2 + first
    count = first & 0x7F
    if not 1 <= count <= 4 or at + 2 + count > len(data):
        return 0
    return 2 + count + int.from_bytes(data[at + 2:at + 2 + count], "big")


def trailing_points(program):
    """What follows the last section: nothing, or in a signed program one certificate table that ends the
    file and is as large as the signature in it (its WIN_CERTIFICATE's length, rounded up to 8 bytes).
    Windows hashes neither the table nor what lies behind it, so bytes there could be changed or added
    under a valid signature."""
    data, end = program.data, program.raw_end()
    table, size = program.directory(4)  # the security directory gives a file offset, not an address
    if not size:
        return ["%s bytes follow the last section (from byte %s): a launcher this packager makes ends there" %
                (format(len(data) - end, ","), format(end, ","))] if len(data) > end else []
    if not end <= table <= (end + 7) & ~7 or data[end:table].strip(b"\0") or table + 8 > len(data):
        return ["its certificate table (at byte %s) does not follow the last section (which ends at byte %s)" %
                (format(table, ","), format(end, ","))]
    points = []
    length = struct.unpack_from("<I", data, table)[0]
    own = 8 + der_length(data, table + 8)  # the WIN_CERTIFICATE's header and its PKCS#7 signature
    if not size == (length + 7) & ~7 == (own + 7) & ~7:
        points.append("its certificate table takes %s bytes, but the signature in it %s: the rest is no part of "
                      "the signature" % (format(size, ","), format(own, ",")))
    if table + size > len(data):
        points.append("its certificate table runs past the file's end")
    elif table + size != len(data):
        points.append("%s bytes follow its certificate table, which must end the file" %
                      format(len(data) - table - size, ","))
    return points


# ---- The signature ---------------------------------------------------------------------------------

def run(command):
    return subprocess.run(command, capture_output=True, text=True, errors="replace")


def fingerprint(text):
    """A certificate's SHA-256 fingerprint as openssl prints it (AB:CD:...), from one given with or without
    colons, in any case, with or without openssl's "sha256 Fingerprint=" before it; None when it is none."""
    text = re.sub(r"(?i)^\s*sha256 fingerprint=", "", text).strip().replace(":", "").upper()
    if not re.fullmatch(r"[0-9A-F]{64}", text):
        return None
    return ":".join(text[i:i + 2] for i in range(0, 64, 2))


def signature_blocks(text):
    """{index: the lines osslsigncode verify printed about that signature}: the primary is 0, each nested
    one follows. Its exit code says nothing of them (0 even when one fails), so each block is read."""
    found = {}
    for match in re.finditer(r"^Signature Index: (\d+).*?(?=^Signature Index: |^Number of verified|\Z)", text,
                             re.M | re.S):
        found[int(match.group(1))] = match.group(0)
    return found


def signature_of(exe, program, ca, signer, scratch):
    """The Authenticode signatures' state as the report's "signature" object, and its failing points. A
    signature is valid only when something the user gave vouches for its signer: the root (--ca) its chain
    leads to, or the signer's certificate itself (--signer, its SHA-256 fingerprint). Without either, a
    sound signature is "unverified": anybody can make a certificate with any name."""
    if not program.directory(4)[1]:
        return {"state": "unsigned", "digest": None, "signer": None, "signer_sha256": None, "signing_time": None,
                "timestamp": None, "chain": None, "signatures": []}, []
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
    blocks = signature_blocks(result.stdout + result.stderr)
    # Each signer's certificate fingerprint: osslsigncode compares it with the one asked for and prints the
    # one it computed when they differ; asked for the pinned one (or none that can match), it says both.
    pinned = signer or ":".join(["00"] * 32)
    leaves = signature_blocks(run(["osslsigncode", "verify", "-CAfile", anchors, "-in", exe, "-require-leaf-hash",
                                   "sha256:" + pinned.replace(":", "")]).stdout)

    def line(pattern, text):
        found = re.search(pattern, text, re.M)
        return found.group(1).strip() if found else None

    # osslsigncode names no signer once the digest fails; the certificates carried tell it still: the
    # signer's is the one that issued none of the others.
    pairs = re.findall(r"^subject=(.*)\n\s*issuer=(.*)$", certificates, re.M)
    issuers = {issuer.strip() for subject, issuer in pairs if subject.strip() != issuer.strip()}
    signers = [subject.strip() for subject, _ in pairs if subject.strip() not in issuers]
    points, signatures = [], []
    for index in sorted(blocks) or [0]:
        text, leaf = blocks.get(index, ""), leaves.get(index, "")
        what = "the signature" if index == 0 else "the nested signature %d" % index
        current = line(r"^Current message digest\s*:\s*(\S+)", text)
        calculated = line(r"^Calculated message digest\s*:\s*(\S+)", text)
        sha = signer if "Leaf hash match: ok" in leaf else line(r"^Leaf hash value mismatch: (\S+) computed", leaf)
        entry = {"index": index, "nested": index > 0, "signer": line(r"^\s*Subject: (.+)$", text),
                 "signer_sha256": fingerprint(sha) if sha else None,
                 "digest": "matches" if current and current == calculated else "differs",
                 "signing_time": line(r"^\s*Signing time: (.+)$", text),
                 "timestamp": "none" if "Timestamp is not available" in text else
                 line(r"^The signature is timestamped: (.+)$", text), "chain": None}
        own = []
        error = line(r"^\s*Error: (.+)$", text) or line(r"^(.*error.*)$", text) or "osslsigncode verify failed"
        verified = "Signature verification: ok" in text
        if entry["digest"] != "matches":
            own.append("%s's digest does not match the file: it was changed after it was signed" % what)
        elif ca:
            entry["chain"] = "verified against %s" % ca if verified else "failed: " + error
            if not verified:
                own.append("%s does not verify against %s: %s" % (what, ca, error))
        elif verified or "issuer certificate" in error or "self-signed" in error or "self signed" in error:
            # Sound or not, the chain cannot be told without the root; said, not failed.
            entry["chain"] = "not checked (--ca ROOT.pem checks it)" if verified else \
                "not checked: its root is neither in the signature nor among this machine's roots"
        else:
            own.append("%s does not verify: %s" % (what, error))
        if signer and entry["digest"] == "matches" and entry["signer_sha256"] == signer and not ca:
            entry["chain"] = "not checked; its signer's certificate is the one pinned (--signer)"
        if signer and entry["digest"] == "matches" and entry["signer_sha256"] != signer:
            own.append("%s's signer (%s, SHA-256 %s) is not the one pinned by --signer %s" %
                       (what, entry["signer"], entry["signer_sha256"], signer))
        entry["state"] = "invalid" if own else "valid" if ca or signer else "unverified"
        points += own
        signatures.append(entry)
    primary = signatures[0]
    states = {entry["state"] for entry in signatures}
    state = {"state": "invalid" if "invalid" in states else "unverified" if "unverified" in states else "valid",
             "digest": primary["digest"], "signer": signers[0] if signers else None,
             "signer_sha256": primary["signer_sha256"], "signing_time": primary["signing_time"],
             "timestamp": primary["timestamp"], "chain": primary["chain"], "signatures": signatures}
    return state, points


# ---- verify --------------------------------------------------------------------------------------

def sha256(data):
    return hashlib.sha256(data).hexdigest()


def inspect(exe, packer, ca, signer, require_signature, scratch):
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
            recorded_size, recorded, recorded_address = read_record(record)
            place, archive_bytes = find_archive(program)
            if recorded_address is not None and recorded_address != place["address"]:
                points.append("the program's code reads the archive at address 0x%X, the build put it at 0x%X" %
                              (place["address"], recorded_address))
            archive = {"offset": place["offset"], "bytes": len(archive_bytes), "sha256": sha256(archive_bytes),
                       "section": place["section"], "address": place["address"]}
            lines.append("  archive:       %s bytes at byte %s (%s, address 0x%X), SHA-256 %s" %
                         (format(len(archive_bytes), ","), format(place["offset"], ","), place["section"],
                          place["address"], archive["sha256"]))
            if len(archive_bytes) != recorded_size:
                points.append("the archive the program reads is %s bytes, the build recorded %s" %
                              (format(len(archive_bytes), ","), format(recorded_size, ",")))
            elif archive["sha256"] != recorded:
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
        except (Refused, struct.error) as e:
            points.append("the embedded archive: %s" % (e if isinstance(e, Refused) else "its headers are damaged"))
    points += trailing_points(program)

    signature, signature_points = signature_of(exe, program, ca, signer, scratch)
    points += signature_points
    if signature["state"] == "unsigned":
        lines.append("  signature:     none")
        if require_signature:
            points.append("it is not signed (--require-signature)")
    else:
        shown = {key: "unknown" if value is None else value for key, value in signature.items()}
        said = {"unverified": "present, signer not verified"}.get(signature["state"], signature["state"])
        lines += ["  signature:     %s (the signed digest %s the file's)" %
                  (said, "matches" if signature["digest"] == "matches" else "differs from"),
                  "  signer:        " + shown["signer"], "  fingerprint:   " + shown["signer_sha256"],
                  "  signing time:  " + shown["signing_time"],
                  "  time stamp:    " + shown["timestamp"], "  chain:         " + shown["chain"]]
        for nested in signature["signatures"][1:]:
            lines.append("  nested %d:      %s, by %s (SHA-256 %s), signed %s" %
                         (nested["index"], {"unverified": "signer not verified"}.get(nested["state"], nested["state"]),
                          nested["signer"], nested["signer_sha256"], nested["signing_time"]))
        if require_signature and signature["state"] == "unverified":
            points.append("its signer is not verified (--require-signature): --ca ROOT.pem or --signer SHA256 "
                          "says whose signature it must carry")
    return facts, archive, signature, points, lines


def tool_version():
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    described = run(["git", "-C", repo, "describe", "--always", "--dirty"])
    return described.stdout.strip() if described.returncode == 0 else "unknown"


def verify(arguments):
    options = {"--packer": None, "--ca": None, "--signer": None, "--report": None, "--as": None}
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
    signer = options["--signer"] and fingerprint(options["--signer"])
    if options["--signer"] is not None and not signer:
        print("package_tool.py: --signer takes a certificate's SHA-256 fingerprint, 64 hexadecimal digits (with or "
              "without colons), as openssl x509 -noout -fingerprint -sha256 -in CERT.pem prints it", file=sys.stderr)
        return 2
    begun = time.monotonic()
    with tempfile.TemporaryDirectory() as scratch:
        facts, archive, signature, points, lines = inspect(exe, options["--packer"], options["--ca"], signer,
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
