// tests/reliability/fault_run.h: the fixture of the reliability tests: the real launcher with
// fault_app.exe as its application, in the prefix's application-data folder. Every test starts with
// no install folder and fresh records; however it ends, its applications are ended, its launcher is
// killed and the install folder is removed (and must be gone).
#pragma once
#include <gtest/gtest.h>

#include "tests/reliability/launcher_faults.h"
#include "tests/support/traced_program.h"

namespace rel {

class FaultRun : public testing::Test {
protected:
    void SetUp() override {
        test::RemoveTreePatiently(paths_.kestrelworks);
        ASSERT_TRUE(records_.ready());
    }

    void TearDown() override {
        records_.EndAll();
        launcher_.Kill();
        test::RemoveTreePatiently(paths_.kestrelworks, 50);
        EXPECT_FALSE(test::Exists(paths_.kestrelworks)) << "the test leaves " << paths_.kestrelworks;
    }

    static test::Child Start(const char* launcher) {
        return test::Child::Start(test::Quoted(test::ProgramBeside(launcher)));
    }

    // Ends the applications and expects `launcher` to end with 0 within `milliseconds`, leaving
    // neither the archive nor the tree.
    void ExpectCleanEnd(test::Child& launcher, DWORD milliseconds) {
        SetEvent(records_.end());
        DWORD exitCode = 0xFFFFFFFE;
        EXPECT_TRUE(launcher.Wait(milliseconds, &exitCode));
        EXPECT_EQ(exitCode, 0u);
        EXPECT_TRUE(paths_.Gone()) << "the run left files behind";
    }

    InstallPaths paths_{test::ShellAppData()};
    Records records_;
    test::Child launcher_;
};

}  // namespace rel
