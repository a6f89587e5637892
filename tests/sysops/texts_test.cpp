// CompareText and ToText on ASCII and GBK texts (the test runs in code page 936).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "sysops/texts.h"

namespace {

int Sign(std::int32_t v) { return (v > 0) - (v < 0); }

std::string TextOf(const Value& value) { return ToText(value).c_str(); }

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

TEST(ToText, CopiesTexts) {
    Text copy = ToText(Value::OfText("\xCC\xB4\xCF\xAA"));  // 檀溪
    EXPECT_STREQ(copy.c_str(), "\xCC\xB4\xCF\xAA");
    EXPECT_TRUE(ToText(Value::OfText("")).empty());
    EXPECT_TRUE(ToText(Value::OfText(nullptr)).empty());
}

TEST(ToText, WritesNumbersInDecimal) {
    EXPECT_EQ(TextOf(Value::Byte(255)), "255");
    EXPECT_EQ(TextOf(Value::Short(-32768)), "-32768");
    EXPECT_EQ(TextOf(Value::Int(INT32_MIN)), "-2147483648");
    EXPECT_EQ(TextOf(Value::Long(-9007199254740993LL)), "-9007199254740993");
    EXPECT_EQ(TextOf(Value::Float(0.1f)), "0.1");  // six significant digits hide the float's error
    EXPECT_EQ(TextOf(Value::Float(1234567.0f)), "1.23457e+06");
    EXPECT_EQ(TextOf(Value::Double(1.0 / 3)), "0.3333333333333");
    EXPECT_EQ(TextOf(Value::Double(-2.5)), "-2.5");
}

TEST(ToText, WritesBooleansInChinese) {
    EXPECT_EQ(TextOf(Value::Bool(true)), "\xD5\xE6");   // 真
    EXPECT_EQ(TextOf(Value::Bool(false)), "\xBC\xD9");  // 假
}

TEST(ToText, WritesDateTimesUpToTheLastPartThatIsNotZero) {
    // 45000 is 2023-03-15. Bytes: 年 C4EA, 月 D4C2, 日 C8D5, 时 CAB1, 分 B7D6, 秒 C3EB.
    EXPECT_EQ(TextOf(Value::DateTime(45000.0)),
              "2023\xC4\xEA"
              "3\xD4\xC2"
              "15\xC8\xD5");
    EXPECT_EQ(TextOf(Value::DateTime(45000.5)), "2023年3月15日12时");
    EXPECT_EQ(TextOf(Value::DateTime(45000.0 + (13 * 60 + 5) / 1440.0)), "2023年3月15日13时5分");
    EXPECT_EQ(TextOf(Value::DateTime(45000.0 + 7.0 / 86400)), "2023年3月15日0时0分7秒");
    EXPECT_EQ(TextOf(Value::DateTime(0.0)), "1899年12月30日");
    // Before 1899-12-30 the whole part counts days back and the fraction is still the time of day.
    EXPECT_EQ(TextOf(Value::DateTime(-1.25)), "1899年12月29日6时");
    EXPECT_EQ(TextOf(Value::DateTime(59.0)), "1900年2月27日");
    EXPECT_EQ(TextOf(Value::DateTime(61.0)), "1900年3月1日");
    // A value a hair short of midnight rounds to the next day's midnight, not to "24时".
    EXPECT_EQ(TextOf(Value::DateTime(45000.999999999)), "2023年3月16日");
}

TEST(ToText, TakesArrayBytesUpToTheFirstZero) {
    unsigned char image[8 + 5] = {1, 0, 0, 0, 5, 0, 0, 0, 'a', 'b', 0, 'c', 'd'};
    EXPECT_EQ(TextOf(Value::OfBytes(reinterpret_cast<const ByteArrayImage*>(image))), "ab");
    unsigned char whole[8 + 3] = {1, 0, 0, 0, 3, 0, 0, 0, 'x', 'y', 'z'};
    EXPECT_EQ(TextOf(Value::OfBytes(reinterpret_cast<const ByteArrayImage*>(whole))), "xyz");
    EXPECT_TRUE(ToText(Value::OfBytes(nullptr)).empty());

    std::int32_t numbers[2] = {0x44434241, 0x00004645};  // "ABCD" "EF\0\0", little-endian
    EXPECT_EQ(TextOf(Value::OfNumericArray(ValueKind::Int, numbers, 2)), "ABCDEF");
    std::int16_t shorts[2] = {0x4241, 0x4443};
    EXPECT_EQ(TextOf(Value::OfNumericArray(ValueKind::Short, shorts, 1)), "AB");  // only the elements given
}

TEST(ToText, GivesTheEmptyTextForOtherKinds) {
    EXPECT_TRUE(ToText(Value()).empty());
    EXPECT_TRUE(ToText(Value::OfOther()).empty());
}
