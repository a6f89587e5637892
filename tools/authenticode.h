// tools/authenticode.h: the Authenticode signatures of a PE image, read and checked without any outside
// program, the same on Linux and on Windows: the certificate table (WIN_CERTIFICATE holding a PKCS#7
// SignedData), the digest of the image as Authenticode computes it, each signature's signer, its
// authenticated attributes and its RSA signature, the certificates it carries, nested signatures and
// time stamps, and a signer's chain to a root the user trusts. Every field is read with the bounds-checked
// DER reader (der.h); nesting is followed to a fixed depth, so hostile input is refused, never followed
// without end.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/der.h"
#include "tools/pe_image.h"

namespace authenticode {

using peimage::Bytes;

enum class Hash { kSha1, kSha256 };

// The hash an algorithm identifier's OID names (the digest OIDs, and the RSA-with-digest ones), if any.
[[nodiscard]] bool HashOfOid(const std::string& oid, Hash& hash);
Bytes Digest(Hash hash, der::View data);

// The digest Authenticode signs of the image: the headers without the checksum field and the
// certificate table's directory entry, every section's raw data in file order, then whatever lies
// between the last section and the certificate table (or the end of an unsigned file). The table
// itself and anything after it are never hashed. False with `reason` for an image whose headers cannot
// say these ranges.
[[nodiscard]] bool ImageDigest(const peimage::Image& image, Hash hash, Bytes& digest, std::string& reason);

// The PKCS#7 SignedData of the image's certificate table: its first WIN_CERTIFICATE, which must be a
// revision 2 PKCS signed-data entry within the table. False with `reason` otherwise.
[[nodiscard]] bool SignedData(const peimage::Image& image, der::View& pkcs7, std::string& reason);

// A distinguished name, as raw DER (for matching an issuer with a subject) and in OpenSSL's two
// spellings: "CN = Signer, O = Firm" (its one-line form) and "/CN=Signer/O=Firm" (its legacy form).
struct Name {
    Bytes der;
    std::string oneLine, slashed;
};

struct Certificate {
    Bytes der;                       // the whole certificate, for its fingerprint and for matching
    Bytes tbs;                       // the signed part, tag and length included
    std::string signatureAlgorithm;  // OID of its issuer's signature
    Bytes signature;
    Bytes serial;  // the serial number's content octets, as given
    Name issuer, subject;
    std::int64_t notBefore = 0, notAfter = 0;  // seconds since 1970
    bool rsa = false;                          // a key this reader checks signatures with
    Bytes modulus, exponent;
    std::string Fingerprint() const;  // its SHA-256 as "AB:CD:...", 95 characters
};

[[nodiscard]] bool ReadCertificate(der::View data, Certificate& certificate, std::string& reason);

// One signature: the primary one, or one nested in another's unauthenticated attributes.
struct Signature {
    int index = 0;        // 0 for the primary, then 1, 2, ... in the order they are found
    std::string problem;  // not empty: the signature cannot be read as Authenticode, and why
    Hash imageHash = Hash::kSha256;
    Bytes signedImageDigest;  // SpcIndirectDataContent's digest of the image
    Hash signerHash = Hash::kSha256;
    Bytes contentDigest;     // the signer's digest of the SpcIndirectDataContent
    Bytes messageDigest;     // the messageDigest attribute: must equal contentDigest
    Bytes signedAttributes;  // the authenticated attributes as their signature covers them (a SET)
    Bytes encryptedDigest;   // the signer's RSA signature over them
    std::vector<Certificate> certificates;
    int signer = -1;  // the signer's certificate among `certificates`, -1 when it carries none
    std::optional<std::int64_t> signingTime;
    bool timestamped = false;  // an RFC 3161 time stamp or a legacy counter-signature
    std::optional<std::int64_t> timestampTime;
};

// Nested signatures are followed this deep, and at most this many signatures are read in all.
inline constexpr int kMaxNesting = 4;
inline constexpr std::size_t kMaxSignatures = 32;

// Every signature of a SignedData, the primary first. False with `reason` when not even the primary's
// structure can be read; a nested one that cannot be read is listed with its `problem`.
[[nodiscard]] bool ReadSignatures(der::View pkcs7, std::vector<Signature>& signatures, std::string& reason);

// The signature holds: its messageDigest attribute is the digest of its signed content, and its
// signer's RSA signature over the authenticated attributes holds under the signer certificate's key.
// False with `error` saying which part fails.
[[nodiscard]] bool SignatureHolds(const Signature& signature, std::string& error);

// `certificate`'s signature holds under `issuer`'s key (RSA with SHA-256 or SHA-1).
[[nodiscard]] bool SignedBy(const Certificate& certificate, const Certificate& issuer);

// The signer's chain: from its certificate through those the signature carries, each certificate's
// signature checked with its issuer's key (issuer and subject names matching) and each valid at `at`,
// to one of `anchors` (a certificate that is one of them, or that one of them signed). False with
// `error` in the words OpenSSL uses: "unable to get local issuer certificate", "self-signed
// certificate", "certificate signature failure", "certificate has expired", ...
[[nodiscard]] bool ChainsTo(const Signature& signature, const std::vector<Certificate>& anchors, std::int64_t at,
                            std::string& error);

// The certificates of a file: PEM ("-----BEGIN CERTIFICATE-----" blocks) or one DER certificate. False
// with `reason` when it holds none or one cannot be read.
[[nodiscard]] bool ReadCertificateFile(const std::string& file, std::vector<Certificate>& certificates,
                                       std::string& reason);

}  // namespace authenticode
