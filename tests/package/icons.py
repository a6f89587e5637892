"""Icon files for the packager's tests: whole ones, and each kind of fault the packager refuses.
    python3 icons.py OUT.ico     writes the release test's icon: 16 x 16 32-bit, 32 x 32 4-bit (with its
                                 colour table) and 48 x 48 PNG
"""
import struct
import sys
import zlib


def bitmap(size, bits=32):
    """An icon's DIB: the header (height doubled: picture and mask), the colour table, the picture, the mask."""
    colours = 1 << bits if bits <= 8 else 0
    table = b"".join(struct.pack("<BBBB", i, 255 - i, i // 2, 0) for i in range(colours))
    row = (size * bits + 31) // 32 * 4
    picture = bytes((x * 7 + y) % 251 for y in range(size) for x in range(row))
    mask = bytes((size + 31) // 32 * 4 * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0, len(picture) + len(mask), 0, 0, 0, 0)
    return header + table + picture + mask


def png(size):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + bytes((x * 5 + y * 3) % 256 for x in range(4 * size)) for y in range(size))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def icon(images, kind=1):
    """An .ico file of (size, bits, bytes) images, laid out one after the other behind the directory."""
    out = struct.pack("<HHH", 0, kind, len(images))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


def release_icon():
    return icon([(16, 32, bitmap(16)), (32, 4, bitmap(32, 4)), (48, 32, png(48))])


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(release_icon())
