// tools/archive_check.cpp: the packer's reader of an archive made elsewhere, step for step as minizip's
// unzip.c reads it under the launcher's entry reader. Where minizip is lenient (it reads fields past the
// end of the file, takes local headers whose sizes are 0xFFFFFFFF, stops reading data at the recorded
// size), this reader is strict: an archive that only a lenient reader could read is refused, so that
// what is listed here is what the launcher installs.
#include "tools/archive_check.h"

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <optional>

namespace archivecheck {
namespace {

using payloadrules::Item;
using payloadrules::Refusal;

constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr std::uint32_t kZip64EndSignature = 0x06064B50;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr char kArchive[] = "(the archive)";

// A field as minizip reads it: its end-of-file code equals its success code, so a byte past the end of
// the file reads as the byte before it in the same field (0 for the field's first byte).
std::uint64_t MinizipField(const std::string& b, std::uint64_t at, int width) {
    std::uint64_t value = 0;
    std::uint64_t last = 0;
    for (int i = 0; i < width; ++i) {
        if (at + i < b.size())
            last = static_cast<unsigned char>(b[at + i]);
        value |= last << (8 * i);
    }
    return value;
}

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// Where minizip finds a record by its signature (unz64local_SearchCentralDir and its ZIP64 twin): the
// last occurrence within the file's last 65,535 bytes, searched back from the end in blocks of 1,028
// bytes. 0 for none: minizip cannot tell a record at the file's first byte from none.
std::uint64_t FindFromEnd(const std::string& b, std::uint32_t signature) {
    const std::uint64_t size = b.size();
    const std::uint64_t maxBack = size < 0xFFFF ? size : 0xFFFF;
    for (std::uint64_t back = 4; back < maxBack;) {
        back = back + 1024 > maxBack ? maxBack : back + 1024;
        const std::uint64_t at = size - back;
        const std::uint64_t length = size - at < 1028 ? size - at : 1028;
        for (std::uint64_t i = length - 3; i-- > 0;)
            if (Read32(b, at + i) == signature)
                return at + i;
    }
    return 0;
}

// The position of the ZIP64 end record minizip would read the archive through, or 0: it takes the
// locator it finds when the locator names disk 0 of 1 and a ZIP64 end record's signature stands where
// the locator points, every field read as minizip reads it (a locator cut short by the file's end
// included).
std::uint64_t Zip64EndRecord(const std::string& b) {
    const std::uint64_t locator = FindFromEnd(b, kZip64LocatorSignature);
    if (locator == 0 || MinizipField(b, locator + 4, 4) != 0 || MinizipField(b, locator + 16, 4) != 1)
        return 0;
    const std::uint64_t record = MinizipField(b, locator + 8, 8);
    return record != 0 && MinizipField(b, record, 4) == kZip64EndSignature ? record : 0;
}

// True when an extra field holds a ZIP64 block (0x0001), its blocks walked in order as minizip walks
// them (a block whose size runs past the field ends the walk). minizip takes sizes and the local
// header's offset from such a block wherever the header's own field reads 0xFFFFFFFF.
bool HasZip64Block(const std::string& b, std::size_t at, std::size_t size) {
    for (std::size_t i = 0; i + 4 <= size; i += 4 + Read16(b, at + i + 2))
        if (Read16(b, at + i) == 0x0001)
            return true;
    return false;
}

// The name the launcher installs: the UTF-8 name where the entry marks one (the general-purpose flag
// bit 11, or an Info-ZIP Unicode Path field of version 1), else the stored bytes in code page 936. As the
// launcher's reader, the first Unicode Path field of version 1 decides: one whose CRC-32 is not the stored
// name's makes the stored name count, whatever fields follow, and a block whose size runs past the field
// ends the search.
Item ItemOfEntry(const std::string& raw, std::uint32_t flags, const std::string& extra) {
    Item item;
    std::optional<std::string> utf8;
    if (flags & 0x800)
        utf8 = raw;
    for (std::size_t at = 0; !utf8 && at + 4 <= extra.size();) {
        const std::uint32_t id = Read16(extra, at), size = Read16(extra, at + 2);
        if (at + 4 + size > extra.size())
            break;
        if (id == 0x7075 && size >= 5 && extra[at + 4] == 1) {
            const auto crc = crc32(0, reinterpret_cast<const Bytef*>(raw.data()), static_cast<uInt>(raw.size()));
            if (Read32(extra, at + 5) == crc)
                utf8 = extra.substr(at + 9, size - 5);
            break;
        }
        at += 4 + size;
    }
    if (utf8) {
        item.name = *utf8;
        const std::optional<std::string> ansi = payloadrules::Utf8ToAnsi(*utf8);
        item.spellable = ansi.has_value();
        item.ansi = ansi.value_or("");
    } else {
        item.ansi = raw;
        const std::optional<std::string> shown = payloadrules::AnsiToUtf8(raw);
        item.spellable = shown.has_value();
        item.name = shown.value_or(raw);
    }
    return item;
}

// True when the entry's data gives exactly its recorded size and CRC-32: stored bytes as many as the
// recorded size, or one whole deflate stream that takes every compressed byte. (minizip stops at the
// recorded size and passes over what follows; data a careful writer never makes is refused here.)
bool DataIsWhole(const std::string& b, std::size_t at, std::uint32_t compressed, std::uint32_t size, std::uint32_t crc,
                 std::uint32_t method) {
    const auto* data = reinterpret_cast<const Bytef*>(b.data() + at);
    if (method == 0)
        return compressed == size && crc32(0, data, compressed) == crc;
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return false;
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = compressed;
    unsigned char out[65536];
    std::uint64_t total = 0;
    uLong sum = crc32(0, Z_NULL, 0);
    int status = Z_OK;
    while (status == Z_OK && total <= size) {
        stream.next_out = out;
        stream.avail_out = sizeof out;
        status = inflate(&stream, Z_NO_FLUSH);
        const uInt produced = static_cast<uInt>(sizeof out - stream.avail_out);
        sum = crc32(sum, out, produced);
        total += produced;
        if (status == Z_BUF_ERROR && stream.avail_in == 0)
            break;  // the compressed bytes ran out before the stream ended
    }
    inflateEnd(&stream);
    return status == Z_STREAM_END && stream.avail_in == 0 && total == size && sum == crc;
}

}  // namespace

Listing ListArchive(const std::string& zip, std::vector<Item>& items, std::vector<Refusal>& refusals,
                    std::string& error) {
    // The launcher takes the file for an archive only when it begins with a local header whose bytes
    // 24 to 27 (the upper half of the size and the name length), read as a signed number, are at least
    // 1 (payload/zip_component.cpp).
    if (zip.size() < 32 || Read32(zip, 0) != kLocalSignature || static_cast<std::int32_t>(Read32(zip, 24)) < 1)
        refusals.push_back({kArchive,
                            "does not begin with a local file header whose name is 1 to 32,767 bytes "
                            "long, so the launcher extracts nothing from it (bytes in front of the "
                            "archive, such as a self-extractor's, are not taken)"});

    const std::uint64_t end = FindFromEnd(zip, kEndSignature);
    if (end == 0) {
        error = "not a ZIP archive (no end-of-central-directory record in its last 65,535 bytes)";
        return Listing::kUnreadable;
    }
    if (end + kEndSize > zip.size()) {
        error = "the end-of-central-directory record at " + std::to_string(end) + " is cut short by the file's end";
        return Listing::kUnreadable;
    }
    if (const std::uint64_t record = Zip64EndRecord(zip)) {
        refusals.push_back({kArchive, "a ZIP64 end record at " + std::to_string(record) +
                                          " (with its locator); the launcher reads archives without ZIP64 only"});
        return Listing::kRefused;
    }
    const std::uint32_t disk = Read16(zip, end + 4), directoryDisk = Read16(zip, end + 6);
    const std::uint32_t countHere = Read16(zip, end + 8), count = Read16(zip, end + 10);
    const std::uint64_t size = Read32(zip, end + 12), offset = Read32(zip, end + 16);
    if (count == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF) {
        refusals.push_back({kArchive, "ZIP64 records; the launcher reads archives without ZIP64 only"});
        return Listing::kRefused;
    }
    if (disk != 0 || directoryDisk != 0 || countHere != count) {
        refusals.push_back({kArchive, "the end record names another disk or gives two entry counts (" +
                                          std::to_string(countHere) + " and " + std::to_string(count) +
                                          "); the launcher reads single archives only"});
        return Listing::kRefused;
    }
    // minizip reads the directory where it must start to end at the end record (end less size), and
    // every local header that many bytes further than its offset says; most other readers go by the
    // offsets. An archive where the two differ can show each reader another directory.
    if (offset + size != end) {
        refusals.push_back({kArchive, "the end record gives the central directory at offset " + std::to_string(offset) +
                                          " with " + std::to_string(size) + " bytes, but the end record stands at " +
                                          std::to_string(end) + ": the launcher would read the directory from " +
                                          (size <= end ? std::to_string(end - size) : std::string("before the file")) +
                                          ", a reader that goes by the offset from " + std::to_string(offset)});
        return Listing::kRefused;
    }

    std::uint64_t at = offset;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (at + kCentralSize > end || Read32(zip, at) != kCentralSignature) {
            error = "the central directory breaks off at entry " + std::to_string(i + 1);
            return Listing::kUnreadable;
        }
        const std::uint32_t flags = Read16(zip, at + 8), method = Read16(zip, at + 10), crc = Read32(zip, at + 16);
        const std::uint32_t compressed = Read32(zip, at + 20), uncompressed = Read32(zip, at + 24);
        const std::uint32_t nameLength = Read16(zip, at + 28), extraLength = Read16(zip, at + 30),
                            commentLength = Read16(zip, at + 32), attributes = Read32(zip, at + 38),
                            local = Read32(zip, at + 42);
        if (at + kCentralSize + nameLength + extraLength + commentLength > end) {
            error = "the central directory breaks off at entry " + std::to_string(i + 1);
            return Listing::kUnreadable;
        }
        const std::size_t extraAt = at + kCentralSize + nameLength;
        Item item = ItemOfEntry(zip.substr(at + kCentralSize, nameLength), flags, zip.substr(extraAt, extraLength));
        // The launcher makes a folder for a name ending in "/" and for the folder bit of the MS-DOS or the
        // Unix attributes (payload/archive_reader.cpp, EntryAttributes), and reads no data for it.
        item.folder =
            (!item.name.empty() && item.name.back() == '/') || (attributes & 0x10) || (attributes & 0x40000000);
        item.size = uncompressed;
        item.crc = crc;
        const std::size_t refused = refusals.size();
        if (flags & 1)
            refusals.push_back({item.name, "encrypted; the launcher extracts plain entries only"});
        if (method != 0 && method != 8)
            refusals.push_back({item.name, "compression method " + std::to_string(method) +
                                               "; the launcher takes stored (0) and deflate (8) only"});
        if (compressed == 0xFFFFFFFF || uncompressed == 0xFFFFFFFF || local == 0xFFFFFFFF ||
            HasZip64Block(zip, extraAt, extraLength))
            refusals.push_back({item.name,
                                "ZIP64 sizes, offset or extra field (0x0001); the launcher reads "
                                "archives without ZIP64 only"});
        if (item.folder && uncompressed != 0)
            refusals.push_back({item.name, "a folder entry holding " + std::to_string(uncompressed) +
                                               " bytes of data, which the launcher would not install"});

        // The local header, as minizip checks it when the launcher reads the entry (folders too).
        const std::uint64_t header = local;
        std::uint64_t dataAt = 0;
        if (header + kLocalSize > zip.size() || Read32(zip, header) != kLocalSignature) {
            refusals.push_back({item.name, "no local header at offset " + std::to_string(header)});
        } else {
            const std::uint32_t localFlags = Read16(zip, header + 6), localMethod = Read16(zip, header + 8);
            const std::uint32_t localNameLength = Read16(zip, header + 26), localExtraLength = Read16(zip, header + 28);
            // With the data-descriptor flag the local CRC-32 and sizes may be 0; minizip reads the central ones.
            const bool described = (localFlags & 8) != 0;
            dataAt = header + kLocalSize + localNameLength + localExtraLength;
            if (localMethod != method || localNameLength != nameLength ||
                (!described && (Read32(zip, header + 14) != crc || Read32(zip, header + 18) != compressed ||
                                Read32(zip, header + 22) != uncompressed)))
                refusals.push_back({item.name, "its local header at offset " + std::to_string(header) +
                                                   " disagrees with the central directory (method, CRC-32, sizes "
                                                   "or name length)"});
            else if (dataAt > zip.size())
                refusals.push_back({item.name, "its local header runs past the archive's end"});
            // A reader that goes by the local headers (a stream unpacker, a repair tool) would install
            // the local name; the launcher refuses an entry whose two names differ by a byte.
            else if (zip.compare(header + kLocalSize, nameLength, zip, at + kCentralSize, nameLength) != 0)
                refusals.push_back({item.name, "its local header at offset " + std::to_string(header) + " names it \"" +
                                                   payloadrules::AnsiToUtf8(zip.substr(header + kLocalSize, nameLength))
                                                       .value_or("(not code page 936)") +
                                                   "\": the two names must be the same bytes"});
            else if (HasZip64Block(zip, header + kLocalSize + localNameLength, localExtraLength))
                refusals.push_back({item.name,
                                    "a ZIP64 extra field (0x0001) in its local header; the launcher "
                                    "reads archives without ZIP64 only"});
        }
        // A file's data, when nothing above refused the entry already: what the launcher writes.
        if (refusals.size() == refused && !item.folder &&
            (dataAt + compressed > zip.size() || !DataIsWhole(zip, dataAt, compressed, uncompressed, crc, method)))
            refusals.push_back({item.name, "its data does not give its recorded size and CRC-32 (" +
                                               std::to_string(uncompressed) + " bytes, " + Hex(crc) +
                                               "): the launcher would stop at it"});
        items.push_back(std::move(item));
        at += kCentralSize + nameLength + extraLength + commentLength;
    }
    if (at != end)
        refusals.push_back({kArchive, "the central directory's " + std::to_string(count) + " records take " +
                                          std::to_string(at - offset) + " bytes, but the end record gives it " +
                                          std::to_string(size)});
    return Listing::kListed;
}

}  // namespace archivecheck
