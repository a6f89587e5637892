// tools/pe_image.cpp: see pe_image.h. Offsets are carried as 64-bit values, so that an offset plus a
// size read from the file can never wrap before it is compared with the file's length.
#include "tools/pe_image.h"

#include <algorithm>
#include <set>

namespace peimage {
namespace {

bool Fits(const Bytes& b, std::uint64_t at, std::uint64_t size) { return at <= b.size() && size <= b.size() - at; }
bool PowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }
std::uint64_t AlignUp(std::uint64_t v, std::uint32_t alignment) { return (v + alignment - 1) / alignment * alignment; }
std::string Hex(std::uint64_t v) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), digits[v & 15]);
        v >>= 4;
    } while (v);
    return "0x" + out;
}

// Optional header field offsets (PE32).
constexpr std::uint32_t kOptSizeOfInitializedData = 8, kOptEntryPoint = 16, kOptImageBase = 28;
constexpr std::uint32_t kOptSectionAlignment = 32, kOptFileAlignment = 36, kOptSizeOfImage = 56;
constexpr std::uint32_t kOptSizeOfHeaders = 60, kOptCheckSum = 64, kOptRvaCount = 92, kOptDirectories = 96;
constexpr std::uint32_t kSectionHeaderSize = 40;

// The file offset of `size` bytes at `rva`, when they lie inside one section's raw data.
bool RawOffsetOf(const Image& image, std::uint64_t rva, std::uint64_t size, std::uint64_t& offset) {
    for (const Section& s : image.sections) {
        if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize &&
            size <= s.rawSize - (rva - s.virtualAddress)) {
            offset = s.rawOffset + (rva - s.virtualAddress);
            return true;
        }
    }
    return false;
}

bool Refuse(std::string& reason, std::string text) {
    reason = std::move(text);
    return false;
}

}  // namespace

bool operator<(const ResourceId& a, const ResourceId& b) {
    if (a.named != b.named)
        return a.named;
    return a.named ? a.name < b.name : a.id < b.id;
}

int SectionOf(const Image& image, std::uint32_t rva) {
    for (std::size_t i = 0; i < image.sections.size(); ++i) {
        const Section& s = image.sections[i];
        if (rva >= s.virtualAddress && rva - s.virtualAddress < std::max(s.virtualSize, s.rawSize))
            return int(i);
    }
    return -1;
}

bool ReadImage(Bytes file, Image& image, std::string& reason) {
    const Bytes& b = file;
    if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z')
        return Refuse(reason, "not a Windows program: no MZ header");
    const std::uint64_t pe = Get32(b, 0x3C);
    if (!Fits(b, pe, 24) || Get32(b, pe) != 0x00004550)
        return Refuse(reason, "not a PE image: no PE signature at offset " + Hex(pe));
    const std::uint16_t machine = Get16(b, pe + 4), sectionCount = Get16(b, pe + 6);
    const std::uint16_t optionalSize = Get16(b, pe + 20);
    const std::uint64_t opt = pe + 24;
    if (!Fits(b, opt, 2) || optionalSize < 2)
        return Refuse(reason, "the optional header is missing");
    const std::uint16_t magic = Get16(b, opt);
    if (magic == 0x20B)
        return Refuse(reason, "a PE32+ (64-bit) image: only 32-bit PE32 images are read");
    if (magic != 0x10B)
        return Refuse(reason, "the optional header's magic is " + Hex(magic) + ", not PE32's 0x10b");
    if (machine != 0x14C)
        return Refuse(reason, "machine " + Hex(machine) + ", not i386 (0x14c)");
    if (optionalSize < kOptDirectories || !Fits(b, opt, optionalSize))
        return Refuse(reason, "the optional header (" + std::to_string(optionalSize) + " bytes) is truncated");
    const std::uint32_t rvaCount = Get32(b, opt + kOptRvaCount);
    if (rvaCount > 16 || kOptDirectories + 8ull * rvaCount > optionalSize)
        return Refuse(reason, std::to_string(rvaCount) + " data directories do not fit the optional header");

    Image out;
    out.peOffset = std::uint32_t(pe);
    out.optionalOffset = std::uint32_t(opt);
    out.sectionTableOffset = std::uint32_t(opt + optionalSize);
    out.imageBase = Get32(b, opt + kOptImageBase);
    out.sectionAlignment = Get32(b, opt + kOptSectionAlignment);
    out.fileAlignment = Get32(b, opt + kOptFileAlignment);
    out.sizeOfImage = Get32(b, opt + kOptSizeOfImage);
    out.sizeOfHeaders = Get32(b, opt + kOptSizeOfHeaders);
    out.checksum = Get32(b, opt + kOptCheckSum);
    out.symbolTableOffset = Get32(b, pe + 12);
    if (!PowerOfTwo(out.fileAlignment) || out.fileAlignment < 512 || out.fileAlignment > 65536)
        return Refuse(reason, "file alignment " + Hex(out.fileAlignment) + " is not a power of two from 512 to 64 KiB");
    if (!PowerOfTwo(out.sectionAlignment) || out.sectionAlignment < out.fileAlignment)
        return Refuse(reason, "section alignment " + Hex(out.sectionAlignment) +
                                  " is not a power of two at least the file alignment");
    if (sectionCount == 0 || sectionCount > 96)
        return Refuse(reason, std::to_string(sectionCount) + " sections (a PE image has 1 to 96)");
    const std::uint64_t tableEnd = out.sectionTableOffset + std::uint64_t(kSectionHeaderSize) * sectionCount;
    if (tableEnd > out.sizeOfHeaders || out.sizeOfHeaders > b.size())
        return Refuse(reason, "the section table ends at " + Hex(tableEnd) + ", beyond the headers (" +
                                  Hex(out.sizeOfHeaders) + ") or the file (" + Hex(b.size()) + ")");

    for (std::uint32_t i = 0; i < rvaCount; ++i)
        out.directories.push_back(
            {Get32(b, opt + kOptDirectories + 8 * i), Get32(b, opt + kOptDirectories + 8 * i + 4)});
    out.directories.resize(16);

    std::uint64_t nextAddress = AlignUp(out.sizeOfHeaders, out.sectionAlignment);
    for (std::uint32_t i = 0; i < sectionCount; ++i) {
        const std::uint64_t h = out.sectionTableOffset + std::uint64_t(kSectionHeaderSize) * i;
        Section s;
        for (int c = 0; c < 8 && b[h + c]; ++c)
            s.name += char(b[h + c]);
        s.virtualSize = Get32(b, h + 8);
        s.virtualAddress = Get32(b, h + 12);
        s.rawSize = Get32(b, h + 16);
        s.rawOffset = Get32(b, h + 20);
        s.characteristics = Get32(b, h + 36);
        const std::string which = "section " + std::to_string(i + 1) + " (" + s.name + ")";
        if (s.rawSize && (s.rawOffset < out.sizeOfHeaders || !Fits(b, s.rawOffset, s.rawSize)))
            return Refuse(reason, which + ": its raw data (" + Hex(s.rawSize) + " bytes at " + Hex(s.rawOffset) +
                                      ") lies outside the file after the headers");
        if (s.virtualAddress % out.sectionAlignment || s.virtualAddress < nextAddress)
            return Refuse(reason, which + ": address " + Hex(s.virtualAddress) +
                                      " is unaligned or overlaps the headers or the section before");
        const std::uint64_t extent = std::max(s.virtualSize, s.rawSize);
        nextAddress = AlignUp(std::uint64_t(s.virtualAddress) + extent, out.sectionAlignment);
        if (nextAddress > out.sizeOfImage)
            return Refuse(reason, which + " ends beyond the image size " + Hex(out.sizeOfImage));
        for (const Section& before : out.sections) {
            if (s.rawSize && before.rawSize && s.rawOffset < std::uint64_t(before.rawOffset) + before.rawSize &&
                before.rawOffset < std::uint64_t(s.rawOffset) + s.rawSize)
                return Refuse(reason, which + ": its raw data overlaps that of section " + before.name);
        }
        out.sections.push_back(std::move(s));
    }

    for (int d = 0; d < 16; ++d) {
        const DataDirectory& dir = out.directories[d];
        if (!dir.rva && !dir.size)
            continue;
        if (d == kCertificateDirectory) {  // a file offset, not an address
            if (!Fits(b, dir.rva, dir.size))
                return Refuse(reason, "the certificate table lies outside the file");
        } else if (std::uint64_t(dir.rva) + dir.size > out.sizeOfImage) {
            return Refuse(reason, "data directory " + std::to_string(d) + " lies outside the image");
        }
    }
    out.file = std::move(file);
    image = std::move(out);
    return true;
}

namespace {

struct TreeReader {
    const Image& image;
    std::uint64_t base = 0, limit = 0;  // file offsets of the resource directory and its section's raw end
    std::set<std::uint64_t> visited;    // tables and data entries reached, so that the tree is a tree
    std::vector<Resource>& out;
    std::string& reason;

    bool ReadId(std::uint32_t field, bool named, ResourceId& id) {
        if (!named) {
            if (field & 0x80000000u)
                return Refuse(reason, "a resource directory counts a named entry among its ids");
            id = ResourceId::Id(std::uint16_t(field));
            return field <= 0xFFFF || Refuse(reason, "a resource id " + Hex(field) + " is wider than 16 bits");
        }
        if (!(field & 0x80000000u))
            return Refuse(reason, "a resource directory counts an id among its named entries");
        const std::uint64_t at = base + (field & 0x7FFFFFFFu);
        if (at + 2 > limit)
            return Refuse(reason, "a resource name lies outside the resource section");
        const std::uint16_t length = Get16(image.file, at);
        if (at + 2 + 2ull * length > limit)
            return Refuse(reason, "a resource name of " + std::to_string(length) + " characters runs past the section");
        std::u16string name;
        for (std::uint16_t i = 0; i < length; ++i)
            name += char16_t(Get16(image.file, at + 2 + 2ull * i));
        id = ResourceId::Name(std::move(name));
        return true;
    }

    bool ReadTable(std::uint32_t offset, int level, Resource& path) {
        const std::uint64_t at = base + offset;
        if (at + 16 > limit)
            return Refuse(reason, "a resource directory table at " + Hex(offset) + " lies outside the section");
        if (!visited.insert(at).second)
            return Refuse(reason, "a resource directory table at " + Hex(offset) + " is reached twice: not a tree");
        const std::uint32_t named = Get16(image.file, at + 12), ids = Get16(image.file, at + 14);
        if (at + 16 + 8ull * (named + ids) > limit)
            return Refuse(reason, "the entries of the resource table at " + Hex(offset) + " run past the section");
        for (std::uint32_t i = 0; i < named + ids; ++i) {
            const std::uint32_t nameField = Get32(image.file, at + 16 + 8 * i);
            const std::uint32_t target = Get32(image.file, at + 20 + 8 * i);
            ResourceId id;
            if (!ReadId(nameField, i < named, id))
                return false;
            const bool isTable = target & 0x80000000u;
            if (level < 2) {
                if (!isTable)
                    return Refuse(reason, "a resource type or name entry leads to data, not to a table");
                (level == 0 ? path.type : path.name) = id;
                if (!ReadTable(target & 0x7FFFFFFFu, level + 1, path))
                    return false;
                continue;
            }
            if (isTable)
                return Refuse(reason, "a resource language entry leads to a fourth level of tables");
            if (id.named)
                return Refuse(reason, "a resource language is a name, not an id");
            if (!ReadData(target, path, id.id))
                return false;
        }
        return true;
    }

    bool ReadData(std::uint32_t offset, const Resource& path, std::uint16_t language) {
        const std::uint64_t at = base + offset;
        if (at + 16 > limit)
            return Refuse(reason, "a resource data entry at " + Hex(offset) + " lies outside the section");
        if (!visited.insert(at).second)
            return Refuse(reason, "a resource data entry at " + Hex(offset) + " is reached twice: not a tree");
        const std::uint32_t rva = Get32(image.file, at), size = Get32(image.file, at + 4);
        std::uint64_t raw = 0;
        if (!RawOffsetOf(image, rva, size, raw))
            return Refuse(reason, "a resource's data (" + Hex(size) + " bytes at address " + Hex(rva) +
                                      ") lies outside the sections' raw data");
        Resource r = path;
        r.language = language;
        r.codePage = Get32(image.file, at + 8);
        r.data.assign(image.file.begin() + std::ptrdiff_t(raw), image.file.begin() + std::ptrdiff_t(raw + size));
        out.push_back(std::move(r));
        return true;
    }
};

}  // namespace

bool ReadResources(const Image& image, std::vector<Resource>& resources, std::string& reason) {
    resources.clear();
    const DataDirectory& dir = image.directories[kResourceDirectory];
    if (!dir.rva)
        return true;
    const int s = SectionOf(image, dir.rva);
    if (s < 0)
        return Refuse(reason, "the resource directory lies in no section");
    const Section& section = image.sections[s];
    const std::uint64_t within = dir.rva - section.virtualAddress;
    if (within >= section.rawSize)
        return Refuse(reason, "the resource directory lies outside its section's raw data");
    TreeReader reader{
        image, section.rawOffset + within, std::uint64_t(section.rawOffset) + section.rawSize, {}, resources, reason};
    Resource path;
    return reader.ReadTable(0, 0, path);
}

std::uint32_t Checksum(const Bytes& file, std::uint32_t checksumOffset) {
    // The 16-bit little-endian words are summed with their carries folded back in. Summed whole and
    // folded once at the end, the result is the same as folding after each word: zero for a sum of zero,
    // else the value from 1 to 0xFFFF that the sum leaves modulo 0xFFFF. Words clear of the checksum
    // field are read directly; the few that touch it (or the odd last byte) byte by byte.
    auto byteAt = [&](std::uint64_t i) -> std::uint32_t {
        if (i >= file.size() || (i >= checksumOffset && i < std::uint64_t(checksumOffset) + 4))
            return 0;
        return file[i];
    };
    const std::uint8_t* b = file.data();
    const std::uint64_t size = file.size(), fieldEnd = std::uint64_t(checksumOffset) + 4;
    std::uint64_t total = 0, i = 0;
    for (; i + 1 < size && i + 1 < checksumOffset; i += 2)
        total += b[i] | std::uint32_t(b[i + 1]) << 8;
    for (; i < size && i < fieldEnd; i += 2)
        total += byteAt(i) | byteAt(i + 1) << 8;
    for (; i + 1 < size; i += 2)
        total += b[i] | std::uint32_t(b[i + 1]) << 8;
    if (i < size)
        total += byteAt(i);
    const std::uint64_t sum = total == 0 ? 0 : (total - 1) % 0xFFFF + 1;
    return std::uint32_t(sum + size);
}

bool ResourceSectionAddress(const Image& image, std::uint32_t& rva, std::string& reason) {
    const DataDirectory& dir = image.directories[kResourceDirectory];
    int index = dir.rva ? SectionOf(image, dir.rva) : -1;
    if (!dir.rva) {
        for (std::size_t i = 0; i < image.sections.size(); ++i)
            if (image.sections[i].name == ".rsrc")
                index = int(i);
    }
    if (index < 0)
        return Refuse(reason, "the image has no resource section");
    if (dir.rva && dir.rva != image.sections[index].virtualAddress)
        return Refuse(reason, "the resource directory does not begin its section " + image.sections[index].name);
    rva = image.sections[index].virtualAddress;
    return true;
}

namespace {

// Whether anything the loader or the program reaches by address points into section `index`, apart
// from the data directory `own` (whose address is moved with it). Base relocations give every absolute
// address the program holds; the entry point and the other directories are the rest.
bool ReferencedInto(const Image& image, int index, int own, std::string& what) {
    const Section& s = image.sections[index];
    auto inside = [&](std::uint64_t rva) {
        return rva >= s.virtualAddress && rva - s.virtualAddress < std::max(s.virtualSize, s.rawSize);
    };
    const std::uint32_t entry = Get32(image.file, image.optionalOffset + kOptEntryPoint);
    if (entry && inside(entry)) {
        what = "the entry point";
        return true;
    }
    for (int d = 0; d < 16; ++d) {
        const DataDirectory& dir = image.directories[d];
        if (d != own && d != kCertificateDirectory && dir.rva && inside(dir.rva)) {
            what = "data directory " + std::to_string(d);
            return true;
        }
    }
    const DataDirectory& relocs = image.directories[kBaseRelocationDirectory];
    std::uint64_t at = 0;
    if (!relocs.rva || !RawOffsetOf(image, relocs.rva, relocs.size, at))
        return false;
    const std::uint64_t end = at + relocs.size;
    while (at + 8 <= end) {
        const std::uint32_t page = Get32(image.file, at), blockSize = Get32(image.file, at + 4);
        if (blockSize < 8 || blockSize > end - at)
            break;
        for (std::uint64_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
            const std::uint16_t entryWord = Get16(image.file, e);
            if (entryWord >> 12 == 0)  // padding
                continue;
            const std::uint64_t location = page + (entryWord & 0xFFF);
            std::uint64_t raw = 0;
            if (inside(location) || (RawOffsetOf(image, location, 4, raw) &&
                                     inside(std::uint64_t(Get32(image.file, raw)) - image.imageBase))) {
                what = "a relocated address";
                return true;
            }
        }
        at += blockSize;
    }
    return false;
}

}  // namespace

bool ReplaceResourceSection(Image& image, const Bytes& section, std::string& reason) {
    std::uint32_t rva = 0;
    if (!ResourceSectionAddress(image, rva, reason))
        return false;
    const int r = SectionOf(image, rva);
    const Section& old = image.sections[r];
    if (image.directories[kCertificateDirectory].size)
        return Refuse(reason,
                      "the image carries a certificate table (it is signed): write the resources before signing");
    if (!old.rawSize || section.empty())
        return Refuse(reason, "an empty resource section cannot be placed");
    std::uint64_t rawEnd = image.sizeOfHeaders;
    for (const Section& s : image.sections)
        if (s.rawSize)
            rawEnd = std::max(rawEnd, std::uint64_t(s.rawOffset) + s.rawSize);
    if (rawEnd != image.file.size())
        return Refuse(reason,
                      std::to_string(image.file.size() - rawEnd) +
                          " bytes follow the last section (symbols or an overlay) that this writer cannot move");
    for (std::size_t i = 0; i < image.sections.size(); ++i) {
        const Section& s = image.sections[i];
        if (!s.rawSize || int(i) == r)
            continue;
        if ((int(i) < r) != (s.rawOffset < old.rawOffset))
            return Refuse(reason, "section " + s.name + " lies in the file in another order than in memory");
    }
    std::string what;
    // The section is replaced whole: nothing but its own directory may point into it.
    if (ReferencedInto(image, r, kResourceDirectory, what))
        return Refuse(reason, "the resource section is replaced whole, yet " + what + " points into it");
    for (std::size_t i = r + 1; i < image.sections.size(); ++i) {
        const DataDirectory& relocs = image.directories[kBaseRelocationDirectory];
        const int own = relocs.rva && SectionOf(image, relocs.rva) == int(i) ? kBaseRelocationDirectory : -1;
        if (ReferencedInto(image, int(i), own, what))
            return Refuse(reason, "section " + image.sections[i].name + " follows the resource section and " + what +
                                      " points into it, so it cannot move");
        if (own >= 0 && SectionOf(image, relocs.rva + relocs.size - 1) != int(i))
            return Refuse(reason, "the base relocations run past their section " + image.sections[i].name);
    }
    const DataDirectory& debug = image.directories[kDebugDirectory];
    std::uint64_t debugAt = 0;
    if (debug.rva) {
        if (!RawOffsetOf(image, debug.rva, debug.size, debugAt))
            return Refuse(reason, "the debug directory lies outside the sections' raw data");
        for (std::uint64_t e = 0; e + 28 <= debug.size; e += 28)
            if (Get32(image.file, debugAt + e + 24) >= old.rawOffset)
                return Refuse(reason, "debug data lies in the file after the resource section");
    }

    // The new layout: the resource section keeps its address and file offset; every section after it
    // follows at the next aligned address and right after the raw data before it.
    std::vector<Section> sections = image.sections;
    sections[r].virtualSize = std::uint32_t(section.size());
    sections[r].rawSize = std::uint32_t(AlignUp(section.size(), image.fileAlignment));
    std::uint64_t nextAddress = AlignUp(std::uint64_t(rva) + section.size(), image.sectionAlignment);
    std::uint64_t nextRaw = std::uint64_t(old.rawOffset) + sections[r].rawSize;
    for (std::size_t i = r + 1; i < sections.size(); ++i) {
        Section& s = sections[i];
        nextAddress = AlignUp(nextAddress, image.sectionAlignment);
        s.virtualAddress = std::uint32_t(nextAddress);
        nextAddress += std::max(s.virtualSize, s.rawSize);
        if (s.rawSize) {
            s.rawOffset = std::uint32_t(nextRaw);
            nextRaw += s.rawSize;
        }
        if (nextAddress > 0xFFFFFFFFull || nextRaw > 0xFFFFFFFFull)
            return Refuse(reason, "the rewritten image would pass 4 GiB");
    }

    Bytes file(image.file.begin(), image.file.begin() + old.rawOffset);
    file.insert(file.end(), section.begin(), section.end());
    file.resize(old.rawOffset + std::uint64_t(sections[r].rawSize));
    for (std::size_t i = r + 1; i < sections.size(); ++i) {
        const Section& was = image.sections[i];
        if (was.rawSize)
            file.insert(file.end(), image.file.begin() + was.rawOffset,
                        image.file.begin() + was.rawOffset + was.rawSize);
    }
    for (std::size_t i = r; i < sections.size(); ++i) {
        const std::uint64_t h = image.sectionTableOffset + std::uint64_t(kSectionHeaderSize) * i;
        Put32(file, h + 8, sections[i].virtualSize);
        Put32(file, h + 12, sections[i].virtualAddress);
        Put32(file, h + 16, sections[i].rawSize);
        Put32(file, h + 20, sections[i].rawOffset);
    }
    const std::uint64_t opt = image.optionalOffset;
    if (old.characteristics & 0x40)  // initialized data: the sum of such sections' raw sizes changes
        Put32(file, opt + kOptSizeOfInitializedData,
              Get32(file, opt + kOptSizeOfInitializedData) + sections[r].rawSize - old.rawSize);
    Put32(file, opt + kOptSizeOfImage, std::uint32_t(AlignUp(nextAddress, image.sectionAlignment)));
    const std::uint32_t rvaCount = Get32(file, opt + kOptRvaCount);
    auto putDirectory = [&](int d, DataDirectory value) {
        Put32(file, opt + kOptDirectories + 8 * d, value.rva);
        Put32(file, opt + kOptDirectories + 8 * d + 4, value.size);
    };
    if (std::uint32_t(kResourceDirectory) >= rvaCount)
        return Refuse(reason, "the optional header has no resource directory entry");
    putDirectory(kResourceDirectory, {rva, std::uint32_t(section.size())});
    const DataDirectory& relocs = image.directories[kBaseRelocationDirectory];
    const int relocSection = relocs.rva ? SectionOf(image, relocs.rva) : -1;
    if (relocSection > r)
        putDirectory(kBaseRelocationDirectory,
                     {relocs.rva - image.sections[relocSection].virtualAddress + sections[relocSection].virtualAddress,
                      relocs.size});
    const std::uint32_t checksumOffset = std::uint32_t(opt + kOptCheckSum);
    Put32(file, checksumOffset, Checksum(file, checksumOffset));

    Image rewritten;
    if (!ReadImage(std::move(file), rewritten, reason)) {
        reason = "the rewritten image does not read back: " + reason;
        return false;
    }
    image = std::move(rewritten);
    return true;
}

}  // namespace peimage
