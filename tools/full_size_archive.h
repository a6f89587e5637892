// tools/full_size_archive.h: the full-size test archive: the payload's shape (6 folders and 44 files
// under "Velkar/", 39,453,178 bytes of contents) filled with data from a fixed seed, mostly
// incompressible, so that it packs to about the payload's 29.6 MB. Tests and benchmarks rebuild the
// same entries to compare what an extraction wrote.
#pragma once
#include "tools/zip_writer.h"

namespace zipwriter {

// The fixed time of every entry (2021-06-15 10:20:30 UTC): DOS time and the NTFS block agree.
constexpr std::int64_t kFullSizeArchiveTime = 1623752430;

// The 50 entries, folder before contents, "Velkar/" first and "Velkar/Velkar.exe" second.
std::vector<Entry> FullSizeArchiveEntries();

// The same archive at the scale of a large application, for the benchmarks of extraction and clean-up:
// the 50 entries, then small files (256 to 8,191 bytes, half of each incompressible) 25 to a folder,
// 20 folders to a package, below "Velkar/lib/", until there are kScaleArchiveEntries entries.
constexpr std::size_t kScaleArchiveEntries = 21112;
std::vector<Entry> ScaleArchiveEntries();

}  // namespace zipwriter
