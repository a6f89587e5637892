// The packer's Windows file system (tools/host_files.h) and its UTF-16 names, on real files under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tools/app_tree_windows.h"
#include "tools/host_files.h"
#include "tools/payload_rules.h"
#include "tools/wide_names.h"

namespace {

std::string Hex(const std::string& bytes) {
    std::string out;
    char digits[3];
    for (const char c : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
        out += digits;
    }
    return out;
}

TEST(WideNames, KeepsALoneSurrogateAsBytesThatAreNoUtf8AndGivesItBack) {
    const std::wstring name = L"a\xD800z";  // a high surrogate with no low one after it
    const std::string narrow = widenames::Utf8FromWide(name);
    EXPECT_EQ(narrow, "a\xED\xA0\x80z");
    EXPECT_FALSE(payloadrules::IsUtf8(narrow));  // so the checks refuse it, as a Linux name that is no UTF-8
    std::wstring back;
    ASSERT_TRUE(widenames::WideFromUtf8(narrow, back));
    EXPECT_EQ(back, name);
}

TEST(WideNames, JoinsAPairAndRefusesThePairSpelledAsTwoHalves) {
    const std::wstring face = L"\xD83D\xDE00";  // U+1F600, a grinning face
    EXPECT_EQ(widenames::Utf8FromWide(face), "\xF0\x9F\x98\x80");
    std::wstring back;
    ASSERT_TRUE(widenames::WideFromUtf8("\xF0\x9F\x98\x80", back));
    EXPECT_EQ(back, face);
    // The same two units as two three-byte halves would be a second text for the same name.
    EXPECT_FALSE(widenames::WideFromUtf8("\xED\xA0\xBD\xED\xB8\x80", back));
    EXPECT_FALSE(widenames::WideFromUtf8("\xC0\xAF", back));  // an overlong "/"
    EXPECT_FALSE(widenames::WideFromUtf8("\xE4\xB8", back));  // a character cut short
}

// Measured over every character and every double-byte sequence, Windows' (Wine's) code page 936 and the
// Linux build's glibc table differ only in the private-use characters, which Windows spells in 936's
// user-defined rows: refused on both, so that both packers refuse the same names.
TEST(CodePage936, RefusesPrivateUseCharactersAsTheLinuxBuildDoes) {
    EXPECT_FALSE(payloadrules::Utf8ToAnsi("\xEE\x80\x80").has_value());  // U+E000, Windows' 0xAAA1
    EXPECT_FALSE(payloadrules::AnsiToUtf8("\xAA\xA1").has_value());
    EXPECT_FALSE(payloadrules::AnsiToUtf8("\xA1\x40").has_value());                // U+E4C6 on Windows
    EXPECT_EQ(payloadrules::Utf8ToAnsi("\xE6\xAA\x80").value_or(""), "\xCC\xB4");  // 檀
    EXPECT_EQ(payloadrules::AnsiToUtf8("\xCC\xB4").value_or(""), "\xE6\xAA\x80");
    EXPECT_EQ(payloadrules::Utf8ToAnsi("\xE2\x82\xAC").value_or(""), "\x80");  // the euro sign, one byte
}

// The arguments a started program reads are the ones given, whatever the quoting they need; the program
// echoes each as hexadecimal.
TEST(RunProgramCapture, HandsEveryArgumentOverWhole) {
    const std::vector<std::string> given = {"plain",
                                            "two words",
                                            "",
                                            "quote\"inside",
                                            "back\\slash\\",
                                            "ends in a backslash\\",
                                            "\\\\server\\share",
                                            "slashes before a quote\\\\\"",
                                            "tab\there",
                                            "\xE4\xB8\xAD\xE6\x96\x87 \xE5\x90\x8D",  // 中文 名
                                            "\xF0\x9F\x98\x80"};                      // U+1F600
    std::vector<std::string> command = {test::ProgramBeside("tools-app-tree-pack.exe"), "--echo"};
    command.insert(command.end(), given.begin(), given.end());
    std::string output;
    ASSERT_EQ(hostfiles::RunProgramCapture(command, output, false), 0);
    std::string expected;
    for (const std::string& argument : given)
        expected += Hex(argument) + "\n";
    std::string lines;
    for (const char c : output)
        if (c != '\r')
            lines += c;
    EXPECT_EQ(lines, expected);
}

TEST(RunProgramCapture, AnswersMinusOneForAProgramThatIsNotThere) {
    std::string output;
    EXPECT_EQ(hostfiles::RunProgramCapture({"no-such-program-of-kestrel"}, output, true), -1);
    test::TempFolder folder{"run"};
    EXPECT_EQ(hostfiles::RunProgram({folder / "missing.exe"}), -1);
}

class HostFilesTest : public ::testing::Test {
protected:
    test::TempFolder root_{"hostfiles"};
    std::string error_;
};

TEST_F(HostFilesTest, WriteNewRefusesAnExistingFileAndLeavesItsBytes) {
    const std::string path = root_ / "out.bin";
    ASSERT_TRUE(hostfiles::WriteNew(path, "first", error_)) << error_;
    EXPECT_FALSE(hostfiles::WriteNew(path, "second", error_));
    EXPECT_NE(error_.find("error 80"), std::string::npos) << error_;  // ERROR_FILE_EXISTS, in words
    std::string data;
    ASSERT_TRUE(hostfiles::ReadWhole(path, data, error_)) << error_;
    EXPECT_EQ(data, "first");
}

TEST_F(HostFilesTest, ReplaceMovesAFileOverAnotherAndRemoveFileTakesAMissingOneAsDone) {
    const std::string part = root_ / "out.part", out = root_ / "out.zip";
    ASSERT_TRUE(hostfiles::WriteNew(out, "old", error_)) << error_;
    ASSERT_TRUE(hostfiles::WriteNew(part, std::string(70000, 'n'), error_)) << error_;
    ASSERT_TRUE(hostfiles::Replace(part, out, error_)) << error_;
    std::string data;
    ASSERT_TRUE(hostfiles::ReadWhole(out, data, error_)) << error_;
    EXPECT_EQ(data, std::string(70000, 'n'));
    EXPECT_FALSE(test::Exists(part));
    EXPECT_TRUE(hostfiles::RemoveFile(out, error_)) << error_;
    EXPECT_FALSE(test::Exists(out));
    EXPECT_TRUE(hostfiles::RemoveFile(out, error_)) << error_;
    EXPECT_TRUE(hostfiles::RemoveFile(root_ / "no-folder\\file", error_)) << error_;
}

TEST_F(HostFilesTest, LookTellsKindsAndKnowsAFileByItselfNotByItsSpelling) {
    ASSERT_TRUE(hostfiles::WriteNew(root_ / "a.txt", "a", error_)) << error_;
    ASSERT_TRUE(hostfiles::WriteNew(root_ / "b.txt", "b", error_)) << error_;
    hostfiles::Kind kind{};
    hostfiles::Identity a, spelledOtherwise, b, folder;
    ASSERT_TRUE(hostfiles::Look(root_ / "a.txt", kind, a, error_)) << error_;
    EXPECT_EQ(kind, hostfiles::Kind::File);
    std::string slashes = root_.path() + "/./a.txt";
    ASSERT_TRUE(hostfiles::Look(slashes, kind, spelledOtherwise, error_)) << error_;
    EXPECT_EQ(a, spelledOtherwise);
    ASSERT_TRUE(hostfiles::Look(root_ / "b.txt", kind, b, error_)) << error_;
    EXPECT_FALSE(a == b);
    ASSERT_TRUE(hostfiles::Look(root_.path(), kind, folder, error_)) << error_;
    EXPECT_EQ(kind, hostfiles::Kind::Folder);
    ASSERT_TRUE(hostfiles::Look(root_ / "none\\here.txt", kind, folder, error_)) << error_;
    EXPECT_EQ(kind, hostfiles::Kind::Missing);
}

// A path past MAX_PATH opens as any other: the packer's output may lie deep in a build tree.
TEST_F(HostFilesTest, EveryOperationTakesAPathLongerThanMaxPath) {
    std::wstring wide = L"\\\\?\\" + test::Wide(root_.path());
    std::string deep = root_.path();
    for (int i = 0; i < 6; ++i) {
        const std::string part = "\\" + std::string(50, static_cast<char>('a' + i));
        deep += part;
        wide += test::Wide(part);
        ASSERT_TRUE(CreateDirectoryW(wide.c_str(), nullptr)) << GetLastError();
    }
    ASSERT_GT(deep.size(), 300u);
    const std::string file = deep + "\\\xE6\xB7\xB1.bin";  // 深
    ASSERT_TRUE(hostfiles::WriteNew(file + ".part", "deep", error_)) << error_;
    ASSERT_TRUE(hostfiles::Replace(file + ".part", file, error_)) << error_;
    std::string data;
    ASSERT_TRUE(hostfiles::ReadWhole(file, data, error_)) << error_;
    EXPECT_EQ(data, "deep");
    hostfiles::Kind kind{};
    hostfiles::Identity identity;
    ASSERT_TRUE(hostfiles::Look(file, kind, identity, error_)) << error_;
    EXPECT_EQ(kind, hostfiles::Kind::File);
    EXPECT_TRUE(hostfiles::RemoveFile(file, error_)) << error_;
    ASSERT_TRUE(hostfiles::Look(file, kind, identity, error_)) << error_;
    EXPECT_EQ(kind, hostfiles::Kind::Missing);
    // The temporary folder's removal works by ANSI path: leave it a short tree.
    for (int i = 5; i >= 0; --i) {
        EXPECT_TRUE(RemoveDirectoryW(wide.c_str())) << GetLastError();
        wide.resize(wide.rfind(L'\\'));
    }
}

// Wine makes none of these but the tagless link; the tags are Microsoft's documented ones (winnt.h's
// IO_REPARSE_TAG_*), and whether a tag is a name surrogate is its bit 29, as IsReparseTagNameSurrogate says.
TEST(IsLinkReparse, RefusesLinksAndReadsThroughOtherReparsePoints) {
    constexpr DWORD kReparse = FILE_ATTRIBUTE_REPARSE_POINT;
    EXPECT_TRUE(apptree::IsLinkReparse(kReparse | FILE_ATTRIBUTE_DIRECTORY, 0));  // Wine's Unix link to a folder
    EXPECT_TRUE(apptree::IsLinkReparse(kReparse, 0xA000000CUL));                  // a symbolic link
    EXPECT_TRUE(apptree::IsLinkReparse(kReparse | FILE_ATTRIBUTE_DIRECTORY, 0xA0000003UL));   // a junction
    EXPECT_TRUE(apptree::IsLinkReparse(kReparse, 0xA000001DUL));                              // a WSL symbolic link
    EXPECT_TRUE(apptree::IsLinkReparse(kReparse, apptree::kAppExecutionAlias));               // python.exe of the Store
    EXPECT_FALSE(apptree::IsLinkReparse(kReparse | FILE_ATTRIBUTE_DIRECTORY, 0x9000001AUL));  // a OneDrive folder
    EXPECT_FALSE(apptree::IsLinkReparse(kReparse, 0x9000601AUL));                             // a OneDrive file
    EXPECT_FALSE(apptree::IsLinkReparse(kReparse, 0x80000013UL));                             // a deduplicated file
    EXPECT_FALSE(apptree::IsLinkReparse(kReparse, 0x80000017UL));                             // a WOF-compressed file
    EXPECT_FALSE(apptree::IsLinkReparse(FILE_ATTRIBUTE_ARCHIVE, 0xA000000CUL));               // no reparse point at all
}

TEST(ProgramFolder, IsTheFolderOfTheRunningProgram) {
    std::string folder = test::ProgramFolder();  // with its trailing backslash
    folder.pop_back();
    EXPECT_EQ(hostfiles::ProgramFolder(), folder);
}

}  // namespace
