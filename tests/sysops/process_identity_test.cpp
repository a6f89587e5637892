// Which program runs from a folder, by the file and not by the text of its path: programs started
// through another spelling of their folder (the 8.3 alias Wine makes for a long name) under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "sysops/processes.h"
#include "tests/support/test_support.h"

namespace {

WideText WideTextOf(const std::string& ansi) { return WideFromAnsi(ansi.c_str()); }

std::string ShortPathOf(const std::string& path) {
    char buffer[MAX_PATH] = "";
    const DWORD length = GetShortPathNameA(path.c_str(), buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(buffer, length) : std::string();
}

// Two folders whose long names differ only at their end, and so whose 8.3 aliases look alike
// ("VELKAR~1", "VELKAR~2" or Wine's hashed kind): the idle windowed child copied into each as
// Velkar.exe and started through the folder's alias.
class ShortSpelling : public testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 2; ++i) {
            folders_[i] = root_ / (i == 0 ? "Velkar Application Tree" : "Velkar Application Tree Two");
            ASSERT_TRUE(CreateDirectoryA(folders_[i].c_str(), nullptr));
            const std::string program = folders_[i] + "\\Velkar.exe";
            ASSERT_TRUE(CopyFileA(test::ProgramBeside("sysops_window_child.exe").c_str(), program.c_str(), FALSE));
            shortFolders_[i] = ShortPathOf(folders_[i]);
            ASSERT_FALSE(shortFolders_[i].empty());
            ASSERT_NE(shortFolders_[i], folders_[i]) << "the file system gave no 8.3 alias";
            children_[i] = test::Child::Start(test::Quoted(shortFolders_[i] + "\\Velkar.exe"));
            ASSERT_TRUE(children_[i].started());
        }
        ASSERT_TRUE(ListProcesses(list_));
    }
    void TearDown() override {
        for (test::Child& child : children_)
            child.Kill();
    }
    test::TempFolder root_{"ident"};
    std::string folders_[2], shortFolders_[2];
    test::Child children_[2];
    ProcessList list_;
};

// Wine reports a program's image by its long path whatever spelling started it, so there the folder named
// by its alias is the spelling whose text differs; either way the folder is the same.
TEST_F(ShortSpelling, AProgramStartedThroughTheFoldersAliasRunsFromTheFolderByEitherSpelling) {
    WideText image;
    EXPECT_TRUE(ListedProcessRunsFrom(list_, WideTextOf(folders_[0]).c_str(), true, &image));
    EXPECT_TRUE(ListedProcessRunsFrom(list_, WideTextOf(shortFolders_[0]).c_str(), true));
    bool found = false;
    EXPECT_TRUE(AnyProcessRunsFrom(WideTextOf(folders_[0] + "\\Velkar.exe").c_str(), false, found));
    EXPECT_TRUE(found) << "the program file itself, named by its long path";
    // The image found is one of the two children's, in whatever spelling the system reports it.
    bool sameFile = false;
    EXPECT_TRUE(AnyProcessRunsFrom(image.c_str(), false, sameFile));
    EXPECT_TRUE(sameFile);
}

TEST_F(ShortSpelling, AProgramOfALookAlikeFolderDoesNotRunFromIt) {
    children_[0].Kill();
    ASSERT_TRUE(children_[0].Wait(30000));
    ProcessList list;
    ASSERT_TRUE(ListProcesses(list));
    // Only the second child runs: from "... Tree Two", whose name and alias begin as the first's do.
    EXPECT_FALSE(ListedProcessRunsFrom(list, WideTextOf(folders_[0]).c_str(), true));
    EXPECT_FALSE(ListedProcessRunsFrom(list, WideTextOf(shortFolders_[0]).c_str(), true));
    EXPECT_FALSE(ListedProcessRunsFrom(list, WideTextOf(folders_[0] + "\\Velkar.exe").c_str(), false));
    EXPECT_TRUE(ListedProcessRunsFrom(list, WideTextOf(folders_[1]).c_str(), true));
    // Below its folder, not the folder itself: the folder is no program file.
    EXPECT_FALSE(ListedProcessRunsFrom(list, WideTextOf(folders_[1]).c_str(), false));
}

// A copy of a program is another file: the same bytes, name and folder name elsewhere do not count.
TEST_F(ShortSpelling, ACopyOfTheProgramElsewhereIsAnotherFile) {
    test::TempFolder other("ident-copy");
    const std::string copy = other / "Velkar.exe";
    ASSERT_TRUE(CopyFileA((folders_[0] + "\\Velkar.exe").c_str(), copy.c_str(), FALSE));
    EXPECT_FALSE(ListedProcessRunsFrom(list_, WideTextOf(copy).c_str(), false));
    EXPECT_FALSE(ListedProcessRunsFrom(list_, WideTextOf(other.path()).c_str(), true));
}

}  // namespace
