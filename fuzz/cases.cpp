// fuzz/cases.cpp: seed archives and their mutations. Everything here is a pure function of its
// arguments: the same seed and index give the same bytes on every machine (for the same destination
// path length).
#include "fuzz/cases.h"

#include <cstdint>
#include <vector>

#include "fuzz/case_parts.h"
#include "fuzz/random.h"
#include "tools/zip_writer.h"

namespace fuzz {
namespace {

using zipwriter::Bytes;
using zipwriter::Entry;

std::string Text(Random& random, std::size_t length, bool compressible) {
    return Filler(random, length, compressible, "velkar kestrel archive tree folder launcher ", 7);
}

// A name of `length` bytes under a few folders: "d/ddd.../n...".
std::string NameOfLength(std::size_t length) {
    if (length < 3)
        return std::string(length == 0 ? 1 : length, 'n');
    std::string name = "d/";
    while (name.size() < length)
        name.push_back(name.size() % 50 == 0 ? '/' : 'n');
    name.back() = 'z';
    return name;
}

constexpr int kSeedCount = 4;

std::vector<Entry> SeedEntries(int which, std::size_t destinationLength) {
    Random random(0x5EED0000u + static_cast<unsigned>(which));
    std::vector<Entry> entries;
    switch (which) {
    case 0:  // the payload's shape: folders first, deflated files, one stored, one empty
        entries.push_back(Folder("Velkar/"));
        entries.push_back(File("Velkar/Velkar.exe", Text(random, 4000, true)));
        entries.push_back(Folder("Velkar/data/"));
        entries.push_back(File("Velkar/data/level.dat", Text(random, 600, false)));
        entries.back().storeData = true;
        entries.push_back(File("Velkar/readme.txt", Text(random, 300, true)));
        entries.push_back(File("Velkar/empty.txt", ""));
        break;
    case 1:  // no folder entries: the reader makes the parents
        entries.push_back(File("a.txt", "a"));
        entries.back().storeData = true;
        entries.push_back(File("b.bin", Text(random, 2000, false)));
        entries.push_back(File("sub/deep/c.txt", Text(random, 1200, true)));
        break;
    case 2: {  // double-byte names (a trail byte 0x5C among them), times in "UT" blocks, a long path
        entries.push_back(Folder("\xCC\xB4\xCF\xAA/"));                     // 檀溪
        entries.push_back(File("\xCC\xB4\xCF\xAA/\xD5\x5C.txt", "trail"));  // a character ending in 0x5C
        entries.back().localExtra = zipwriter::ExtendedTimestampBlock(0x07, {1600000000, 1600000100, 1600000200});
        entries.push_back(File("ut.txt", Text(random, 100, true)));
        entries.back().localExtra = zipwriter::ExtendedTimestampBlock(0x01, {1500000000});
        // The whole path (destination, backslash, name) is 259 bytes: the longest the system takes.
        const std::size_t rootLength = destinationLength + 1;
        if (rootLength + 8 < 259)
            entries.push_back(File(NameOfLength(259 - rootLength), "long"));
        break;
    }
    default:  // the smallest archive: one stored file
        entries.push_back(File("x.txt", "x"));
        entries.back().storeData = true;
        break;
    }
    return entries;
}

const char* const kSeedNames[kSeedCount] = {"tree", "flat", "names", "single"};

std::string Hex(std::uint32_t value) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text = "0x";
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const unsigned digit = (value >> shift) & 0xF;
        if (digit || started || shift == 0) {
            text.push_back(kDigits[digit]);
            started = true;
        }
    }
    return text;
}

// Appends "what" and the number (and " @where" when given) to a case's description.
void Note(std::string& log, const char* what, std::uint64_t number, std::int64_t where = -1) {
    log += what;
    log += std::to_string(number);
    if (where >= 0) {
        log += " @";
        log += std::to_string(where);
    }
}

// --- Structured faults, through the writer's knobs -------------------------------------------------

void HostileName(Random& random, Entry& entry, std::string& log) {
    static const char* const kNames[] = {
        "../kfzesc1", "../../kfzesc2", "../../../kfzesc3", "../../../../kfzesc4", "../../../../../kfzesc5",
        "..\\kfzesc6", "a/../../kfzesc7", "a/b/../../../kfzesc8", "C:/kfzesc9", "C:\\kfzesc10", "C:kfzesc11",
        "/kfzesc12", "\\kfzesc13", "//?/C:/kfzesc14", "\\\\.\\C:\\kfzesc15", "x.txt:kfzesc16", "Z:/tmp/kfzesc17", "..",
        "../", "a/..", "./../kfzesc18", "...\\kfzesc19", "kfzesc20/../../../kfzesc21",
        // at the canary files beside and above the destination
        "../canary.txt", "../../../canary.txt", "../../../../canary/keep.txt", "../../../../canary/linked/inner.txt"};
    entry.name = random.Pick(kNames);
    if (random.Chance(30))
        entry.folder = true;
    if (entry.folder && entry.name.back() != '/')
        entry.name.push_back('/');
    log += "; name " + entry.name;
}

void OddName(Random& random, Entry& entry, std::string& log) {
    static const char* const kNames[] = {
        "NUL",  "con.txt", "aux/x.txt", "COM1", "lpt9.log", "CONOUT$", "nul .txt", "a/./b.txt", "a//b.txt",
        ".",    "",        "/",         "x/",   "trail.",   "space ",  "a\\b.txt", "a*b",       "a?b",
        "a<b>", "a|b",     "\"q\"",     "\x81", "\xD5",     "\xD5/x",  "\x80\xFF", "tab\tname", "new\nline"};
    entry.name = random.Pick(kNames);
    Note(log, "; odd name of length ", entry.name.size());
}

void LongName(Random& random, Entry& entry, std::size_t destinationLength, std::string& log) {
    const std::size_t rootLength = destinationLength + 1;
    std::size_t length;
    if (random.Chance(50)) {
        length = 258 + random.Below(5);  // the name itself: 258 to 262 bytes
        Note(log, "; name of length ", length);
    } else {
        const std::size_t path = 258 + random.Below(5);  // the whole path: 258 to 262 bytes
        length = path > rootLength + 3 ? path - rootLength : 3;
        Note(log, "; path of length ", path);
    }
    entry.name = NameOfLength(length);
    if (entry.folder)
        entry.name.back() = '/';
}

void OddMethod(Random& random, Entry& entry, std::string& log) {
    static const std::uint16_t kMethods[] = {1, 2, 6, 9, 12, 14, 18, 19, 93, 95, 96, 97, 98, 99, 0xFFFF};
    switch (random.Below(4)) {
    case 0:
        entry.method = random.Pick(kMethods);
        Note(log, "; method ", *entry.method);
        break;
    case 1:
        entry.localMethod = random.Chance(50) ? random.Pick(kMethods) : static_cast<std::uint16_t>(random.Below(9));
        Note(log, "; local method ", *entry.localMethod);
        break;
    case 2:
        entry.storeData = true;
        entry.method = 8;  // stored bytes labelled deflate
        log += "; stored as deflate";
        break;
    default:
        entry.method = 0;  // deflated bytes labelled stored
        log += "; deflate as stored";
        break;
    }
}

void OddFlags(Random& random, Entry& entry, std::string& log) {
    static const std::uint16_t kFlags[] = {0x0001, 0x0008, 0x0009, 0x0041, 0x0800, 0x2000, 0xFFFF};
    entry.flags = random.Chance(70) ? random.Pick(kFlags) : static_cast<std::uint16_t>(random.Next());
    log += "; flags " + Hex(entry.flags);
}

Bytes Block(std::uint16_t id, std::uint16_t declaredSize, const Bytes& data) {
    Bytes block;
    block.reserve(4 + data.size());
    for (unsigned value : {id & 0xFFu, unsigned{id} >> 8u, declaredSize & 0xFFu, unsigned{declaredSize} >> 8u})
        block.push_back(static_cast<unsigned char>(value));
    for (unsigned char b : data)
        block.push_back(b);
    return block;
}

Bytes RandomBytes(Random& random, std::size_t length) {
    Bytes bytes(length);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(random.Below(256));
    return bytes;
}

// Extra fields with odd blocks: "UT" blocks shorter than their flags say, sizes past the field's
// end, fields of 1 to 4 bytes, times before 1970 and at the ends of the 32-bit range.
Bytes OddExtraField(Random& random, std::string& log) {
    static const std::int32_t kTimes[] = {-1, -86400, INT32_MIN, 0, INT32_MAX, -2000000000, -1000000000, 2000000000};
    Bytes field;
    switch (random.Below(8)) {
    case 0: {  // "UT" with all three flags and fewer bytes than they need
        const std::uint16_t size = static_cast<std::uint16_t>(random.Below(13));
        Bytes data = RandomBytes(random, size);
        if (!data.empty())
            data[0] = 0x07;
        field = Block(0x5455, size, data);
        Note(log, "; UT short ", size);
        break;
    }
    case 1: {  // a block whose size runs past the field
        Bytes data = RandomBytes(random, random.Below(6));
        if (!data.empty())
            data[0] = static_cast<unsigned char>(random.Below(8));
        field = Block(random.Chance(50) ? 0x5455 : 0x000A,
                      static_cast<std::uint16_t>(data.size() + 1 + random.Below(0xFFFF)), data);
        log += "; block past the field";
        break;
    }
    case 2:  // a field too short for any block
        field = RandomBytes(random, 1 + random.Below(4));
        if (field.size() >= 2 && random.Chance(50)) {
            field[0] = 0x55;
            field[1] = 0x54;
        }
        Note(log, "; extra bytes ", field.size());
        break;
    case 3: {  // times before 1970 and at the ends of the range
        std::vector<std::int32_t> values;
        const unsigned flags = random.Below(8);
        for (int bit = 0; bit < 3; ++bit)
            if (flags & (1u << bit))
                values.push_back(random.Pick(kTimes));
        field = zipwriter::ExtendedTimestampBlock(static_cast<std::uint8_t>(flags), values);
        log += "; UT times";
        break;
    }
    case 4: {  // empty blocks, then a "UT"
        for (unsigned i = random.Below(5); i > 0; --i) {
            const Bytes empty = Block(static_cast<std::uint16_t>(random.Below(0x10000)), 0, {});
            field.insert(field.end(), empty.begin(), empty.end());
        }
        const Bytes ut = zipwriter::ExtendedTimestampBlock(0x01, {-5});
        field.insert(field.end(), ut.begin(), ut.end());
        log += "; empty blocks";
        break;
    }
    case 5: {  // a "UT" block declared empty
        field = Block(0x5455, 0, {});
        if (random.Chance(50))
            field.push_back(0x07);
        log += "; UT empty";
        break;
    }
    case 6:  // random bytes of random length
        field = RandomBytes(random, random.Below(300));
        log += "; random extra";
        break;
    default: {  // a large field: a big unknown block, then a "UT"
        field = Block(0x7075, 40000, RandomBytes(random, 40000));
        const Bytes ut = zipwriter::ExtendedTimestampBlock(0x07, {1, 2, 3});
        field.insert(field.end(), ut.begin(), ut.end());
        log += "; large extra";
        break;
    }
    }
    return field;
}

void OddData(Random& random, Entry& entry, std::string& log) {
    switch (random.Below(7)) {
    case 0:
        entry.crc = static_cast<std::uint32_t>(random.Next());
        log += "; crc " + Hex(*entry.crc);
        break;
    case 1:
        entry.truncateBy = 1 + random.Below(40);
        Note(log, "; truncated by ", entry.truncateBy);
        break;
    case 2:
        entry.storedCompressedData = Text(random, random.Below(200), false);
        log += "; random deflate data";
        break;
    case 3:
        entry.localCrc = static_cast<std::uint32_t>(random.Next());
        log += "; local crc";
        break;
    case 4:
        entry.localName = random.Chance(50) ? entry.name + "x" : std::string(entry.name.size(), 'q');
        log += "; local name";
        break;
    case 5:
        entry.localSignature = random.Chance(50) ? 0x02014B50u : static_cast<std::uint32_t>(random.Next());
        log += "; local signature";
        break;
    default:  // a stored copy of different bytes under the same name and CRC
        entry.data = Text(random, entry.data.size() + random.Below(3), false);
        entry.crc = 0;
        log += "; crc 0";
        break;
    }
}

void OddAttributes(Random& random, Entry& entry, std::string& log) {
    static const std::uint32_t kAttributes[] = {0x10, 0x40000000, 0x01,       0x02 | 0x04, 0xFFFFFFFF,
                                                0,    0x81A40000, 0x41ED0010, 0xA1FF0000};
    entry.externalAttributes = random.Chance(70) ? random.Pick(kAttributes) : static_cast<std::uint32_t>(random.Next());
    log += "; attributes " + Hex(*entry.externalAttributes);
}

void Structured(Random& random, std::vector<Entry>& entries, std::size_t destinationLength, std::string& log,
                unsigned& kinds) {
    if (entries.empty())
        return;
    Entry& entry = entries[random.Below(static_cast<std::uint32_t>(entries.size()))];
    const unsigned choice = random.Below(12);
    kinds |= 1u << (choice == 0 ? 0 : choice - 1);
    switch (choice) {
    case 0:
    case 1:
        HostileName(random, entry, log);
        break;
    case 2:
        OddName(random, entry, log);
        break;
    case 3:
        LongName(random, entry, destinationLength, log);
        break;
    case 4:
        OddMethod(random, entry, log);
        break;
    case 5:
        OddFlags(random, entry, log);
        break;
    case 6:
        if (random.Chance(80))
            entry.localExtra = OddExtraField(random, log);
        else
            entry.centralExtra = OddExtraField(random, log);
        break;
    case 7: {  // duplicates: the same name again with other bytes, or a folder and a file of one name
        Entry copy = entry;
        if (random.Chance(50)) {
            copy.data = Text(random, random.Below(500), random.Chance(50));
            copy.folder = false;
        } else {
            copy.folder = !copy.folder;
            if (copy.folder && copy.name.back() != '/')
                copy.name.push_back('/');
            else if (!copy.folder && !copy.name.empty() && copy.name.back() == '/')
                copy.name.pop_back();
        }
        entries.insert(entries.begin() + random.Below(static_cast<std::uint32_t>(entries.size() + 1)), copy);
        log += "; duplicate " + copy.name;
        break;
    }
    case 8:
        OddData(random, entry, log);
        break;
    case 9:
        OddAttributes(random, entry, log);
        break;
    case 10:
        entry.dosDate = static_cast<std::uint16_t>(random.Next());
        entry.dosTime = static_cast<std::uint16_t>(random.Next());
        log += "; dos time " + Hex(entry.dosDate) + " " + Hex(entry.dosTime);
        break;
    default:  // a file below a file: "x.txt/inner"
        if (!entry.folder) {
            entries.push_back(File(entry.name + "/inner.txt", "inner"));
            log += "; file below a file";
        } else {
            entries.erase(entries.begin());
            log += "; first entry removed";
        }
        break;
    }
}

// --- Raw faults on the bytes ----------------------------------------------------------------------

std::vector<std::size_t> Find(const std::string& b, std::uint32_t signature) {
    std::vector<std::size_t> found;
    for (std::size_t at = 0; at + 4 <= b.size(); ++at)
        if (GetField(b, at, 4) == signature)
            found.push_back(at);
    return found;
}

struct Field {
    int offset;
    int width;
    const char* name;
};

const Field kLocalFields[] = {{6, 2, "flags"}, {8, 2, "method"},       {14, 4, "crc"},         {18, 4, "compressed"},
                              {22, 4, "size"}, {26, 2, "name length"}, {28, 2, "extra length"}};
const Field kCentralFields[] = {{8, 2, "flags"},         {10, 2, "method"},         {16, 4, "crc"},
                                {20, 4, "compressed"},   {24, 4, "size"},           {28, 2, "name length"},
                                {30, 2, "extra length"}, {32, 2, "comment length"}, {34, 2, "disk"},
                                {38, 4, "attributes"},   {42, 4, "offset"}};
const Field kEndFields[] = {{4, 2, "disk"},           {6, 2, "directory disk"},  {8, 2, "entries here"},
                            {10, 2, "entries"},       {12, 4, "directory size"}, {16, 4, "directory offset"},
                            {20, 2, "comment length"}};

std::uint32_t OddValue(Random& random, std::uint32_t old, std::size_t fileSize, int width) {
    const std::uint32_t size = static_cast<std::uint32_t>(fileSize);
    const std::uint32_t values[] = {0,
                                    1,
                                    2,
                                    old - 1,
                                    old + 1,
                                    old * 2,
                                    old + 16,
                                    old - 16,
                                    0x7F,
                                    0x80,
                                    0xFF,
                                    0x100,
                                    0x7FFF,
                                    0x8000,
                                    0xFFFF,
                                    0x7FFFFFFF,
                                    0x80000000,
                                    0xFFFFFFFF,
                                    size,
                                    size + 1,
                                    size - 1,
                                    size - 22,
                                    static_cast<std::uint32_t>(random.Next())};
    std::uint32_t value = values[random.Below(sizeof values / sizeof values[0])];
    if (width == 2)
        value &= 0xFFFF;
    return value;
}

void EditField(Random& random, std::string& b, std::string& log) {
    const unsigned kind = random.Below(10);
    const std::uint32_t signature = kind < 4 ? 0x04034B50u : kind < 8 ? 0x02014B50u : 0x06054B50u;
    const std::vector<std::size_t> headers = Find(b, signature);
    if (headers.empty())
        return;
    const std::size_t at = headers[random.Below(static_cast<std::uint32_t>(headers.size()))];
    const Field* fields = kind < 4 ? kLocalFields : kind < 8 ? kCentralFields : kEndFields;
    const std::size_t count = kind < 4   ? sizeof kLocalFields / sizeof(Field)
                              : kind < 8 ? sizeof kCentralFields / sizeof(Field)
                                         : sizeof kEndFields / sizeof(Field);
    const Field& field = fields[random.Below(static_cast<std::uint32_t>(count))];
    if (at + field.offset + field.width > b.size())
        return;
    const std::uint32_t value = OddValue(random, GetField(b, at + field.offset, field.width), b.size(), field.width);
    SetField(b, at + field.offset, field.width, value);
    log += std::string("; ") +
           (kind < 4   ? "local "
            : kind < 8 ? "central "
                       : "end ") +
           field.name + " @" + std::to_string(at) + " = " + Hex(value);
}

void Raw(Random& random, std::string& b, std::string& log, unsigned& kinds) {
    if (b.empty())
        return;
    const std::uint32_t size = static_cast<std::uint32_t>(b.size());
    const unsigned choice = random.Below(11);
    static const unsigned char kRawKinds[11] = {11, 11, 12, 13, 13, 13, 14, 15, 16, 17, 18};
    kinds |= 1u << kRawKinds[choice];
    switch (choice) {
    case 0:
    case 1: {
        const unsigned flips = 1 + random.Below(8);
        for (unsigned i = 0; i < flips; ++i)
            b[random.Below(size)] ^= static_cast<char>(1u << random.Below(8));
        Note(log, "; bit flips ", flips);
        break;
    }
    case 2: {
        const std::uint32_t length =
            random.Chance(50) ? random.Below(size) : size - 1 - random.Below(size < 40 ? size : 40);
        b.resize(length);
        Note(log, "; truncated to ", length);
        break;
    }
    case 3:
    case 4:
    case 5:
        EditField(random, b, log);
        break;
    case 6: {  // the central directory past the end, or its size too large
        const std::vector<std::size_t> ends = Find(b, 0x06054B50u);
        if (ends.empty() || ends.back() + 22 > b.size())
            return;
        if (random.Chance(50)) {
            SetField(b, ends.back() + 16, 4, size + random.Below(100000));
            log += "; directory past the end";
        } else {
            SetField(b, ends.back() + 12, 4, size + random.Below(100000));
            log += "; directory size past the end";
        }
        break;
    }
    case 7: {  // a huge comment length, with no comment or part of one
        const std::vector<std::size_t> ends = Find(b, 0x06054B50u);
        if (ends.empty() || ends.back() + 22 > b.size())
            return;
        SetField(b, ends.back() + 20, 2, random.Chance(50) ? 0xFFFF : 0x8000 + random.Below(0x8000));
        if (random.Chance(50))
            b += std::string(random.Below(300), 'c');
        log += "; huge comment length";
        break;
    }
    case 8: {  // overlapping entries: a central record points at another entry's local header or data
        const std::vector<std::size_t> centrals = Find(b, 0x02014B50u);
        if (centrals.size() < 1)
            return;
        const std::size_t at = centrals[random.Below(static_cast<std::uint32_t>(centrals.size()))];
        if (at + 46 > b.size())
            return;
        const std::size_t other = centrals[random.Below(static_cast<std::uint32_t>(centrals.size()))];
        std::uint32_t offset = other + 46 <= b.size() ? GetField(b, other + 42, 4) : 0;
        if (random.Chance(30))
            offset += 1 + random.Below(64);
        SetField(b, at + 42, 4, offset);
        log += "; overlapping offset " + Hex(offset);
        break;
    }
    case 9: {  // a central record repeated, with the end record's counts and size raised to match
        const std::vector<std::size_t> centrals = Find(b, 0x02014B50u);
        const std::vector<std::size_t> ends = Find(b, 0x06054B50u);
        if (centrals.empty() || ends.empty() || ends.back() + 22 > b.size())
            return;
        const std::size_t at = centrals[random.Below(static_cast<std::uint32_t>(centrals.size()))];
        if (at + 46 > b.size())
            return;
        const std::size_t length = 46 + GetField(b, at + 28, 2) + GetField(b, at + 30, 2) + GetField(b, at + 32, 2);
        if (at + length > ends.back())
            return;
        const std::string record = b.substr(at, length);
        const std::size_t end = ends.back();
        b.insert(end, record);
        SetField(b, end + length + 8, 2, GetField(b, end + length + 8, 2) + 1);
        SetField(b, end + length + 10, 2, GetField(b, end + length + 10, 2) + 1);
        SetField(b, end + length + 12, 4, GetField(b, end + length + 12, 4) + static_cast<std::uint32_t>(length));
        log += "; central record repeated";
        break;
    }
    default: {  // bytes inserted or removed in the middle
        const std::uint32_t at = random.Below(size);
        if (random.Chance(50)) {
            const std::uint32_t length = 1 + random.Below(16);
            b.insert(at, Text(random, length, false));
            Note(log, "; bytes inserted ", length, at);
        } else {
            const std::uint32_t length = 1 + random.Below(size - at < 16 ? size - at : 16);
            b.erase(at, length);
            Note(log, "; bytes removed ", length, at);
        }
        break;
    }
    }
}

}  // namespace

void RawFault(Random& random, std::string& bytes, std::string& log) {
    unsigned kinds = 0;
    Raw(random, bytes, log, kinds);
}

std::vector<Plant> PlantsFor(std::uint64_t seed, std::uint64_t index) {
    static const Plant kPlants[] = {
        {Plant::kFile, "Velkar\\Velkar.exe", "old program"},
        {Plant::kReadOnlyFile, "Velkar\\readme.txt", "old readme"},
        {Plant::kReadOnlyFile, "x.txt", "old x"},
        {Plant::kHardLink, "Velkar\\Velkar.exe", ""},
        {Plant::kHardLink, "a.txt", ""},
        {Plant::kFolderLink, "Velkar\\data", ""},
        {Plant::kFolderLink, "sub", ""},
        {Plant::kFolderLink, "sub\\deep", ""},
        {Plant::kReadOnlyFile, "\xCC\xB4\xCF\xAA\\\xD5\x5C.txt", "old trail"},  // 檀溪\誠.txt
        {Plant::kHardLink, "ut.txt", ""},
        {Plant::kFolderLink, "d", ""},  // the first folder of the longest seed name
        {Plant::kFile, "b.bin", "old b"},
    };
    Random random(seed * 0xA24BAED4963EE407ull ^ (index + 1) * 0xC2B2AE3D27D4EB4Full);
    std::vector<Plant> plants;
    if (random.Below(25) != 0)
        return plants;
    for (unsigned n = 1 + random.Below(3); n > 0; --n) {
        const Plant& plant = random.Pick(kPlants);
        // One thing per path: nothing planted inside a planted file or link.
        bool clash = false;
        for (const Plant& other : plants) {
            const std::string& a = plant.path;
            const std::string& b = other.path;
            clash = clash || a == b || a.compare(0, b.size() + 1, b + "\\") == 0 ||
                    b.compare(0, a.size() + 1, a + "\\") == 0;
        }
        if (!clash)
            plants.push_back(plant);
    }
    return plants;
}

int SeedArchiveCount() { return kSeedCount; }

const char* KindName(int kind) {
    static const char* const kNames[kKindCount] = {"climbing or absolute names",
                                                   "device and odd names",
                                                   "long names and paths",
                                                   "odd methods",
                                                   "odd flags (encrypted among them)",
                                                   "odd extra fields",
                                                   "duplicate entries",
                                                   "bad data or local header",
                                                   "odd attributes",
                                                   "odd DOS times",
                                                   "a file below a file",
                                                   "bit flips",
                                                   "truncations",
                                                   "edited fields",
                                                   "directory past the end",
                                                   "huge comment length",
                                                   "overlapping entries",
                                                   "repeated central record",
                                                   "bytes inserted or removed",
                                                   "stub in front",
                                                   "over a planted tree"};
    return kind >= 0 && kind < kKindCount ? kNames[kind] : "";
}

std::string SeedArchive(int which, std::size_t destinationLength) {
    return zipwriter::BuildArchive(SeedEntries(which, destinationLength));
}

Case MakeCase(std::uint64_t seed, std::uint64_t index, std::size_t destinationLength) {
    Random random(seed * 0x100000001B3ull ^ (index + 1) * 0x9E3779B97F4A7C15ull);
    const int which = static_cast<int>(random.Below(kSeedCount));
    Case result;
    result.description = kSeedNames[which];
    std::vector<Entry> entries = SeedEntries(which, destinationLength);

    const bool structured = random.Chance(60);
    if (structured)
        for (unsigned n = 1 + random.Below(2); n > 0; --n)
            Structured(random, entries, destinationLength, result.description, result.kinds);
    zipwriter::Options options;
    if (random.Chance(2)) {
        options.stub = "MZ" + Text(random, random.Below(64), false);
        result.description += "; stub";
        result.kinds |= 1u << 19;
    }
    result.bytes = zipwriter::BuildArchive(entries, options);
    if (!structured || random.Chance(40))
        for (unsigned n = 1 + random.Below(3); n > 0; --n)
            Raw(random, result.bytes, result.description, result.kinds);
    return result;
}

}  // namespace fuzz
