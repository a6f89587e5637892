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

// Every library Wine loads into the launcher, as WINEDEBUG=+loaddll shows them, but kernel32, kernelbase and
// ntdll, which Wine never takes from a file of the program's folder: the import table's msvcrt; user32's,
// gdi32's and advapi32's with their own imports (version, imm32, zlib1, win32u, sechost, ucrtbase);
// OleInitialize's (ole32, combase, rpcrt4); the window's theme (uxtheme); the shell's folder look-up
// (shell32, shlwapi, and shcore, whose planted copy once ran).
constexpr const char* kPlanted[] = {"msvcrt.dll",  "user32.dll",  "gdi32.dll",  "advapi32.dll", "version.dll",
                                    "imm32.dll",   "zlib1.dll",   "win32u.dll", "sechost.dll",  "ucrtbase.dll",
                                    "ole32.dll",   "combase.dll", "rpcrt4.dll", "uxtheme.dll",  "shell32.dll",
                                    "shlwapi.dll", "shcore.dll"};

class PlantedLibraries : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CopyFileA(test::ProgramBeside("launcher.exe").c_str(), launcher_.c_str(), FALSE));
        for (const char* name : kPlanted)
            ASSERT_TRUE(CopyFileA(test::ProgramBeside("planted_marker.dll").c_str(), (folder_ / name).c_str(), FALSE));
    }
    test::TempFolder folder_{"plantlib"};
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
    test::Child child = test::Child::Start(test::Quoted(launcher_), folder_.path());
    ASSERT_TRUE(child.started());
    DWORD exitCode = 1;
    if (!child.Wait(kRunWait, &exitCode))
        child.Kill();
    EXPECT_EQ(exitCode, 0u);
    // The whole job was done: the tree was installed, and is gone again. (The application-data folder is
    // the prefix's own: a redirection would outlive a test program that dies under qemu.)
    EXPECT_TRUE(test::IsFolder(test::ShellAppData() + "\\Kestrelworks"));
    EXPECT_FALSE(test::Exists(test::ShellAppData() + "\\Kestrelworks\\Velkar"));
    for (const char* name : kPlanted)
        EXPECT_FALSE(test::Exists(folder_ / name + ".ran")) << "the planted " << name << " ran in the launcher";
}

}  // namespace
