// tools/pe_image.h: the launcher's PE32 image as the packer reads and rewrites it. The packer writes the
// launcher's icon, version block and manifest itself, so that packaging needs no compiler or resource
// compiler; this module is the one reader of the image (headers, section table, resource tree) and the
// one writer that puts a new resource section into it and sets the checksum.
//
// Every offset and size read from the file is checked against the file before it is used: a truncated
// or hostile image is refused with a reason, never read out of bounds. Portable C++: no Windows headers,
// so that it builds for Linux and for Windows alike.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace peimage {

using Bytes = std::vector<std::uint8_t>;

// Little-endian fields of the image, read and written in place; the caller has checked the bounds.
inline std::uint16_t Get16(const Bytes& b, std::uint64_t at) { return std::uint16_t(b[at] | b[at + 1] << 8); }
inline std::uint32_t Get32(const Bytes& b, std::uint64_t at) {
    return std::uint32_t(Get16(b, at)) | std::uint32_t(Get16(b, at + 2)) << 16;
}
inline void Put16(Bytes& b, std::uint64_t at, std::uint32_t v) {
    b[at] = std::uint8_t(v);
    b[at + 1] = std::uint8_t(v >> 8);
}
inline void Put32(Bytes& b, std::uint64_t at, std::uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

// Data directory indices used here.
inline constexpr int kResourceDirectory = 2;
inline constexpr int kCertificateDirectory = 4;
inline constexpr int kBaseRelocationDirectory = 5;
inline constexpr int kDebugDirectory = 6;

struct Section {
    std::string name;  // up to 8 bytes, as in the section table
    std::uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawOffset = 0, characteristics = 0;
};

struct DataDirectory {
    std::uint32_t rva = 0, size = 0;
};

struct Image {
    Bytes file;                        // the whole file as read
    std::uint32_t peOffset = 0;        // of the "PE\0\0" signature
    std::uint32_t optionalOffset = 0;  // of the optional header
    std::uint32_t sectionTableOffset = 0;
    std::uint32_t imageBase = 0, sectionAlignment = 0, fileAlignment = 0;
    std::uint32_t sizeOfImage = 0, sizeOfHeaders = 0, checksum = 0;
    std::uint32_t symbolTableOffset = 0;  // the COFF symbol table's file offset, 0 when there is none
    std::vector<DataDirectory> directories;
    std::vector<Section> sections;  // in section-table order, which is also address order
};

// Reads a PE32 image (refusing PE32+, and any header, section or directory that lies outside the file or
// overlaps another). True with `image` filled, or false with `reason` saying what is wrong.
[[nodiscard]] bool ReadImage(Bytes file, Image& image, std::string& reason);

// The section holding `rva`, or -1.
int SectionOf(const Image& image, std::uint32_t rva);

// A resource's type or name: a 16-bit id or a UTF-16 name.
struct ResourceId {
    bool named = false;
    std::uint16_t id = 0;
    std::u16string name;

    static ResourceId Id(std::uint16_t id) { return {false, id, {}}; }
    static ResourceId Name(std::u16string name) { return {true, 0, std::move(name)}; }
    // The order of a resource directory: every name before every id, names by UTF-16 code unit, ids by value.
    friend bool operator<(const ResourceId& a, const ResourceId& b);
    friend bool operator==(const ResourceId& a, const ResourceId& b) = default;
};

struct Resource {
    ResourceId type, name;
    std::uint16_t language = 0;
    std::uint32_t codePage = 0;
    Bytes data;
};

inline constexpr std::uint16_t kTypeIcon = 3, kTypeGroupIcon = 14, kTypeVersion = 16, kTypeManifest = 24;

// The resource tree (type, name, language) as a list in directory order. An image without a resource
// directory has none. A tree deeper than three levels, a loop, an entry or a string outside the section,
// or data outside the image's sections is refused.
[[nodiscard]] bool ReadResources(const Image& image, std::vector<Resource>& resources, std::string& reason);

// The PE checksum of `file` as CheckSumMappedFile computes it: the 16-bit one's-complement sum of the file
// with the four bytes at `checksumOffset` taken as zero, plus the file's length.
std::uint32_t Checksum(const Bytes& file, std::uint32_t checksumOffset);

// The address of the image's resource section (the one the resource directory lies in, else the one
// named ".rsrc"): a new section is built for that address, as its data entries hold addresses.
[[nodiscard]] bool ResourceSectionAddress(const Image& image, std::uint32_t& rva, std::string& reason);

// Puts `section` (built for ResourceSectionAddress) into the image as its resource section. The section
// grows or shrinks in place; the sections after it move, and the image size, the initialized-data size,
// the resource directory and the checksum follow. Refuses an image it cannot rewrite safely (a
// certificate table, bytes after the last section, a section after it that anything but its own data
// directory points into) with a reason, the image unchanged.
[[nodiscard]] bool ReplaceResourceSection(Image& image, const Bytes& section, std::string& reason);

}  // namespace peimage
