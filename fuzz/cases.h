// fuzz/cases.h: the hostile archives of the archive fuzzer. A few valid seed archives are made with
// the archive writer; each case is one of them with structured faults (through the writer's knobs)
// and raw ones (bit flips, truncations, edited size, offset and length fields) applied. A case is
// fully determined by the seed, its index and the length of the destination path it will meet
// (some names are sized to make the whole path 259, 260 or 261 bytes long).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Every name meant to climb out of the destination contains this marker, so a file that escapes can
// be looked for where such names would lead (the drive root, the temporary folder, the folders
// above the destination).
constexpr const char kEscapeMarker[] = "kfzesc";

// The kinds of fault a case can carry, for the tally by kind: bit `kind` of Case::kinds.
constexpr int kKindCount = 21;
constexpr int kPlantedKind = 20;  // the case extracted over a planted tree (see PlantsFor)
const char* KindName(int kind);

struct Case {
    std::string bytes;        // the archive file's contents
    std::string description;  // the mutations applied, for the report of a failing case
    unsigned kinds = 0;       // bit k: a fault of KindName(k) was applied
};

// The case `index` of the run with `seed`, for a destination whose path (without a trailing
// backslash) is `destinationLength` bytes long.
Case MakeCase(std::uint64_t seed, std::uint64_t index, std::size_t destinationLength);

// What a case puts into the destination before Extract runs, so that it extracts over a tree made
// beforehand: files an earlier run left (read-only ones among them, as an interrupted run leaves
// them) and links another program planted, at paths the seed archives write to.
struct Plant {
    enum Kind { kFile, kReadOnlyFile, kHardLink, kFolderLink };
    Kind kind;
    std::string path;   // relative to the destination, "\" separators
    std::string bytes;  // a file's bytes; empty for links (a hard link shares the canary file's)
};

// The plants of case `index` of the run with `seed`: none for most cases, one to three for about one
// case in 25. Drawn apart from the case's bytes, which stay what they were without plants.
std::vector<Plant> PlantsFor(std::uint64_t seed, std::uint64_t index);

class Random;
// One raw fault of the kinds the cases carry (bit flips, truncation, edited fields, ...) applied to
// `bytes`, described in `log`; for the differential family, which draws from the same faults.
void RawFault(Random& random, std::string& bytes, std::string& log);

// The number of seed archives and one of them unchanged (for the checks' own tests).
int SeedArchiveCount();
std::string SeedArchive(int which, std::size_t destinationLength);

}  // namespace fuzz
