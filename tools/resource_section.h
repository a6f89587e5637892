// tools/resource_section.h: the launcher's resources as the packer writes them: the icon group
// DEFAULT_ICON from a user's .ico file, the version block, the manifest, and the whole resource section
// built from a list of resources for its place in the image (pe_image.h puts it there). With the inputs
// the build uses (launcher/launcher.rc), each resource holds the bytes the resource compiler writes.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/pe_image.h"

namespace resources {

using peimage::Bytes;
using peimage::Resource;

// The resource section for address `rva`: directory tables in breadth-first order (names before ids,
// each sorted), the name strings, the data entries, then each resource's bytes on an 8-byte boundary.
// Refuses two resources of one type, name and language.
[[nodiscard]] bool BuildSection(std::vector<Resource> list, std::uint32_t rva, Bytes& section, std::string& reason);

// One image of an .ico file, with its directory entry's fields.
struct IconImage {
    std::uint8_t width = 0, height = 0, colours = 0, reserved = 0;  // width/height 0 means 256
    std::uint16_t planes = 0, bitCount = 0;
    Bytes data;  // a PNG or a DIB (picture and mask)
};

// The images of an .ico file: its header says an icon of one or more images, and each image lies whole
// within the file. (What the images themselves hold is the packer's icon check's to judge.)
[[nodiscard]] bool ReadIconFile(const Bytes& file, std::vector<IconImage>& images, std::string& reason);

// Replaces the icon group `group` (every language of it) and the icons only it used by the images, as
// RT_ICON resources with the lowest free ids from 1 and an RT_GROUP_ICON directory naming them. The new
// resources take the replaced group's language, or `language` when there was none.
[[nodiscard]] bool SetIconGroup(std::vector<Resource>& list, const std::u16string& group,
                                const std::vector<IconImage>& images, std::uint16_t language, std::string& reason);

struct VersionInfo {
    std::array<std::uint16_t, 4> fileVersion{1, 0, 0, 0}, productVersion{1, 0, 0, 0};
    std::uint32_t fileFlagsMask = 0x3F, fileFlags = 0;
    std::uint32_t fileOs = 0x00040004;  // VOS_NT_WINDOWS32
    std::uint32_t fileType = 1;         // VFT_APP
    std::uint32_t fileSubtype = 0;
    std::uint16_t language = 0x0804, codePage = 936;                 // the string table's and the translation's
    std::vector<std::pair<std::u16string, std::u16string>> strings;  // in the order they are written
};

// A VS_VERSIONINFO: the fixed part, one StringFileInfo table for the language and code page, and a
// VarFileInfo Translation naming them. Refuses a block longer than its 16-bit lengths can say.
[[nodiscard]] bool BuildVersionInfo(const VersionInfo& info, Bytes& block, std::string& reason);

// Replaces every language of resource (type, id 1) with `data`, in the language of the one replaced, or
// `language` when there was none: the version block (RT_VERSION) and the manifest (RT_MANIFEST) are
// resource 1 of their type.
void SetResource(std::vector<Resource>& list, std::uint16_t type, const Bytes& data, std::uint16_t language);

// UTF-8 to UTF-16, refusing what is not UTF-8 (overlong forms, surrogates, truncated sequences).
[[nodiscard]] bool Utf16FromUtf8(const std::string& text, std::u16string& out);

}  // namespace resources
