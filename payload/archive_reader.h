// payload/archive_reader.h: the archive entry reader. Reads a ZIP file through a handle its caller
// opened, describes any entry by its index, and writes one entry's data, with its times, into a file
// its caller created. Also the folder chain by path that Extract makes a destination with. Every
// operation answers through its result; none shows anything or ends the program. Paths and names
// are ANSI texts in the system code page.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "base/owners.h"

// Paths and names are held in buffers of this many bytes, terminator included; anything of this
// length or longer is refused.
constexpr std::size_t kPathBufferSize = 260;

// The largest entry the reader takes, in either size: 4 GiB less a byte, the most a header without ZIP64
// can record.
constexpr std::uint64_t kMaxEntrySize = 0xFFFFFFFFull;

struct ArchiveEntry {
    std::int32_t index = 0;  // position in the central directory, from 0
    // As stored, "/" separators kept; a name marked as UTF-8 (flag bit 11, or an Info-ZIP Unicode
    // Path field whose CRC-32 matches the stored name) converted to the ANSI code page.
    char name[kPathBufferSize] = {};
    std::size_t nameLength = 0;    // bytes of `name` (a zero byte may be among them)
    bool nameTooLong = false;      // the name has 260 bytes or more; `name` is empty
    bool nameUnspellable = false;  // marked as UTF-8, but not UTF-8 or not spelt by the ANSI
                                   // code page; `name` is empty
    bool encrypted = false;        // flag bit 0: no decryption exists, the data is refused
    DWORD attributes = 0;          // EntryAttributes of the external attributes
    FILETIME accessTime = {};
    FILETIME creationTime = {};
    FILETIME writeTime = {};
    std::uint64_t compressedSize = 0;  // as minizip reports them: at most kMaxEntrySize
    std::uint64_t uncompressedSize = 0;
    std::uint32_t crc32 = 0;  // of the uncompressed data, as the central directory records it
};

struct OpenedArchive;  // the reader's state over one open archive file

// Windows attribute bits for a ZIP entry's external attributes (the host byte is not consulted).
DWORD EntryAttributes(std::uint32_t externalAttributes);

// Closes open entry data, the archive and its file, and releases `archive` (null does nothing).
// ArchiveHandle calls it; nothing else needs to.
void CloseArchive(OpenedArchive* archive);

struct OpenedArchiveTraits {
    using Handle = OpenedArchive*;
    [[nodiscard]] static Handle None() { return nullptr; }
    static BOOL Close(Handle archive) {
        CloseArchive(archive);
        return TRUE;
    }
};
using ArchiveHandle = Owner<OpenedArchiveTraits>;  // OpenArchive

// Takes over `file`, an archive open for reading at its start (the caller opens it shared for
// reading only, so that nobody can change it while it is read), and reads its end record. None when
// no end record can be read, when minizip would take a ZIP64 end record (entries of this format are
// never ZIP64, and minizip cuts a ZIP64 count to 32 bits), or when the count exceeds 2^31 - 1; the
// file is closed then.
[[nodiscard]] ArchiveHandle OpenArchive(FileHandle file);

// The entry at `index` (0 ..count-1), or -1 for the count (in `index`, every other field 0). False
// for an index out of range, a local header that disagrees with the central one, a method other
// than 0 and 8, a size above kMaxEntrySize, or a failed seek or read; the reader stays usable.
[[nodiscard]] bool ReadEntryInfo(OpenedArchive& archive, std::int32_t index, ArchiveEntry& entry);

// Writes the data of the entry at `index` into `file` (open for writing, at its start) and, when
// all went well and `file` is a disk file, sets its three times with SetFileTime. False for an
// encrypted entry (nothing is written), corrupt data, a read or write error, data shorter than the
// recorded size or a CRC-32 mismatch: what was written then is not the entry's, and the caller, who
// created the file, discards it through its handle.
[[nodiscard]] bool ExtractEntryData(OpenedArchive& archive, std::int32_t index, HANDLE file);

// True when `file` (open for reading) holds exactly the entry's data: its size and CRC-32, read through
// the handle from its start; the handle is put back at its start. False with ERROR_FILE_INVALID when
// it holds anything else, or with the system's error when it cannot be read.
[[nodiscard]] bool FileHoldsEntryData(HANDLE file, const ArchiveEntry& entry);

// Makes the folder and every missing parent. True when it exists afterwards; a bare drive ("C:")
// answers true without asking the system. False for an empty path or one of 260 bytes or more.
[[nodiscard]] bool CreateFolderRecursive(const char* path);

// True when the entry's name passes the rules of payload/entry_names.h in the system's ANSI code
// page: it stays inside the destination and names nothing Windows cannot keep as stored.
[[nodiscard]] bool EntryNameIsSafe(const ArchiveEntry& entry);
