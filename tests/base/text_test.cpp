#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>

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

TEST(JoinWide, JoinsTwoWideTextsWithExactLengthAndTreatsNullAsEmpty) {
    // A name the ANSI code page cannot spell (Korean) stays as it is.
    WideText joined = JoinWide(L"C:\\Users\\\xD55C\\", L"Kestrelworks\\");
    EXPECT_STREQ(joined.c_str(), L"C:\\Users\\\xD55C\\Kestrelworks\\");
    EXPECT_EQ(joined.size(), std::wcslen(L"C:\\Users\\\xD55C\\Kestrelworks\\"));
    EXPECT_STREQ(JoinWide(nullptr, L"Velkar").c_str(), L"Velkar");
    WideText empty = JoinWide(L"", nullptr);
    EXPECT_FALSE(empty.absent());
    EXPECT_STREQ(empty.c_str(), L"");
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

TEST(WideFromAnsi, ConvertsOnceAndRefusesAnUnfinishedDoubleByteCharacter) {
    EXPECT_EQ(std::wstring(WideFromAnsi("\xCC\xB4\xCF\xAA").c_str()), L"\x6A80\x6EAA");  // 檀溪
    EXPECT_EQ(std::wstring(WideFromAnsi("\xD5\x5C").c_str()), L"\x8AA0");                // 誠: its trail byte is 0x5C
    EXPECT_TRUE(WideFromAnsi("a\xCC").absent());                                         // a lead byte alone at the end
    EXPECT_FALSE(WideFromAnsi("").absent());
    EXPECT_FALSE(WideFromAnsi(nullptr).absent());
}

// What AnsiFromWide gives under code page 936, exactly and with marks; null: absent.
struct SpellingRow {
    const char* what;
    const wchar_t* wide;
    const char* exact;
    const char* marked;
};
const SpellingRow kSpellings[] = {
    {"ASCII", L"Velkar\\Velkar.exe", "Velkar\\Velkar.exe", "Velkar\\Velkar.exe"},
    // 檀溪誠: 誠 is D5 5C, its trail byte the backslash's.
    {"GBK", L"\x6A80\x6EAA\x8AA0", "\xCC\xB4\xCF\xAA\xD5\x5C", "\xCC\xB4\xCF\xAA\xD5\x5C"},
    // The fullwidth backslash (U+FF3C) has a spelling of its own in GBK, A3 DC: never "\".
    {"fullwidth backslash", L"x\xFF3C..", "x\xA3\xDC..", "x\xA3\xDC.."},
    // ł (U+0142) has no GBK spelling; its best-fit look-alike would be "l".
    {"l with stroke", L"Pawe\x0142", nullptr, "Pawe?"},
    {"Korean", L"\xD55C.txt", nullptr, "?.txt"},  // 한
    {"empty", L"", "", ""},
};

TEST(AnsiFromWide, SpellsExactlyOrFailsOrMarksWhatTheCodePageLacks) {
    if (GetACP() != 936)
        GTEST_SKIP() << "the rows are spelt for code page 936";
    for (const SpellingRow& row : kSpellings) {
        SetLastError(NO_ERROR);
        const Text exact = AnsiFromWide(row.wide, Unspellable::Fails);
        if (row.exact) {
            EXPECT_STREQ(exact.c_str(), row.exact) << row.what;
            EXPECT_FALSE(exact.absent()) << row.what;
        } else {
            EXPECT_TRUE(exact.absent()) << row.what;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION)) << row.what;
        }
        EXPECT_STREQ(AnsiFromWide(row.wide, Unspellable::BecomesMark).c_str(), row.marked) << row.what;
    }
    EXPECT_FALSE(AnsiFromWide(nullptr, Unspellable::Fails).absent());
    // Outside the BMP (an emoji as a surrogate pair): no spelling, and no half of one.
    EXPECT_TRUE(AnsiFromWide(L"\xD83D\xDE00", Unspellable::Fails).absent());
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

// Writable data lies between the read-only sections (.data and .bss between .rdata and the resources):
// it is never constant, so a release there would not be silently skipped.
int writableData = 1;
int zeroedData;

TEST(Release, CountsNoWritableSectionAsConstant) {
    EXPECT_FALSE(InConstantRange(&writableData));
    EXPECT_FALSE(InConstantRange(&zeroedData));
    EXPECT_TRUE(InConstantRange(kConstant));
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
