// The launcher killed at seeded random moments while it writes the archive or extracts it (the large
// payload, a few MB of incompressible files), then started again: the second run must install, start
// the application, and clean up completely.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <random>
#include <string>

#include "reliability/launcher_faults.h"

namespace {

constexpr DWORD kLong = 30000;
constexpr int kSeeds = 10;

class KilledInstall : public testing::Test {
protected:
    void SetUp() override {
        Clean();
        ASSERT_TRUE(CreateDirectoryA(rel::kRecords, nullptr));
        end_ = CreateEventA(nullptr, TRUE, FALSE, "KestrelRelEnd");
        ResetEvent(end_);
    }
    void TearDown() override {
        SetEvent(end_);
        for (DWORD id : rel::RecordedStarts())
            rel::ProcessGone(id, 5000);
        CloseHandle(end_);
        Clean();
        EXPECT_FALSE(test::Exists(paths_.kestrelworks));
    }
    void Clean() {
        for (int attempt = 0; attempt < 20 && !test::RemoveTree(paths_.kestrelworks); ++attempt)
            Sleep(100);
        test::RemoveTree(rel::kRecords);
    }
    static test::Child Start() {
        return test::Child::Start(rel::Quoted(test::ProgramBeside("launcher_rel_large.exe")));
    }

    // One whole run that must succeed: the application starts from the tree, is ended, and the
    // launcher removes everything and ends with 0.
    void CompleteRun() {
        const std::size_t before = rel::RecordedStarts().size();
        ResetEvent(end_);
        test::Child launcher = Start();
        ASSERT_TRUE(launcher.started());
        ASSERT_TRUE(rel::WaitUntil([&] { return rel::RecordedStarts().size() > before; }, kLong))
            << "the application never started";
        EXPECT_TRUE(test::Exists(paths_.Tree() + "\\data\\held.txt"));
        SetEvent(end_);
        DWORD exitCode = 0xFFFFFFFE;
        EXPECT_TRUE(launcher.Wait(kLong, &exitCode));
        EXPECT_EQ(exitCode, 0u);
        EXPECT_TRUE(paths_.Gone()) << "the run left files behind";
        ResetEvent(end_);
    }

    rel::InstallPaths paths_{rel::ShellAppData()};
    HANDLE end_ = nullptr;
};

TEST_F(KilledInstall, AfterAKillAtARandomMomentOfWritingOrExtractingTheNextRunInstallsLaunchesAndCleansUp) {
    // How long writing and extracting take here: the application starts three seconds after both.
    const double start = test::NowMilliseconds();
    CompleteRun();
    if (HasFatalFailure())
        return;
    double installEnd = 0;
    {
        // Measured once more without ending it early: the moment the application's record appears.
        ResetEvent(end_);
        const std::size_t before = rel::RecordedStarts().size();
        const double begin = test::NowMilliseconds();
        test::Child launcher = Start();
        ASSERT_TRUE(rel::WaitUntil([&] { return rel::RecordedStarts().size() > before; }, kLong));
        installEnd = test::NowMilliseconds() - begin - 3000;
        SetEvent(end_);
        launcher.Wait(kLong);
        ResetEvent(end_);
    }
    ASSERT_GT(installEnd, 0) << "the application started before the three-second wait ended";
    std::printf("writing and extracting took about %.0f ms (first run and calibration: %.0f ms)\n", installEnd,
                test::NowMilliseconds() - start);

    int duringWrite = 0, duringExtraction = 0, afterInstall = 0;
    for (int seed = 1; seed <= kSeeds; ++seed) {
        std::mt19937 random(static_cast<unsigned>(seed));
        const DWORD moment = std::uniform_int_distribution<DWORD>(0, static_cast<DWORD>(installEnd))(random);
        test::Child launcher = Start();
        ASSERT_TRUE(launcher.started());
        Sleep(moment);
        launcher.Kill();
        ASSERT_TRUE(launcher.Wait(5000));
        if (!test::Exists(paths_.Tree()))
            ++duringWrite;
        else if (!test::Exists(paths_.Tree() + "\\data\\held.txt") || !test::Exists(paths_.Application()))
            ++duringExtraction;
        else
            ++afterInstall;
        std::printf("seed %d: killed after %lu ms; archive %s, tree %s\n", seed, moment,
                    test::Exists(paths_.Archive()) ? "present" : "absent",
                    test::Exists(paths_.Tree()) ? "present" : "absent");
        CompleteRun();
        if (HasFatalFailure() || HasFailure()) {
            ADD_FAILURE() << "seed " << seed;
            return;
        }
    }
    std::printf("killed %d times: %d before the tree appeared, %d while it was partly extracted, %d after; "
                "every following run installed, launched and cleaned up\n",
                kSeeds, duringWrite, duringExtraction, afterInstall);
}

}  // namespace
