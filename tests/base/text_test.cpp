#include <gtest/gtest.h>

#include <cstring>

#include "base/memory.h"
#include "base/text.h"
#include "base/value.h"

namespace {

const char kConstant[] = "Kestrelworks";

TEST(Text, AbsentTextReadsAsEmptyAndTakesNoStorage) {
    Text t;
    EXPECT_TRUE(t.absent());
    EXPECT_STREQ(t.c_str(), "");
    EXPECT_EQ(t.size(), 0u);
}

TEST(JoinText, JoinsTwoTextsWithExactLengthAndTreatsNullAsEmpty) {
    Text joined = JoinText("C:\\Users\\Ann\\", "Kestrelworks\\");
    EXPECT_STREQ(joined.c_str(), "C:\\Users\\Ann\\Kestrelworks\\");
    EXPECT_EQ(joined.size(), std::strlen("C:\\Users\\Ann\\Kestrelworks\\"));
    EXPECT_STREQ(JoinText(nullptr, "Velkar").c_str(), "Velkar");
    Text empty = JoinText("", nullptr);
    EXPECT_FALSE(empty.absent());
    EXPECT_STREQ(empty.c_str(), "");
}

TEST(Text, MovingHandsOverOwnershipOnce) {
    Text a = Text::Copy("abc");
    Text b = std::move(a);
    EXPECT_TRUE(a.absent());
    EXPECT_STREQ(b.c_str(), "abc");
    b = Text::Copy("xyz");  // the old value is released first
    EXPECT_STREQ(b.c_str(), "xyz");
}

TEST(FindLastBackslash, PassesOverATrailByteThatIsABackslash) {
    // "\xD5\x5C" is the GBK character 誠: its trail byte is 0x5C.
    const char path[] = "C:\\a\\\xD5\x5C";
    const char* last = FindLastBackslash(path);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last - path, 4);
    EXPECT_EQ(LastChar(path) - path, 5);
    EXPECT_EQ(FindLastBackslash("no separator"), nullptr);
}

TEST(Release, IgnoresNullAndConstants) {
    Release(nullptr);
    Release(kConstant);  // a constant may stand where a released value is expected
    Release("literal");
    EXPECT_TRUE(InConstantRange(kConstant));
    void* block = Allocate(16);
    EXPECT_FALSE(InConstantRange(block));
    Release(block);
}

TEST(ByteArray, AllocatesHeaderAndLengthInOneBlock) {
    ByteArray array = ByteArray::Allocate(5);
    EXPECT_EQ(array.image()->dimensions, 1);
    EXPECT_EQ(array.size(), 5);
    EXPECT_EQ(array.bytes(), reinterpret_cast<const unsigned char*>(array.image()) + 8);
    ByteArray absent;
    EXPECT_EQ(absent.image(), &EmptyByteArray);
    EXPECT_EQ(EmptyByteArray.length, 0);
}

}  // namespace
