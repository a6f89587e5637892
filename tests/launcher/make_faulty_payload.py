#!/usr/bin/env python3
"""A copy of a payload archive with one fault put in place, for the launcher's install-failure tests:

    make_faulty_payload.py IN.zip OUT.zip crc NAME         the CRC-32 of entry NAME is wrong
    make_faulty_payload.py IN.zip OUT.zip rename OLD NEW   entry OLD is called NEW (of the same length)

The fault is written into both the local header and the central directory, so that the archive stays
one that the launcher's reader takes (the headers agree); only the extraction can find it.
"""
import struct
import sys

LOCAL = b"PK\x03\x04"
CENTRAL = b"PK\x01\x02"


def entries(data):
    """(name offset in the local header, CRC offset there, and the same two in the central record) per name."""
    end = data.rindex(b"PK\x05\x06")
    count, size, offset = struct.unpack_from("<HII", data, end + 10)
    found = {}
    at = offset
    for _ in range(count):
        assert data[at:at + 4] == CENTRAL
        name_length, extra_length, comment_length = struct.unpack_from("<HHH", data, at + 28)
        local = struct.unpack_from("<I", data, at + 42)[0]
        name = data[at + 46:at + 46 + name_length]
        assert data[local:local + 4] == LOCAL
        found[name] = (local + 30, local + 14, at + 46, at + 16)
        at += 46 + name_length + extra_length + comment_length
    return found


def main(argv):
    source, target, fault = argv[1], argv[2], argv[3]
    data = bytearray(open(source, "rb").read())
    found = entries(bytes(data))
    if fault == "crc":
        name = argv[4].encode()
        _, local_crc, _, central_crc = found[name]
        crc = struct.unpack_from("<I", data, local_crc)[0] ^ 0x5A5A5A5A
        struct.pack_into("<I", data, local_crc, crc)
        struct.pack_into("<I", data, central_crc, crc)
    elif fault == "rename":
        old, new = argv[4].encode(), argv[5].encode()
        if len(old) != len(new):
            sys.exit("make_faulty_payload.py: the new name must be as long as the old")
        local_name, _, central_name, _ = found[old]
        data[local_name:local_name + len(new)] = new
        data[central_name:central_name + len(new)] = new
    else:
        sys.exit("make_faulty_payload.py: unknown fault " + fault)
    open(target, "wb").write(bytes(data))


if __name__ == "__main__":
    main(sys.argv)
