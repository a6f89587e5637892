"""Archives that two ZIP readers can read differently, for the packer's tests and the build's.
    python3 hostile_zips.py decoy OUT.zip     writes the decoy-directory archive
    python3 hostile_zips.py doubled OUT.zip   writes the archive with "Velkar//lib.dll" beside "Velkar/lib.dll"
    python3 hostile_zips.py renamed OUT.zip   writes the archive whose local header names readme.txt otherwise
"""
import io
import struct
import sys
import zipfile

FIXED = (2024, 1, 1, 0, 0, 0)


def build(entries, compression=zipfile.ZIP_STORED):
    """An archive of (name, bytes) in order, every entry with one fixed time."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", compression) as z:
        for name, data in entries:
            z.writestr(zipfile.ZipInfo(name, FIXED), data)
    return out.getvalue()


def parts(archive):
    """(the local headers and data, the central directory, the end record) of an archive without a comment."""
    end = len(archive) - 22
    size, offset = struct.unpack_from("<II", archive, end + 12)
    return archive[:offset], archive[offset:offset + size], archive[end:]


def records(directory):
    """The central records of a directory, each as bytes."""
    found, at = [], 0
    while at < len(directory):
        name, extra, comment = struct.unpack_from("<HHH", directory, at + 28)
        found.append(directory[at:at + 46 + name + extra + comment])
        at += 46 + name + extra + comment
    return found


def moved(record, by):
    """A central record whose local header offset is `by` bytes further."""
    (offset,) = struct.unpack_from("<I", record, 42)
    return record[:42] + struct.pack("<I", offset + by) + record[46:]


def end_record(count, size, offset, comment=b""):
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, size, offset, len(comment)) + comment


def assemble(local_part, central_records, comment=b""):
    """Local headers and data, then the given central records and an end record that describes them."""
    directory = b"".join(central_records)
    return local_part + directory + end_record(len(central_records), len(directory), len(local_part), comment)


def with_field(record, at, fmt, value):
    return record[:at] + struct.pack(fmt, value) + record[at + struct.calcsize(fmt):]


def with_extra(record, extra):
    """A central record with `extra` as its extra field."""
    name, old, comment = struct.unpack_from("<HHH", record, 28)
    head = with_field(record[:46], 30, "<H", len(extra))
    return head + record[46:46 + name] + extra + record[46 + name + old:]


def decoy(real=(("Velkar/Velkar.exe", b"MZ" * 64), ("Velkar/readme.txt", b"read me " * 8),
                ("Velkar/.config", b"left behind " * 4)),
          shown=(("Velkar/Velkar.exe", b"MZ" * 64), ("Velkar/readme.txt", b"read me " * 8),
                 ("Velkar/notes.txt", b"harmless " * 4))):
    """A decoy central directory before the real one. The end record gives the decoy's offset and the real
    directory's size: a reader that goes by the offset sees `shown`, one that finds the directory from the
    end record's position less its size (minizip, the launcher's reader) sees `real`. Each directory
    points at local headers of its own, the real one's offsets counted from the decoy's start as such a
    reader counts them."""
    shown_locals, shown_directory, _ = parts(build(shown))
    real_locals, real_directory, _ = parts(build(real))
    assert len(shown) == len(real) and len(shown_locals) >= len(shown_directory)
    shift = len(shown_locals) - len(shown_directory)
    real_moved = b"".join(moved(r, shift) for r in records(real_directory))
    body = shown_locals + real_locals + shown_directory + real_moved
    return body + end_record(len(real), len(real_moved), len(shown_locals) + len(real_locals))


def doubled():
    """Two names for one place: Windows joins the separators of "Velkar//lib.dll", so the launcher would
    write its 4 bytes over the 400-byte library."""
    return build([("Velkar/Velkar.exe", b"MZ" * 64), ("Velkar/lib.dll", b"L" * 400), ("Velkar//lib.dll", b"EVIL")])


def renamed(local_name=b"Velkar/README.exe"):
    """The readme's local header names it `local_name` (as long as its central name): a reader that goes
    by the local headers installs another file than one that goes by the directory."""
    archive = bytearray(build([("Velkar/Velkar.exe", b"MZ" * 64), ("Velkar/readme.txt", b"read me " * 8)]))
    at = archive.index(b"Velkar/readme.txt")  # the local header's name comes before the directory's
    archive[at:at + len(local_name)] = local_name
    return bytes(archive)


if __name__ == "__main__":
    made = {"decoy": decoy, "doubled": doubled, "renamed": renamed}
    if len(sys.argv) == 3 and sys.argv[1] in made:
        with open(sys.argv[2], "wb") as f:
            f.write(made[sys.argv[1]]())
    else:
        sys.exit(__doc__)
