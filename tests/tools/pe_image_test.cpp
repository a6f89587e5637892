// The packer's reader and writer of the launcher's PE image on small images made here: reading,
// rewriting the resource section (the sections after it moving), the checksum, and hostile images, each
// refused with its reason and never read out of bounds (this program runs under the sanitizers).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <tuple>

#include "tools/pe_image.h"
#include "tools/resource_section.h"

namespace {

using peimage::Bytes;
using peimage::Get16;
using peimage::Get32;
using peimage::Image;
using peimage::Put16;
using peimage::Put32;
using peimage::Resource;
using peimage::ResourceId;

// Offsets of the test image: the PE header at 0x40, the optional header after it, three sections.
constexpr std::size_t kPe = 0x40, kOpt = kPe + 24, kDirs = kOpt + 96, kSections = kOpt + 224;
constexpr std::uint32_t kRsrcRva = 0x2000, kRsrcRaw = 0x400;

// A version block and nothing else, so that the resource tree's offsets are fixed: the root table at 0,
// the type's at 24, the name's at 48, the data entry at 72, the data at 88.
std::vector<Resource> OneResource() { return {{ResourceId::Id(16), ResourceId::Id(1), 0x409, 0, Bytes(40, 0xAB)}}; }

// A PE32 image like the launcher's: .text with one relocated pointer into itself, .rsrc, then .reloc.
Bytes MakeImage(const std::vector<Resource>& list = OneResource()) {
    Bytes rsrc;
    std::string reason;
    EXPECT_TRUE(resources::BuildSection(list, kRsrcRva, rsrc, reason)) << reason;
    const std::uint32_t rsrcRaw = std::uint32_t((rsrc.size() + 0x1FF) / 0x200 * 0x200);
    const std::uint32_t rsrcSpan = std::uint32_t((rsrc.size() + 0xFFF) / 0x1000 * 0x1000);
    const std::uint32_t relocRva = kRsrcRva + rsrcSpan, relocRaw = kRsrcRaw + rsrcRaw;
    Bytes b(relocRaw + 0x200);
    b[0] = 'M', b[1] = 'Z';
    Put32(b, 0x3C, kPe);
    Put32(b, kPe, 0x4550);
    Put16(b, kPe + 4, 0x14C);
    Put16(b, kPe + 6, 3);
    Put16(b, kPe + 20, 224);
    Put16(b, kOpt, 0x10B);
    Put32(b, kOpt + 8, 0x200 + rsrcRaw + 0x200);  // initialized data
    Put32(b, kOpt + 16, 0x1000);                  // entry point
    Put32(b, kOpt + 28, 0x400000);
    Put32(b, kOpt + 32, 0x1000);
    Put32(b, kOpt + 36, 0x200);
    Put32(b, kOpt + 56, relocRva + 0x1000);
    Put32(b, kOpt + 60, 0x200);
    Put32(b, kOpt + 92, 16);
    Put32(b, kDirs + 16, kRsrcRva);
    Put32(b, kDirs + 20, std::uint32_t(rsrc.size()));
    Put32(b, kDirs + 40, relocRva);
    Put32(b, kDirs + 44, 12);
    auto section = [&](int i, const char* name, std::uint32_t vsize, std::uint32_t va, std::uint32_t rawSize,
                       std::uint32_t raw, std::uint32_t flags) {
        const std::size_t h = kSections + 40 * i;
        std::memcpy(&b[h], name, std::strlen(name));
        Put32(b, h + 8, vsize);
        Put32(b, h + 12, va);
        Put32(b, h + 16, rawSize);
        Put32(b, h + 20, raw);
        Put32(b, h + 36, flags);
    };
    section(0, ".text", 0x100, 0x1000, 0x200, 0x200, 0x60000020);
    section(1, ".rsrc", std::uint32_t(rsrc.size()), kRsrcRva, rsrcRaw, kRsrcRaw, 0x40000040);
    section(2, ".reloc", 12, relocRva, 0x200, relocRaw, 0x42000040);
    Put32(b, 0x200 + 0x10, 0x401020);  // a pointer into .text, which the relocation below names
    std::copy(rsrc.begin(), rsrc.end(), b.begin() + kRsrcRaw);
    Put32(b, relocRaw, 0x1000);
    Put32(b, relocRaw + 4, 12);
    Put16(b, relocRaw + 8, 0x3000 | 0x10);
    Put32(b, kOpt + 64, peimage::Checksum(b, kOpt + 64));
    return b;
}

bool Read(Bytes file, Image& image, std::vector<Resource>& list, std::string& reason) {
    return peimage::ReadImage(std::move(file), image, reason) && peimage::ReadResources(image, list, reason);
}

TEST(ReadImage, ReadsTheHeadersSectionsAndResourceTree) {
    Image image;
    std::vector<Resource> list;
    std::string reason;
    ASSERT_TRUE(Read(MakeImage(), image, list, reason)) << reason;
    ASSERT_EQ(image.sections.size(), 3u);
    EXPECT_EQ(image.sections[1].name, ".rsrc");
    EXPECT_EQ(image.directories[peimage::kResourceDirectory].rva, kRsrcRva);
    EXPECT_EQ(image.checksum, peimage::Checksum(image.file, image.optionalOffset + 64));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].data, Bytes(40, 0xAB));
    EXPECT_EQ(list[0].language, 0x409);
}

TEST(ReadImage, RefusesAPe32PlusImage) {
    Bytes b = MakeImage();
    Put16(b, kOpt, 0x20B);
    Image image;
    std::string reason;
    EXPECT_FALSE(peimage::ReadImage(b, image, reason));
    EXPECT_NE(reason.find("PE32+"), std::string::npos) << reason;
}

// Hostile images: each row damages the test image one way and names the refusal's words.
struct Hostile {
    const char* fault;
    std::function<void(Bytes&)> damage;
    const char* reason;
};

TEST(ReadImage, RefusesEachHostileImageWithItsReason) {
    const std::size_t rsrc = kRsrcRaw;
    const Hostile rows[] = {
        {"no MZ", [](Bytes& b) { b[0] = 'Z'; }, "no MZ header"},
        {"PE header beyond the file", [](Bytes& b) { Put32(b, 0x3C, 0xFFFFFFF0); }, "no PE signature"},
        {"PE header at the file's last bytes", [](Bytes& b) { Put32(b, 0x3C, std::uint32_t(b.size() - 4)); },
         "no PE signature"},
        {"not i386", [](Bytes& b) { Put16(b, kPe + 4, 0x8664); }, "not i386"},
        {"optional header longer than the file", [](Bytes& b) { Put16(b, kPe + 20, 0xFFFF); }, "truncated"},
        {"17 data directories", [](Bytes& b) { Put32(b, kOpt + 92, 17); }, "data directories do not fit"},
        {"a huge directory count", [](Bytes& b) { Put32(b, kOpt + 92, 0x80000000); }, "data directories do not fit"},
        {"file alignment 3", [](Bytes& b) { Put32(b, kOpt + 36, 3); }, "file alignment"},
        {"no sections", [](Bytes& b) { Put16(b, kPe + 6, 0); }, "0 sections"},
        {"section table past the headers", [](Bytes& b) { Put16(b, kPe + 6, 20); }, "section table ends"},
        {"headers larger than the file", [](Bytes& b) { Put32(b, kOpt + 60, 0x7FFFFFFF); }, "section table ends"},
        {"raw data past the file's end", [](Bytes& b) { Put32(b, kSections + 40 + 16, 0x10000); }, "outside the file"},
        {"raw data whose end wraps", [](Bytes& b) { Put32(b, kSections + 40 + 20, 0xFFFFFF00); }, "outside the file"},
        {"raw data in the headers", [](Bytes& b) { Put32(b, kSections + 20, 0x100); }, "outside the file"},
        {"two sections' raw data overlap", [](Bytes& b) { Put32(b, kSections + 40 + 20, 0x200); },
         "overlaps that of section"},
        {"addresses out of order", [](Bytes& b) { Put32(b, kSections + 40 + 12, 0x1000); }, "overlaps the headers"},
        {"unaligned address", [](Bytes& b) { Put32(b, kSections + 40 + 12, 0x2010); }, "unaligned"},
        {"section past the image size", [](Bytes& b) { Put32(b, kOpt + 56, 0x2000); }, "beyond the image size"},
        {"directory past the image", [](Bytes& b) { Put32(b, kDirs + 44, 0xFFFFFFF0); }, "lies outside the image"},
        {"certificate table past the file",
         [](Bytes& b) { Put32(b, kDirs + 32, 0x10), Put32(b, kDirs + 36, 0xFFFFFF); }, "certificate table"},
        {"resource directory in no section", [](Bytes& b) { Put32(b, kDirs + 16, 0x500); }, "in no section"},
        {"root table's entries past the section", [=](Bytes& b) { Put16(b, rsrc + 14, 0xFFFF); },
         "run past the section"},
        {"type table outside the section", [=](Bytes& b) { Put32(b, rsrc + 20, 0xFFFFFF00); },
         "lies outside the section"},
        {"type table is the root again", [=](Bytes& b) { Put32(b, rsrc + 20, 0x80000000); }, "reached twice"},
        {"type entry leads to data", [=](Bytes& b) { Put32(b, rsrc + 20, 72); }, "leads to data"},
        {"language entry leads to a table", [=](Bytes& b) { Put32(b, rsrc + 68, 0x80000000 | 24); }, "fourth level"},
        {"data entry outside the section", [=](Bytes& b) { Put32(b, rsrc + 68, 0x7FFFFFF0); }, "data entry"},
        {"data outside every section", [=](Bytes& b) { Put32(b, rsrc + 72, 0x9000); },
         "outside the sections' raw data"},
        {"data size past its section", [=](Bytes& b) { Put32(b, rsrc + 76, 0xFFFFFFFF); },
         "outside the sections' raw data"},
        {"a name counted as an id", [=](Bytes& b) { Put32(b, rsrc + 16, 0x80000000 | 80); },
         "named entry among its ids"},
        {"an id counted as a name", [=](Bytes& b) { Put16(b, rsrc + 12, 1), Put16(b, rsrc + 14, 0); },
         "an id among its named"},
        {"a name outside the section",
         [=](Bytes& b) { Put16(b, rsrc + 12, 1), Put16(b, rsrc + 14, 0), Put32(b, rsrc + 16, 0xFFFFFFF0); },
         "resource name"},
        {"a name running past the section",
         [=](Bytes& b) {
             Put16(b, rsrc + 12, 1), Put16(b, rsrc + 14, 0), Put32(b, rsrc + 16, 0x80000000 | 88),
                 Put16(b, rsrc + 88, 0xFFFF);
         },
         "runs past the section"},
    };
    for (const Hostile& row : rows) {
        Bytes b = MakeImage();
        row.damage(b);
        Image image;
        std::vector<Resource> list;
        std::string reason;
        EXPECT_FALSE(Read(b, image, list, reason)) << row.fault;
        EXPECT_NE(reason.find(row.reason), std::string::npos) << row.fault << ": " << reason;
    }
}

TEST(ReadImage, RefusesEveryTruncationAndSurvivesCorruption) {
    const Bytes whole = MakeImage();
    Image image;
    std::vector<Resource> list;
    std::string reason;
    // Cut anywhere before the last section's end, the image is refused (its raw data is not whole).
    for (std::size_t size = 0; size < whole.size(); ++size)
        EXPECT_FALSE(Read(Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(size)), image, list, reason)) << size;
    // Random bytes in the headers and the resource tree: refused or read, never out of bounds (the
    // sanitizers stop the test at the first bad read), and whatever reads also rewrites or refuses.
    std::mt19937 random(20261210);
    for (int round = 0; round < 3000; ++round) {
        Bytes b = whole;
        for (int k = 0; k < 4; ++k) {
            const std::size_t at = random() % 2 ? random() % 0x200 : kRsrcRaw + random() % 0x100;
            b[at] = std::uint8_t(random());
        }
        if (Read(b, image, list, reason)) {
            std::uint32_t rva = 0;
            Bytes section;
            if (peimage::ResourceSectionAddress(image, rva, reason) &&
                resources::BuildSection(list, rva, section, reason))
                (void)peimage::ReplaceResourceSection(image, section, reason);
        }
    }
}

TEST(Checksum, FoldsCarriesSkipsItsFieldAndAddsTheLength) {
    EXPECT_EQ(peimage::Checksum({0x01, 0x02, 0x03}, 100), 0x0201u + 0x0003u + 3u);     // odd length: a zero byte pads
    EXPECT_EQ(peimage::Checksum({0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00}, 100), 2u + 6u);  // 0x1FFFE folds to 0xFFFF
    EXPECT_EQ(peimage::Checksum({0x10, 0, 0xAA, 0xBB, 0xCC, 0xDD, 0x20, 0}, 2), 0x30u + 8u);  // field ignored
    EXPECT_EQ(peimage::Checksum({0x10, 0xAA, 0xBB, 0xCC, 0xDD, 0, 0x20, 0}, 1), 0x30u + 8u);  // even unaligned
}

// The sum taken word by word with the carry folded after each, as the format describes it: the checksum
// summed whole and folded once must give the same on any bytes, field offset and length.
TEST(Checksum, MatchesTheWordByWordFoldOnRandomFiles) {
    auto wordByWord = [](const Bytes& file, std::uint32_t field) {
        std::uint64_t sum = 0;
        for (std::uint64_t i = 0; i < file.size(); i += 2) {
            const auto at = [&](std::uint64_t k) -> std::uint32_t {
                return k < file.size() && (k < field || k >= field + 4ull) ? file[k] : 0;
            };
            sum += at(i) | at(i + 1) << 8;
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
        return std::uint32_t(sum + file.size());
    };
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        Bytes file(random() % 3000);
        const int kind = round % 3;  // random bytes, all 0xFF (sums that are multiples of 0xFFFF), all zero
        for (std::uint8_t& b : file)
            b = kind == 0 ? std::uint8_t(random()) : kind == 1 ? 0xFF : 0;
        const std::uint32_t field = std::uint32_t(random() % (file.size() + 8));
        ASSERT_EQ(peimage::Checksum(file, field), wordByWord(file, field)) << file.size() << " bytes, field " << field;
    }
}

TEST(BuildSection, SortsNamesBeforeIdsAndReadsBack) {
    std::vector<Resource> list = {
        {ResourceId::Id(24), ResourceId::Id(1), 0x409, 0, Bytes{1}},
        {ResourceId::Id(14), ResourceId::Name(u"ZED"), 0x409, 0, Bytes{2, 2}},
        {ResourceId::Id(3), ResourceId::Id(7), 0x804, 0, Bytes{3}},
        {ResourceId::Id(3), ResourceId::Id(2), 0x409, 0, Bytes{4}},
        {ResourceId::Id(14), ResourceId::Name(u"DEFAULT_ICON"), 0x409, 0, Bytes{5}},
        {ResourceId::Name(u"KIND"), ResourceId::Id(9), 0x409, 1252, Bytes(9, 6)},
        {ResourceId::Id(3), ResourceId::Id(2), 0x407, 0, Bytes{7}},
    };
    Image image;
    std::vector<Resource> back;
    std::string reason;
    ASSERT_TRUE(Read(MakeImage(list), image, back, reason)) << reason;
    std::vector<std::tuple<ResourceId, ResourceId, std::uint16_t>> order;
    for (const Resource& r : back)
        order.emplace_back(r.type, r.name, r.language);
    const std::vector<std::tuple<ResourceId, ResourceId, std::uint16_t>> expected = {
        {ResourceId::Name(u"KIND"), ResourceId::Id(9), 0x409},
        {ResourceId::Id(3), ResourceId::Id(2), 0x407},
        {ResourceId::Id(3), ResourceId::Id(2), 0x409},
        {ResourceId::Id(3), ResourceId::Id(7), 0x804},
        {ResourceId::Id(14), ResourceId::Name(u"DEFAULT_ICON"), 0x409},
        {ResourceId::Id(14), ResourceId::Name(u"ZED"), 0x409},
        {ResourceId::Id(24), ResourceId::Id(1), 0x409},
    };
    EXPECT_EQ(order, expected);
    EXPECT_EQ(back[0].data, Bytes(9, 6));
    EXPECT_EQ(back[0].codePage, 1252u);
}

TEST(BuildSection, RefusesTwoResourcesOfOneTypeNameAndLanguage) {
    std::vector<Resource> list = OneResource();
    list.push_back(list[0]);
    Bytes section;
    std::string reason;
    EXPECT_FALSE(resources::BuildSection(list, kRsrcRva, section, reason));
    EXPECT_NE(reason.find("two resources of type 16"), std::string::npos) << reason;
}

TEST(BuildSection, HoldsATableTo65535EntriesOnBothSides) {
    // The languages of one resource fill one table, whose 16-bit counts must not wrap.
    std::vector<Resource> list;
    for (std::uint32_t language = 0; language < 0xFFFF; ++language)
        list.push_back({ResourceId::Id(10), ResourceId::Id(1), std::uint16_t(language), 0, {}});
    Bytes section;
    std::string reason;
    EXPECT_TRUE(resources::BuildSection(list, kRsrcRva, section, reason)) << reason;
    list.push_back({ResourceId::Id(10), ResourceId::Id(1), 0xFFFF, 0, {}});
    EXPECT_FALSE(resources::BuildSection(list, kRsrcRva, section, reason));
    EXPECT_NE(reason.find("more than 65,535 languages"), std::string::npos) << reason;
}

std::vector<Resource> BigResources(std::size_t size) {
    std::vector<Resource> list = OneResource();
    list.push_back({ResourceId::Id(10), ResourceId::Id(5), 0x409, 0, Bytes(size, 0x5A)});
    return list;
}

bool Rewrite(Image& image, const std::vector<Resource>& list, std::string& reason) {
    std::uint32_t rva = 0;
    Bytes section;
    return peimage::ResourceSectionAddress(image, rva, reason) && resources::BuildSection(list, rva, section, reason) &&
           peimage::ReplaceResourceSection(image, section, reason);
}

TEST(ReplaceResourceSection, GrowsTheSectionAndMovesTheRelocationsAfterIt) {
    Image image;
    std::vector<Resource> list;
    std::string reason;
    ASSERT_TRUE(Read(MakeImage(), image, list, reason)) << reason;
    const Bytes relocs(image.file.begin() + image.sections[2].rawOffset,
                       image.file.begin() + image.sections[2].rawOffset + 12);
    const std::uint32_t initialized = Get32(image.file, kOpt + 8);
    ASSERT_TRUE(Rewrite(image, BigResources(10000), reason)) << reason;

    const peimage::Section &rsrc = image.sections[1], &reloc = image.sections[2];
    EXPECT_EQ(rsrc.virtualAddress, kRsrcRva);
    EXPECT_EQ(rsrc.rawSize % 0x200, 0u);
    EXPECT_GE(rsrc.virtualSize, 10000u);
    EXPECT_EQ(reloc.virtualAddress, kRsrcRva + (rsrc.virtualSize + 0xFFF) / 0x1000 * 0x1000);
    EXPECT_EQ(reloc.rawOffset, rsrc.rawOffset + rsrc.rawSize);
    EXPECT_EQ(image.directories[peimage::kBaseRelocationDirectory].rva, reloc.virtualAddress);
    EXPECT_EQ(image.directories[peimage::kResourceDirectory].size, rsrc.virtualSize);
    EXPECT_EQ(image.sizeOfImage, reloc.virtualAddress + 0x1000);
    EXPECT_EQ(Get32(image.file, kOpt + 8), initialized + rsrc.rawSize - 0x200);
    EXPECT_EQ(Bytes(image.file.begin() + reloc.rawOffset, image.file.begin() + reloc.rawOffset + 12), relocs);
    EXPECT_EQ(image.file.size(), std::size_t(reloc.rawOffset) + reloc.rawSize);
    EXPECT_EQ(image.checksum, peimage::Checksum(image.file, image.optionalOffset + 64));
    EXPECT_NE(image.checksum, 0u);

    std::vector<Resource> back;
    ASSERT_TRUE(peimage::ReadResources(image, back, reason)) << reason;
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].data, Bytes(10000, 0x5A));  // type 10 before type 16

    // And back to the small section: the relocations move back to where they were.
    ASSERT_TRUE(Rewrite(image, OneResource(), reason)) << reason;
    EXPECT_EQ(image.sections[2].virtualAddress, 0x3000u);
    EXPECT_EQ(image.file.size(), MakeImage().size());
}

TEST(ReplaceResourceSection, RefusesLayoutsItCannotRewrite) {
    const Hostile rows[] = {
        {"a certificate table", [](Bytes& b) { Put32(b, kDirs + 32, 0x200), Put32(b, kDirs + 36, 8); },
         "certificate table"},
        {"bytes after the last section", [](Bytes& b) { b.resize(b.size() + 100); },
         "100 bytes follow the last section"},
        {"a pointer into the section after it", [](Bytes& b) { Put32(b, 0x200 + 0x10, 0x403004); },
         "a relocated address"},
        {"the entry point after it", [](Bytes& b) { Put32(b, kOpt + 16, 0x3000); }, "the entry point"},
        {"a second directory after it", [](Bytes& b) { Put32(b, kDirs + 8, 0x3004), Put32(b, kDirs + 12, 4); },
         "data directory 1"},
        {"a directory in the resource section", [](Bytes& b) { Put32(b, kDirs + 8, 0x2004), Put32(b, kDirs + 12, 4); },
         "yet data directory 1 points into it"},
        {"a pointer into the resource section", [](Bytes& b) { Put32(b, 0x200 + 0x10, 0x402010); },
         "yet a relocated address"},
        {"the resource directory inside its section", [](Bytes& b) { Put32(b, kDirs + 16, 0x2008); },
         "does not begin its section"},
    };
    for (const Hostile& row : rows) {
        Bytes b = MakeImage();
        row.damage(b);
        Image image;
        std::string reason;
        ASSERT_TRUE(peimage::ReadImage(b, image, reason)) << row.fault << ": " << reason;
        const Bytes before = image.file;
        EXPECT_FALSE(Rewrite(image, BigResources(5000), reason)) << row.fault;
        EXPECT_NE(reason.find(row.reason), std::string::npos) << row.fault << ": " << reason;
        EXPECT_EQ(image.file, before) << row.fault;
    }
}

Bytes IconFile(const std::vector<std::pair<int, Bytes>>& images) {
    Bytes out = {0, 0, 1, 0, std::uint8_t(images.size()), 0};
    std::uint32_t at = std::uint32_t(6 + 16 * images.size());
    for (const auto& [size, data] : images) {
        const Bytes entry = {std::uint8_t(size % 256), std::uint8_t(size % 256), 0, 0, 1, 0, 32, 0};
        out.insert(out.end(), entry.begin(), entry.end());
        for (std::uint32_t v : {std::uint32_t(data.size()), at})
            for (int k = 0; k < 4; ++k)
                out.push_back(std::uint8_t(v >> 8 * k));
        at += std::uint32_t(data.size());
    }
    for (const auto& [size, data] : images)
        out.insert(out.end(), data.begin(), data.end());
    return out;
}

TEST(ReadIconFile, RefusesWhatIsNotAWholeIcon) {
    const Bytes good = IconFile({{16, Bytes(40, 1)}});
    const Hostile rows[] = {
        {"too short", [](Bytes& b) { b.resize(5); }, "too short"},
        {"a cursor", [](Bytes& b) { b[2] = 2; }, "a cursor"},
        {"not an icon", [](Bytes& b) { b[0] = 0x89; }, "not an icon"},
        {"no images", [](Bytes& b) { b[4] = 0; }, "holds no image"},
        {"a directory longer than the file", [](Bytes& b) { b[4] = 200; }, "runs past the file"},
        {"an image past the end", [](Bytes& b) { b[6 + 8] = 41; }, "does not lie within the file"},
        {"an image inside the directory", [](Bytes& b) { b[6 + 12] = 4; }, "does not lie within the file"},
        {"an empty image", [](Bytes& b) { b[6 + 8] = 0; }, "does not lie within the file"},
    };
    std::vector<resources::IconImage> images;
    std::string reason;
    ASSERT_TRUE(resources::ReadIconFile(good, images, reason)) << reason;
    for (const Hostile& row : rows) {
        Bytes b = good;
        row.damage(b);
        EXPECT_FALSE(resources::ReadIconFile(b, images, reason)) << row.fault;
        EXPECT_NE(reason.find(row.reason), std::string::npos) << row.fault << ": " << reason;
    }
}

TEST(SetIconGroup, ReplacesTheGroupAndOnlyTheIconsItAloneUsed) {
    // DEFAULT_ICON uses icons 1 and 2; OTHER uses 2 and 3.
    auto group = [](std::vector<std::uint16_t> ids) {
        Bytes g = {0, 0, 1, 0, std::uint8_t(ids.size()), 0};
        for (std::uint16_t id : ids) {
            const Bytes entry = {16, 16, 0, 0, 1, 0, 32, 0, 1, 0, 0, 0, std::uint8_t(id), 0};
            g.insert(g.end(), entry.begin(), entry.end());
        }
        return g;
    };
    std::vector<Resource> list = {
        {ResourceId::Id(3), ResourceId::Id(1), 0x804, 0, Bytes{1}},
        {ResourceId::Id(3), ResourceId::Id(2), 0x804, 0, Bytes{2}},
        {ResourceId::Id(3), ResourceId::Id(3), 0x804, 0, Bytes{3}},
        {ResourceId::Id(14), ResourceId::Name(u"DEFAULT_ICON"), 0x804, 0, group({1, 2})},
        {ResourceId::Id(14), ResourceId::Name(u"OTHER"), 0x804, 0, group({2, 3})},
    };
    std::vector<resources::IconImage> images;
    std::string reason;
    const Bytes png256 = {0x89, 'P', 'N', 'G', 9, 9};
    ASSERT_TRUE(
        resources::ReadIconFile(IconFile({{16, Bytes(8, 0x16)}, {32, Bytes(8, 0x32)}, {256, png256}}), images, reason));
    ASSERT_TRUE(resources::SetIconGroup(list, u"DEFAULT_ICON", images, 0x409, reason)) << reason;

    std::map<std::uint16_t, Bytes> icons;
    const Resource* newGroup = nullptr;
    for (const Resource& r : list) {
        EXPECT_EQ(r.language, 0x804);  // the replaced group's
        if (r.type == ResourceId::Id(3))
            icons[r.name.id] = r.data;
        if (r.name == ResourceId::Name(u"DEFAULT_ICON"))
            newGroup = &r;
    }
    // Icon 1 went; 2 and 3 stay for OTHER; the new images take 1, 4 and 5.
    EXPECT_EQ(icons, (std::map<std::uint16_t, Bytes>{
                         {1, Bytes(8, 0x16)}, {2, Bytes{2}}, {3, Bytes{3}}, {4, Bytes(8, 0x32)}, {5, png256}}));
    ASSERT_NE(newGroup, nullptr);
    const Bytes& g = newGroup->data;
    ASSERT_EQ(g.size(), 6u + 3 * 14);
    EXPECT_EQ(g[4], 3);
    EXPECT_EQ(g[6 + 28], 0);  // 256 pixels: width and height 0
    EXPECT_EQ(g[6 + 28 + 1], 0);
    EXPECT_EQ(Get32(g, 6 + 28 + 8), png256.size());
    EXPECT_EQ(g[6 + 28 + 12], 5);
}

TEST(BuildVersionInfo, WritesTheNumbersTextsAndTranslation) {
    resources::VersionInfo info;
    info.fileVersion = {2, 3, 4, 5};
    info.productVersion = {6, 7, 8, 65535};
    info.strings = {{u"FileVersion", u"2.3.4.5"}, {u"ProductName", u"檀溪舟楫"}};
    Bytes block;
    std::string reason;
    ASSERT_TRUE(resources::BuildVersionInfo(info, block, reason)) << reason;
    EXPECT_EQ(block[0] | block[1] << 8, int(block.size()));
    EXPECT_EQ(Get32(block, 40), 0xFEEF04BDu);  // after the header and "VS_VERSION_INFO", aligned
    EXPECT_EQ(Get32(block, 48), 0x00020003u);
    EXPECT_EQ(Get32(block, 52), 0x00040005u);
    EXPECT_EQ(Get32(block, 56), 0x00060007u);
    EXPECT_EQ(Get32(block, 60), 0x0008FFFFu);
    auto utf16 = [](std::u16string text) {
        Bytes b;
        for (char16_t c : text)
            b.push_back(std::uint8_t(c)), b.push_back(std::uint8_t(c >> 8));
        return b;
    };
    auto holds = [&](const Bytes& part) {
        return std::search(block.begin(), block.end(), part.begin(), part.end()) != block.end();
    };
    EXPECT_TRUE(holds(utf16(std::u16string(u"080403a8") + u'\0')));
    EXPECT_TRUE(holds(utf16(std::u16string(u"檀溪舟楫") + u'\0')));
    Bytes translation = utf16(std::u16string(u"Translation") + u'\0');
    translation.insert(translation.end(), {0, 0, 0x04, 0x08, 0xA8, 0x03});  // padding, then 0x0804 and 936
    EXPECT_TRUE(holds(translation));

    info.strings.emplace_back(u"Comments", std::u16string(0x3001, u'x'));
    EXPECT_FALSE(resources::BuildVersionInfo(info, block, reason));
}

TEST(Utf16FromUtf8, TakesUtf8AndRefusesWhatIsNot) {
    std::u16string out;
    ASSERT_TRUE(resources::Utf16FromUtf8("a\xE6\xAA\x80\xF0\x9F\x98\x80", out));  // a, U+6A80, U+1F600
    EXPECT_EQ(out, (std::u16string{u'a', char16_t(0x6A80), char16_t(0xD83D), char16_t(0xDE00)}));
    for (const char* bad : {"\xC0\xAF", "\xE6\xAA", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "a\xE6"})
        EXPECT_FALSE(resources::Utf16FromUtf8(bad, out)) << bad;
}

}  // namespace
