// tools/launcher_image.h: a packed launcher, made from the prebuilt one. The build links the launcher
// once, without an application; packing puts the archive into the image's last section and writes the
// launcher's resources (icon, version block, manifest, the archive's record) for this application, with
// the packer's own image writer (tools/pe_image.h, tools/resource_section.h): no compiler, no linker.
// The same prebuilt launcher, archive and settings give the same bytes on every system.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tools/pe_image.h"
#include "tools/resource_section.h"

namespace launcherimage {

using peimage::Bytes;

// The section that carries the archive, the image's last: initialised read-only data holding the byte
// array's image (dimension count 1, the length, then the archive's bytes). The launcher finds it by this
// name in its own section table.
inline constexpr char kPayloadSection[] = ".payload";

// What packing writes besides the archive. The version block is made new from these (the numbers, and the
// texts by their version-block names: FileDescription, ProductName, ProductVersion, CompanyName,
// LegalCopyright; UTF-8). An unset icon or manifest keeps the prebuilt launcher's own.
struct Settings {
    std::array<std::uint16_t, 4> version{1, 0, 0, 0};
    std::vector<std::pair<std::string, std::string>> texts;  // names given replace the defaults
    std::optional<std::vector<resources::IconImage>> icon;   // replaces the icon group DEFAULT_ICON
    std::optional<Bytes> manifest;                           // replaces manifest 1
};

// Where the archive lies in a packed launcher (also its record, the resource KESTREL_PAYLOAD).
struct Place {
    std::uint32_t sectionAddress = 0;  // the section's address, relative to the image
    std::uint32_t archiveAddress = 0;  // the archive's first byte, behind the 8-byte header
    std::uint32_t archiveOffset = 0;   // the same byte's offset in the file
    std::uint32_t archiveBytes = 0;
};

// Makes the packed launcher `out` from `prebuilt` (a launcher without an archive, or one packed before,
// whose archive is replaced) and the ZIP file's bytes `archive`: the resources, the archive's section
// last, the record with the archive's size, SHA-256 and address, the PE checksum. False with `reason`
// for an image it cannot pack (not a launcher, signed, bytes after the last section, no room for the
// section's header), `out` then untouched.
[[nodiscard]] bool Pack(const Bytes& prebuilt, std::span<const std::uint8_t> archive, const Settings& settings,
                        Bytes& out, Place& place, std::string& reason);

// The archive section of a packed image, as the launcher finds it: false with `reason` when there is
// none, or it is not whole read-only data within the file, or its header's length does not fit.
[[nodiscard]] bool FindArchive(const peimage::Image& image, Place& place, std::string& reason);

}  // namespace launcherimage
