#!/usr/bin/env python3
"""Draws the launcher's icon, a boat with a sail on a round pool, and writes it as an .ico file.

    draw_icon.py OUTPUT.ico

The icon holds a 16 x 16 and a 32 x 32 image, each 32-bit with alpha (stored as a bottom-up DIB with
an AND mask), so the build needs no binary file of its own in the repository.
"""
import struct
import sys


def colour_at(x, y, size):
    """The BGRA colour of pixel (x, y), y counted from the top, in a picture of size x size."""
    u = (x + 0.5) / size
    v = (y + 0.5) / size
    dx, dy = u - 0.5, v - 0.5
    if dx * dx + dy * dy > 0.25:
        return (0, 0, 0, 0)  # outside the pool: transparent
    # The sail: a triangle from the mast (u = 0.52) to the left, above the hull.
    if 0.18 <= v <= 0.62 and 0.52 - (v - 0.18) * 0.8 <= u <= 0.52:
        return (250, 250, 250, 255)
    if 0.52 <= u <= 0.56 and 0.14 <= v <= 0.66:
        return (40, 60, 90, 255)  # the mast
    # The hull: wider at the deck (v = 0.64) than at the keel (v = 0.76).
    if 0.64 <= v <= 0.76:
        inset = (v - 0.64) * 1.0
        if 0.2 + inset <= u <= 0.8 - inset:
            return (30, 80, 160, 255)
    if v > 0.74:
        return (200, 140, 40, 255)  # water below the boat
    return (230, 190, 90, 255)  # sky inside the pool


def image(size):
    pixels = bytearray()
    for row in range(size - 1, -1, -1):  # bottom-up
        for x in range(size):
            pixels += bytes(colour_at(x, row, size))
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in range(size - 1, -1, -1):
        bits = bytearray(mask_row)
        for x in range(size):
            if colour_at(x, row, size)[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def main():
    sizes = [16, 32]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
