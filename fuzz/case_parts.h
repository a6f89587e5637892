// fuzz/case_parts.h: what both families of the archive fuzzer make their cases of: the archive
// writer's entries with one fixed time, filler data drawn from the case's random numbers, and the
// little-endian fields of the bytes they edit.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/random.h"
#include "tools/zip_writer.h"

namespace fuzz {

// `length` bytes, one draw of `random` each: with `compressible`, letters of `words` taken `stride`
// apart with a small random step, so that deflate finds repeats; otherwise random bytes. A case's
// bytes depend on `words` and `stride`, so each family keeps its own.
std::string Filler(Random& random, std::size_t length, bool compressible, const char* words, std::size_t stride);

// A file entry of `name` holding `data`, and a folder entry, each dated 2023-11-14 22:13:20 UTC.
zipwriter::Entry File(const std::string& name, const std::string& data);
zipwriter::Entry Folder(const std::string& name);

// The little-endian field of `width` bytes at `at`; the writer stops at the end of `bytes`.
std::uint64_t GetField(const std::string& bytes, std::size_t at, int width);
void SetField(std::string& bytes, std::size_t at, int width, std::uint64_t value);

}  // namespace fuzz
