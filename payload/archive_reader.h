// payload/archive_reader.h: the archive entry reader. Opens a ZIP file on disk, describes any entry
// by its index, and writes one entry's data into a file of its own with the entry's attributes and
// times. Also the two path services this needs. Every operation answers through its result; none
// shows anything or ends the program. All paths are ANSI texts in the system code page.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "base/owners.h"

// Paths and names are held in buffers of this many bytes, terminator included; anything of this
// length or longer is refused.
constexpr std::size_t kPathBufferSize = 260;

struct ArchiveEntry {
    std::int32_t index = 0;                  // position in the central directory, from 0
    // As stored, "/" separators kept; a name marked as UTF-8 (flag bit 11, or an Info-ZIP Unicode
    // Path field whose CRC-32 matches the stored name) converted to the ANSI code page.
    char name[kPathBufferSize] = {};
    std::size_t nameLength = 0;              // bytes of `name` (a zero byte may be among them)
    bool nameTooLong = false;                // the name has 260 bytes or more; `name` is empty
    bool nameUnspellable = false;            // marked as UTF-8, but not UTF-8 or not spelt by the ANSI
                                             // code page; `name` is empty
    bool encrypted = false;                  // flag bit 0: no decryption exists, the data is refused
    DWORD attributes = 0;                    // EntryAttributes of the external attributes
    FILETIME accessTime = {};
    FILETIME creationTime = {};
    FILETIME writeTime = {};
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
};

struct OpenedArchive;  // the reader's state over one open archive file

// Windows attribute bits for a ZIP entry's external attributes (the host byte is not consulted).
DWORD EntryAttributes(std::uint32_t externalAttributes);

// Opens the archive for reading (shared for reading only) and reads its end record. `destination`
// is the root for ExtractEntryToFile's folder branch. Null when the destination is empty or 259
// bytes or longer, the file cannot be opened, or no end record can be read; nothing stays open then.
OpenedArchive* OpenArchive(const char* archivePath, const char* destination);
// Closes open entry data, the archive and its file, and releases `archive` (null does nothing).
void CloseArchive(OpenedArchive* archive);

struct OpenedArchiveTraits {
    using Handle = OpenedArchive*;
    static Handle None() { return nullptr; }
    static BOOL Close(Handle archive) {
        CloseArchive(archive);
        return TRUE;
    }
};
using ArchiveHandle = Owner<OpenedArchiveTraits>;  // OpenArchive

// The entry at `index` (0 ..count-1), or -1 for the count (in `index`, every other field 0). False
// for an index out of range, a local header that disagrees with the central one, a method other
// than 0 and 8, or a failed seek or read; the reader stays usable.
[[nodiscard]] bool ReadEntryInfo(OpenedArchive& archive, std::int32_t index, ArchiveEntry& entry);

// Writes the entry at `index` into a new file at `path` (created with the entry's attributes, its
// folders made first) and sets its times. What is at the path already goes first and the file is
// made anew, never truncated in place: a file is deleted (read-only or not, unless another name
// shares it), a link is removed as a link and its target left alone; when something stays (a folder,
// a file in use, a folder link the system cannot remove) the entry fails and nothing is written. On
// any failure after the file was created (corrupt data, read or write error, CRC-32 mismatch, data
// shorter than the recorded size) the file is deleted again, so no partial or corrupt file is left
// that looks complete. An encrypted entry, a name or path of 260 bytes or more, or a name the code
// page cannot spell fails before anything is written. A path ending in a separator, or a folder
// entry, makes the folder instead.
[[nodiscard]] bool ExtractEntryToFile(OpenedArchive& archive, std::int32_t index, const char* path);

// Makes the folder and every missing parent. True when it exists afterwards; a bare drive ("C:")
// answers true without asking the system. False for an empty path or one of 260 bytes or more.
[[nodiscard]] bool CreateFolderRecursive(const char* path);

// CreateFileA with its seven arguments unchanged; with CREATE_ALWAYS or CREATE_NEW the folders
// before the last backslash are made when the file cannot be created without them, so a failure
// leaves them made as well. A path of 260 bytes or more gives INVALID_HANDLE_VALUE with ERROR_FILENAME_EXCED_RANGE and
// nothing is made.
HANDLE CreateFileWithParent(const char* path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                            DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile);

// True when the entry's name passes the rules of payload/entry_names.h in the system's ANSI code
// page: it stays inside the destination and names nothing Windows cannot keep as stored.
[[nodiscard]] bool EntryNameIsSafe(const ArchiveEntry& entry);
