// tools/archive_check.h: reads an archive made elsewhere as the launcher's entry reader does (minizip's
// unzip under payload/archive_reader.cpp), for `pack-payload --check`. It lists the entries that reader
// installs, with their sizes, and refuses whatever the two could read differently: an end record whose
// offset and size disagree with where the directory stands (minizip finds the directory from the end
// record's position less its size, most tools from its offset), ZIP64 records and fields, a local header
// that disagrees with its central one, data that does not give its recorded size and CRC-32. Native
// code for the build machine (zlib).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/payload_rules.h"

namespace archivecheck {

// Little-endian fields of an archive held as bytes; the caller has checked the bounds.
inline std::uint32_t Read16(const std::string& b, std::size_t at) {
    return static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8);
}
inline std::uint32_t Read32(const std::string& b, std::size_t at) { return Read16(b, at) | (Read16(b, at + 2) << 16); }

enum class Listing {
    kUnreadable,  // not an archive the checks can say anything of; `error` says why
    kRefused,     // the directory itself is refused (`refusals` say why); `items` is empty
    kListed,      // `items` holds every entry; `refusals` those the launcher's reader would not take
};

Listing ListArchive(const std::string& zip, std::vector<payloadrules::Item>& items,
                    std::vector<payloadrules::Refusal>& refusals, std::string& error);

}  // namespace archivecheck
