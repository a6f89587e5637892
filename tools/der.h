// tools/der.h: a reader of DER (the ASN.1 encoding of certificates and PKCS#7 signatures), for reading a
// signed launcher's Authenticode signatures. Every length is checked against the bytes that hold it:
// an element never reaches past its parent, so hostile input is refused, never read out of bounds. The
// reader walks one level at a time; callers go deeper by reading an element's content with a new reader,
// so the nesting a caller follows is the nesting its code spells out, never driven by the input.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace der {

using View = std::span<const std::uint8_t>;

// Identifier octets used by certificates and signatures (low-tag-number form only).
inline constexpr std::uint8_t kBoolean = 0x01, kInteger = 0x02, kBitString = 0x03, kOctetString = 0x04, kNull = 0x05,
                              kOid = 0x06, kUtf8String = 0x0C, kPrintableString = 0x13, kT61String = 0x14,
                              kIa5String = 0x16, kUtcTime = 0x17, kGeneralizedTime = 0x18, kUniversalString = 0x1C,
                              kBmpString = 0x1E, kSequence = 0x30, kSet = 0x31;
// A context-specific tag [n]: constructed (EXPLICIT, or IMPLICIT of a constructed type) or primitive.
constexpr std::uint8_t Context(int n) { return std::uint8_t(0xA0 | n); }
constexpr std::uint8_t ContextPrimitive(int n) { return std::uint8_t(0x80 | n); }

struct Element {
    std::uint8_t tag = 0;
    View whole;    // identifier, length and content: what a signature over the element covers
    View content;  // the content octets alone
};

// The elements of one level, in order. A malformed element (a length past its parent, an indefinite
// length, a high tag number) ends the walk and marks the reader failed.
class Reader {
public:
    explicit Reader(View data) : data_(data) {}
    bool AtEnd() const { return failed_ || at_ == data_.size(); }
    bool Failed() const { return failed_; }
    // The next element; false at the end or when it is malformed.
    bool Next(Element& element);
    // The next element, which must carry `tag`; false (and failed) otherwise.
    bool Expect(std::uint8_t tag, Element& element);
    // The next element when it carries `tag`, else false with nothing taken.
    bool Optional(std::uint8_t tag, Element& element);

private:
    View data_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

// The first element of `data`, which must be all of it (nothing after); false when malformed.
bool ReadWhole(View data, Element& element);

// An OBJECT IDENTIFIER's dotted text ("1.2.840.113549.1.7.2"), or empty when malformed.
std::string OidText(const Element& element);
// An INTEGER's magnitude, big-endian, without leading zeros; false for a negative or malformed one.
bool Unsigned(const Element& element, std::vector<std::uint8_t>& magnitude);
// A BIT STRING's bytes, which must have no unused bits.
bool BitStringBytes(const Element& element, View& bytes);
// A UTCTime or GeneralizedTime (UTC, "Z", whole seconds) as seconds since 1970; false when malformed.
bool Time(const Element& element, std::int64_t& seconds);
// The time as OpenSSL prints one: "Dec  1 01:51:28 2026 GMT".
std::string TimeText(std::int64_t seconds);
// A directory string (UTF8String, PrintableString, IA5String, T61String, BMPString, UniversalString) as
// UTF-8; false for another type or one that does not decode.
bool StringValue(const Element& element, std::string& utf8);

}  // namespace der
