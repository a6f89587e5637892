// launcher.exe doing its whole job from a folder that holds libraries named like the system's own, as a
// Downloads folder may: none of them may run inside it.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/owners.h"
#include "tests/support/test_support.h"

namespace {

// Generous: the demo application stays five seconds, and 32-bit Wine may run emulated.
constexpr DWORD kRunWait = 180000;

// The libraries Wine loads into the launcher after its first instruction, as WINEDEBUG=+loaddll shows
// them: OleInitialize's (ole32 with combase and rpcrt4), the window's theme (uxtheme, loaded by user32)
// and the shell's folder look-up (shell32 with shlwapi and shcore, whose planted copy once ran). The
// libraries of the import table and their own imports are loaded before any of the program's code;
// Windows takes those from its known DLLs (docs/reliability.md).
constexpr const char* kPlanted[] = {"ole32.dll",   "combase.dll", "rpcrt4.dll", "uxtheme.dll",
                                    "shell32.dll", "shlwapi.dll", "shcore.dll"};

class PlantedLibraries : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryA(appData_.c_str(), nullptr));
        ASSERT_TRUE(CopyFileA(test::ProgramBeside("launcher.exe").c_str(), launcher_.c_str(), FALSE));
        for (const char* name : kPlanted)
            ASSERT_TRUE(CopyFileA(test::ProgramBeside("planted_marker.dll").c_str(), (folder_ / name).c_str(), FALSE));
    }
    test::TempFolder folder_{"plantlib"};
    std::string appData_ = folder_ / "appdata";
    std::string launcher_ = folder_ / "launcher.exe";
};

// The marker is real: a copy loaded by its full path leaves its note.
TEST_F(PlantedLibraries, LeaveTheirNoteWhenLoadedByTheirPath) {
    const std::string path = folder_ / "kestrel_marker.dll";
    ASSERT_TRUE(CopyFileA(test::ProgramBeside("planted_marker.dll").c_str(), path.c_str(), FALSE));
    ModuleHandle loaded{LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)};
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(test::Exists(path + ".ran"));
}

TEST_F(PlantedLibraries, NeverRunWhileTheLauncherInstallsStartsWatchesAndCleansUp) {
    test::AppDataRedirection redirection(appData_);
    ASSERT_EQ(test::ShellAppData(), appData_) << "the prefix did not take the redirection";
    test::Child child = test::Child::Start(test::Quoted(launcher_), folder_.path());
    ASSERT_TRUE(child.started());
    DWORD exitCode = 1;
    if (!child.Wait(kRunWait, &exitCode))
        child.Kill();
    EXPECT_EQ(exitCode, 0u);
    // The whole job was done: the application ran from the tree, and the tree is gone again.
    EXPECT_TRUE(test::IsFolder(appData_ + "\\Kestrelworks"));
    EXPECT_FALSE(test::Exists(appData_ + "\\Kestrelworks\\Velkar"));
    for (const char* name : kPlanted)
        EXPECT_FALSE(test::Exists(folder_ / name + ".ran")) << "the planted " << name << " ran in the launcher";
}

}  // namespace
