"""A stand-in for the prebuilt launcher, for the packer's command-line tests: a PE32 GUI image with a
code section, a resource section holding a version block (the language the packer keeps) and an empty
archive section last, as the build leaves the real one. It runs nothing; the packer only rewrites it.
    python3 tiny_prebuilt.py OUT.exe
"""
import struct
import sys

FILE_ALIGN, SECTION_ALIGN = 0x200, 0x1000


def resource_section(rva):
    """A resource tree of one RT_VERSION, name 1, language 0x0804, with 4 bytes of data."""
    def table(ids):
        return struct.pack("<IIHHHH", 0, 0, 0, 0, 0, len(ids))
    root = table([16]) + struct.pack("<II", 16, 0x80000000 | 24)
    names = table([1]) + struct.pack("<II", 1, 0x80000000 | 48)
    langs = table([0x804]) + struct.pack("<II", 0x804, 72)
    data_entry = struct.pack("<IIII", rva + 88, 4, 0, 0)
    body = root + names + langs + data_entry
    return body + b"\0" * (88 - len(body)) + b"\0\0\0\0"


def image():
    sections = [(b".text", b"\xc3" * 16, 0x60000020), (b".rsrc", None, 0x40000040),
                (b".payload", struct.pack("<II", 1, 0), 0x40000040)]
    headers = 0x400
    layout, raw_at, rva = [], headers, SECTION_ALIGN
    for name, data, flags in sections:
        if data is None:
            data = resource_section(rva)
        raw = data + b"\0" * (-len(data) % FILE_ALIGN)
        layout.append((name, data, raw, flags, rva, raw_at))
        raw_at += len(raw)
        rva += (len(data) + SECTION_ALIGN - 1) // SECTION_ALIGN * SECTION_ALIGN
    size_of_image = rva
    pe = 0x40
    out = bytearray(headers)
    out[0:2] = b"MZ"
    struct.pack_into("<I", out, 0x3C, pe)
    out[pe:pe + 4] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", out, pe + 4, 0x14C, len(layout), 0, 0, 0, 224, 0x0102)
    opt = pe + 24
    struct.pack_into("<HBBIIIIII", out, opt, 0x10B, 14, 0, 0x200, 0x400, 0, 0x1000, 0x1000, 0x2000)
    struct.pack_into("<IIIHHHHHHIIIIHHIIIIII", out, opt + 28, 0x400000, SECTION_ALIGN, FILE_ALIGN, 6, 0, 0, 0, 6, 0,
                     0, size_of_image, headers, 0, 2, 0x8140, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    rsrc = layout[1]
    struct.pack_into("<II", out, opt + 96 + 8 * 2, rsrc[4], len(rsrc[1]))
    for i, (name, data, raw, flags, rva, raw_at) in enumerate(layout):
        struct.pack_into("<8sIIIIIIHHI", out, opt + 224 + 40 * i, name, len(data), rva, len(raw), raw_at, 0, 0, 0, 0,
                         flags)
    return bytes(out) + b"".join(raw for _, _, raw, _, _, _ in layout)


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(image())
