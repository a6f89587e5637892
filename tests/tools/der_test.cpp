// The DER reader and SHA-1 beneath the signature checks: hostile lengths refused without reading past the
// bytes (this program runs under the sanitizers), OIDs and times as certificates carry them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/der.h"
#include "tools/sha1.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool Walks(const Bytes& b, std::size_t& count) {
    der::Reader r(b);
    der::Element e;
    count = 0;
    while (r.Next(e))
        ++count;
    return !r.Failed();
}

TEST(DerReader, RefusesLengthsThatLeaveTheirParent) {
    std::size_t count = 0;
    // clang-format off
    const std::vector<std::pair<const char*, Bytes>> bad = {
        {"length one past the end", {0x30, 0x03, 0x01, 0x02}},
        {"long form past the end", {0x04, 0x82, 0x01, 0x00, 0xAA}},
        {"length bytes cut short", {0x04, 0x82, 0x01}},
        {"indefinite length", {0x30, 0x80, 0x00, 0x00}},
        {"five length bytes", {0x04, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01, 0xAA}},
        {"high tag number", {0x1F, 0x81, 0x01, 0x00}},
        {"a lone identifier", {0x30}},
    };
    // clang-format on
    for (const auto& [name, bytes] : bad)
        EXPECT_FALSE(Walks(bytes, count)) << name;
    EXPECT_TRUE(Walks({0x04, 0x02, 0xAA, 0xBB, 0x05, 0x00}, count));
    EXPECT_EQ(count, 2u);
    // Exactly filling its parent, in the long form.
    Bytes exact = {0x04, 0x81, 0x80};
    exact.resize(3 + 0x80, 0x11);
    EXPECT_TRUE(Walks(exact, count));
    exact.pop_back();
    EXPECT_FALSE(Walks(exact, count));
}

TEST(DerReader, ExpectAndOptionalTakeOnlyTheirTag) {
    const Bytes b = {0xA0, 0x00, 0x02, 0x01, 0x05};
    der::Reader r(b);
    der::Element e;
    EXPECT_FALSE(r.Optional(der::Context(1), e));
    EXPECT_TRUE(r.Optional(der::Context(0), e));
    EXPECT_FALSE(r.Expect(der::kOid, e));
    EXPECT_TRUE(r.Failed());
}

TEST(DerValues, OidsIntegersAndTimes) {
    der::Element e;
    const Bytes signedData = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    ASSERT_TRUE(der::ReadWhole(signedData, e));
    EXPECT_EQ(der::OidText(e), "1.2.840.113549.1.7.2");
    const Bytes unfinished = {0x06, 0x02, 0x2A, 0x86};
    ASSERT_TRUE(der::ReadWhole(unfinished, e));
    EXPECT_EQ(der::OidText(e), "");

    std::vector<std::uint8_t> magnitude;
    const Bytes positive = {0x02, 0x03, 0x00, 0x80, 0x01}, negative = {0x02, 0x01, 0x80};
    ASSERT_TRUE(der::ReadWhole(positive, e));
    ASSERT_TRUE(der::Unsigned(e, magnitude));
    EXPECT_EQ(magnitude, (Bytes{0x80, 0x01}));
    ASSERT_TRUE(der::ReadWhole(negative, e));
    EXPECT_FALSE(der::Unsigned(e, magnitude));

    const auto time = [&](std::uint8_t tag, const std::string& text, std::int64_t& seconds) {
        Bytes b = {tag, std::uint8_t(text.size())};
        b.insert(b.end(), text.begin(), text.end());
        return der::ReadWhole(b, e) && der::Time(e, seconds);
    };
    std::int64_t t = 0;
    ASSERT_TRUE(time(der::kUtcTime, "261211015128Z", t));
    EXPECT_EQ(t, 1796953888);
    EXPECT_EQ(der::TimeText(t), "Dec 11 01:51:28 2026 GMT");
    ASSERT_TRUE(time(der::kUtcTime, "500101000000Z", t));  // 50 is 1950
    EXPECT_EQ(t, -631152000);
    ASSERT_TRUE(time(der::kGeneralizedTime, "20260301093005.125Z", t));
    EXPECT_EQ(der::TimeText(t), "Mar  1 09:30:05 2026 GMT");
    EXPECT_FALSE(time(der::kUtcTime, "261311015128Z", t));  // month 13
    EXPECT_FALSE(time(der::kUtcTime, "2612110151Z", t));    // no seconds
    EXPECT_FALSE(time(der::kGeneralizedTime, "20260301093005.Z", t));
}

TEST(Sha1, GivesTheStandardsVectorsAcrossBlockBoundaries) {
    const auto hex = [](const sha1::Digest& d) {
        std::string out;
        char h[3];
        for (const auto b : d) {
            std::snprintf(h, sizeof h, "%02x", b);
            out += h;
        }
        return out;
    };
    EXPECT_EQ(hex(sha1::Hash("abc", 3)), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(sha1::Hash("", 0)), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    sha1::Hasher split;
    for (const char c : two)
        split.Update(&c, 1);
    EXPECT_EQ(hex(split.Finish()), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
}

}  // namespace
