// tools/authenticode.cpp: see authenticode.h.
#include "tools/authenticode.h"

#include <algorithm>
#include <cstdio>

#include "tools/rsa.h"
#include "tools/sha1.h"
#include "tools/sha256.h"

namespace authenticode {
namespace {

using der::Element;
using der::Reader;
using der::View;

constexpr char kSignedData[] = "1.2.840.113549.1.7.2";
constexpr char kSpcIndirectData[] = "1.3.6.1.4.1.311.2.1.4";
constexpr char kSpcPeImageData[] = "1.3.6.1.4.1.311.2.1.15";
constexpr char kRsaEncryption[] = "1.2.840.113549.1.1.1";
constexpr char kMessageDigest[] = "1.2.840.113549.1.9.4";
constexpr char kSigningTime[] = "1.2.840.113549.1.9.5";
constexpr char kCounterSignature[] = "1.2.840.113549.1.9.6";
constexpr char kRfc3161TimeStamp[] = "1.3.6.1.4.1.311.3.3.1";
constexpr char kNestedSignature[] = "1.3.6.1.4.1.311.2.4.1";
constexpr char kTstInfo[] = "1.2.840.113549.1.9.16.1.4";

Bytes Copy(View v) { return Bytes(v.begin(), v.end()); }

bool Fail(std::string& reason, const char* text) {
    reason = text;
    return false;
}

// An AlgorithmIdentifier's OID (its parameters are not needed here).
bool AlgorithmOid(const Element& algorithm, std::string& oid) {
    Reader r(algorithm.content);
    Element e;
    if (algorithm.tag != der::kSequence || !r.Expect(der::kOid, e))
        return false;
    oid = der::OidText(e);
    return !oid.empty();
}

// The short names OpenSSL gives the attributes of a distinguished name.
const char* ShortName(const std::string& oid) {
    static const struct {
        const char* oid;
        const char* name;
    } kNames[] = {{"2.5.4.3", "CN"},
                  {"2.5.4.6", "C"},
                  {"2.5.4.7", "L"},
                  {"2.5.4.8", "ST"},
                  {"2.5.4.10", "O"},
                  {"2.5.4.11", "OU"},
                  {"2.5.4.5", "serialNumber"},
                  {"2.5.4.9", "street"},
                  {"2.5.4.12", "title"},
                  {"2.5.4.4", "SN"},
                  {"2.5.4.42", "GN"},
                  {"2.5.4.43", "initials"},
                  {"2.5.4.46", "dnQualifier"},
                  {"2.5.4.15", "businessCategory"},
                  {"2.5.4.17", "postalCode"},
                  {"2.5.4.65", "pseudonym"},
                  {"2.5.4.97", "organizationIdentifier"},
                  {"1.2.840.113549.1.9.1", "emailAddress"},
                  {"0.9.2342.19200300.100.1.25", "DC"},
                  {"0.9.2342.19200300.100.1.1", "UID"},
                  {"1.3.6.1.4.1.311.60.2.1.3", "jurisdictionC"},
                  {"1.3.6.1.4.1.311.60.2.1.2", "jurisdictionST"},
                  {"1.3.6.1.4.1.311.60.2.1.1", "jurisdictionL"}};
    for (const auto& n : kNames)
        if (oid == n.oid)
            return n.name;
    return nullptr;
}

std::string HexBytes(View v) {
    std::string out;
    char h[4];
    for (const std::uint8_t b : v) {
        std::snprintf(h, sizeof h, "%02X", b);
        out += h;
    }
    return out;
}

// The value in the one-line form: RFC 2253's specials escaped with a backslash, control bytes as \XX.
std::string OneLineValue(const std::string& v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(v[i]);
        const bool edge = (i == 0 && (c == '#' || c == ' ')) || (i + 1 == v.size() && c == ' ');
        if (c < 0x20 || c == 0x7F) {
            char h[4];
            std::snprintf(h, sizeof h, "\\%02X", c);
            out += h;
        } else if (edge || c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' || c == ';') {
            out += '\\';
            out += char(c);
        } else {
            out += char(c);
        }
    }
    return out;
}

// The value in the legacy form: bytes outside printable ASCII as \xXX.
std::string SlashedValue(const std::string& v) {
    std::string out;
    for (const char ch : v) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c > 0x7E) {
            char h[8];
            std::snprintf(h, sizeof h, "\\x%02X", c);
            out += h;
        } else {
            out += ch;
        }
    }
    return out;
}

bool ReadName(const Element& name, Name& out) {
    if (name.tag != der::kSequence)
        return false;
    out.der = Copy(name.whole);
    Reader rdns(name.content);
    Element rdn;
    while (rdns.Next(rdn)) {
        if (rdn.tag != der::kSet)
            return false;
        Reader pairs(rdn.content);
        Element pair;
        bool first = true;
        while (pairs.Next(pair)) {
            Reader fields(pair.content);
            Element type, value;
            if (pair.tag != der::kSequence || !fields.Expect(der::kOid, type) || !fields.Next(value))
                return false;
            const std::string oid = der::OidText(type);
            const char* shortName = ShortName(oid);
            const std::string key = shortName ? shortName : oid;
            std::string text;
            if (!der::StringValue(value, text))
                text = "#" + HexBytes(value.whole);
            if (!out.oneLine.empty())
                out.oneLine += first ? ", " : " + ";
            out.oneLine += key + " = " + OneLineValue(text);
            out.slashed += (first ? "/" : "+") + key + "=" + SlashedValue(text);
            first = false;
        }
        if (pairs.Failed())
            return false;
    }
    return !rdns.Failed();
}

struct Attribute {
    std::string oid;
    Element values;  // the SET of its values
};

bool ReadAttributes(View set, std::vector<Attribute>& out) {
    Reader r(set);
    Element a;
    while (r.Next(a)) {
        Reader fields(a.content);
        Element type, values;
        if (a.tag != der::kSequence || !fields.Expect(der::kOid, type) || !fields.Expect(der::kSet, values))
            return false;
        out.push_back({der::OidText(type), values});
    }
    return !r.Failed();
}

// The single value of an attribute.
bool OnlyValue(const Attribute& a, Element& value) {
    Reader r(a.values.content);
    return r.Next(value) && r.AtEnd();
}

// The time of a legacy counter-signature (a SignerInfo whose signingTime attribute says when).
void CounterSignatureTime(const Element& signerInfo, Signature& s) {
    Reader r(signerInfo.content);
    Element e;
    while (r.Next(e)) {
        if (e.tag != der::Context(0))
            continue;
        std::vector<Attribute> attributes;
        if (!ReadAttributes(e.content, attributes))
            return;
        for (const Attribute& a : attributes) {
            Element value;
            std::int64_t t = 0;
            if (a.oid == kSigningTime && OnlyValue(a, value) && der::Time(value, t))
                s.timestampTime = t;
        }
        return;
    }
}

// The genTime of an RFC 3161 time stamp token (a SignedData over a TSTInfo).
void TimeStampTokenTime(const Element& token, Signature& s) {
    Reader ci(token.content);
    Element type, explicitContent, signedData, version, algorithms, encapsulated;
    if (token.tag != der::kSequence || !ci.Expect(der::kOid, type) || der::OidText(type) != kSignedData ||
        !ci.Expect(der::Context(0), explicitContent))
        return;
    Reader sd(explicitContent.content);
    if (!sd.Expect(der::kSequence, signedData))
        return;
    Reader fields(signedData.content);
    if (!fields.Expect(der::kInteger, version) || !fields.Expect(der::kSet, algorithms) ||
        !fields.Expect(der::kSequence, encapsulated))
        return;
    Reader enc(encapsulated.content);
    Element contentType, wrapper, octets, tst;
    if (!enc.Expect(der::kOid, contentType) || der::OidText(contentType) != kTstInfo ||
        !enc.Expect(der::Context(0), wrapper))
        return;
    Reader w(wrapper.content);
    if (!w.Expect(der::kOctetString, octets) || !der::ReadWhole(octets.content, tst) || tst.tag != der::kSequence)
        return;
    Reader info(tst.content);
    Element tstVersion, policy, imprint, serial, genTime;
    std::int64_t t = 0;
    if (info.Expect(der::kInteger, tstVersion) && info.Expect(der::kOid, policy) &&
        info.Expect(der::kSequence, imprint) && info.Expect(der::kInteger, serial) &&
        info.Expect(der::kGeneralizedTime, genTime) && der::Time(genTime, t))
        s.timestampTime = t;
}

struct Walk {
    std::vector<Signature>& out;
    int next = 0;

    // Reads the ContentInfo `pkcs7` as signature number `next`, and its nested ones after it. False only
    // when its own structure cannot be read (its `problem` says why).
    bool Read(View pkcs7, int depth) {
        if (out.size() >= kMaxSignatures)
            return true;
        out.emplace_back();
        const std::size_t at = out.size() - 1;
        out[at].index = next++;
        std::vector<View> nested;
        std::string problem;
        if (!ReadOne(pkcs7, out[at], nested, problem)) {
            out[at].problem = problem;
            return false;
        }
        for (const View n : nested) {
            if (depth + 1 > kMaxNesting) {
                out.emplace_back();
                out.back().index = next++;
                out.back().problem = "it is nested deeper than " + std::to_string(kMaxNesting) + " levels";
                break;
            }
            Read(n, depth + 1);
        }
        return true;
    }

    static bool ReadOne(View pkcs7, Signature& s, std::vector<View>& nested, std::string& reason) {
        Element contentInfo;
        // The table may pad the signature with zeros after it: only its first element counts.
        Reader outer(pkcs7);
        if (!outer.Next(contentInfo) || contentInfo.tag != der::kSequence)
            return Fail(reason, "its signature is not a PKCS#7 structure");
        Reader ci(contentInfo.content);
        Element type, explicitContent, signedData;
        if (!ci.Expect(der::kOid, type) || der::OidText(type) != kSignedData)
            return Fail(reason, "its signature is not PKCS#7 signed data");
        if (!ci.Expect(der::Context(0), explicitContent))
            return Fail(reason, "its signed data is missing");
        Reader sdr(explicitContent.content);
        if (!sdr.Expect(der::kSequence, signedData))
            return Fail(reason, "its signed data is damaged");
        Reader fields(signedData.content);
        Element version, algorithms, encapsulated, certificates, crls, signerInfos;
        if (!fields.Expect(der::kInteger, version) || !fields.Expect(der::kSet, algorithms) ||
            !fields.Expect(der::kSequence, encapsulated))
            return Fail(reason, "its signed data is damaged");
        const bool hasCertificates = fields.Optional(der::Context(0), certificates);
        fields.Optional(der::Context(1), crls);
        if (!fields.Expect(der::kSet, signerInfos))
            return Fail(reason, "its signed data has no signer");

        // The signed content: SpcIndirectDataContent, naming the image's digest.
        Reader enc(encapsulated.content);
        Element contentType, wrapper, indirect;
        if (!enc.Expect(der::kOid, contentType) || der::OidText(contentType) != kSpcIndirectData ||
            !enc.Expect(der::Context(0), wrapper))
            return Fail(reason, "its signed content is not Authenticode's (SpcIndirectDataContent)");
        Reader w(wrapper.content);
        if (!w.Expect(der::kSequence, indirect))
            return Fail(reason, "its SpcIndirectDataContent is damaged");
        {
            Reader ind(indirect.content);
            Element data, dataType, digestInfo, algorithm, digest;
            if (!ind.Expect(der::kSequence, data) || !ind.Expect(der::kSequence, digestInfo))
                return Fail(reason, "its SpcIndirectDataContent is damaged");
            Reader d(data.content);
            if (!d.Expect(der::kOid, dataType) || der::OidText(dataType) != kSpcPeImageData)
                return Fail(reason, "its signature is not a PE image's");
            Reader di(digestInfo.content);
            std::string oid;
            if (!di.Expect(der::kSequence, algorithm) || !AlgorithmOid(algorithm, oid) ||
                !di.Expect(der::kOctetString, digest))
                return Fail(reason, "its SpcIndirectDataContent's digest is damaged");
            if (!HashOfOid(oid, s.imageHash))
                return Fail(reason, ("its image digest's algorithm " + oid + " is neither SHA-256 nor SHA-1").c_str());
            s.signedImageDigest = Copy(digest.content);
        }

        if (hasCertificates) {
            Reader certs(certificates.content);
            Element c;
            while (certs.Next(c)) {
                Certificate certificate;
                std::string why;
                // Other kinds of certificate (attribute certificates, [n]-tagged) are passed over.
                if (c.tag == der::kSequence && ReadCertificate(c.whole, certificate, why))
                    s.certificates.push_back(std::move(certificate));
            }
            if (certs.Failed())
                return Fail(reason, "its certificates are damaged");
        }

        Reader signers(signerInfos.content);
        Element signerInfo;
        if (!signers.Expect(der::kSequence, signerInfo) || !signers.AtEnd())
            return Fail(reason, "it does not hold exactly one signer");
        Reader si(signerInfo.content);
        Element siVersion, sid, digestAlgorithm, attributes, encryptionAlgorithm, encrypted, unsignedAttributes;
        if (!si.Expect(der::kInteger, siVersion) || !si.Expect(der::kSequence, sid) ||
            !si.Expect(der::kSequence, digestAlgorithm))
            return Fail(reason, "its signer is damaged");
        if (!si.Optional(der::Context(0), attributes))
            return Fail(reason, "its signer has no authenticated attributes");
        if (!si.Expect(der::kSequence, encryptionAlgorithm) || !si.Expect(der::kOctetString, encrypted))
            return Fail(reason, "its signer is damaged");
        const bool hasUnsigned = si.Optional(der::Context(1), unsignedAttributes);
        std::string oid;
        if (!AlgorithmOid(digestAlgorithm, oid) || !HashOfOid(oid, s.signerHash))
            return Fail(reason, ("its signer's digest algorithm " + oid + " is neither SHA-256 nor SHA-1").c_str());
        if (!AlgorithmOid(encryptionAlgorithm, oid))
            return Fail(reason, "its signer is damaged");
        Hash named = s.signerHash;
        if (oid != kRsaEncryption && !(HashOfOid(oid, named) && named == s.signerHash))
            return Fail(reason, ("its signer's signature algorithm " + oid + " is not RSA").c_str());
        s.encryptedDigest = Copy(encrypted.content);
        // What the signature covers is the attributes' DER with the SET tag in place of [0].
        s.signedAttributes = Copy(attributes.whole);
        s.signedAttributes[0] = der::kSet;
        // The digest over SpcIndirectDataContent's value: its content octets, without its tag and length.
        s.contentDigest = Digest(s.signerHash, indirect.content);

        std::vector<Attribute> authenticated;
        if (!ReadAttributes(attributes.content, authenticated))
            return Fail(reason, "its authenticated attributes are damaged");
        for (const Attribute& a : authenticated) {
            Element value;
            std::int64_t t = 0;
            if (a.oid == kMessageDigest && OnlyValue(a, value) && value.tag == der::kOctetString)
                s.messageDigest = Copy(value.content);
            else if (a.oid == kSigningTime && OnlyValue(a, value) && der::Time(value, t))
                s.signingTime = t;
        }

        // The signer's certificate: the one of the issuer and serial number the signer names.
        Reader ids(sid.content);
        Element issuer, serial;
        if (!ids.Expect(der::kSequence, issuer) || !ids.Expect(der::kInteger, serial))
            return Fail(reason, "its signer names no certificate (issuer and serial number)");
        for (std::size_t i = 0; i < s.certificates.size(); ++i) {
            const Certificate& c = s.certificates[i];
            if (c.issuer.der == Copy(issuer.whole) && c.serial == Copy(serial.content)) {
                s.signer = int(i);
                break;
            }
        }

        if (hasUnsigned) {
            std::vector<Attribute> unauthenticated;
            if (!ReadAttributes(unsignedAttributes.content, unauthenticated))
                return Fail(reason, "its unauthenticated attributes are damaged");
            for (const Attribute& a : unauthenticated) {
                Reader values(a.values.content);
                Element value;
                while (values.Next(value)) {
                    if (a.oid == kNestedSignature) {
                        nested.push_back(value.whole);
                    } else if (a.oid == kCounterSignature) {
                        s.timestamped = true;
                        CounterSignatureTime(value, s);
                    } else if (a.oid == kRfc3161TimeStamp) {
                        s.timestamped = true;
                        TimeStampTokenTime(value, s);
                    }
                }
            }
        }
        return true;
    }
};

}  // namespace

bool HashOfOid(const std::string& oid, Hash& hash) {
    if (oid == "2.16.840.1.101.3.4.2.1" || oid == "1.2.840.113549.1.1.11") {
        hash = Hash::kSha256;
        return true;
    }
    if (oid == "1.3.14.3.2.26" || oid == "1.2.840.113549.1.1.5") {
        hash = Hash::kSha1;
        return true;
    }
    return false;
}

Bytes Digest(Hash hash, View data) {
    if (hash == Hash::kSha1) {
        const sha1::Digest d = sha1::Hash(data.data(), data.size());
        return Bytes(d.begin(), d.end());
    }
    const sha256::Digest d = sha256::Hash(data.data(), data.size());
    return Bytes(d.begin(), d.end());
}

bool ImageDigest(const peimage::Image& image, Hash hash, Bytes& digest, std::string& reason) {
    const Bytes& f = image.file;
    const std::uint64_t checksumAt = std::uint64_t(image.optionalOffset) + 64;
    const std::uint64_t entryAt = std::uint64_t(image.optionalOffset) + 96 + 8 * peimage::kCertificateDirectory;
    // The entry must be one the optional header holds, inside the headers the section table ends.
    if (entryAt + 8 > image.sectionTableOffset || image.sizeOfHeaders > f.size())
        return Fail(reason, "its optional header holds no certificate-table entry");
    const peimage::DataDirectory table = image.directories[peimage::kCertificateDirectory];
    const std::uint64_t tableStart = table.size ? table.rva : f.size();

    std::vector<const peimage::Section*> sections;
    for (const peimage::Section& s : image.sections)
        if (s.rawSize)
            sections.push_back(&s);
    std::sort(sections.begin(), sections.end(),
              [](const peimage::Section* a, const peimage::Section* b) { return a->rawOffset < b->rawOffset; });
    std::uint64_t end = image.sizeOfHeaders;
    for (const peimage::Section* s : sections)
        end = std::max(end, std::uint64_t(s->rawOffset) + s->rawSize);
    if (tableStart < end || tableStart > f.size())
        return Fail(reason, "its certificate table lies inside its sections");

    sha256::Hasher h256;
    sha1::Hasher h1;
    const auto add = [&](std::uint64_t from, std::uint64_t to) {
        if (to <= from)
            return;
        if (hash == Hash::kSha1)
            h1.Update(f.data() + from, std::size_t(to - from));
        else
            h256.Update(f.data() + from, std::size_t(to - from));
    };
    add(0, checksumAt);
    add(checksumAt + 4, entryAt);
    add(entryAt + 8, image.sizeOfHeaders);
    for (const peimage::Section* s : sections)
        add(s->rawOffset, std::uint64_t(s->rawOffset) + s->rawSize);
    add(end, tableStart);
    if (hash == Hash::kSha1) {
        const sha1::Digest d = h1.Finish();
        digest.assign(d.begin(), d.end());
    } else {
        const sha256::Digest d = h256.Finish();
        digest.assign(d.begin(), d.end());
    }
    return true;
}

bool SignedData(const peimage::Image& image, View& pkcs7, std::string& reason) {
    const peimage::DataDirectory table = image.directories[peimage::kCertificateDirectory];
    const Bytes& f = image.file;
    // ReadImage has checked that the table lies within the file.
    if (table.size < 8)
        return Fail(reason, "its certificate table is too short for an entry");
    const std::uint32_t length = peimage::Get32(f, table.rva);
    const std::uint16_t revision = peimage::Get16(f, table.rva + 4), type = peimage::Get16(f, table.rva + 6);
    if (length < 8 || length > table.size)
        return Fail(reason, "its certificate table's entry does not fit the table");
    if (revision != 0x0200 || type != 0x0002)
        return Fail(reason, "its certificate table's entry is not a PKCS#7 signature (revision 2, type 2)");
    pkcs7 = View(f).subspan(table.rva + 8, length - 8);
    return true;
}

std::string Certificate::Fingerprint() const {
    const sha256::Digest d = sha256::Hash(der.data(), der.size());
    std::string out;
    char h[4];
    for (std::size_t i = 0; i < d.size(); ++i) {
        std::snprintf(h, sizeof h, i ? ":%02X" : "%02X", d[i]);
        out += h;
    }
    return out;
}

bool ReadCertificate(View data, Certificate& c, std::string& reason) {
    Element whole, tbs, algorithm, signature;
    if (!der::ReadWhole(data, whole) || whole.tag != der::kSequence)
        return Fail(reason, "not a certificate");
    Reader top(whole.content);
    View bits;
    if (!top.Expect(der::kSequence, tbs) || !top.Expect(der::kSequence, algorithm) ||
        !top.Expect(der::kBitString, signature) || !AlgorithmOid(algorithm, c.signatureAlgorithm) ||
        !der::BitStringBytes(signature, bits))
        return Fail(reason, "a damaged certificate");
    c.der = Copy(whole.whole);
    c.tbs = Copy(tbs.whole);
    c.signature = Copy(bits);
    Reader t(tbs.content);
    Element version, serial, innerAlgorithm, issuer, validity, subject, keyInfo;
    t.Optional(der::Context(0), version);
    if (!t.Expect(der::kInteger, serial) || !t.Expect(der::kSequence, innerAlgorithm) ||
        !t.Expect(der::kSequence, issuer) || !t.Expect(der::kSequence, validity) ||
        !t.Expect(der::kSequence, subject) || !t.Expect(der::kSequence, keyInfo))
        return Fail(reason, "a damaged certificate");
    c.serial = Copy(serial.content);
    if (!ReadName(issuer, c.issuer) || !ReadName(subject, c.subject))
        return Fail(reason, "a certificate with a damaged name");
    Reader v(validity.content);
    Element from, to;
    if (!v.Next(from) || !v.Next(to) || !der::Time(from, c.notBefore) || !der::Time(to, c.notAfter))
        return Fail(reason, "a certificate with a damaged validity");
    Reader k(keyInfo.content);
    Element keyAlgorithm, key;
    std::string keyOid;
    View keyBits;
    if (!k.Expect(der::kSequence, keyAlgorithm) || !AlgorithmOid(keyAlgorithm, keyOid) ||
        !k.Expect(der::kBitString, key) || !der::BitStringBytes(key, keyBits))
        return Fail(reason, "a certificate with a damaged key");
    if (keyOid == kRsaEncryption) {
        Element rsaKey, modulus, exponent;
        if (!der::ReadWhole(keyBits, rsaKey) || rsaKey.tag != der::kSequence)
            return Fail(reason, "a certificate with a damaged RSA key");
        Reader r(rsaKey.content);
        if (!r.Expect(der::kInteger, modulus) || !r.Expect(der::kInteger, exponent) ||
            !der::Unsigned(modulus, c.modulus) || !der::Unsigned(exponent, c.exponent))
            return Fail(reason, "a certificate with a damaged RSA key");
        c.rsa = true;
    }
    return true;
}

bool ReadSignatures(View pkcs7, std::vector<Signature>& signatures, std::string& reason) {
    signatures.clear();
    Walk walk{signatures};
    if (!walk.Read(pkcs7, 0)) {
        reason = signatures.front().problem;
        return false;
    }
    return true;
}

bool SignatureHolds(const Signature& s, std::string& error) {
    if (s.messageDigest.empty()) {
        error = "its authenticated attributes hold no message digest";
        return false;
    }
    if (s.messageDigest != s.contentDigest) {
        error = "its message digest does not match its signed content";
        return false;
    }
    if (s.signer < 0) {
        error = "it carries no certificate of its signer";
        return false;
    }
    const Certificate& c = s.certificates[std::size_t(s.signer)];
    if (!c.rsa) {
        error = "its signer's key is not an RSA key";
        return false;
    }
    if (!rsa::Verify(c.modulus, c.exponent, s.encryptedDigest, s.signerHash,
                     Digest(s.signerHash, s.signedAttributes))) {
        error = "its signer's signature does not hold under the signer's key";
        return false;
    }
    return true;
}

bool SignedBy(const Certificate& certificate, const Certificate& issuer) {
    Hash hash;
    if (!issuer.rsa || !HashOfOid(certificate.signatureAlgorithm, hash) ||
        certificate.signatureAlgorithm == "2.16.840.1.101.3.4.2.1" || certificate.signatureAlgorithm == "1.3.14.3.2.26")
        return false;
    return rsa::Verify(issuer.modulus, issuer.exponent, certificate.signature, hash, Digest(hash, certificate.tbs));
}

bool ChainsTo(const Signature& s, const std::vector<Certificate>& anchors, std::int64_t at, std::string& error) {
    if (s.signer < 0) {
        error = "it carries no certificate of its signer";
        return false;
    }
    const auto valid = [&](const Certificate& c) {
        if (at < c.notBefore)
            error = "certificate is not yet valid";
        else if (at > c.notAfter)
            error = "certificate has expired";
        else
            return true;
        return false;
    };
    const Certificate* current = &s.certificates[std::size_t(s.signer)];
    // A chain longer than the certificates carried would visit one twice.
    for (std::size_t depth = 0; depth <= s.certificates.size(); ++depth) {
        if (!valid(*current))
            return false;
        bool nameMatched = false;
        for (const Certificate& anchor : anchors) {
            if (anchor.der == current->der)
                return true;
            if (anchor.subject.der == current->issuer.der) {
                nameMatched = true;
                if (SignedBy(*current, anchor))
                    return valid(anchor);
            }
        }
        const Certificate* issuer = nullptr;
        for (const Certificate& c : s.certificates)
            if (&c != current && c.subject.der == current->issuer.der && c.der != current->der) {
                issuer = &c;
                break;
            }
        if (nameMatched && !issuer) {
            error = "certificate signature failure";
            return false;
        }
        if (!issuer) {
            if (current->issuer.der == current->subject.der)
                error = depth == 0 ? "self-signed certificate" : "self-signed certificate in certificate chain";
            else
                error = "unable to get local issuer certificate";
            return false;
        }
        if (!SignedBy(*current, *issuer)) {
            error = "certificate signature failure";
            return false;
        }
        current = issuer;
    }
    error = "certificate chain too long";
    return false;
}

namespace {

bool Base64(const std::string& text, Bytes& out) {
    std::uint32_t buffer = 0;
    int bits = 0;
    bool ended = false;
    for (const char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (c == '=') {
            ended = true;
            continue;
        } else if (c == '\r' || c == '\n' || c == ' ' || c == '\t')
            continue;
        else
            return false;
        if (ended)
            return false;
        buffer = buffer << 6 | std::uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(std::uint8_t(buffer >> bits));
            buffer &= (1u << bits) - 1;
        }
    }
    return true;
}

}  // namespace

bool ReadCertificateFile(const std::string& file, std::vector<Certificate>& certificates, std::string& reason) {
    static const std::string kBegin = "-----BEGIN CERTIFICATE-----", kEnd = "-----END CERTIFICATE-----";
    certificates.clear();
    std::size_t at = file.find(kBegin);
    if (at == std::string::npos) {
        Certificate c;
        const Bytes bytes(file.begin(), file.end());
        if (!ReadCertificate(bytes, c, reason)) {
            reason = "holds no certificate (PEM or DER)";
            return false;
        }
        certificates.push_back(std::move(c));
        return true;
    }
    while (at != std::string::npos) {
        const std::size_t from = at + kBegin.size(), to = file.find(kEnd, from);
        Bytes bytes;
        Certificate c;
        if (to == std::string::npos || !Base64(file.substr(from, to - from), bytes) ||
            !ReadCertificate(bytes, c, reason)) {
            reason = "holds a certificate that cannot be read";
            return false;
        }
        certificates.push_back(std::move(c));
        at = file.find(kBegin, to);
    }
    return true;
}

}  // namespace authenticode
