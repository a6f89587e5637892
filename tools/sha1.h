// tools/sha1.h: SHA-1 (FIPS 180-4) in portable C++, for reading Authenticode signatures made with it
// (older signers digest the image and sign with SHA-1). Not for anything new: SHA-256 is tools/sha256.h.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace sha1 {

using Digest = std::array<std::uint8_t, 20>;

// A running hash: Update any number of times, then Finish once.
class Hasher {
public:
    Hasher();
    void Update(const void* data, std::size_t size);
    Digest Finish();  // the digest of everything given; the hasher is then spent

private:
    void Block(const std::uint8_t* block);
    std::array<std::uint32_t, 5> state_;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pendingSize_ = 0;
    std::uint64_t totalBytes_ = 0;
};

Digest Hash(const void* data, std::size_t size);

}  // namespace sha1
