// CompareText and ToText on ASCII and GBK texts (the test runs in code page 936).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "sysops/texts.h"

namespace {

int Sign(std::int32_t v) { return (v > 0) - (v < 0); }

}  // namespace

TEST(CompareText, IgnoresTheCaseOfAsciiLettersUnlessAskedNotTo) {
    EXPECT_EQ(CompareText("Velkar.exe", "vELKAR.EXE"), 0);
    EXPECT_NE(CompareText("Velkar.exe", "vELKAR.EXE", true), 0);
    EXPECT_EQ(CompareText("Velkar.exe", "Velkar.exe", true), 0);
    EXPECT_NE(CompareText("Velkar.exe", "Velkar.ex"), 0);
    EXPECT_NE(CompareText("Velkar.exe", "C:\\apps\\Velkar.exe"), 0);  // whole names only
}

TEST(CompareText, OrdersByCharacterAndByLength) {
    EXPECT_EQ(Sign(CompareText("abc", "abd")), -1);
    EXPECT_EQ(Sign(CompareText("abd", "ABC")), 1);
    EXPECT_EQ(Sign(CompareText("abc", "abcd")), -1);
    EXPECT_EQ(Sign(CompareText("", "a")), -1);
    EXPECT_EQ(CompareText(nullptr, ""), 0);
    // A double-byte character sorts after every ASCII character: "\xB0\xA1" is 啊.
    EXPECT_EQ(Sign(CompareText("\xB0\xA1", "z")), 1);
}

TEST(CompareText, NeverFoldsATrailByteThatLooksLikeALetter) {
    // "\x81\x41" is 丄 (U+4E04) and "\x81\x61" is 乤 (U+4E64): their trail bytes are 'A' and 'a'.
    EXPECT_NE(CompareText("\x81\x41", "\x81\x61"), 0);
    EXPECT_NE(CompareText("x\x81\x41y", "x\x81\x61Y"), 0);
    // The same bytes as plain letters after an ASCII byte do fold.
    EXPECT_EQ(CompareText("\x41\x41", "\x61\x61"), 0);
    // "\xD5\x5C" is 誠 (U+8AA0), whose trail byte is the backslash.
    EXPECT_EQ(CompareText("\xD5\x5C"
                          "A",
                          "\xD5\x5C"
                          "a"),
              0);
    EXPECT_NE(CompareText("\xD5\x5C", "\xD5\x7C"), 0);
}

namespace {

const unsigned char kBytesWithZero[8 + 5] = {1, 0, 0, 0, 5, 0, 0, 0, 'a', 'b', 0, 'c', 'd'};
const unsigned char kBytesWhole[8 + 3] = {1, 0, 0, 0, 3, 0, 0, 0, 'x', 'y', 'z'};
const std::int32_t kInts[2] = {0x44434241, 0x00004645};  // "ABCD" "EF\0\0", little-endian
const std::int16_t kShorts[2] = {0x4241, 0x4443};

const ByteArrayImage* ImageOf(const unsigned char* bytes) { return reinterpret_cast<const ByteArrayImage*>(bytes); }

struct ToTextRow {
    const char* what;
    Value value;
    std::string text;
};

// Date-time bytes: 年 C4EA, 月 D4C2, 日 C8D5, 时 CAB1, 分 B7D6, 秒 C3EB; 45000 is 2023-03-15.
const ToTextRow kToText[] = {
    // Texts are copied.
    {"a GBK text", Value::OfText("\xCC\xB4\xCF\xAA"), "\xCC\xB4\xCF\xAA"},  // 檀溪
    {"the empty text", Value::OfText(""), ""},
    {"an absent text", Value::OfText(nullptr), ""},
    // Numbers in decimal.
    {"a byte", Value::Byte(255), "255"},
    {"a short", Value::Short(-32768), "-32768"},
    {"an int", Value::Int(INT32_MIN), "-2147483648"},
    {"a long", Value::Long(-9007199254740993LL), "-9007199254740993"},
    {"a float's error hidden by six digits", Value::Float(0.1f), "0.1"},
    {"a float past six digits", Value::Float(1234567.0f), "1.23457e+06"},
    {"a double, 13 digits", Value::Double(1.0 / 3), "0.3333333333333"},
    {"a negative double", Value::Double(-2.5), "-2.5"},
    // Booleans in Chinese.
    {"true", Value::Bool(true), "\xD5\xE6"},    // 真
    {"false", Value::Bool(false), "\xBC\xD9"},  // 假
    // Date-times up to the last part that is not 0.
    {"a date", Value::DateTime(45000.0),
     "2023\xC4\xEA"
     "3\xD4\xC2"
     "15\xC8\xD5"},
    {"noon", Value::DateTime(45000.5), "2023年3月15日12时"},
    {"minutes", Value::DateTime(45000.0 + (13 * 60 + 5) / 1440.0), "2023年3月15日13时5分"},
    {"seconds", Value::DateTime(45000.0 + 7.0 / 86400), "2023年3月15日0时0分7秒"},
    {"day 0", Value::DateTime(0.0), "1899年12月30日"},
    // Before 1899-12-30 the whole part counts days back and the fraction is still the time of day.
    {"a day before day 0", Value::DateTime(-1.25), "1899年12月29日6时"},
    {"1900-02-27", Value::DateTime(59.0), "1900年2月27日"},
    {"1900-03-01", Value::DateTime(61.0), "1900年3月1日"},
    // A value a hair short of midnight rounds to the next day's midnight, not to "24时".
    {"a hair short of midnight", Value::DateTime(45000.999999999), "2023年3月16日"},
    // Arrays: their bytes up to the first zero.
    {"bytes with a zero", Value::OfBytes(ImageOf(kBytesWithZero)), "ab"},
    {"bytes without one", Value::OfBytes(ImageOf(kBytesWhole)), "xyz"},
    {"absent bytes", Value::OfBytes(nullptr), ""},
    {"ints", Value::OfNumericArray(ValueKind::Int, kInts, 2), "ABCDEF"},
    {"only the shorts given", Value::OfNumericArray(ValueKind::Short, kShorts, 1), "AB"},
    // Any other kind.
    {"no value", Value(), ""},
    {"another kind", Value::OfOther(), ""},
};

}  // namespace

TEST(ToText, GivesEveryRowItsText) {
    for (const ToTextRow& row : kToText) {
        const Text text = ToText(row.value);
        EXPECT_EQ(std::string(text.c_str()), row.text) << row.what;
        EXPECT_EQ(text.size(), row.text.size()) << row.what;
    }
}
