// fuzz/differential.cpp: the differential family's cases. Everything here is a pure function of its
// arguments: the same seed and index give the same bytes on every machine.
#include "fuzz/differential.h"

#include <zlib.h>

#include <string>
#include <vector>

#include "fuzz/case_parts.h"
#include "fuzz/random.h"
#include "tools/zip_writer.h"

namespace fuzz {
namespace {

using zipwriter::Entry;

enum Kind {
    kDecoy,
    kInFront,
    kZip64End,
    kZip64Field,
    kComment,
    kEndFields,
    kFolderBits,
    kUnicodePath,
    kBadData,
    kBelowAFile,
    kGbkNames,
    kSharedHeader,
    kSlack,
    kRawFault,
};

std::string Field(int width, std::uint64_t value) {
    std::string bytes(width, '\0');
    SetField(bytes, 0, width, value);
    return bytes;
}

std::string Text(Random& random, std::size_t length, bool compressible) {
    return Filler(random, length, compressible, "velkar kestrel payload folder launcher ", 5);
}

// A payload as the packer accepts it.
std::vector<Entry> Payload(Random& random) {
    std::vector<Entry> entries{Folder("Velkar/"),
                               File("Velkar/Velkar.exe", Text(random, 1000 + random.Below(3000), true)),
                               Folder("Velkar/data/"),
                               File("Velkar/data/level.dat", Text(random, 200, false)),
                               File("Velkar/readme.txt", Text(random, 100 + random.Below(400), true)),
                               File("Velkar/empty.txt", "")};
    entries[3].storeData = true;
    if (random.Chance(30))
        entries.push_back(File("Velkar/\xCB\xB5\xC3\xF7.txt", "gbk"));  // 说明.txt in code page 936
    return entries;
}

// An archive the writer made, without a comment: its local headers and data, and its central records.
struct Parts {
    std::string local;
    std::vector<std::string> records;
};

Parts Split(const std::string& archive) {
    const std::size_t end = archive.size() - 22;
    const std::size_t size = GetField(archive, end + 12, 4), offset = GetField(archive, end + 16, 4);
    Parts parts;
    parts.local = archive.substr(0, offset);
    for (std::size_t at = offset; at < offset + size;) {
        const std::size_t length =
            46 + GetField(archive, at + 28, 2) + GetField(archive, at + 30, 2) + GetField(archive, at + 32, 2);
        parts.records.push_back(archive.substr(at, length));
        at += length;
    }
    return parts;
}

std::string Directory(const Parts& parts) {
    std::string directory;
    for (const std::string& record : parts.records)
        directory += record;
    return directory;
}

std::string EndRecord(std::size_t count, std::size_t size, std::size_t offset, const std::string& comment = "") {
    return Field(4, 0x06054B50) + Field(4, 0) + Field(2, count) + Field(2, count) + Field(4, size) + Field(4, offset) +
           Field(2, comment.size()) + comment;
}

std::string Join(const Parts& parts, const std::string& comment = "") {
    const std::string directory = Directory(parts);
    return parts.local + directory + EndRecord(parts.records.size(), directory.size(), parts.local.size(), comment);
}

std::string WithExtra(const std::string& record, const std::string& extra) {
    const std::size_t name = GetField(record, 28, 2), old = GetField(record, 30, 2);
    std::string out = record.substr(0, 46 + name) + extra + record.substr(46 + name + old);
    SetField(out, 30, 2, extra.size());
    return out;
}

std::string Block(std::uint16_t id, const std::string& data) { return Field(2, id) + Field(2, data.size()) + data; }

// A decoy central directory before the real one: the end record gives the decoy's offset and the real
// directory's size, so a reader that goes by the offset sees `shown` and minizip, which finds the
// directory from the end record's position less its size, sees `real`. Each directory points at local
// headers of its own; the real one's offsets count from the decoy's start, as minizip counts them.
std::string Decoy(const std::vector<Entry>& real, const std::vector<Entry>& shown) {
    Parts decoy = Split(zipwriter::BuildArchive(shown));
    const Parts truth = Split(zipwriter::BuildArchive(real));
    const std::string decoyDirectory = Directory(decoy);
    if (decoy.local.size() < decoyDirectory.size())
        decoy.local.resize(decoyDirectory.size(), 'p');
    const std::size_t shift = decoy.local.size() - decoyDirectory.size();
    std::string realDirectory;
    for (std::string record : truth.records) {
        SetField(record, 42, 4, GetField(record, 42, 4) + shift);
        realDirectory += record;
    }
    return decoy.local + truth.local + decoyDirectory + realDirectory +
           EndRecord(real.size(), realDirectory.size(), decoy.local.size() + truth.local.size());
}

std::vector<std::size_t> Files(const std::vector<Entry>& entries) {
    std::vector<std::size_t> files;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (!entries[i].folder)
            files.push_back(i);
    return files;
}

Entry& AFile(Random& random, std::vector<Entry>& entries) {
    const std::vector<std::size_t> files = Files(entries);
    return entries[files[random.Below(static_cast<std::uint32_t>(files.size()))]];
}

// --- Faults on the entries, before the archive is made ---------------------------------------------

void FolderBits(Random& random, std::vector<Entry>& entries, std::string& log) {
    static const std::uint32_t kFolderBits[] = {0x10, 0x40000000, 0x41ED0010, 0x41ED0000};
    switch (random.Below(3)) {
    case 0: {  // a file with a folder bit, empty or not
        Entry& file = AFile(random, entries);
        file.externalAttributes = random.Pick(kFolderBits);
        if (random.Chance(50))
            file.data.clear();
        log += "; folder bit on " + file.name;
        break;
    }
    case 1:  // a folder with a Unix regular file's mode: still a folder by its name
        entries[2].externalAttributes = random.Chance(50) ? 0x81A40000u : 0x20u;
        log += "; file bits on Velkar/data/";
        break;
    default:  // a folder entry without its trailing "/"
        entries.push_back(File("Velkar/plugins", ""));
        entries.back().externalAttributes = random.Pick(kFolderBits);
        log += "; folder without a slash";
        break;
    }
}

void UnicodePath(Random& random, std::vector<Entry>& entries, std::string& log) {
    // UTF-8 bytes, spelled out: the fuzzer's own texts are compiled in code page 936.
    static const char* const kNames[] = {
        "Velkar/\xE8\xAF\xB4\xE6\x98\x8E.txt",              // 说明.txt
        "Velkar/caf\xC3\xA9.txt",                           // café.txt
        "Velkar/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt",  // 日本語.txt
        "Velkar/\xCE\xA9mega.txt",                          // Ωmega.txt
        "Velkar/smile\xF0\x9F\x98\x80.txt",                 // an emoji: code page 936 has none
        "Velkar/data/\xE2\x82\xAC.txt",                     // €.txt
    };
    Entry& file = AFile(random, entries);
    const std::string utf8 = random.Pick(kNames);
    if (random.Chance(25)) {  // the name itself in UTF-8, marked by flag bit 11
        file.name = utf8;
        file.flags = 0x0800;
        log += "; UTF-8 name " + utf8;
        return;
    }
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(file.name.data()), static_cast<uInt>(file.name.size())));
    auto field = [&](std::uint32_t fieldCrc, unsigned char version, const std::string& name) {
        return Block(0x7075, std::string(1, static_cast<char>(version)) + Field(4, fieldCrc) + name);
    };
    std::string extra;
    switch (random.Below(4)) {
    case 0:
        extra = field(crc, 1, utf8);
        log += "; Unicode Path field";
        break;
    case 1:  // the first field's CRC-32 belongs to another name; a right one follows
        extra = field(crc ^ 1, 1, "Velkar/other.txt") + field(crc, 1, utf8);
        log += "; Unicode Path fields, the first wrong";
        break;
    case 2:
        extra = field(crc, 2, utf8);
        log += "; Unicode Path field of version 2";
        break;
    default:  // a block whose size runs past the field before a right one
        extra = Field(2, 0x9999) + Field(2, 0x4000) + field(crc, 1, utf8);
        log += "; Unicode Path field after a broken block";
        break;
    }
    file.centralExtra = zipwriter::Bytes(extra.begin(), extra.end());
}

void BadData(Random& random, std::vector<Entry>& entries, std::string& log) {
    Entry& file = AFile(random, entries);
    switch (random.Below(7)) {
    case 0:
        file.crc = static_cast<std::uint32_t>(random.Next());
        log += "; wrong CRC-32";
        break;
    case 1:
        if (file.data.empty())
            file.data = "not empty";
        file.truncateBy = 1;
        log += "; data cut short";
        break;
    case 2:
        file.localCrc = static_cast<std::uint32_t>(random.Next());
        log += "; local CRC-32 differs";
        break;
    case 3:  // the same length: minizip compares only the lengths of the names
        file.localName = std::string(file.name.size(), 'q');
        log += "; local name differs";
        break;
    case 4:
        file.localMethod = file.storeData ? 8 : 0;
        log += "; local method differs";
        break;
    case 5:  // a data descriptor's flag, the local CRC-32 left 0 as a streaming writer leaves it
        file.flags = 0x0008;
        file.localCrc = 0;
        log += "; data-descriptor flag";
        break;
    default:
        file.storedCompressedData = Text(random, 1 + random.Below(100), false);
        log += "; random deflate data";
        break;
    }
}

void BelowAFile(Random& random, std::vector<Entry>& entries, std::string& log) {
    std::string parent = AFile(random, entries).name;
    if (random.Chance(50))
        for (char& c : parent)
            c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    entries.push_back(File(parent + "/inner.txt", "inner"));
    log += "; a file below " + parent;
}

// Names in code page 936, stored as they are (no UTF-8 flag), among them characters whose mapping to
// Unicode differs between conversion tables (the middle dot, the dashes, the euro sign, compatibility
// forms) and a character whose trail byte is 0x5C.
void GbkNames(Random& random, std::vector<Entry>& entries, std::string& log) {
    static const char* const kCharacters[] = {
        "\xCC\xB4",  // 檀
        "\xD5\x5C",  // 誠, its trail byte a backslash
        "\xA1\xA4",  // the middle dot
        "\xA1\xAA",  // a dash
        "\xA8\x44",  // a box-drawing character (GBK's own extension)
        "\x80",      // the euro sign
        "\xA2\xE3",  // the euro sign in GB18030, unassigned in GBK
        "\xA6\xD9",  // a vertical form (GB18030 maps it, GBK leaves it to private use)
        "\xFE\x50",  // a GBK extension character
        "\xA1\xA2",  // the ideographic comma
        "\xA3\xA1",  // the fullwidth exclamation mark
        "\xAA\xA1",  // user-defined area
        "\xA8\xBF",  // ǹ
    };
    for (unsigned n = 1 + random.Below(3); n > 0; --n) {
        const std::string name = "Velkar/g" + std::string(random.Pick(kCharacters)) + std::to_string(n) + ".txt";
        entries.push_back(File(name, Text(random, random.Below(50), true)));
        log += "; code page 936 name";
    }
}

// --- Faults on the bytes ------------------------------------------------------------------------------

void InFront(Random& random, std::string& bytes, std::string& log) {
    // Bytes in front, the offsets not moved: minizip counts them in (its "bytes before the archive").
    // A copy of the first local header in front keeps the launcher's first look satisfied.
    const std::string front = random.Chance(50) && bytes.size() >= 30
                                  ? bytes.substr(0, 30 + GetField(bytes, 26, 2) + GetField(bytes, 18, 4))
                                  : "MZ" + Text(random, 62, false);
    bytes = front + bytes;
    log += "; bytes in front, offsets not moved";
}

std::string Zip64Locator(std::uint64_t record, std::uint32_t disk, std::uint32_t disks) {
    return Field(4, 0x07064B50) + Field(4, disk) + Field(8, record) + Field(4, disks);
}

void Zip64End(Random& random, std::string& bytes, std::string& log) {
    Parts parts = Split(bytes);
    const std::string directory = Directory(parts);
    const std::size_t endAt = parts.local.size() + directory.size();
    // A ZIP64 end record (of the real directory, or of none) with its locator in the comment, or a
    // locator that minizip does not follow (another disk), or one that points past the file's end.
    const std::string record = Field(4, 0x06064B50) + Field(8, 44) + Field(2, 45) + Field(2, 45) + Field(4, 0) +
                               Field(4, 0) + Field(8, parts.records.size()) + Field(8, parts.records.size()) +
                               Field(8, directory.size()) + Field(8, parts.local.size());
    std::string comment;
    switch (random.Below(3)) {
    case 0:
        comment = record + Zip64Locator(endAt + 22, 0, 1);
        log += "; ZIP64 end record in the comment";
        break;
    case 1:
        comment = record + Zip64Locator(endAt + 22, 0, 2);
        log += "; ZIP64 locator naming two disks";
        break;
    default:  // cut short by the file's end: minizip reads the missing bytes as the byte before them
        comment = Zip64Locator(endAt + 22 + 20, 0, 1).substr(0, 12 + random.Below(8));
        log += "; ZIP64 locator cut short";
        break;
    }
    bytes = Join(parts, comment);
}

void Zip64Field(Random& random, std::string& bytes, std::string& log) {
    Parts parts = Split(bytes);
    const std::size_t which = 1 + random.Below(static_cast<std::uint32_t>(parts.records.size() - 1));
    std::string& record = parts.records[which];
    const std::string extra = record.substr(46 + GetField(record, 28, 2), GetField(record, 30, 2));
    std::string block;
    switch (random.Below(4)) {
    case 0: {  // the true size through the field
        block = Block(1, Field(8, GetField(record, 24, 4)));
        SetField(record, 24, 4, 0xFFFFFFFF);
        log += "; ZIP64 size";
        break;
    }
    case 1: {  // 4 GiB more than the true size
        block = Block(1, Field(8, GetField(record, 24, 4) + (1ull << 32)));
        SetField(record, 24, 4, 0xFFFFFFFF);
        log += "; ZIP64 size of 4 GiB more";
        break;
    }
    case 2:  // the true offset of the local header through the field
        block = Block(1, Field(8, GetField(record, 42, 4)));
        SetField(record, 42, 4, 0xFFFFFFFF);
        log += "; ZIP64 offset";
        break;
    default:  // a field with nothing to say
        block = Block(1, Field(8, random.Next()));
        log += "; ZIP64 field";
        break;
    }
    record = WithExtra(record, random.Chance(50) ? block + extra : extra + block);
    bytes = Join(parts);
}

void Comment(Random& random, std::string& bytes, std::string& log) {
    Parts parts = Split(bytes);
    const std::string directory = Directory(parts);
    const std::string real = EndRecord(parts.records.size(), directory.size(), parts.local.size());
    switch (random.Below(4)) {
    case 0:
        bytes = Join(parts, Text(random, random.Below(300), false));
        log += "; a comment";
        break;
    case 1: {  // a second end record in the comment, perhaps cut short: minizip takes the last one
        std::string fake = real;
        if (random.Chance(50))
            SetField(fake, 10, 2, GetField(fake, 10, 2) - 1);
        bytes = Join(parts, Text(random, random.Below(40), true) + fake.substr(0, 4 + random.Below(19)));
        log += "; an end record in the comment";
        break;
    }
    case 2: {  // a long comment: minizip looks for the end record in the last 65,535 bytes only
        const std::size_t length = 65500 + random.Below(36);
        bytes = Join(parts, std::string(length, 'c'));
        log += "; comment of " + std::to_string(length) + " bytes";
        break;
    }
    default: {  // a comment whose length field disagrees
        bytes = Join(parts, Text(random, 20, true));
        SetField(bytes, bytes.size() - 22, 2, random.Below(60));
        log += "; comment length differs";
        break;
    }
    }
}

void EndFields(Random& random, std::string& bytes, std::string& log) {
    if (bytes.size() < 22)
        return;
    const std::size_t end = bytes.size() - 22;
    static const int kOffsets[] = {4, 6, 8, 10, 12, 16};
    const int at = random.Pick(kOffsets);
    const int width = at >= 12 ? 4 : 2;
    const std::uint64_t old = GetField(bytes, end + at, width);
    static const int kSteps[] = {-46, -16, -1, 1, 16, 46};
    const std::uint64_t value = at < 8 ? 1 : old + random.Pick(kSteps);
    SetField(bytes, end + at, width, value);
    log += "; end field @" + std::to_string(at) + " = " + std::to_string(value & (width == 2 ? 0xFFFF : 0xFFFFFFFF));
}

void SharedHeader(Random& random, std::string& bytes, std::string& log) {
    Parts parts = Split(bytes);
    const std::size_t which = 1 + random.Below(static_cast<std::uint32_t>(parts.records.size() - 1));
    std::string record = parts.records[which];
    const std::size_t nameLength = GetField(record, 28, 2);
    record[46 + nameLength - 1] = record[46 + nameLength - 1] == 'x' ? 'y' : 'x';  // another name, as long
    parts.records.insert(parts.records.begin() + random.Below(static_cast<std::uint32_t>(parts.records.size() + 1)),
                         record);
    bytes = Join(parts);
    log += "; two records of one local header";
}

void Slack(Random& random, std::string& bytes, std::string& log) {
    Parts parts = Split(bytes);
    const std::string directory = Directory(parts);
    const std::string slack = Text(random, 1 + random.Below(40), false);
    switch (random.Below(3)) {
    case 0:  // inside the directory's size, after its records
        bytes = parts.local + directory + slack +
                EndRecord(parts.records.size(), directory.size() + slack.size(), parts.local.size());
        log += "; slack in the directory";
        break;
    case 1:  // between the directory and the end record, outside its size
        bytes = parts.local + directory + slack + EndRecord(parts.records.size(), directory.size(), parts.local.size());
        log += "; slack before the end record";
        break;
    default:  // between the data and the directory, the offset moved with it
        bytes = parts.local + slack + directory +
                EndRecord(parts.records.size(), directory.size(), parts.local.size() + slack.size());
        log += "; slack before the directory";
        break;
    }
}

}  // namespace

const char* DifferentialKindName(int kind) {
    static const char* const kNames[kDifferentialKindCount] = {"decoy directory",
                                                               "bytes in front",
                                                               "ZIP64 end record or locator",
                                                               "ZIP64 extra field",
                                                               "end-record comment",
                                                               "end-record fields",
                                                               "folder bits",
                                                               "Unicode Path fields and UTF-8 names",
                                                               "bad data or local header",
                                                               "an entry below a file",
                                                               "code page 936 names",
                                                               "two records of one local header",
                                                               "slack around the directory",
                                                               "raw faults"};
    return kind >= 0 && kind < kDifferentialKindCount ? kNames[kind] : "";
}

Case MakeDifferentialCase(std::uint64_t seed, std::uint64_t index) {
    Case result;
    if (index == 0) {
        const std::vector<Entry> real{Folder("Velkar/"), File("Velkar/Velkar.exe", std::string(128, 'M')),
                                      File("Velkar/readme.txt", "read me"), File("Velkar/.config", "left behind")};
        const std::vector<Entry> shown{Folder("Velkar/"), File("Velkar/Velkar.exe", std::string(128, 'M')),
                                       File("Velkar/readme.txt", "read me"), File("Velkar/notes.txt", "harmless")};
        result.bytes = Decoy(real, shown);
        result.description = "payload; decoy directory (Velkar/.config behind Velkar/notes.txt)";
        result.kinds = 1u << kDecoy;
        return result;
    }
    Random random(seed * 0xD1B54A32D192ED03ull ^ (index + 1) * 0x9E3779B97F4A7C15ull);
    std::vector<Entry> entries = Payload(random);
    result.description = "payload";
    // One or two faults; about one case in six carries none but the names and bits a payload may have.
    std::vector<Kind> kinds;
    if (!random.Chance(15))
        for (unsigned n = 1 + random.Below(2); n > 0; --n)
            kinds.push_back(static_cast<Kind>(random.Below(kDifferentialKindCount)));
    for (Kind kind : kinds) {
        result.kinds |= 1u << kind;
        switch (kind) {
        case kFolderBits:
            FolderBits(random, entries, result.description);
            break;
        case kUnicodePath:
            UnicodePath(random, entries, result.description);
            break;
        case kBadData:
            BadData(random, entries, result.description);
            break;
        case kBelowAFile:
            BelowAFile(random, entries, result.description);
            break;
        case kGbkNames:
            GbkNames(random, entries, result.description);
            break;
        default:
            break;
        }
    }
    zipwriter::Options options;
    for (Kind kind : kinds)
        if (kind == kInFront && random.Chance(50)) {
            options.stub = "MZ" + Text(random, random.Below(64), false);  // a self-extractor's layout
            result.description += "; stub, offsets moved";
        }
    if (result.kinds & (1u << kDecoy)) {
        // The real directory holds one entry more, or one of another name, than the decoy shows.
        std::vector<Entry> shown = entries;
        std::vector<Entry> real = entries;
        if (random.Chance(50)) {
            real.push_back(File(random.Chance(50) ? "Velkar/.config" : "Velkar/extra.dll", "from the real directory"));
            shown.push_back(File("Velkar/notes.txt", "harmless"));
        } else {
            real.back().name = "Velkar/replaced.txt";
        }
        result.bytes = Decoy(real, shown);
        result.description += "; decoy directory";
    } else {
        result.bytes = zipwriter::BuildArchive(entries, options);
    }
    // The faults on the bytes that take the archive apart need it as the writer made it (no comment, the
    // end record last); a fault that leaves it otherwise ends that.
    bool asWritten = !(result.kinds & (1u << kDecoy));
    for (Kind kind : kinds) {
        switch (kind) {
        case kInFront:
            if (options.stub.empty())
                InFront(random, result.bytes, result.description);
            asWritten = false;
            break;
        case kZip64End:
            if (asWritten)
                Zip64End(random, result.bytes, result.description);
            asWritten = false;
            break;
        case kZip64Field:
            if (asWritten)
                Zip64Field(random, result.bytes, result.description);
            break;
        case kComment:
            if (asWritten)
                Comment(random, result.bytes, result.description);
            asWritten = false;
            break;
        case kEndFields:
            EndFields(random, result.bytes, result.description);
            asWritten = false;
            break;
        case kSharedHeader:
            if (asWritten)
                SharedHeader(random, result.bytes, result.description);
            break;
        case kSlack:
            if (asWritten)
                Slack(random, result.bytes, result.description);
            asWritten = false;
            break;
        case kRawFault:
            RawFault(random, result.bytes, result.description);
            asWritten = false;
            break;
        default:
            break;
        }
    }
    return result;
}

}  // namespace fuzz
