// tools/sha256.h: SHA-256 (FIPS 180-4), with no library, for the archive's record in a packed launcher
// and for checking it on reading back. On an x86 processor with the SHA extensions the blocks go through
// those instructions (chosen at run time); elsewhere through portable C++. Digests are the same either way.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sha256 {

using Digest = std::array<std::uint8_t, 32>;

// A running hash: Update any number of times, then Finish once.
class Hasher {
public:
    Hasher();
    void Update(const void* data, std::size_t size);
    Digest Finish();  // the digest of everything given; the hasher is then spent

private:
    void Blocks(const std::uint8_t* blocks, std::size_t count);
    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> pending_;
    std::size_t pendingSize_ = 0;
    std::uint64_t totalBytes_ = 0;
};

Digest Hash(const void* data, std::size_t size);
std::string Hex(const Digest& digest);  // 64 lower-case hexadecimal digits
std::string HexHash(const void* data, std::size_t size);

// For tests: whether this processor takes the SHA-extension path, and a switch that sends the hashing
// that follows through the portable code instead (false restores the choice made at start-up).
bool UsesShaExtensions();
void ForcePortable(bool portable);

}  // namespace sha256
