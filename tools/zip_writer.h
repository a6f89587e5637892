// tools/zip_writer.h: builds ZIP archives in memory in the payload's layout: entries back to back in
// the given order, deflate for files and stored for folders, "/" separators, an empty local extra
// field and one NTFS time block in the central extra field, no comments, no data descriptors.
// Portable (no system calls): the packer uses it on the build machine and the tests in Windows
// programs. Each entry has knobs that make deliberately faulty archives for the tests.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zipwriter {

using Bytes = std::vector<unsigned char>;

struct Entry {
    std::string name;  // as stored; a folder's name ends in "/"
    std::string data;  // a file's bytes (ignored for folders)
    bool folder = false;
    std::uint16_t dosTime = 0;     // MS-DOS time and date as stored in the headers
    std::uint16_t dosDate = 0x21;  // 1980-01-01
    // FILETIME values (100 ns since 1601) for the central NTFS block; no block when absent.
    bool ntfsTimes = true;
    std::uint64_t writeTime = 0, accessTime = 0, creationTime = 0;

    // Knobs for faulty or unusual archives; the defaults give the payload's layout.
    std::optional<std::uint32_t> externalAttributes;  // default 0x20 for a file, 0x10 for a folder
    std::optional<std::uint16_t> versionMadeBy;       // default 0x003F
    std::optional<std::uint32_t> crc;                 // stored CRC (both headers) instead of the real one
    std::optional<std::uint16_t> method;              // stored method; the data is still deflated for
                                                      // a file unless `storeData` is set
    bool storeData = false;                           // write the file's bytes uncompressed (method 0)
    std::uint16_t flags = 0;                          // general-purpose flags, both headers
    std::size_t truncateBy = 0;                       // cut this many bytes off the compressed stream
                                                      // (the sizes stored describe the cut stream)
    std::optional<std::string> storedCompressedData;  // use these bytes as the entry's data as they are
    Bytes localExtra;                                 // local extra field (default empty)
    std::optional<Bytes> centralExtra;                // central extra field instead of the NTFS block
    // The local header disagrees with the central one in these fields when set.
    std::optional<std::uint32_t> localCrc;
    std::optional<std::uint16_t> localMethod;
    std::optional<std::string> localName;
    std::optional<std::uint32_t> localSignature;
};

struct Options {
    std::string stub;  // bytes in front of the first local header; offsets still count from the file's start
    // Called after each entry is compressed with the entries done so far and the bytes of their data:
    // a packer of a large tree shows its progress with it.
    std::function<void(std::size_t entriesDone, std::uint64_t bytesDone)> progress;
    // When set, a ZIP64 end record with this entry count (in both of its counts) and its locator go
    // before the ordinary end record, whose counts then read 0xFFFF where this count does not fit.
    std::optional<std::uint64_t> zip64EntryCount;
};

// The whole archive as bytes. Deterministic: the same entries give the same bytes.
std::string BuildArchive(const std::vector<Entry>& entries, const Options& options = {});

// A DOS date and time from a UTC calendar time (seconds since 1970); DOS has 2-second steps.
void DosFromUnixTime(std::int64_t unixSeconds, std::uint16_t& dosDate, std::uint16_t& dosTime);
// A FILETIME value (100 ns since 1601-01-01 UTC) from seconds since 1970.
std::uint64_t FileTimeFromUnixTime(std::int64_t unixSeconds);
// Sets an entry's DOS time and all three NTFS times from one UTC time.
void SetEntryTime(Entry& entry, std::int64_t unixSeconds);
// A file entry (or, with `folder`, a folder entry, its name ending in "/") holding `data`, every time
// set from `unixSeconds`.
Entry MakeEntry(const std::string& name, const std::string& data, std::int64_t unixSeconds, bool folder = false);

// An extended-timestamp ("UT") extra block with the given flags and the values present for them.
Bytes ExtendedTimestampBlock(std::uint8_t flags, const std::vector<std::int32_t>& values);

}  // namespace zipwriter
