// ProcessExists in-process: the watch's one question, asked of the real process list under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "launcher/watch.h"
#include "tests/support/test_support.h"

namespace {

std::string OwnExeName() {
    std::string path = test::ProgramBeside("launcher_program_tests.exe");
    return path.substr(path.find_last_of('\\') + 1);
}

TEST(ProcessExists, FindsARunningProgramByItsNameInAnyLetterCase) {
    std::string name = OwnExeName();
    EXPECT_TRUE(ProcessExists(name.c_str()));
    CharUpperBuffA(name.data(), static_cast<DWORD>(name.size()));
    EXPECT_TRUE(ProcessExists(name.c_str()));
    CharLowerBuffA(name.data(), static_cast<DWORD>(name.size()));
    EXPECT_TRUE(ProcessExists(name.c_str()));
}

TEST(ProcessExists, AnswersFalseForANameNoProcessHasNorAPartOfOne) {
    EXPECT_FALSE(ProcessExists("kestrel-no-such-program.exe"));
    EXPECT_FALSE(ProcessExists(""));
    // A prefix of a running program's name is not its name.
    const std::string name = OwnExeName();
    EXPECT_FALSE(ProcessExists(name.substr(0, name.size() - 4).c_str()));
}

TEST(ProcessExists, SeesAProgramFromAnyFolderWhileItRunsAndNotOnceItHasEnded) {
    test::TempFolder folder("exists");
    const std::string program = folder / "Velkar.exe";
    ASSERT_TRUE(CopyFileA(test::ProgramBeside("recording_app.exe").c_str(), program.c_str(), FALSE));
    ASSERT_FALSE(ProcessExists("VELKAR.EXE")) << "another Velkar.exe runs in the prefix";
    test::Child child = test::Child::Start("\"" + program + "\"", folder.path());
    ASSERT_TRUE(child.started());
    EXPECT_TRUE(ProcessExists("VELKAR.EXE"));
    child.Kill();
    ASSERT_TRUE(child.Wait(5000));
    EXPECT_FALSE(ProcessExists("Velkar.exe"));
}

}  // namespace
