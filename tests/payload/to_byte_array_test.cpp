#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "base/memory.h"
#include "base/value.h"
#include "payload/bytes.h"

namespace {

std::string BytesOf(const ByteArray& array) {
    if (array.absent())
        return {};
    return std::string(reinterpret_cast<const char*>(array.image()->bytes()), array.size());
}

// Checks the one image of a heap array: dimension count 1, then the length, then the bytes.
void ExpectArray(const ByteArray& array, const std::string& expected) {
    ASSERT_FALSE(array.absent());
    EXPECT_EQ(array.image()->dimensions, 1);
    EXPECT_EQ(array.image()->length, static_cast<std::int32_t>(expected.size()));
    EXPECT_EQ(BytesOf(array), expected);
}

TEST(ToByteArray, CopiesAHeapArrayIntoFreshStorage) {
    ByteArray source = ByteArray::Allocate(5);
    std::memcpy(source.bytes(), "a\0b\xFFz", 5);
    ByteArray copy = ToByteArray(Value::OfBytes(source.image()));
    ExpectArray(copy, std::string("a\0b\xFFz", 5));
    EXPECT_NE(copy.image(), source.image());
    copy = ByteArray();  // releasing the copy leaves the source as it was
    EXPECT_EQ(std::memcmp(source.bytes(), "a\0b\xFFz", 5), 0);
}

TEST(ToByteArray, GivesTheAbsentArrayForEveryEmptyResult) {
    EXPECT_TRUE(ToByteArray(Value::OfBytes(&EmptyByteArray)).absent());
    EXPECT_TRUE(ToByteArray(Value::OfBytes(nullptr)).absent());
    EXPECT_TRUE(ToByteArray(Value::OfText("")).absent());
    EXPECT_TRUE(ToByteArray(Value::OfText(nullptr)).absent());
    std::int32_t none[1] = {7};
    EXPECT_TRUE(ToByteArray(Value::OfNumericArray(ValueKind::Int, none, 0)).absent());
}

TEST(ToByteArray, TakesATextsBytesWithoutItsTerminator) {
    // "\xCC\xB4\xCF\xAA" is 檀溪 in GBK.
    ExpectArray(ToByteArray(Value::OfText("\xCC\xB4\xCF\xAA.zip")), "\xCC\xB4\xCF\xAA.zip");
}

TEST(ToByteArray, GivesEachNumberItsOwnLittleEndianBytes) {
    ExpectArray(ToByteArray(Value::Byte(0xAB)), "\xAB");
    ExpectArray(ToByteArray(Value::Short(-2)), "\xFE\xFF");
    ExpectArray(ToByteArray(Value::Int(0x12345678)), "\x78\x56\x34\x12");
    ExpectArray(ToByteArray(Value::Long(0x0102030405060708LL)), "\x08\x07\x06\x05\x04\x03\x02\x01");
    ExpectArray(ToByteArray(Value::Float(1.5f)), std::string("\0\0\xC0\x3F", 4));
    ExpectArray(ToByteArray(Value::Double(-2.0)), std::string("\0\0\0\0\0\0\0\xC0", 8));
    // A zero is still its bytes, not an empty result.
    ExpectArray(ToByteArray(Value::Int(0)), std::string(4, '\0'));
    ExpectArray(ToByteArray(Value::Byte(0)), std::string(1, '\0'));
}

TEST(ToByteArray, GivesABooleanFourBytesAndADateTimeEight) {
    ExpectArray(ToByteArray(Value::Bool(true)), std::string("\x01\0\0\0", 4));
    ExpectArray(ToByteArray(Value::Bool(false)), std::string(4, '\0'));
    // 2024-01-01 00:00 is day 45292 of the date value; half past noon adds 0.5208333…: the double
    // 0x40E61D90AAAAAAA6, low byte first.
    ExpectArray(ToByteArray(Value::DateTime(45292.5208333333)), std::string("\xA6\xAA\xAA\xAA\x90\x1D\xE6\x40", 8));
}

TEST(ToByteArray, TakesANumericArraysElementsInIndexOrder) {
    std::int16_t shorts[3] = {1, -1, 0x1234};
    ExpectArray(ToByteArray(Value::OfNumericArray(ValueKind::Short, shorts, 3)),
                std::string("\x01\x00\xFF\xFF\x34\x12", 6));
    double doubles[2] = {1.0, 0.5};  // 0x3FF0000000000000 and 0x3FE0000000000000
    ExpectArray(ToByteArray(Value::OfNumericArray(ValueKind::Double, doubles, 2)),
                std::string("\0\0\0\0\0\0\xF0\x3F\0\0\0\0\0\0\xE0\x3F", 16));
    std::int32_t booleans[2] = {1, 0};  // a boolean element is 4 bytes
    ExpectArray(ToByteArray(Value::OfNumericArray(ValueKind::Bool, booleans, 2)), std::string("\x01\0\0\0\0\0\0\0", 8));
}

TEST(ToByteArray, GivesTheAbsentArrayForOtherKinds) {
    EXPECT_TRUE(ToByteArray(Value::OfOther()).absent());
    EXPECT_TRUE(ToByteArray(Value()).absent());
    const char* texts[1] = {"x"};
    EXPECT_TRUE(ToByteArray(Value::OfNumericArray(ValueKind::Text, texts, 1)).absent());
}

}  // namespace
