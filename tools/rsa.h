// tools/rsa.h: RSA signature checking (PKCS#1 v1.5, with SHA-256 or SHA-1) for Authenticode signatures
// and the certificates behind them, in portable C++ with a small big-number modular exponentiation of
// its own: public keys only, so no secret is ever handled and constant time does not matter.
#pragma once
#include <cstdint>
#include <vector>

#include "tools/authenticode.h"

namespace rsa {

// The largest modulus checked, in bits: bigger keys are refused rather than computed with.
inline constexpr std::size_t kMaxModulusBits = 8192;

// True when `signature` is the PKCS#1 v1.5 signature of `digest` (a DigestInfo naming `hash`) under the
// public key (`modulus`, `exponent`, big-endian magnitudes).
[[nodiscard]] bool Verify(const std::vector<std::uint8_t>& modulus, const std::vector<std::uint8_t>& exponent,
                          const std::vector<std::uint8_t>& signature, authenticode::Hash hash,
                          const std::vector<std::uint8_t>& digest);

// signature^exponent mod modulus, big-endian, as long as the modulus; false for an even or oversized
// modulus or a signature not below it.
[[nodiscard]] bool PublicOperation(const std::vector<std::uint8_t>& modulus, const std::vector<std::uint8_t>& exponent,
                                   const std::vector<std::uint8_t>& signature, std::vector<std::uint8_t>& out);

}  // namespace rsa
