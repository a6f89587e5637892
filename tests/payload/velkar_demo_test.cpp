#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

// The demo's window once the started program has made it, or null after `milliseconds`.
HWND WaitForWindow(DWORD processId, DWORD milliseconds) {
    HWND found = nullptr;
    test::WaitUntil([&] { return (found = test::WindowOf(processId, "VelkarDemoWindow")) != nullptr; }, milliseconds,
                    100);
    return found;
}

// A copy of the demo program in a folder of its own, as the launcher's extraction leaves it.
class VelkarDemo : public ::testing::Test {
protected:
    void SetUp() override {
        program = folder / "Velkar.exe";
        ASSERT_TRUE(CopyFileA(test::ProgramBeside("Velkar.exe").c_str(), program.c_str(), FALSE));
    }
    test::TempFolder folder{"vk"};
    std::string program;
};

TEST_F(VelkarDemo, ShowsItsWindowAndEndsByItselfWithExitCodeZero) {
    test::Child child = test::Child::Start(program + " /n", folder.path());
    ASSERT_TRUE(child.started());
    EXPECT_NE(WaitForWindow(child.id(), 20000), nullptr);
    DWORD exitCode = 1;
    // Without Velkar.ini it stays 5 seconds; the bound leaves room for a slow start under Wine.
    ASSERT_TRUE(child.Wait(30000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(VelkarDemo, StaysAsLongAsItsIniSaysAndEndsWhenClosed) {
    ASSERT_TRUE(test::WriteWholeFile(folder / "Velkar.ini", "[Velkar]\r\nSeconds=60\r\n"));
    test::Child child = test::Child::Start(program + " /n", folder.path());
    ASSERT_TRUE(child.started());
    HWND window = WaitForWindow(child.id(), 20000);
    ASSERT_NE(window, nullptr);
    // Well past the default 5 seconds it still runs.
    EXPECT_FALSE(child.Wait(8000));
    PostMessageA(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 1;
    ASSERT_TRUE(child.Wait(20000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

}  // namespace
