// tools/zip_writer.cpp: the archive writer over zlib (raw deflate and CRC-32).
#include "tools/zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace zipwriter {
namespace {

void Put16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

void Put64(std::string& out, std::uint64_t v) {
    Put32(out, static_cast<std::uint32_t>(v));
    Put32(out, static_cast<std::uint32_t>(v >> 32));
}

// Raw deflate (no zlib header), as the archive's method 8 stores it.
std::string Deflate(const std::string& data) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::uint32_t Crc(const std::string& data) {
    // crc32 takes a 32-bit length: go in pieces so any size works.
    uLong crc = crc32(0L, Z_NULL, 0);
    std::size_t done = 0;
    while (done < data.size()) {
        std::size_t piece = std::min<std::size_t>(data.size() - done, 1u << 30);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data() + done), static_cast<uInt>(piece));
        done += piece;
    }
    return static_cast<std::uint32_t>(crc);
}

std::string NtfsBlock(const Entry& e) {
    std::string block;
    Put16(block, 0x000A);
    Put16(block, 32);
    Put32(block, 0);  // reserved
    Put16(block, 0x0001);
    Put16(block, 24);
    Put64(block, e.writeTime);
    Put64(block, e.accessTime);
    Put64(block, e.creationTime);
    return block;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int& year, unsigned& month, unsigned& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

}  // namespace

void DosFromUnixTime(std::int64_t unixSeconds, std::uint16_t& dosDate, std::uint16_t& dosTime) {
    std::int64_t days = unixSeconds / 86400;
    std::int64_t rest = unixSeconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int year;
    unsigned month, day;
    CivilFromDays(days, year, month, day);
    if (year < 1980) {  // DOS dates start in 1980
        year = 1980;
        month = 1;
        day = 1;
        rest = 0;
    }
    dosDate = static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
    dosTime = static_cast<std::uint16_t>(((rest / 3600) << 11) | (((rest / 60) % 60) << 5) | ((rest % 60) / 2));
}

std::uint64_t FileTimeFromUnixTime(std::int64_t unixSeconds) {
    return static_cast<std::uint64_t>((unixSeconds + 11644473600LL) * 10000000LL);
}

void SetEntryTime(Entry& entry, std::int64_t unixSeconds) {
    DosFromUnixTime(unixSeconds, entry.dosDate, entry.dosTime);
    entry.writeTime = entry.accessTime = entry.creationTime = FileTimeFromUnixTime(unixSeconds);
}

Entry MakeEntry(const std::string& name, const std::string& data, std::int64_t unixSeconds, bool folder) {
    Entry entry;
    entry.name = name;
    entry.data = data;
    entry.folder = folder;
    SetEntryTime(entry, unixSeconds);
    return entry;
}

Bytes ExtendedTimestampBlock(std::uint8_t flags, const std::vector<std::int32_t>& values) {
    std::string block;
    Put16(block, 0x5455);
    Put16(block, static_cast<std::uint32_t>(1 + 4 * values.size()));
    block.push_back(static_cast<char>(flags));
    for (std::int32_t v : values)
        Put32(block, static_cast<std::uint32_t>(v));
    return Bytes(block.begin(), block.end());
}

std::string BuildArchive(const std::vector<Entry>& entries, const Options& options) {
    std::string out = options.stub;
    std::string central;
    std::size_t entriesDone = 0;
    std::uint64_t bytesDone = 0;
    for (const Entry& e : entries) {
        const std::uint32_t offset = static_cast<std::uint32_t>(out.size());
        std::uint16_t method = 0;
        std::string stored;
        std::uint32_t crc = 0;
        std::uint32_t uncompressed = 0;
        if (!e.folder) {
            crc = Crc(e.data);
            uncompressed = static_cast<std::uint32_t>(e.data.size());
            if (e.storedCompressedData) {
                stored = *e.storedCompressedData;
                method = 8;
            } else if (e.storeData) {
                stored = e.data;
            } else {
                stored = Deflate(e.data);
                method = 8;
            }
            if (e.truncateBy > 0)
                stored.resize(stored.size() > e.truncateBy ? stored.size() - e.truncateBy : 0);
        }
        if (e.method)
            method = *e.method;
        if (e.crc)
            crc = *e.crc;
        const std::uint16_t needed = e.folder ? 10 : 20;
        const std::uint32_t compressed = static_cast<std::uint32_t>(stored.size());
        const std::string& localName = e.localName ? *e.localName : e.name;

        Put32(out, e.localSignature ? *e.localSignature : 0x04034B50);
        Put16(out, needed);
        Put16(out, e.flags);
        Put16(out, e.localMethod ? *e.localMethod : method);
        Put16(out, e.dosTime);
        Put16(out, e.dosDate);
        Put32(out, e.localCrc ? *e.localCrc : crc);
        Put32(out, compressed);
        Put32(out, uncompressed);
        Put16(out, static_cast<std::uint32_t>(localName.size()));
        Put16(out, static_cast<std::uint32_t>(e.localExtra.size()));
        out += localName;
        out.append(e.localExtra.begin(), e.localExtra.end());
        out += stored;

        std::string extra;
        if (e.centralExtra)
            extra.assign(e.centralExtra->begin(), e.centralExtra->end());
        else if (e.ntfsTimes)
            extra = NtfsBlock(e);
        Put32(central, 0x02014B50);
        Put16(central, e.versionMadeBy ? *e.versionMadeBy : 0x003F);
        Put16(central, needed);
        Put16(central, e.flags);
        Put16(central, method);
        Put16(central, e.dosTime);
        Put16(central, e.dosDate);
        Put32(central, crc);
        Put32(central, compressed);
        Put32(central, uncompressed);
        Put16(central, static_cast<std::uint32_t>(e.name.size()));
        Put16(central, static_cast<std::uint32_t>(extra.size()));
        Put16(central, 0);  // file comment length
        Put16(central, 0);  // disk number start
        Put16(central, 0);  // internal attributes
        Put32(central, e.externalAttributes ? *e.externalAttributes : (e.folder ? 0x10u : 0x20u));
        Put32(central, offset);
        central += e.name;
        central += extra;
        bytesDone += e.folder ? 0 : e.data.size();
        if (options.progress)
            options.progress(++entriesDone, bytesDone);
    }
    const std::uint32_t centralOffset = static_cast<std::uint32_t>(out.size());
    out += central;
    std::uint32_t count16 = static_cast<std::uint32_t>(entries.size());
    if (options.zip64EntryCount) {
        const std::uint64_t count = *options.zip64EntryCount;
        const std::uint64_t recordOffset = out.size();
        Put32(out, 0x06064B50);
        Put64(out, 44);      // the record's size after this field
        Put16(out, 0x002D);  // version made by: 4.5, the first with ZIP64
        Put16(out, 0x002D);  // version needed
        Put32(out, 0);       // this disk
        Put32(out, 0);       // the disk where the central directory starts
        Put64(out, count);
        Put64(out, count);
        Put64(out, central.size());
        Put64(out, centralOffset);
        Put32(out, 0x07064B50);  // the locator
        Put32(out, 0);           // the disk holding the ZIP64 end record
        Put64(out, recordOffset);
        Put32(out, 1);  // disks in all
        count16 = count < 0xFFFF ? static_cast<std::uint32_t>(count) : 0xFFFF;
    }
    Put32(out, 0x06054B50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, count16);
    Put16(out, count16);
    Put32(out, static_cast<std::uint32_t>(central.size()));
    Put32(out, centralOffset);
    Put16(out, 0);
    return out;
}

}  // namespace zipwriter
