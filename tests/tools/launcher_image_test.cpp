// Packing a launcher from the prebuilt one, on a small image made here in the prebuilt launcher's shape
// (.text, .rsrc, .reloc, then the empty archive section): the same bytes every time, a packed image
// packed again the same as the prebuilt, the archive found again where the record says, and images
// packing must not touch refused (this program runs under the sanitizers).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "tools/launcher_image.h"
#include "tools/sha256.h"

namespace {

using launcherimage::Place;
using launcherimage::Settings;
using peimage::Bytes;
using peimage::Get16;
using peimage::Get32;
using peimage::Image;
using peimage::Put16;
using peimage::Put32;
using peimage::Resource;
using peimage::ResourceId;

constexpr std::size_t kPe = 0x40, kOpt = kPe + 24, kDirs = kOpt + 96, kSections = kOpt + 224;
constexpr std::uint32_t kRsrcRva = 0x2000, kRsrcRaw = 0x400;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The prebuilt launcher's resources: its icon group, a version block and the manifest.
std::vector<Resource> PrebuiltResources() {
    const std::vector<resources::IconImage> icon = {{16, 16, 0, 0, 1, 32, Bytes(40, 0x11)}};
    std::vector<Resource> list = {
        {ResourceId::Id(peimage::kTypeVersion), ResourceId::Id(1), 0x409, 0, Bytes(60, 1)},
        {ResourceId::Id(peimage::kTypeManifest), ResourceId::Id(1), 0x409, 0, Text("<assembly/>")}};
    std::string reason;
    EXPECT_TRUE(resources::SetIconGroup(list, u"DEFAULT_ICON", icon, 0x409, reason)) << reason;
    return list;
}

// A PE32 image as the build links the prebuilt launcher: .text, .rsrc, .reloc and the archive section
// last, holding the empty array's header. `payloadLast` false puts the archive section before .reloc.
Bytes MakePrebuilt(bool payloadLast = true) {
    Bytes rsrc;
    std::string reason;
    EXPECT_TRUE(resources::BuildSection(PrebuiltResources(), kRsrcRva, rsrc, reason)) << reason;
    const std::uint32_t rsrcRaw = std::uint32_t((rsrc.size() + 0x1FF) / 0x200 * 0x200);
    const std::uint32_t rsrcSpan = std::uint32_t((rsrc.size() + 0xFFF) / 0x1000 * 0x1000);
    const std::uint32_t afterRsrcRva = kRsrcRva + rsrcSpan, afterRsrcRaw = kRsrcRaw + rsrcRaw;
    const std::uint32_t relocRva = payloadLast ? afterRsrcRva : afterRsrcRva + 0x1000;
    const std::uint32_t payloadRva = payloadLast ? afterRsrcRva + 0x1000 : afterRsrcRva;
    const std::uint32_t relocRaw = payloadLast ? afterRsrcRaw : afterRsrcRaw + 0x200;
    const std::uint32_t payloadRaw = payloadLast ? afterRsrcRaw + 0x200 : afterRsrcRaw;
    Bytes b(afterRsrcRaw + 0x400);
    b[0] = 'M', b[1] = 'Z';
    Put32(b, 0x3C, kPe);
    Put32(b, kPe, 0x4550);
    Put16(b, kPe + 4, 0x14C);
    Put16(b, kPe + 6, 4);
    Put16(b, kPe + 20, 224);
    Put16(b, kOpt, 0x10B);
    Put32(b, kOpt + 8, rsrcRaw + 0x400);
    Put32(b, kOpt + 16, 0x1000);
    Put32(b, kOpt + 28, 0x400000);
    Put32(b, kOpt + 32, 0x1000);
    Put32(b, kOpt + 36, 0x200);
    Put32(b, kOpt + 56, afterRsrcRva + 0x2000);
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
    section(payloadLast ? 2 : 3, ".reloc", 12, relocRva, 0x200, relocRaw, 0x42000040);
    section(payloadLast ? 3 : 2, ".payload", 8, payloadRva, 0x200, payloadRaw, 0x40000040);
    Put32(b, 0x200 + 0x10, 0x401020);  // a pointer into .text, which the relocation names
    std::copy(rsrc.begin(), rsrc.end(), b.begin() + kRsrcRaw);
    Put32(b, relocRaw, 0x1000);
    Put32(b, relocRaw + 4, 12);
    Put16(b, relocRaw + 8, 0x3000 | 0x10);
    Put32(b, payloadRaw, 1);  // the empty array: dimension count 1, length 0
    Put32(b, kOpt + 64, peimage::Checksum(b, kOpt + 64));
    return b;
}

Bytes Archive(std::size_t size, std::uint8_t seed) {
    Bytes archive(size);
    for (std::size_t i = 0; i < size; ++i)
        archive[i] = std::uint8_t(seed + i * 31);
    const std::uint8_t header[] = {'P', 'K', 3, 4};
    std::copy_n(header, std::min<std::size_t>(size, 4), archive.begin());
    return archive;
}

Settings Chosen() {
    Settings settings;
    settings.version = {2, 5, 0, 17};
    settings.texts = {{"CompanyName", "Kestrelworks"}, {"FileDescription", "Velkar 安装"}};
    settings.icon = std::vector<resources::IconImage>{{32, 32, 0, 0, 1, 32, Bytes(100, 0x22)},
                                                      {0, 0, 0, 0, 1, 32, Text("\x89PNG 256")}};
    settings.manifest = Text("<assembly manifestVersion=\"1.0\"/>");
    return settings;
}

Bytes MustPack(const Bytes& prebuilt, const Bytes& archive, const Settings& settings, Place& place) {
    Bytes out;
    std::string reason;
    EXPECT_TRUE(launcherimage::Pack(prebuilt, archive, settings, out, place, reason)) << reason;
    return out;
}

const Resource* Find(const std::vector<Resource>& list, const ResourceId& type, const ResourceId& name) {
    auto it =
        std::find_if(list.begin(), list.end(), [&](const Resource& r) { return r.type == type && r.name == name; });
    return it == list.end() ? nullptr : &*it;
}

bool HoldsUtf16(const Bytes& data, const std::u16string& text) {
    Bytes wanted;
    for (char16_t c : text)
        wanted.push_back(std::uint8_t(c)), wanted.push_back(std::uint8_t(c >> 8));
    return std::search(data.begin(), data.end(), wanted.begin(), wanted.end()) != data.end();
}

TEST(Pack, PutsTheArchiveLastWithItsRecordAndTheChecksum) {
    const Bytes archive = Archive(5000, 7);
    Place place;
    const Bytes out = MustPack(MakePrebuilt(), archive, Chosen(), place);
    Image image;
    std::string reason;
    ASSERT_TRUE(peimage::ReadImage(out, image, reason)) << reason;

    // The section: last in the table, in memory and in the file, page- and file-aligned, read-only data.
    ASSERT_EQ(image.sections.size(), 4u);
    const peimage::Section& s = image.sections.back();
    EXPECT_EQ(s.name, ".payload");
    EXPECT_EQ(s.characteristics, 0x40000040u);
    EXPECT_EQ(s.virtualAddress % 0x1000, 0u);
    EXPECT_EQ(s.rawOffset % 0x200, 0u);
    EXPECT_EQ(s.virtualSize, 8 + archive.size());
    EXPECT_EQ(std::uint64_t(s.rawOffset) + s.rawSize, out.size());
    EXPECT_EQ(image.sizeOfImage, (s.virtualAddress + s.virtualSize + 0xFFF) / 0x1000 * 0x1000);
    EXPECT_EQ(image.checksum, peimage::Checksum(out, image.optionalOffset + 64));
    EXPECT_NE(image.checksum, 0u);

    // The initialised-data size counts every initialised-data section's raw bytes once.
    std::uint32_t initialised = 0;
    for (const peimage::Section& each : image.sections)
        if (each.characteristics & 0x40)
            initialised += each.rawSize;
    EXPECT_EQ(Get32(out, image.optionalOffset + 8), initialised);

    // The archive where Pack says and FindArchive finds it, behind the array's header.
    EXPECT_EQ(place.sectionAddress, s.virtualAddress);
    EXPECT_EQ(place.archiveAddress, s.virtualAddress + 8);
    EXPECT_EQ(place.archiveOffset, s.rawOffset + 8);
    EXPECT_EQ(place.archiveBytes, archive.size());
    EXPECT_EQ(Get32(out, s.rawOffset), 1u);
    EXPECT_EQ(Get32(out, s.rawOffset + 4), archive.size());
    EXPECT_TRUE(std::equal(archive.begin(), archive.end(), out.begin() + place.archiveOffset));
    Place found;
    ASSERT_TRUE(launcherimage::FindArchive(image, found, reason)) << reason;
    EXPECT_EQ(std::tie(found.sectionAddress, found.archiveAddress, found.archiveOffset, found.archiveBytes),
              std::tie(place.sectionAddress, place.archiveAddress, place.archiveOffset, place.archiveBytes));

    // The record, in the form the verifier reads, with the real address.
    std::vector<Resource> list;
    ASSERT_TRUE(peimage::ReadResources(image, list, reason)) << reason;
    const Resource* record = Find(list, ResourceId::Id(10), ResourceId::Name(u"KESTREL_PAYLOAD"));
    ASSERT_NE(record, nullptr);
    char address[16];
    std::snprintf(address, sizeof address, "0x%08X", unsigned(place.archiveAddress));
    EXPECT_EQ(std::string(record->data.begin(), record->data.end()),
              "bytes=5000\nsha256=" + sha256::HexHash(archive.data(), archive.size()) + "\naddress=" + address + "\n");
}

TEST(Pack, WritesTheSettingsIconVersionAndManifest) {
    Place place;
    const Bytes out = MustPack(MakePrebuilt(), Archive(100, 1), Chosen(), place);
    Image image;
    std::vector<Resource> list;
    std::string reason;
    ASSERT_TRUE(peimage::ReadImage(out, image, reason) && peimage::ReadResources(image, list, reason)) << reason;

    const Resource* group = Find(list, ResourceId::Id(peimage::kTypeGroupIcon), ResourceId::Name(u"DEFAULT_ICON"));
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(Get16(group->data, 4), 2);  // the two images given, not the prebuilt's one
    EXPECT_EQ(std::count_if(list.begin(), list.end(),
                            [](const Resource& r) { return r.type == ResourceId::Id(peimage::kTypeIcon); }),
              2);
    const Resource* manifest = Find(list, ResourceId::Id(peimage::kTypeManifest), ResourceId::Id(1));
    ASSERT_NE(manifest, nullptr);
    EXPECT_EQ(manifest->data, *Chosen().manifest);

    const Resource* version = Find(list, ResourceId::Id(peimage::kTypeVersion), ResourceId::Id(1));
    ASSERT_NE(version, nullptr);
    const Bytes& v = version->data;
    ASSERT_GE(v.size(), 64u);
    ASSERT_EQ(Get32(v, 40), 0xFEEF04BDu);  // VS_FIXEDFILEINFO behind "VS_VERSION_INFO"
    EXPECT_EQ(Get32(v, 48), 0x00020005u);  // file version 2.5 ...
    EXPECT_EQ(Get32(v, 52), 0x00000011u);  // ... .0.17
    EXPECT_EQ(Get32(v, 56), 0x00020005u);  // product version the same
    EXPECT_TRUE(HoldsUtf16(v, u"2.5.0.17"));
    EXPECT_TRUE(HoldsUtf16(v, u"Velkar 安装"));  // a given text replaces the default
    EXPECT_FALSE(HoldsUtf16(v, u"檀溪舟楫安装"));
    EXPECT_TRUE(HoldsUtf16(v, u"檀溪舟楫"));  // the product name keeps the default
    EXPECT_TRUE(HoldsUtf16(v, u"CompanyName"));
    EXPECT_TRUE(HoldsUtf16(v, u"Kestrelworks"));
    EXPECT_TRUE(HoldsUtf16(v, u"launcher.exe"));
}

TEST(Pack, KeepsThePrebuiltIconAndManifestWhenNoneIsGiven) {
    Place place;
    const Bytes out = MustPack(MakePrebuilt(), Archive(100, 1), Settings{}, place);
    Image image;
    std::vector<Resource> list;
    std::string reason;
    ASSERT_TRUE(peimage::ReadImage(out, image, reason) && peimage::ReadResources(image, list, reason)) << reason;
    const Resource* manifest = Find(list, ResourceId::Id(peimage::kTypeManifest), ResourceId::Id(1));
    ASSERT_NE(manifest, nullptr);
    EXPECT_EQ(manifest->data, Text("<assembly/>"));
    const Resource* icon = Find(list, ResourceId::Id(peimage::kTypeIcon), ResourceId::Id(1));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->data, Bytes(40, 0x11));
}

TEST(Pack, GivesTheSameBytesEveryTimeAndForAPackedImageAsForThePrebuilt) {
    const Bytes prebuilt = MakePrebuilt();
    Place place;
    const Bytes once = MustPack(prebuilt, Archive(3000, 3), Chosen(), place);
    EXPECT_EQ(MustPack(prebuilt, Archive(3000, 3), Chosen(), place), once);

    // A launcher packed before, with another archive of another size and other settings, is the
    // prebuilt one again once its archive is replaced.
    Settings other;
    other.texts = {{"LegalCopyright", "(c) nobody"}};
    const Bytes first = MustPack(prebuilt, Archive(70000, 9), other, place);
    EXPECT_EQ(MustPack(first, Archive(3000, 3), Chosen(), place), once);
    EXPECT_EQ(MustPack(once, Archive(3000, 3), Chosen(), place), once);
    EXPECT_NE(MustPack(prebuilt, Archive(3000, 4), Chosen(), place), once);
}

TEST(Pack, TakesArchivesAroundTheFileAlignment) {
    // The section's header and archive fill its raw size exactly, or one byte spills into the next block.
    for (std::size_t size : {1u, 0x200u - 8, 0x200u - 7, 0x1000u - 8, 0x1000u - 7}) {
        Place place;
        const Bytes out = MustPack(MakePrebuilt(), Archive(size, 5), Settings{}, place);
        Image image;
        std::string reason;
        ASSERT_TRUE(peimage::ReadImage(out, image, reason)) << reason;
        EXPECT_EQ(image.sections.back().rawSize, (size + 8 + 0x1FF) / 0x200 * 0x200) << size;
        EXPECT_EQ(place.archiveBytes, size);
    }
}

// Images packing must refuse: each row makes the prebuilt image wrong one way; `out` stays untouched.
struct Refusal {
    const char* fault;
    std::function<Bytes()> image;
    const char* reason;
};

TEST(Pack, RefusesImagesItCannotPackAndLeavesTheOutputUntouched) {
    const Refusal rows[] = {
        {"truncated inside .rsrc",
         [] {
             Bytes b = MakePrebuilt();
             b.resize(kRsrcRaw + 0x100);
             return b;
         },
         "outside the file"},
        {"bytes after the last section",
         [] {
             Bytes b = MakePrebuilt();
             b.insert(b.end(), 16, 0);
             return b;
         },
         "16 bytes follow the last section"},
        {"signed",
         [] {
             Bytes b = MakePrebuilt();
             const std::uint32_t end = std::uint32_t(b.size());
             b.resize(end + 16);
             Put32(b, kDirs + 32, end);
             Put32(b, kDirs + 36, 16);
             return b;
         },
         "signed"},
        {"archive section before .reloc", [] { return MakePrebuilt(false); }, "not the image's last"},
        {"no archive section",
         [] {
             Bytes b = MakePrebuilt();
             std::memcpy(&b[kSections + 3 * 40], ".pyload", 8);
             return b;
         },
         "has no .payload section"},
        {"a directory points into the archive section",
         [] {
             Bytes b = MakePrebuilt();
             Put32(b, kDirs + 6 * 8, Get32(b, kSections + 3 * 40 + 12));  // the debug directory
             Put32(b, kDirs + 6 * 8 + 4, 8);
             return b;
         },
         "points into the .payload section"},
        {"not a PE image", [] { return Bytes(4096, 0); }, "no MZ header"},
    };
    for (const Refusal& row : rows) {
        Bytes out = {1, 2, 3};
        Place place;
        std::string reason;
        EXPECT_FALSE(launcherimage::Pack(row.image(), Archive(100, 1), Settings{}, out, place, reason)) << row.fault;
        EXPECT_NE(reason.find(row.reason), std::string::npos) << row.fault << ": " << reason;
        EXPECT_EQ(out, (Bytes{1, 2, 3})) << row.fault;
    }
    Bytes out;
    Place place;
    std::string reason;
    EXPECT_FALSE(launcherimage::Pack(MakePrebuilt(), Bytes{}, Settings{}, out, place, reason));
    EXPECT_NE(reason.find("empty"), std::string::npos) << reason;
    Settings badText;
    badText.texts = {{"CompanyName", "\xC0\xAF"}};  // an overlong '/', not UTF-8
    EXPECT_FALSE(launcherimage::Pack(MakePrebuilt(), Archive(10, 1), badText, out, place, reason));
    EXPECT_NE(reason.find("UTF-8"), std::string::npos) << reason;
}

// Every cut of a packed image is refused, by the reader or by the trailing-bytes check, never read past.
TEST(Pack, RefusesEveryTruncationOfAPackedImage) {
    Place place;
    const Bytes packed = MustPack(MakePrebuilt(), Archive(600, 2), Settings{}, place);
    for (std::size_t cut = 0; cut < packed.size(); cut += 61) {
        Bytes out;
        std::string reason;
        EXPECT_FALSE(launcherimage::Pack(Bytes(packed.begin(), packed.begin() + std::ptrdiff_t(cut)), Archive(10, 1),
                                         Settings{}, out, place, reason))
            << cut;
    }
}

TEST(FindArchive, RefusesASectionWhoseHeaderDoesNotFit) {
    Place place;
    const Bytes packed = MustPack(MakePrebuilt(), Archive(600, 2), Settings{}, place);
    const std::size_t h = kSections + 3 * 40;
    struct Row {
        const char* fault;
        std::function<void(Bytes&)> damage;
        const char* reason;  // nullptr: found
    };
    const Row rows[] = {
        {"length exact", [](Bytes&) {}, nullptr},
        {"length one byte beyond the section", [&](Bytes& b) { Put32(b, place.archiveOffset - 4, 601); }, "more than"},
        {"length beyond the file", [&](Bytes& b) { Put32(b, place.archiveOffset - 4, 0xFFFFFFF0); }, "more than"},
        {"length zero, as prebuilt", [&](Bytes& b) { Put32(b, place.archiveOffset - 4, 0); }, "holds no archive"},
        {"two dimensions", [&](Bytes& b) { Put32(b, place.archiveOffset - 8, 2); }, "dimensions"},
        {"writable", [&](Bytes& b) { Put32(b, h + 36, 0xC0000040); }, "read-only"},
        {"executable", [&](Bytes& b) { Put32(b, h + 36, 0x60000020); }, "read-only"},
        {"smaller in memory than its header", [&](Bytes& b) { Put32(b, h + 8, 7); }, "too small"},
        {"in memory shorter than the length", [&](Bytes& b) { Put32(b, h + 8, 8 + 599); }, "more than"},
        {"renamed", [&](Bytes& b) { b[h + 1] = 'q'; }, "no .payload"},
    };
    for (const Row& row : rows) {
        Bytes b = packed;
        row.damage(b);
        Image image;
        std::string reason;
        ASSERT_TRUE(peimage::ReadImage(b, image, reason)) << row.fault << ": " << reason;
        Place found;
        const bool ok = launcherimage::FindArchive(image, found, reason);
        if (!row.reason) {
            EXPECT_TRUE(ok) << row.fault << ": " << reason;
            EXPECT_EQ(found.archiveBytes, 600u);
        } else {
            EXPECT_FALSE(ok) << row.fault;
            EXPECT_NE(reason.find(row.reason), std::string::npos) << row.fault << ": " << reason;
        }
    }
}

}  // namespace
