"""A stand-in for the prebuilt launcher, for the packer's command-line tests: a PE32 GUI image with a
code section, a resource section holding a version block (the language the packer keeps) and the
manifest, and an empty archive section last, as the build leaves the real one. It runs nothing; the packer only rewrites it.
    python3 tiny_prebuilt.py OUT.exe
"""
import struct
import sys

FILE_ALIGN, SECTION_ALIGN = 0x200, 0x1000


MANIFEST = (b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            b'<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
            b'<assemblyIdentity type="win32" name="Kestrelworks.Launcher" version="1.0.0.0"/>'
            b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>'
            b'<requestedExecutionLevel level="asInvoker" uiAccess="false"/>'
            b'</requestedPrivileges></security></trustInfo></assembly>\n')


def resource_section(rva):
    """A resource tree of RT_VERSION 1 (4 bytes) and RT_MANIFEST 1, each in language 0x0804: the root's
    table, each type's table, each name's table, the data entries, then the data."""
    resources = [(16, b"\0\0\0\0"), (24, MANIFEST)]
    count = len(resources)

    def table(entries):
        return struct.pack("<IIHHHH", 0, 0, 0, 0, 0, len(entries)) + b"".join(
            struct.pack("<II", ident, target) for ident, target in entries)
    root_size = 16 + 8 * count
    types_at = root_size
    names_at = types_at + 24 * count
    entries_at = names_at + 24 * count
    data_at = entries_at + 16 * count
    out = table([(t, 0x80000000 | (types_at + 24 * i)) for i, (t, _) in enumerate(resources)])
    out += b"".join(table([(1, 0x80000000 | (names_at + 24 * i))]) for i in range(count))
    out += b"".join(table([(0x804, entries_at + 16 * i)]) for i in range(count))
    at, blobs = data_at, b""
    for _, data in resources:
        out += struct.pack("<IIII", rva + at, len(data), 0, 0)
        padded = data + b"\0" * (-len(data) % 8)
        blobs += padded
        at += len(padded)
    return out + blobs


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
