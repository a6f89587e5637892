// The rules for entry names: every rule once, on both sides of its boundary, with GBK lead bytes.
#include <gtest/gtest.h>

#include <string>

#include "payload/entry_names.h"

namespace {

struct NameRow {
    std::string name;
    NameRule rule;
    std::size_t at;
};

void PrintTo(const NameRow& row, std::ostream* out) { *out << '"' << row.name << '"'; }

class EntryNameRules : public ::testing::TestWithParam<NameRow> {};

TEST_P(EntryNameRules, GiveTheFirstRuleBrokenAndWhere) {
    const NameRow& row = GetParam();
    const NameVerdict verdict = CheckEntryName(row.name.data(), row.name.size(), IsGbkLeadByte);
    EXPECT_EQ(static_cast<int>(verdict.rule), static_cast<int>(row.rule)) << NameRuleText(verdict.rule);
    if (row.rule != NameRule::Accepted) {
        EXPECT_EQ(verdict.at, row.at);
    }
    EXPECT_EQ(verdict.accepted(), row.rule == NameRule::Accepted);
}

using R = NameRule;
// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, EntryNameRules, ::testing::Values(
    // Accepted: the payload's kind of names, dots inside, odd but harmless separators.
    NameRow{"Velkar/Velkar.exe", R::Accepted, 0}, NameRow{"Velkar/", R::Accepted, 0},
    NameRow{"a..b/..c/.d", R::Accepted, 0}, NameRow{"a\\b/c\\", R::Accepted, 0},
    NameRow{"CONFIG.SYS", R::Accepted, 0}, NameRow{"COM10", R::Accepted, 0}, NameRow{"LPT", R::Accepted, 0},
    NameRow{"CONSOLE.txt", R::Accepted, 0}, NameRow{" lead space", R::Accepted, 0},
    NameRow{"del\x7F", R::Accepted, 0},
    // "\xD5\x5C" is one character (a trail byte 0x5C), "\xA1\x7C" one whose trail byte is "|".
    NameRow{"\xD5\x5C", R::Accepted, 0}, NameRow{"\xA1\x7C.txt", R::Accepted, 0},
    NameRow{"docs/\xCB\xB5\xC3\xF7.txt", R::Accepted, 0},  // 说明
    NameRow{std::string(259, 'n'), R::Accepted, 0},
    // Refused, one row per rule (and per spelling where Windows differs).
    NameRow{"", R::Empty, 0}, NameRow{std::string(260, 'n'), R::TooLong, 259},
    NameRow{"/x", R::Rooted, 0}, NameRow{"\\x", R::Rooted, 0},
    NameRow{"C:/x", R::Colon, 1}, NameRow{"C:x", R::Colon, 1}, NameRow{"x.txt:stream", R::Colon, 5},
    NameRow{"../x", R::ParentFolder, 0}, NameRow{"a/../../x", R::ParentFolder, 2},
    NameRow{"a\\..\\x", R::ParentFolder, 2}, NameRow{"..", R::ParentFolder, 0},
    NameRow{"Velkar/Velkar.exe.", R::TrailingDotOrSpace, 7}, NameRow{"Velkar /x", R::TrailingDotOrSpace, 0},
    NameRow{"a/./b", R::TrailingDotOrSpace, 2}, NameRow{"d../x", R::TrailingDotOrSpace, 0},
    NameRow{"space ", R::TrailingDotOrSpace, 0}, NameRow{"first.txt.", R::TrailingDotOrSpace, 0},
    NameRow{std::string("a\0b", 3), R::ControlByte, 1}, NameRow{"tab\tname", R::ControlByte, 3},
    NameRow{"x\x1F", R::ControlByte, 1},
    // Two separators in a row land where one does ("Velkar//lib.dll" is "Velkar/lib.dll" on disk), in
    // either spelling; only a folder's name ends in one.
    NameRow{"Velkar//lib.dll", R::EmptyComponent, 7}, NameRow{"a\\/b", R::EmptyComponent, 2},
    NameRow{"a/b//", R::EmptyComponent, 4}, NameRow{"\xD5\x5C//x", R::EmptyComponent, 3},
    NameRow{"a<b", R::ReservedCharacter, 1}, NameRow{"a>b", R::ReservedCharacter, 1},
    NameRow{"\"q\"", R::ReservedCharacter, 0}, NameRow{"a|b", R::ReservedCharacter, 1},
    NameRow{"a?b", R::ReservedCharacter, 1}, NameRow{"a*b", R::ReservedCharacter, 1},
    NameRow{"CON", R::DeviceName, 0}, NameRow{"nul.txt", R::DeviceName, 0}, NameRow{"a/Aux/b", R::DeviceName, 2},
    NameRow{"prn .txt", R::DeviceName, 0}, NameRow{"conout$", R::DeviceName, 0},
    NameRow{"COM0", R::DeviceName, 0}, NameRow{"lpt0.log", R::DeviceName, 0}, NameRow{"sub/COM9", R::DeviceName, 4},
    NameRow{"LPT9", R::DeviceName, 0}, NameRow{"sub/COM1.log", R::DeviceName, 4},
    // A lead byte at the end or before a byte below 0x40; "COM\xB9" is no device under GBK, where
    // 0xB9 (a superscript 1 in the Western code page) is a lead byte.
    NameRow{"\xD5", R::BrokenCharacter, 0}, NameRow{"\xD5/x", R::BrokenCharacter, 0},
    NameRow{"a\x81\x20", R::BrokenCharacter, 1}, NameRow{"COM\xB9", R::BrokenCharacter, 3}));
// clang-format on

TEST(EntryNameRules, TakeSuperscriptDigitsAsDevicesInASingleByteCodePage) {
    const auto noLeadBytes = [](unsigned char) { return false; };
    for (const char* name : {"COM\xB9", "lpt\xB2.txt", "COM\xB3"})
        EXPECT_EQ(static_cast<int>(CheckEntryName(name, std::char_traits<char>::length(name), noLeadBytes).rule),
                  static_cast<int>(NameRule::DeviceName))
            << name;
}

TEST(EntryNameRules, ReadTheNameByItsLengthNotUpToAZero) {
    const char name[] = "ok.txt\0../x";
    EXPECT_TRUE(CheckEntryName(name, 6, IsGbkLeadByte).accepted());
    EXPECT_EQ(static_cast<int>(CheckEntryName(name, sizeof name - 1, IsGbkLeadByte).rule),
              static_cast<int>(NameRule::ControlByte));
}

}  // namespace
