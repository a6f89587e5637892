// payload/archive_reader.cpp: the archive entry reader over minizip's unzip interface and zlib.
#include "payload/archive_reader.h"

#include <cstring>
#include <cwchar>

#include "base/calendar.h"
#include "base/memory.h"
#include "base/owners.h"
#include "base/text.h"
#include "payload/entry_names.h"

extern "C" {
#include "unzip.h"
}
#include <zlib.h>

namespace {

constexpr std::size_t kCopyBufferSize = 16384;

// The archive file as minizip sees it: positions count from where the handle stood at opening.
//
// minizip reads every header field a byte at a time and entry data in 16 KB blocks, each with a seek
// before it, and every ReadFile is a system call. For a disk file the stream therefore reads ahead
// into two windows and answers minizip from memory: a small one for the places minizip jumps to (the
// central directory, each local header) and a large one that a read running on past either window's
// end fills, which then serves the entry's data. The archive is shared for reading only while it is
// open, so what a window holds cannot change under it.
constexpr DWORD kHeaderWindowSize = 4096;
constexpr DWORD kDataWindowSize = 256 * 1024;

struct Window {
    unsigned char* bytes = nullptr;
    DWORD capacity = 0;
    LONGLONG start = 0;  // stream position of bytes[0]
    DWORD length = 0;    // bytes held; 0 for none

    bool Holds(LONGLONG at) const { return at >= start && at < start + length; }
    bool EndsAt(LONGLONG at) const { return length != 0 && at == start + length; }
};

struct ArchiveStream {
    HANDLE file = INVALID_HANDLE_VALUE;
    LONGLONG base = 0;
    // The stream position, relative to `base`; -1 when unknown (not a disk file, or after a failed
    // call), and then the handle's own file pointer is the position and nothing is read ahead.
    LONGLONG position = -1;
    bool readAhead = false;
    // Where reading ahead left the handle's file pointer, relative to `base`, so that a window filled
    // right after the last needs no seek; -1 when unknown.
    LONGLONG filePointer = -1;
    Window header;
    Window data;
    unsigned char headerBytes[kHeaderWindowSize];
    unsigned char dataBytes[kDataWindowSize];
};

bool SetPosition(HANDLE file, LONGLONG to, DWORD method, LONGLONG* result) {
    LARGE_INTEGER distance;
    distance.QuadPart = to;
    LARGE_INTEGER now;
    if (!SetFilePointerEx(file, distance, &now, method))
        return false;
    *result = now.QuadPart;
    return true;
}

// Reads up to `size` bytes at `at`, seeking only when the file pointer stands elsewhere. Not a
// ReadFile with an offset in an OVERLAPPED: Wine then tells its server of every completed read, a
// round trip that a seek (answered in the process) does not cost. False only for a failed seek or
// read; the end of the file gives true with fewer bytes.
bool ReadAt(ArchiveStream& s, LONGLONG at, void* into, DWORD size, DWORD& got) {
    got = 0;
    if (s.filePointer != at) {
        LONGLONG now = 0;
        if (!SetPosition(s.file, s.base + at, FILE_BEGIN, &now)) {
            s.filePointer = -1;
            return false;
        }
    }
    const bool read = ReadFile(s.file, into, size, &got, nullptr) != FALSE;
    s.filePointer = read ? at + got : -1;
    return read;
}

DWORD CopyOut(const Window& window, LONGLONG at, unsigned char* into, DWORD wanted) {
    const DWORD offset = static_cast<DWORD>(at - window.start);
    const DWORD count = window.length - offset < wanted ? window.length - offset : wanted;
    std::memcpy(into, window.bytes + offset, count);
    return count;
}

uLong ReadAhead(ArchiveStream& s, unsigned char* into, DWORD size) {
    DWORD done = 0;
    while (done < size) {
        if (s.header.Holds(s.position) || s.data.Holds(s.position)) {
            const Window& from = s.header.Holds(s.position) ? s.header : s.data;
            const DWORD count = CopyOut(from, s.position, into + done, size - done);
            done += count;
            s.position += count;
            continue;
        }
        const DWORD rest = size - done;
        if (rest >= kDataWindowSize) {
            DWORD got = 0;
            if (!ReadAt(s, s.position, into + done, rest, got))
                break;
            done += got;
            s.position += got;
            break;
        }
        // Reading on past a window's end is reading data; a jump elsewhere is reading a header.
        Window& fill =
            s.header.EndsAt(s.position) || s.data.EndsAt(s.position) || rest > kHeaderWindowSize ? s.data : s.header;
        DWORD got = 0;
        const bool read = ReadAt(s, s.position, fill.bytes, fill.capacity, got);
        fill.start = s.position;
        fill.length = read ? got : 0;
        if (fill.length == 0)
            break;  // the end of the file, or a failed read: minizip sees a short count
    }
    return done;
}

voidpf ZCALLBACK StreamOpen(voidpf opaque, const void*, int) {
    return opaque;  // the handle was opened by OpenArchive; minizip gets it as its stream
}

uLong ZCALLBACK StreamRead(voidpf, voidpf stream, void* buffer, uLong size) {
    auto* s = static_cast<ArchiveStream*>(stream);
    if (s->readAhead && s->position >= 0)
        return ReadAhead(*s, static_cast<unsigned char*>(buffer), static_cast<DWORD>(size));
    s->filePointer = -1;
    DWORD read = 0;
    if (!ReadFile(s->file, buffer, size, &read, nullptr)) {
        s->position = -1;
        return 0;
    }
    if (s->position >= 0)
        s->position += read;
    return read;
}

uLong ZCALLBACK StreamWrite(voidpf, voidpf, const void*, uLong) {
    return 0;  // the archive is only read
}

ZPOS64_T ZCALLBACK StreamTell(voidpf, voidpf stream) {
    auto* s = static_cast<ArchiveStream*>(stream);
    if (s->position < 0) {
        LONGLONG now = 0;
        if (!SetPosition(s->file, 0, FILE_CURRENT, &now))
            return static_cast<ZPOS64_T>(-1);
        s->position = now - s->base;
    }
    return static_cast<ZPOS64_T>(s->position);
}

// The 64-bit form of the seek: minizip steps back over a central header's extra field after reading
// it, and passes that step as a negative number in the unsigned offset, which the 32-bit form of
// its file functions refuses.
long ZCALLBACK StreamSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto* s = static_cast<ArchiveStream*>(stream);
    const auto step = static_cast<LONGLONG>(offset);
    // Reading ahead seeks for itself when it fills a window, so a seek from a known position only
    // records the new one.
    if (s->readAhead && s->position >= 0) {
        if (origin == ZLIB_FILEFUNC_SEEK_SET) {
            s->position = static_cast<LONGLONG>(offset);
            return 0;
        }
        if (origin == ZLIB_FILEFUNC_SEEK_CUR) {
            s->position += step;
            return 0;
        }
    }
    s->filePointer = -1;
    LONGLONG now = 0;
    bool done = false;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        if (s->position == static_cast<LONGLONG>(offset))
            return 0;
        done = SetPosition(s->file, s->base + offset, FILE_BEGIN, &now);
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        done = SetPosition(s->file, step, FILE_CURRENT, &now);
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        done = SetPosition(s->file, step, FILE_END, &now);
        break;
    default:
        return -1;
    }
    if (!done) {
        s->position = -1;
        return -1;
    }
    s->position = now - s->base;
    return 0;
}

int ZCALLBACK StreamClose(voidpf, voidpf) {
    return 0;  // the handle belongs to the OpenedArchive and is closed by CloseArchive
}

int ZCALLBACK StreamError(voidpf, voidpf) { return 0; }

// Seconds since 1970-01-01 UTC to a FILETIME through the UTC calendar breakdown.
bool FileTimeFromUnixSeconds(std::int64_t seconds, FILETIME& time) {
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    const CivilDate date = CivilDateFromDays(days);
    SYSTEMTIME calendar{};
    calendar.wYear = static_cast<WORD>(date.year);
    calendar.wMonth = static_cast<WORD>(date.month);
    calendar.wDay = static_cast<WORD>(date.day);
    calendar.wDayOfWeek = static_cast<WORD>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
    calendar.wHour = static_cast<WORD>(rest / 3600);
    calendar.wMinute = static_cast<WORD>(rest / 60 % 60);
    calendar.wSecond = static_cast<WORD>(rest % 60);
    return SystemTimeToFileTime(&calendar, &time) != FALSE;
}

std::uint32_t Read16(const unsigned char* p) { return p[0] | (p[1] << 8); }
std::int32_t Read32(const unsigned char* p) {
    return static_cast<std::int32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
}

// True when minizip would read the archive through a ZIP64 end record: it looks for one before the
// ordinary end record and takes it when, searching back from the end through the last 65,535 bytes
// in steps of 1,024, it finds the ZIP64 locator's signature past the file's first byte, the locator
// names disk 0 of 1, and a ZIP64 end record's signature stands where the locator points (at an offset
// other than 0). The same search, through the same stream, so that the answer is minizip's.
bool TakesZip64EndRecord(ArchiveStream& s) {
    LONGLONG end = 0;
    if (!SetPosition(s.file, 0, FILE_END, &end))
        return false;
    s.filePointer = -1;
    const LONGLONG size = end - s.base;
    const LONGLONG maxBack = size < 0xFFFF ? size : 0xFFFF;
    unsigned char block[1024 + 4];
    LONGLONG found = 0;
    for (LONGLONG back = 4; back < maxBack && found == 0;) {
        back = back + 1024 > maxBack ? maxBack : back + 1024;
        const LONGLONG at = size - back;
        const DWORD wanted = static_cast<DWORD>(size - at < 1028 ? size - at : 1028);
        DWORD got = 0;
        if (!ReadAt(s, at, block, wanted, got) || got != wanted)
            break;
        for (DWORD i = wanted - 3; i-- > 0;) {
            if (block[i] == 0x50 && block[i + 1] == 0x4B && block[i + 2] == 0x06 && block[i + 3] == 0x07) {
                found = at + i;
                break;
            }
        }
    }
    bool zip64 = false;
    unsigned char locator[20];
    DWORD got = 0;
    if (found != 0 && ReadAt(s, found, locator, sizeof locator, got) && got == sizeof locator &&
        Read32(locator + 4) == 0 && Read32(locator + 16) == 1) {
        LONGLONG record = 0;
        for (int i = 7; i >= 0; --i)
            record = (record << 8) | locator[8 + i];
        unsigned char signature[4];
        zip64 = record > 0 && ReadAt(s, record, signature, sizeof signature, got) && got == sizeof signature &&
                Read32(signature) == 0x06064B50;
    }
    LONGLONG now = 0;
    s.filePointer = SetPosition(s.file, s.base, FILE_BEGIN, &now) ? 0 : -1;
    return zip64;
}

// The first extended-timestamp ("UT") block of a local extra field replaces the times it holds.
// Values that do not fit in the block or the field, or that the calendar cannot hold, are passed over.
void ApplyExtendedTimestamp(const unsigned char* extra, std::size_t size, ArchiveEntry& entry) {
    std::size_t at = 0;
    while (size - at > 4) {
        const std::uint32_t id = Read16(extra + at);
        const std::size_t dataSize = Read16(extra + at + 2);
        if (id != 0x5455) {
            at += 4 + dataSize;
            if (at >= size)
                return;
            continue;
        }
        const unsigned char* data = extra + at + 4;
        const std::size_t available = dataSize < size - at - 4 ? dataSize : size - at - 4;
        const unsigned flags = data[0];
        std::size_t next = 1;
        FILETIME* fields[3] = {&entry.writeTime, &entry.accessTime, &entry.creationTime};
        for (int bit = 0; bit < 3; ++bit) {
            if (!(flags & (1u << bit)))
                continue;
            if (next + 4 > available)
                return;
            FILETIME time;
            if (FileTimeFromUnixSeconds(Read32(data + next), time))
                *fields[bit] = time;
            next += 4;
        }
        return;
    }
}

// General-purpose flag bit 11: the name (and comment) are stored as UTF-8.
constexpr unsigned kUtf8NameFlag = 0x0800;
// Info-ZIP's Unicode Path extra field: version 1, the CRC-32 of the stored name, the name in UTF-8.
constexpr std::uint32_t kUnicodePathField = 0x7075;

// The UTF-8 name of an Info-ZIP Unicode Path field that belongs to the stored name: a field written
// for another name (the name was changed by a tool that knew nothing of the field) is passed over.
bool FindUnicodePath(const unsigned char* extra, std::size_t size, const char* storedName, std::size_t nameLength,
                     const char*& utf8, std::size_t& utf8Length) {
    std::size_t at = 0;
    while (size - at >= 4) {
        const std::uint32_t id = Read16(extra + at);
        const std::size_t dataSize = Read16(extra + at + 2);
        if (dataSize > size - at - 4)
            return false;
        const unsigned char* data = extra + at + 4;
        if (id == kUnicodePathField && dataSize >= 5 && data[0] == 1) {
            const auto nameCrc = static_cast<std::uint32_t>(
                crc32(0, reinterpret_cast<const Bytef*>(storedName), static_cast<uInt>(nameLength)));
            if (static_cast<std::uint32_t>(Read32(data + 1)) != nameCrc)
                return false;
            utf8 = reinterpret_cast<const char*>(data + 5);
            utf8Length = dataSize - 5;
            return true;
        }
        at += 4 + dataSize;
    }
    return false;
}

// UTF-8 to the ANSI code page. Bytes that are no UTF-8, and characters the code page has no spelling
// for (no best-fit stand-in: "é" must not quietly become "e"), make the name unspellable; a name the
// name buffer cannot hold is too long (each character takes at least one byte of the code page).
void SpellInCodePage(const char* utf8, std::size_t length, ArchiveEntry& entry) {
    Text ansi = Text::Zeroed(0);
    bool tooLong = false;
    if (length != 0) {
        wchar_t wide[kPathBufferSize];  // one place kept for the terminator
        const int wideLength = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, static_cast<int>(length), wide,
                                                   static_cast<int>(kPathBufferSize - 1));
        tooLong = wideLength == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER;
        ansi = Text{};
        if (wideLength != 0) {
            wide[wideLength] = L'\0';
            // A zero inside the name would end its spelling early: such a name is refused whole.
            if (std::wcslen(wide) == static_cast<std::size_t>(wideLength))
                ansi = AnsiFromWide(wide, Unspellable::Fails);
            tooLong = ansi.size() >= kPathBufferSize;
        }
    }
    if (ansi.absent() || tooLong) {
        (tooLong ? entry.nameTooLong : entry.nameUnspellable) = true;
        std::memset(entry.name, 0, sizeof entry.name);
        return;
    }
    std::memcpy(entry.name, ansi.c_str(), ansi.size() + 1);
    entry.nameLength = ansi.size();
}

// The entry's name: converted from UTF-8 where the entry says its name is UTF-8, else as stored,
// byte for byte, whatever it holds.
void TakeName(const char* stored, std::size_t storedLength, bool utf8Flag, const unsigned char* centralExtra,
              std::size_t extraSize, ArchiveEntry& entry) {
    const char* utf8 = stored;
    std::size_t utf8Length = storedLength;
    if (utf8Flag || FindUnicodePath(centralExtra, extraSize, stored, storedLength, utf8, utf8Length)) {
        SpellInCodePage(utf8, utf8Length, entry);
        return;
    }
    if (storedLength >= kPathBufferSize) {
        entry.nameTooLong = true;
        return;
    }
    std::memcpy(entry.name, stored, storedLength);
    entry.name[storedLength] = '\0';
    entry.nameLength = storedLength;
}

}  // namespace

// A header's name and extra field have 16-bit lengths: these buffers take any of them whole.
constexpr std::size_t kHeaderFieldSize = 0x10000;

struct OpenedArchive : AllocatedObject {
    ArchiveStream stream;
    unzFile zip = nullptr;
    std::int32_t count = 0;
    std::int32_t current = 0;       // the entry minizip stands on
    std::int32_t openEntry = -1;    // the entry whose data is open, -1 for none
    std::int32_t cachedIndex = -1;  // the entry in `cached`, -1 for none
    ArchiveEntry cached;
    char storedName[kHeaderFieldSize];      // the central header's name, whole
    char localName[kHeaderFieldSize];       // the local header's name, whole
    unsigned char extra[kHeaderFieldSize];  // the central, then the local extra field
};

namespace {

void CloseOpenEntry(OpenedArchive& archive) {
    if (archive.openEntry >= 0) {
        unzCloseCurrentFile(archive.zip);
        archive.openEntry = -1;
    }
}

// Moves minizip onto the entry: back to the first one only when the index lies behind.
bool PositionOn(OpenedArchive& archive, std::int32_t index) {
    if (index < archive.current) {
        if (unzGoToFirstFile(archive.zip) != UNZ_OK)
            return false;
        archive.current = 0;
    }
    while (archive.current < index) {
        if (unzGoToNextFile(archive.zip) != UNZ_OK) {
            // minizip no longer stands on a known entry: start from the first next time.
            unzGoToFirstFile(archive.zip);
            archive.current = 0;
            return false;
        }
        ++archive.current;
    }
    return true;
}

// True when the local header of the entry whose data is open names it with the bytes of the central
// header's name (`nameLength` of them, as minizip checked; `extraSize`, the local extra field's). The
// name ends where the extra field begins, which ends where the data begins. Read through the stream:
// minizip seeks before each read of its own.
bool LocalNameIsStored(OpenedArchive& archive, std::size_t nameLength, std::size_t extraSize) {
    const ZPOS64_T data = unzGetCurrentFileZStreamPos64(archive.zip);
    if (data < nameLength + extraSize)
        return false;
    if (StreamSeek(nullptr, &archive.stream, data - extraSize - nameLength, ZLIB_FILEFUNC_SEEK_SET) != 0)
        return false;
    if (nameLength != 0 && StreamRead(nullptr, &archive.stream, archive.localName, nameLength) != nameLength)
        return false;
    return std::memcmp(archive.localName, archive.storedName, nameLength) == 0;
}

}  // namespace

DWORD EntryAttributes(std::uint32_t a) {
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if ((a & 0x40000000u) || (a & 0x10u))
        attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL;
    if (a & 0x20u)
        attributes |= FILE_ATTRIBUTE_ARCHIVE;
    if (a & 0x02u)
        attributes |= FILE_ATTRIBUTE_HIDDEN;
    if (!(a & 0x00800000u) || (a & 0x01u))
        attributes |= FILE_ATTRIBUTE_READONLY;
    if (a & 0x04u)
        attributes |= FILE_ATTRIBUTE_SYSTEM;
    return attributes;
}

ArchiveHandle OpenArchive(FileHandle file) {
    if (!file)
        return ArchiveHandle{};
    auto* archive = new OpenedArchive;
    archive->stream.file = file.get();
    archive->stream.header.bytes = archive->stream.headerBytes;
    archive->stream.header.capacity = kHeaderWindowSize;
    archive->stream.data.bytes = archive->stream.dataBytes;
    archive->stream.data.capacity = kDataWindowSize;
    if (GetFileType(file.get()) == FILE_TYPE_DISK) {
        LONGLONG start = 0;
        if (SetPosition(file.get(), 0, FILE_CURRENT, &start))
            archive->stream.base = start;
        archive->stream.position = 0;
        archive->stream.readAhead = true;
    }
    if (TakesZip64EndRecord(archive->stream)) {
        delete archive;
        SetLastError(ERROR_BAD_FORMAT);
        return ArchiveHandle{};  // the owner closes the file
    }
    zlib_filefunc64_def functions{.zopen64_file = StreamOpen,
                                  .zread_file = StreamRead,
                                  .zwrite_file = StreamWrite,
                                  .ztell64_file = StreamTell,
                                  .zseek64_file = StreamSeek,
                                  .zclose_file = StreamClose,
                                  .zerror_file = StreamError,
                                  .opaque = &archive->stream};
    archive->zip = unzOpen2_64("", &functions);
    // The 64-bit form: the 32-bit one cuts the count to 32 bits without a word.
    unz_global_info64 global{};
    if (!archive->zip || unzGetGlobalInfo64(archive->zip, &global) != UNZ_OK || global.number_entry > INT32_MAX) {
        if (archive->zip)
            unzClose(archive->zip);
        delete archive;
        SetLastError(ERROR_BAD_FORMAT);
        return ArchiveHandle{};
    }
    archive->count = static_cast<std::int32_t>(global.number_entry);
    (void)file.release();  // the archive's stream closes it now
    return ArchiveHandle{archive};
}

void CloseArchive(OpenedArchive* archive) {
    if (!archive)
        return;
    CloseOpenEntry(*archive);
    unzClose(archive->zip);
    FileHandle closing{archive->stream.file};
    delete archive;
}

bool ReadEntryInfo(OpenedArchive& archive, std::int32_t index, ArchiveEntry& entry) {
    if (index < -1 || index >= archive.count)
        return false;
    CloseOpenEntry(archive);
    if (index == -1) {
        entry = ArchiveEntry{};
        entry.index = archive.count;
        return true;
    }
    if (index == archive.cachedIndex) {
        entry = archive.cached;
        return true;
    }
    if (!PositionOn(archive, index))
        return false;

    ArchiveEntry read;
    read.index = index;
    // The 64-bit form: minizip takes an entry's sizes from a ZIP64 extra field (0x0001) wherever the
    // header's own field reads 0xFFFFFFFF, even in an archive without a ZIP64 end record, and the 32-bit
    // form cuts them to their low 32 bits without a word.
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(archive.zip, &info, archive.storedName, sizeof archive.storedName, archive.extra,
                                sizeof archive.extra, nullptr, 0) != UNZ_OK)
        return false;
    // An entry of 4 GiB or more: this format has no ZIP64, and no such file fits the launcher's payload.
    if (info.uncompressed_size > kMaxEntrySize || info.compressed_size > kMaxEntrySize) {
        SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    // minizip takes method 12 (bzip2) as well and, built without bzip2, hands out such an entry's
    // compressed bytes as its data, with no CRC-32 check: only stored and deflated entries are read.
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED)
        return false;
    TakeName(archive.storedName, info.size_filename, (info.flag & kUtf8NameFlag) != 0, archive.extra,
             info.size_file_extra, read);
    // Opening the entry's data makes minizip check the local header against the central one.
    if (unzOpenCurrentFile(archive.zip) != UNZ_OK)
        return false;
    const int extraSize = unzGetLocalExtrafield(archive.zip, nullptr, 0);
    bool extraRead = extraSize >= 0;
    // minizip compares the two names' lengths only. A reader that goes by the local headers would
    // install this entry under the local name, so the two must be the same bytes.
    if (extraRead && !LocalNameIsStored(archive, info.size_filename, static_cast<std::size_t>(extraSize))) {
        unzCloseCurrentFile(archive.zip);
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    unsigned char* extra = archive.extra;
    if (extraRead && extraSize > 0)
        extraRead = unzGetLocalExtrafield(archive.zip, extra, static_cast<unsigned>(extraSize)) == extraSize;
    // Closed unread, its CRC-32 verdict passed over: minizip gives one only once the whole recorded
    // size was delivered (at once for an empty entry); ExtractEntryData reads the data and takes it.
    unzCloseCurrentFile(archive.zip);
    if (!extraRead)
        return false;

    read.encrypted = (info.flag & 1u) != 0;
    read.attributes = EntryAttributes(static_cast<std::uint32_t>(info.external_fa));
    read.compressedSize = info.compressed_size;
    read.uncompressedSize = info.uncompressed_size;
    read.crc32 = static_cast<std::uint32_t>(info.crc);
    FILETIME dosTime{};
    DosDateTimeToFileTime(static_cast<WORD>(info.dosDate >> 16), static_cast<WORD>(info.dosDate & 0xFFFF), &dosTime);
    read.accessTime = read.creationTime = read.writeTime = dosTime;
    if (extraSize > 4)
        ApplyExtendedTimestamp(extra, static_cast<std::size_t>(extraSize), read);

    archive.cached = read;
    archive.cachedIndex = index;
    entry = read;
    return true;
}

bool ExtractEntryData(OpenedArchive& archive, std::int32_t index, HANDLE file) {
    CloseOpenEntry(archive);
    if (index < 0 || index >= archive.count)
        return false;
    if (!PositionOn(archive, index))
        return false;
    ArchiveEntry entry;
    if (!ReadEntryInfo(archive, index, entry))
        return false;
    if (entry.encrypted) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }

    bool failed = unzOpenCurrentFile(archive.zip) != UNZ_OK;
    if (failed)
        SetLastError(ERROR_INVALID_DATA);
    if (!failed) {
        archive.openEntry = index;
        char buffer[kCopyBufferSize];
        std::uint64_t total = 0;
        for (;;) {
            const int got = unzReadCurrentFile(archive.zip, buffer, sizeof buffer);
            if (got < 0) {
                SetLastError(ERROR_INVALID_DATA);
                failed = true;
                break;
            }
            if (got == 0)
                break;
            total += static_cast<std::uint64_t>(got);
            DWORD written = 0;
            if (!WriteFile(file, buffer, static_cast<DWORD>(got), &written, nullptr)) {
                failed = true;
                break;
            }
        }
        // minizip compares the CRC-32 when the entry is closed, and only when it has delivered the
        // whole recorded size: data that ends early (a deflate stream that stops, stored bytes cut
        // short) is caught by this count, as the close would pass it unchecked.
        if (!failed && total != entry.uncompressedSize) {
            SetLastError(ERROR_INVALID_DATA);
            failed = true;
        }
        // The close's verdict on data of the whole size: a mismatch means the data is not the
        // entry's, so the file fails.
        if (unzCloseCurrentFile(archive.zip) != UNZ_OK && !failed) {
            SetLastError(ERROR_CRC);
            failed = true;
        }
        archive.openEntry = -1;
    }
    if (!failed && GetFileType(file) == FILE_TYPE_DISK)
        SetFileTime(file, &entry.creationTime, &entry.accessTime, &entry.writeTime);
    return !failed;
}

bool FileHoldsEntryData(HANDLE file, const ArchiveEntry& entry) {
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
    char buffer[kCopyBufferSize];
    uLong crc = crc32(0, Z_NULL, 0);
    std::uint64_t total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr))
            return false;
        if (got == 0)
            break;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer), got);
        total += got;
    }
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
    if (total != entry.uncompressedSize || static_cast<std::uint32_t>(crc) != entry.crc32) {
        SetLastError(ERROR_FILE_INVALID);
        return false;
    }
    return true;
}

bool CreateFolderRecursive(const char* path) {
    if (!path || !*path)
        return false;
    const std::size_t length = std::strlen(path);
    if (length >= kPathBufferSize) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (length == 2 && path[1] == ':')
        return true;
    if (CreateDirectoryA(path, nullptr))
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS)
        return true;
    if (error != ERROR_PATH_NOT_FOUND)
        return false;

    // The parent ends at the last backslash before the path's last byte: one there only marks the
    // path as a folder. Found walking forward character by character, as going back byte by byte
    // cannot tell the trail byte 0x5C of a double-byte character ("\xD5\x5C") from a separator.
    const char* split = nullptr;
    for (const char* p = path; *p; p = NextChar(p))
        if (*p == '\\' && p[1] != '\0')
            split = p;
    if (!split)
        return false;
    char parent[kPathBufferSize];
    const std::size_t parentLength = static_cast<std::size_t>(split - path);
    std::memcpy(parent, path, parentLength);
    parent[parentLength] = '\0';
    if (!CreateFolderRecursive(parent))
        return false;
    return CreateDirectoryA(path, nullptr) != FALSE;
}

bool EntryNameIsSafe(const ArchiveEntry& entry) {
    if (entry.nameTooLong)
        return false;
    return CheckEntryName(entry.name, entry.nameLength, IsLeadByte).accepted();
}
