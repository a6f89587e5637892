// fuzz/differential.h: the differential family of the archive fuzzer. Its cases are payloads in the
// shape the packer accepts (everything below "Velkar/", Velkar.exe among it) with faults aimed at where two
// ZIP readers part: decoy directories, bytes in front, ZIP64 records and fields, end-record comments and
// fields, folder bits, Unicode Path fields, bad data and local headers, names in code page 936. The
// fuzzer (--differential) extracts each case and records what the launcher installed; the native half
// (fuzz/differential.py) runs `pack-payload --check` over the recorded cases, and every case the check
// accepts must have been installed exactly as the check listed it.
#pragma once
#include <cstdint>

#include "fuzz/cases.h"

namespace fuzz {

// The kinds of fault a differential case can carry: bit `kind` of Case::kinds.
constexpr int kDifferentialKindCount = 14;
const char* DifferentialKindName(int kind);

// Case `index` of the family for `seed`. Case 0 is the decoy directory the family was made for,
// whatever the seed: a harmless directory at the end record's offset, the real one, which holds
// Velkar/.config, where minizip looks (the end record's position less its size).
Case MakeDifferentialCase(std::uint64_t seed, std::uint64_t index);

}  // namespace fuzz
