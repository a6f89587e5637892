// tools/rsa.cpp: see rsa.h. Numbers are little-endian arrays of 32-bit limbs; products go through
// Montgomery multiplication, so no division is needed.
#include "tools/rsa.h"

#include "tools/der.h"

namespace rsa {
namespace {

using Limbs = std::vector<std::uint32_t>;

Limbs FromBytes(const std::vector<std::uint8_t>& b, std::size_t limbs) {
    Limbs out(limbs, 0);
    for (std::size_t i = 0; i < b.size(); ++i) {
        const std::size_t bit = 8 * (b.size() - 1 - i);
        out[bit / 32] |= std::uint32_t(b[i]) << (bit % 32);
    }
    return out;
}

// a >= b, both of one length.
bool AtLeast(const Limbs& a, const Limbs& b) {
    for (std::size_t i = a.size(); i-- > 0;)
        if (a[i] != b[i])
            return a[i] > b[i];
    return true;
}

void Subtract(Limbs& a, const Limbs& b) {
    std::uint64_t borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::uint64_t d = std::uint64_t(a[i]) - b[i] - borrow;
        a[i] = std::uint32_t(d);
        borrow = (d >> 63) & 1;
    }
}

struct Montgomery {
    Limbs n;
    std::uint32_t n0 = 0;  // -n^-1 mod 2^32

    explicit Montgomery(Limbs modulus) : n(std::move(modulus)) {
        std::uint32_t inverse = 1;  // Newton's iteration: each step doubles the correct low bits
        for (int i = 0; i < 5; ++i)
            inverse *= 2 - n[0] * inverse;
        n0 = 0u - inverse;
    }

    // a * b / 2^(32k) mod n, for a, b < n (CIOS).
    Limbs Multiply(const Limbs& a, const Limbs& b) const {
        const std::size_t k = n.size();
        Limbs t(k + 2, 0);
        for (std::size_t i = 0; i < k; ++i) {
            std::uint64_t carry = 0;
            for (std::size_t j = 0; j < k; ++j) {
                const std::uint64_t v = std::uint64_t(t[j]) + std::uint64_t(a[j]) * b[i] + carry;
                t[j] = std::uint32_t(v);
                carry = v >> 32;
            }
            std::uint64_t v = std::uint64_t(t[k]) + carry;
            t[k] = std::uint32_t(v);
            t[k + 1] = std::uint32_t(v >> 32);
            const std::uint32_t m = t[0] * n0;
            v = std::uint64_t(t[0]) + std::uint64_t(m) * n[0];
            carry = v >> 32;
            for (std::size_t j = 1; j < k; ++j) {
                v = std::uint64_t(t[j]) + std::uint64_t(m) * n[j] + carry;
                t[j - 1] = std::uint32_t(v);
                carry = v >> 32;
            }
            v = std::uint64_t(t[k]) + carry;
            t[k - 1] = std::uint32_t(v);
            t[k] = t[k + 1] + std::uint32_t(v >> 32);
        }
        Limbs r(t.begin(), t.begin() + std::ptrdiff_t(k));
        if (t[k] || AtLeast(r, n))
            Subtract(r, n);
        return r;
    }
};

}  // namespace

bool PublicOperation(const std::vector<std::uint8_t>& modulus, const std::vector<std::uint8_t>& exponent,
                     const std::vector<std::uint8_t>& signature, std::vector<std::uint8_t>& out) {
    if (modulus.empty() || modulus[0] == 0 || !(modulus.back() & 1) || modulus.size() * 8 > kMaxModulusBits ||
        exponent.empty() || exponent.size() > modulus.size() || signature.size() > modulus.size())
        return false;
    const std::size_t k = (modulus.size() + 3) / 4;
    const Montgomery m(FromBytes(modulus, k));
    const Limbs s = FromBytes(signature, k);
    if (AtLeast(s, m.n))
        return false;
    // R^2 mod n by doubling 1 (2 * 32k) times, reducing as it goes.
    Limbs r2(k, 0);
    r2[0] = 1;
    for (std::size_t i = 0; i < 64 * k; ++i) {
        std::uint32_t carry = 0;
        for (std::size_t j = 0; j < k; ++j) {
            const std::uint32_t next = r2[j] >> 31;
            r2[j] = r2[j] << 1 | carry;
            carry = next;
        }
        if (carry || AtLeast(r2, m.n))
            Subtract(r2, m.n);
    }
    const Limbs base = m.Multiply(s, r2);  // s in Montgomery form
    Limbs one(k, 0);
    one[0] = 1;
    Limbs result = m.Multiply(one, r2);  // 1 in Montgomery form
    for (const std::uint8_t byte : exponent)
        for (int bit = 7; bit >= 0; --bit) {
            result = m.Multiply(result, result);
            if (byte >> bit & 1)
                result = m.Multiply(result, base);
        }
    result = m.Multiply(result, one);
    out.assign(modulus.size(), 0);
    for (std::size_t i = 0; i < modulus.size(); ++i) {
        const std::size_t bit = 8 * (modulus.size() - 1 - i);
        out[i] = std::uint8_t(result[bit / 32] >> (bit % 32));
    }
    return true;
}

bool Verify(const std::vector<std::uint8_t>& modulus, const std::vector<std::uint8_t>& exponent,
            const std::vector<std::uint8_t>& signature, authenticode::Hash hash,
            const std::vector<std::uint8_t>& digest) {
    std::vector<std::uint8_t> em;
    if (!PublicOperation(modulus, exponent, signature, em))
        return false;
    // 00 01 FF..FF 00 DigestInfo, at least eight bytes of padding.
    if (em.size() < 11 || em[0] != 0 || em[1] != 1)
        return false;
    std::size_t at = 2;
    while (at < em.size() && em[at] == 0xFF)
        ++at;
    if (at - 2 < 8 || at >= em.size() || em[at] != 0)
        return false;
    const der::View info = der::View(em).subspan(at + 1);
    der::Element digestInfo, algorithm, oid, value, parameters;
    if (!der::ReadWhole(info, digestInfo) || digestInfo.tag != der::kSequence)
        return false;
    der::Reader fields(digestInfo.content);
    if (!fields.Expect(der::kSequence, algorithm) || !fields.Expect(der::kOctetString, value) || !fields.AtEnd())
        return false;
    der::Reader a(algorithm.content);
    if (!a.Expect(der::kOid, oid))
        return false;
    // The parameters are NULL, or absent as some signers write them.
    if (!a.AtEnd() && (!a.Expect(der::kNull, parameters) || !parameters.content.empty() || !a.AtEnd()))
        return false;
    authenticode::Hash named;
    return authenticode::HashOfOid(der::OidText(oid), named) && named == hash &&
           std::vector<std::uint8_t>(value.content.begin(), value.content.end()) == digest;
}

}  // namespace rsa
