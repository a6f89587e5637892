// SHA-256 as FIPS 180-4 defines it: 64-byte blocks, big-endian words, the message padded with 0x80,
// zeros and its length in bits. The blocks go through the processor's SHA extensions where it has them.
#include "tools/sha256.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define KESTREL_SHA_EXTENSIONS 1
#endif

namespace sha256 {
namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t Rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void PortableBlocks(std::uint32_t* state, const std::uint8_t* block, std::size_t count) {
    for (; count > 0; --count, block += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = std::uint32_t(block[4 * i]) << 24 | std::uint32_t(block[4 * i + 1]) << 16 |
                   std::uint32_t(block[4 * i + 2]) << 8 | std::uint32_t(block[4 * i + 3]);
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 =
                h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            const std::uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        state[0] += a, state[1] += b, state[2] += c, state[3] += d;
        state[4] += e, state[5] += f, state[6] += g, state[7] += h;
    }
}

#ifdef KESTREL_SHA_EXTENSIONS
// The same blocks through SHA256RNDS2 (two rounds each), SHA256MSG1 and SHA256MSG2 (the message schedule).
// The instructions keep the state as two halves, ABEF and CDGH, highest lane first. Built for these
// instructions alone, so the rest of the program runs on any x86; called only after CPUID says they are
// there. On 32-bit Windows the stack may be aligned to 4 bytes only: the function realigns its own.
#ifdef __i386__
__attribute__((force_align_arg_pointer))
#endif
__attribute__((target("sha,sse4.1,ssse3"))) void
ExtensionBlocks(std::uint32_t* state, const std::uint8_t* block, std::size_t count) {
    const __m128i bigEndian = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
    const __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    const __m128i hgfe = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(abcd, hgfe, 8);
    __m128i cdgh = _mm_blend_epi16(hgfe, abcd, 0xF0);
    for (; count > 0; --count, block += 64) {
        const __m128i savedAbef = abef, savedCdgh = cdgh;
        __m128i w[4];  // the last sixteen words of the schedule, four to a register, word t in w[(t / 4) % 4]
        for (int group = 0; group < 16; ++group) {
            __m128i& words = w[group & 3];
            if (group < 4) {
                words = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block) + group), bigEndian);
            } else {
                // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], for t = 4 * group .. 4 * group + 3.
                __m128i next = _mm_sha256msg1_epu32(words, w[(group + 1) & 3]);
                next = _mm_add_epi32(next, _mm_alignr_epi8(w[(group + 3) & 3], w[(group + 2) & 3], 4));
                words = _mm_sha256msg2_epu32(next, w[(group + 3) & 3]);
            }
            __m128i message =
                _mm_add_epi32(words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, savedAbef);
        cdgh = _mm_add_epi32(cdgh, savedCdgh);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// CPUID: leaf 7's EBX bit 29 for the SHA extensions, leaf 1's ECX bits 9 (SSSE3) and 19 (SSE4.1) for the
// shuffles and blends around them.
bool ProcessorHasShaExtensions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 9)) || !(c & (1u << 19)))
        return false;
    if (__get_cpuid_max(0, nullptr) < 7)
        return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & (1u << 29)) != 0;
}
#else
bool ProcessorHasShaExtensions() { return false; }
#endif

const bool kHasShaExtensions = ProcessorHasShaExtensions();
bool forcePortable = false;

}  // namespace

bool UsesShaExtensions() { return kHasShaExtensions; }
void ForcePortable(bool portable) { forcePortable = portable; }

Hasher::Hasher()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19},
      pending_{} {}

void Hasher::Blocks(const std::uint8_t* blocks, std::size_t count) {
#ifdef KESTREL_SHA_EXTENSIONS
    if (kHasShaExtensions && !forcePortable)
        return ExtensionBlocks(state_.data(), blocks, count);
#endif
    PortableBlocks(state_.data(), blocks, count);
}

void Hasher::Update(const void* data, std::size_t size) {
    const std::uint8_t* in = static_cast<const std::uint8_t*>(data);
    totalBytes_ += size;
    if (pendingSize_ > 0) {
        const std::size_t take = std::min(size, pending_.size() - pendingSize_);
        std::memcpy(pending_.data() + pendingSize_, in, take);
        pendingSize_ += take, in += take, size -= take;
        if (pendingSize_ < pending_.size())
            return;
        Blocks(pending_.data(), 1);
        pendingSize_ = 0;
    }
    Blocks(in, size / 64);
    in += size / 64 * 64, size %= 64;
    if (size > 0)
        std::memcpy(pending_.data(), in, size);
    pendingSize_ = size;
}

Digest Hasher::Finish() {
    const std::uint64_t bits = totalBytes_ * 8;
    std::uint8_t tail[72] = {0x80};
    // Pad to 56 bytes past a block boundary, then the length: 1 to 64 bytes of padding.
    const std::size_t padding = (pendingSize_ < 56 ? 56 : 120) - pendingSize_;
    for (int i = 0; i < 8; ++i)
        tail[padding + i] = std::uint8_t(bits >> (56 - 8 * i));
    Update(tail, padding + 8);
    Digest digest;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = std::uint8_t(state_[i] >> (24 - 8 * j));
    return digest;
}

Digest Hash(const void* data, std::size_t size) {
    Hasher hasher;
    hasher.Update(data, size);
    return hasher.Finish();
}

std::string Hex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest)
        text += kDigits[byte >> 4], text += kDigits[byte & 15];
    return text;
}

std::string HexHash(const void* data, std::size_t size) { return Hex(Hash(data, size)); }

}  // namespace sha256
