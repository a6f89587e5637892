// tools/sha256.h: SHA-256 (FIPS 180-4) in portable C++, with no library, for the archive's record in a
// packed launcher and for checking it on reading back. Digests are the same on every host.
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
    void Block(const std::uint8_t* block);
    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> pending_;
    std::size_t pendingSize_ = 0;
    std::uint64_t totalBytes_ = 0;
};

Digest Hash(const void* data, std::size_t size);
std::string Hex(const Digest& digest);  // 64 lower-case hexadecimal digits
std::string HexHash(const void* data, std::size_t size);

}  // namespace sha256
