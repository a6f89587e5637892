// tools/packer_checks.h: what the packer checks of its inputs before it packs anything, each answered as
// a refusal in one line the packager can act on: the icon file (whole, each image as Windows reads it),
// the version numbers and the version block's texts (code page 936 spells them), and the hint that goes
// with the refusals of an archive made the wrong way. Portable C++, the same answers on every system.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/payload_rules.h"

namespace packerchecks {

// One image of a checked icon, as the packer prints it ("16 x 16 32-bit", "256 x 256 PNG").
struct IconFacts {
    int width = 0, height = 0;
    std::string kind;  // "PNG" or "N-bit"
};

// Checks an .ico file's bytes: its header and directory, each image whole within the file (a PNG by its
// own header's size, a bitmap by its picture and mask), and the directory and images covering the file
// with nothing else. False with `reason` naming the first fault.
[[nodiscard]] bool CheckIcon(const std::string& file, std::vector<IconFacts>& images, std::string& reason);

// The lines said of an icon that passed: its images, and the sizes Explorer shows most that it lacks.
std::string DescribeIcon(const std::string& path, const std::vector<IconFacts>& images);

// "A.B.C.D", each at most 65535 (leading zeros allowed). False with `reason` naming `option`.
[[nodiscard]] bool ParseVersion(const std::string& text, const std::string& option,
                                std::array<std::uint16_t, 4>& version, std::string& reason);

// A version block's text given with `option` (--company, --product-version, ...): UTF-8, one line of at
// most 256 characters (the product version 64), no control character, no space at either end, and only
// characters code page 936 spells, since programs that read the block through the ANSI functions get
// that code page. False with `reason`.
[[nodiscard]] bool CheckVersionText(const std::string& option, const std::string& value, std::string& reason);

// The one hint that explains the refusals of an archive made elsewhere, or "": names written with
// backslashes, the application at the archive's top, or in a folder not named Velkar. `command` is how
// the packager runs the packer ("pack-payload").
std::string ArchiveHint(const std::vector<payloadrules::Refusal>& refusals, const std::string& command);

}  // namespace packerchecks
