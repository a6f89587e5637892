// tools/launcher_image.cpp: see launcher_image.h. Packing works on the image as bytes, through the
// image reader and writer of pe_image.h: the old archive section goes first, so that a launcher packed
// before is the prebuilt one again; the resources are rebuilt in place (the sections after them move);
// the archive section is appended last, where nothing else can move it.
#include "tools/launcher_image.h"

#include <algorithm>
#include <cstring>

#include "tools/sha256.h"

namespace launcherimage {
namespace {

using peimage::Get32;
using peimage::Image;
using peimage::Put32;
using peimage::Resource;
using peimage::ResourceId;
using peimage::Section;

// Optional header field offsets (PE32) and section flags used here.
constexpr std::uint32_t kOptSizeOfInitializedData = 8, kOptSizeOfImage = 56, kOptCheckSum = 64;
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kCode = 0x20, kInitializedData = 0x40, kUninitializedData = 0x80;
constexpr std::uint32_t kExecute = 0x20000000, kRead = 0x40000000, kWrite = 0x80000000;
constexpr std::uint32_t kArrayHeaderBytes = 8;  // dimension count, length
constexpr std::uint16_t kTypeRcData = 10;

// The record's address line is written twice: first with this placeholder of the real one's width, so
// that the resource section has its final size before the archive's address is known.
constexpr char kAddressPlaceholder[] = "0x00000000";

bool Refuse(std::string& reason, std::string text) {
    reason = std::move(text);
    return false;
}

std::uint64_t AlignUp(std::uint64_t v, std::uint32_t alignment) { return (v + alignment - 1) / alignment * alignment; }

std::string Hex8(std::uint32_t v) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        out += digits[(v >> shift) & 15];
    return out;
}

int PayloadIndex(const Image& image) {
    for (std::size_t i = 0; i < image.sections.size(); ++i)
        if (image.sections[i].name == kPayloadSection)
            return int(i);
    return -1;
}

// The end of the raw data of every section but `skip`, and of the headers.
std::uint64_t RawEnd(const Image& image, int skip) {
    std::uint64_t end = image.sizeOfHeaders;
    for (std::size_t i = 0; i < image.sections.size(); ++i)
        if (int(i) != skip && image.sections[i].rawSize)
            end = std::max(end, std::uint64_t(image.sections[i].rawOffset) + image.sections[i].rawSize);
    return end;
}

std::uint64_t AddressEnd(const Image& image) {
    std::uint64_t end = image.sizeOfHeaders;
    for (const Section& s : image.sections)
        end = std::max(end, std::uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize));
    return AlignUp(end, image.sectionAlignment);
}

// The image as packing finds it: unsigned, nothing after the last section, the archive section last in
// the section table, in memory and in the file, and nothing of the image's own pointing into it.
bool CheckPackable(const Image& image, int& index, std::string& reason) {
    if (image.directories[peimage::kCertificateDirectory].size)
        return Refuse(reason,
                      "the image is signed (it carries a certificate table): pack the unsigned prebuilt "
                      "launcher and sign the result");
    if (RawEnd(image, -1) != image.file.size())
        return Refuse(reason, std::to_string(image.file.size() - RawEnd(image, -1)) +
                                  " bytes follow the last section: not a launcher as the build links it");
    index = PayloadIndex(image);
    if (index < 0)
        return Refuse(reason, std::string("the image has no ") + kPayloadSection + " section: not a prebuilt launcher");
    if (std::size_t(index) + 1 != image.sections.size())
        return Refuse(reason, std::string("the ") + kPayloadSection + " section is not the image's last");
    const Section& s = image.sections[index];
    if (s.rawSize && s.rawOffset < RawEnd(image, index))
        return Refuse(reason, std::string("the ") + kPayloadSection + " section is not the last in the file");
    for (int d = 0; d < 16; ++d) {
        const peimage::DataDirectory& dir = image.directories[d];
        if (d != peimage::kCertificateDirectory && dir.rva && dir.rva >= s.virtualAddress &&
            dir.rva - s.virtualAddress < std::max(s.virtualSize, s.rawSize))
            return Refuse(reason, "data directory " + std::to_string(d) + " points into the " + kPayloadSection +
                                      " section, which packing replaces");
    }
    return true;
}

// The image without its archive section (`index`, the last): its header cleared, the file cut where the
// other sections end, the counts and sizes without it.
bool DropPayload(const Image& image, int index, Image& out, std::string& reason) {
    const Section& s = image.sections[index];
    Bytes file(image.file.begin(), image.file.begin() + std::ptrdiff_t(RawEnd(image, index)));
    const std::uint64_t header = image.sectionTableOffset + std::uint64_t(kSectionHeaderSize) * index;
    std::fill(file.begin() + std::ptrdiff_t(header), file.begin() + std::ptrdiff_t(header + kSectionHeaderSize), 0);
    peimage::Put16(file, image.peOffset + 6, std::uint32_t(image.sections.size() - 1));
    const std::uint32_t opt = image.optionalOffset;
    if (s.characteristics & kInitializedData)
        Put32(file, opt + kOptSizeOfInitializedData, Get32(file, opt + kOptSizeOfInitializedData) - s.rawSize);
    Image without = image;
    without.sections.pop_back();
    Put32(file, opt + kOptSizeOfImage, std::uint32_t(AddressEnd(without)));
    Put32(file, opt + kOptCheckSum, 0);
    if (!peimage::ReadImage(std::move(file), out, reason)) {
        reason = "the image without its archive section does not read back: " + reason;
        return false;
    }
    return true;
}

std::string VersionDots(const std::array<std::uint16_t, 4>& v) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

// The version block as the build's resource script writes it, with the settings' numbers and texts.
bool MakeVersionBlock(const Settings& settings, Bytes& block, std::string& reason) {
    resources::VersionInfo info;
    info.fileVersion = info.productVersion = settings.version;
    std::u16string dots;
    (void)resources::Utf16FromUtf8(VersionDots(settings.version), dots);  // ASCII digits and dots
    info.strings = {{u"FileDescription", u"檀溪舟楫"},
                    {u"FileVersion", dots},
                    {u"ProductName", u"檀溪舟楫"},
                    {u"ProductVersion", dots},
                    {u"OriginalFilename", u"launcher.exe"}};
    for (const auto& [nameUtf8, valueUtf8] : settings.texts) {
        std::u16string name, value;
        if (nameUtf8.empty() || !resources::Utf16FromUtf8(nameUtf8, name) ||
            !resources::Utf16FromUtf8(valueUtf8, value))
            return Refuse(reason, "the version text " + nameUtf8 + " is not a name and a value in UTF-8");
        auto known =
            std::find_if(info.strings.begin(), info.strings.end(), [&](const auto& s) { return s.first == name; });
        if (known == info.strings.end())
            info.strings.emplace_back(std::move(name), std::move(value));
        else
            known->second = std::move(value);
    }
    return resources::BuildVersionInfo(info, block, reason);
}

Bytes Record(std::size_t bytes, const std::string& sha256, const std::string& address) {
    const std::string text = "bytes=" + std::to_string(bytes) + "\nsha256=" + sha256 + "\naddress=" + address + "\n";
    return Bytes(text.begin(), text.end());
}

// `image` with the resource section built from `list` and the record holding `address`.
bool WithResources(const Image& image, std::vector<Resource> list, std::uint16_t language, const Bytes& record,
                   Image& out, std::string& reason) {
    const ResourceId recordName = ResourceId::Name(u"KESTREL_PAYLOAD");
    std::erase_if(list,
                  [&](const Resource& r) { return r.type == ResourceId::Id(kTypeRcData) && r.name == recordName; });
    list.push_back({ResourceId::Id(kTypeRcData), recordName, language, 0, record});
    std::uint32_t rva = 0;
    Bytes section;
    out = image;
    return peimage::ResourceSectionAddress(out, rva, reason) &&
           resources::BuildSection(std::move(list), rva, section, reason) &&
           peimage::ReplaceResourceSection(out, section, reason);
}

}  // namespace

bool FindArchive(const Image& image, Place& place, std::string& reason) {
    const int index = PayloadIndex(image);
    if (index < 0)
        return Refuse(reason, std::string("the image has no ") + kPayloadSection + " section");
    if (std::size_t(index) + 1 != image.sections.size())
        return Refuse(reason, std::string("the ") + kPayloadSection + " section is not the image's last");
    const Section& s = image.sections[index];
    if (!(s.characteristics & kInitializedData) || !(s.characteristics & kRead) ||
        (s.characteristics & (kCode | kUninitializedData | kExecute | kWrite)))
        return Refuse(reason, std::string("the ") + kPayloadSection + " section is not read-only initialised data");
    // What the program sees of the section: its size in memory, of which only the file's bytes are the
    // file's (ReadImage has checked that those lie in the file).
    const std::uint32_t inMemory = s.virtualSize ? s.virtualSize : s.rawSize;
    const std::uint32_t limit = std::min(inMemory, s.rawSize);
    if (limit < kArrayHeaderBytes)
        return Refuse(reason, std::string("the ") + kPayloadSection + " section is too small for its header");
    const std::uint32_t dimensions = Get32(image.file, s.rawOffset), length = Get32(image.file, s.rawOffset + 4);
    if (dimensions != 1)
        return Refuse(reason, "the archive's header gives " + std::to_string(dimensions) + " dimensions, not 1");
    if (length == 0)
        return Refuse(reason, std::string("the ") + kPayloadSection +
                                  " section holds no archive (a prebuilt launcher, not a packed one)");
    if (length > 0x7FFFFFFFu || length > limit - kArrayHeaderBytes)
        return Refuse(reason, "the archive's header gives " + std::to_string(length) + " bytes, more than the " +
                                  std::to_string(limit - kArrayHeaderBytes) + " its section holds");
    place.sectionAddress = s.virtualAddress;
    place.archiveAddress = s.virtualAddress + kArrayHeaderBytes;
    place.archiveOffset = s.rawOffset + kArrayHeaderBytes;
    place.archiveBytes = length;
    return true;
}

bool Pack(const Bytes& prebuilt, std::span<const std::uint8_t> archive, const Settings& settings, Bytes& out,
          Place& place, std::string& reason) {
    if (archive.empty())
        return Refuse(reason, "the archive is empty");
    Image image, bare;
    int index = -1;
    if (!peimage::ReadImage(prebuilt, image, reason) || !CheckPackable(image, index, reason) ||
        !DropPayload(image, index, bare, reason))
        return false;
    // The room the section header needs: the one of the archive section just dropped.
    const std::uint64_t header = bare.sectionTableOffset + std::uint64_t(kSectionHeaderSize) * bare.sections.size();
    if (header + kSectionHeaderSize > bare.sizeOfHeaders)
        return Refuse(reason, "the headers have no room for the archive section's entry");

    std::vector<Resource> list;
    if (!peimage::ReadResources(bare, list, reason))
        return false;
    // New resources take the language the build gives them: that of its version block, if any.
    std::uint16_t language = 0x0409;
    for (const Resource& r : list)
        if (r.type == ResourceId::Id(peimage::kTypeVersion))
            language = r.language;
    if (settings.icon && !resources::SetIconGroup(list, u"DEFAULT_ICON", *settings.icon, language, reason))
        return false;
    Bytes version;
    if (!MakeVersionBlock(settings, version, reason))
        return false;
    resources::SetResource(list, peimage::kTypeVersion, version, language);
    if (settings.manifest)
        resources::SetResource(list, peimage::kTypeManifest, *settings.manifest, language);

    const std::string hash = sha256::HexHash(archive.data(), archive.size());
    Image sized, packed;
    if (!WithResources(bare, list, language, Record(archive.size(), hash, kAddressPlaceholder), sized, reason))
        return false;
    const std::uint64_t sectionAddress = AddressEnd(sized);
    const std::uint64_t sectionBytes = kArrayHeaderBytes + std::uint64_t(archive.size());
    const std::uint64_t rawOffset = AlignUp(sized.file.size(), sized.fileAlignment);
    const std::uint64_t rawSize = AlignUp(sectionBytes, sized.fileAlignment);
    if (archive.size() > 0x7FFFFFFFu - kArrayHeaderBytes ||
        AlignUp(sectionAddress + sectionBytes, sized.sectionAlignment) > 0xFFFFFFFFull ||
        rawOffset + rawSize > 0xFFFFFFFFull)
        return Refuse(reason, "the archive of " + std::to_string(archive.size()) + " bytes is too large for the image");
    const std::string address = Hex8(std::uint32_t(sectionAddress + kArrayHeaderBytes));
    if (!WithResources(bare, list, language, Record(archive.size(), hash, address), packed, reason))
        return false;
    if (AddressEnd(packed) != sectionAddress || packed.file.size() != sized.file.size())
        return Refuse(reason, "the resource section changed its size with the archive's address");

    // The image is made in one buffer of its final size: the archive is copied once, into its place.
    Bytes file = std::move(packed.file);
    file.reserve(rawOffset + rawSize);
    file.resize(rawOffset);
    const std::uint64_t h = header;
    if (std::any_of(file.begin() + std::ptrdiff_t(h), file.begin() + std::ptrdiff_t(h + kSectionHeaderSize),
                    [](std::uint8_t b) { return b != 0; }))
        return Refuse(reason, "the headers' room for the archive section's entry is not free");
    std::memcpy(&file[h], kPayloadSection, sizeof kPayloadSection - 1);
    Put32(file, h + 8, std::uint32_t(sectionBytes));
    Put32(file, h + 12, std::uint32_t(sectionAddress));
    Put32(file, h + 16, std::uint32_t(rawSize));
    Put32(file, h + 20, std::uint32_t(rawOffset));
    Put32(file, h + 36, kInitializedData | kRead);
    peimage::Put16(file, packed.peOffset + 6, std::uint32_t(packed.sections.size() + 1));
    const std::uint32_t opt = packed.optionalOffset;
    Put32(file, opt + kOptSizeOfInitializedData, Get32(file, opt + kOptSizeOfInitializedData) + std::uint32_t(rawSize));
    Put32(file, opt + kOptSizeOfImage, std::uint32_t(AlignUp(sectionAddress + sectionBytes, packed.sectionAlignment)));
    Bytes headerWords(kArrayHeaderBytes);
    Put32(headerWords, 0, 1);
    Put32(headerWords, 4, std::uint32_t(archive.size()));
    file.insert(file.end(), headerWords.begin(), headerWords.end());
    file.insert(file.end(), archive.begin(), archive.end());
    file.resize(rawOffset + rawSize);
    Put32(file, opt + kOptCheckSum, peimage::Checksum(file, opt + kOptCheckSum));

    // Read back as the verifier and the launcher read it, so that what is written is what they find.
    Image result;
    Place found;
    if (!peimage::ReadImage(std::move(file), result, reason) || !FindArchive(result, found, reason)) {
        reason = "the packed image does not read back: " + reason;
        return false;
    }
    out = std::move(result.file);
    place = found;
    return true;
}

}  // namespace launcherimage
