// The file-system redirection of a 32-bit program. Under WoW64 (the 64-bit prefix, as on nearly every
// user's Windows) a marker put only into the 32-bit system folder (syswow64) is what the program sees
// as C:\windows\system32\<marker> while the redirection of its thread is on, and is not seen while it is
// off. In the 32-bit prefix there is no redirection: the marker goes into the system folder itself, and
// switching the redirection off fails and changes nothing.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "tests/support/test_support.h"

namespace {

constexpr char kMarkerName[] = "kestrel-redirection-marker.txt";
constexpr char kThroughSystemFolder[] = "C:\\windows\\system32\\kestrel-redirection-marker.txt";
constexpr char kRecords[] = "C:\\kestrel-e2e";  // the recording application's, see recording_app.cpp

using test::Quoted;

class FsRedirection : public testing::Test {
protected:
    void SetUp() override {
        BOOL wow64 = FALSE;
        ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
        wow64_ = wow64 != FALSE;
        char folder[MAX_PATH] = "";
        const UINT length = wow64_ ? GetSystemWow64DirectoryA(folder, MAX_PATH) : GetSystemDirectoryA(folder, MAX_PATH);
        ASSERT_TRUE(length != 0 && length < MAX_PATH);
        marker_ = std::string(folder) + "\\" + kMarkerName;
        ASSERT_TRUE(test::WriteWholeFile(marker_, "the marker"));
    }
    void TearDown() override {
        if (!marker_.empty())
            DeleteFileA(marker_.c_str());
    }
    bool wow64_ = false;
    std::string marker_;
};

TEST_F(FsRedirection, TheSystemFolderShowsTheMarkerExactlyWhileTheRedirectionIsOn) {
    EXPECT_TRUE(test::Exists(kThroughSystemFolder));
    PVOID previous = nullptr;
    if (!wow64_) {
        EXPECT_FALSE(Wow64DisableWow64FsRedirection(&previous)) << "a 32-bit system has no redirection";
        EXPECT_TRUE(test::Exists(kThroughSystemFolder));
        return;
    }
    char architecture[16] = "";
    GetEnvironmentVariableA("PROCESSOR_ARCHITEW6432", architecture, sizeof architecture);
    EXPECT_STREQ(architecture, "AMD64");

    ASSERT_TRUE(Wow64DisableWow64FsRedirection(&previous));
    const bool seenWhileOff = test::Exists(kThroughSystemFolder);
    EXPECT_TRUE(Wow64RevertWow64FsRedirection(previous));

    EXPECT_FALSE(seenWhileOff);
    EXPECT_TRUE(test::Exists(kThroughSystemFolder));
}

// The real handlers (redirection_probe.exe) install, start and watch the test payload's application,
// which ends at once, and clean up; a look after each handler's call to the routine finds the marker
// through the system folder again.
TEST_F(FsRedirection, EachHandlerSwitchesItBackOnRightAfterItsCall) {
    if (!wow64_) {
        // Not GTEST_SKIP, whose report crashes the test program under qemu. The handlers run here in
        // the end-to-end tests, their calls failing and changing nothing.
        std::printf("a 32-bit prefix has no redirection to look at: the launcher is not run here\n");
        return;
    }
    char appData[MAX_PATH] = "";
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, appData, CSIDL_APPDATA, FALSE));
    const std::string kestrelworks = std::string(appData) + "\\Kestrelworks";
    test::RemoveTree(kestrelworks);
    test::RemoveTree(kRecords);
    ASSERT_TRUE(CreateDirectoryA(kRecords, nullptr));
    ASSERT_TRUE(test::WriteWholeFile(std::string(kRecords) + "\\live.txt", "0"));
    test::TempFolder report("redirect");

    test::Child probe =
        test::Child::Start(Quoted(test::ProgramBeside("redirection_probe.exe")) + " " + Quoted(report.path()));
    ASSERT_TRUE(probe.started());
    DWORD exitCode = 1;
    const bool ended = probe.Wait(90000, &exitCode);
    if (!ended)
        probe.Kill();
    std::string looks;
    test::ReadWholeFile(report / "report.txt", looks);
    test::RemoveTree(kRecords);
    test::RemoveTree(kestrelworks);

    ASSERT_TRUE(ended) << "the launcher did not end; looks so far: " << looks;
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(looks, "created=1\nwatch=1\n");
}

}  // namespace
