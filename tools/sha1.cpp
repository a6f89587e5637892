// tools/sha1.cpp: see sha1.h.
#include "tools/sha1.h"

#include <algorithm>
#include <cstring>

namespace sha1 {
namespace {

std::uint32_t Rotl(std::uint32_t v, int n) { return v << n | v >> (32 - n); }

}  // namespace

Hasher::Hasher() : state_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0} {}

void Hasher::Block(const std::uint8_t* p) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = std::uint32_t(p[4 * i]) << 24 | std::uint32_t(p[4 * i + 1]) << 16 | std::uint32_t(p[4 * i + 2]) << 8 |
               p[4 * i + 3];
    for (int i = 16; i < 80; ++i)
        w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20)
            f = (b & c) | (~b & d), k = 0x5A827999;
        else if (i < 40)
            f = b ^ c ^ d, k = 0x6ED9EBA1;
        else if (i < 60)
            f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
        else
            f = b ^ c ^ d, k = 0xCA62C1D6;
        const std::uint32_t t = Rotl(a, 5) + f + e + k + w[i];
        e = d, d = c, c = Rotl(b, 30), b = a, a = t;
    }
    state_[0] += a, state_[1] += b, state_[2] += c, state_[3] += d, state_[4] += e;
}

void Hasher::Update(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    totalBytes_ += size;
    if (pendingSize_) {
        const std::size_t take = std::min(size, 64 - pendingSize_);
        std::memcpy(pending_.data() + pendingSize_, p, take);
        pendingSize_ += take, p += take, size -= take;
        if (pendingSize_ < 64)
            return;
        Block(pending_.data());
        pendingSize_ = 0;
    }
    for (; size >= 64; p += 64, size -= 64)
        Block(p);
    if (size)
        std::memcpy(pending_.data(), p, size);
    pendingSize_ = size;
}

Digest Hasher::Finish() {
    const std::uint64_t bits = totalBytes_ * 8;
    const std::uint8_t one = 0x80, zero = 0;
    Update(&one, 1);
    while (pendingSize_ != 56)
        Update(&zero, 1);
    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i)
        length[i] = std::uint8_t(bits >> (56 - 8 * i));
    Update(length, 8);
    Digest digest;
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = std::uint8_t(state_[i] >> (24 - 8 * j));
    return digest;
}

Digest Hash(const void* data, std::size_t size) {
    Hasher hasher;
    hasher.Update(data, size);
    return hasher.Finish();
}

}  // namespace sha1
