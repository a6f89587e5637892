// The launcher killed at seeded random moments while it extracts its archive (the large payload, a
// few MB of incompressible files), then started again: the second run must install, start
// the application, and clean up completely.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <random>
#include <string>

#include "tests/reliability/fault_run.h"

namespace {

constexpr int kSeeds = 10;

class KilledInstall : public rel::FaultRun {
protected:
    static test::Child Start() { return FaultRun::Start("launcher_rel_large.exe"); }

    // One whole run that must succeed: the application starts from the tree, is ended, and the
    // launcher removes everything and ends with 0.
    void CompleteRun() {
        const std::size_t before = rel::RecordedStarts().size();
        ResetEvent(records_.end());
        test::Child launcher = Start();
        ASSERT_TRUE(launcher.started());
        ASSERT_TRUE(test::WaitUntil([&] { return rel::RecordedStarts().size() > before; }, rel::kHangGuard))
            << "the application never started";
        EXPECT_TRUE(test::Exists(paths_.Tree() + "\\data\\held.txt"));
        ExpectCleanEnd(launcher, rel::kHangGuard);
        ResetEvent(records_.end());
    }
};

// Files under `folder`, subfolders included.
int CountFiles(const std::string& folder) {
    int count = 0;
    WIN32_FIND_DATAA entry;
    FindHandle search{FindFirstFileA((folder + "\\*").c_str(), &entry)};
    if (!search)
        return 0;
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..")
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            count += CountFiles(folder + "\\" + name);
        else
            ++count;
    } while (FindNextFileA(search.get(), &entry));
    return count;
}

unsigned long long SizeOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

TEST_F(KilledInstall, AfterAKillAtARandomMomentOfWritingOrExtractingTheNextRunInstallsLaunchesAndCleansUp) {
    // One watched run: when the archive appears, its full size, the tree's full count of files and
    // when the last of them appeared.
    double archiveAt = 0, treeDoneAt = 0;
    unsigned long long archiveSize = 0;
    int treeFiles = 0;
    {
        ResetEvent(records_.end());
        const double begin = test::NowMilliseconds();
        test::Child launcher = Start();
        ASSERT_TRUE(launcher.started());
        int lastCount = -1;
        ASSERT_TRUE(test::WaitUntil(
            [&] {
                const double now = test::NowMilliseconds() - begin;
                if (archiveAt == 0 && test::Exists(paths_.Archive()))
                    archiveAt = now;
                const int files = CountFiles(paths_.Tree());
                if (files != lastCount) {
                    lastCount = files;
                    treeDoneAt = now;
                }
                return !rel::RecordedStarts().empty();
            },
            rel::kHangGuard));
        archiveSize = SizeOf(paths_.Archive());
        treeFiles = CountFiles(paths_.Tree());
        ExpectCleanEnd(launcher, rel::kHangGuard);
        ResetEvent(records_.end());
    }
    ASSERT_GT(archiveAt, 0);
    ASSERT_GT(treeDoneAt, archiveAt);
    std::printf("the archive (%llu bytes) appeared after %.0f ms, the last of the tree's %d files after %.0f ms\n",
                archiveSize, archiveAt, treeFiles, treeDoneAt);

    int duringWrite = 0, duringExtraction = 0, afterInstall = 0;
    for (int seed = 1; seed <= kSeeds; ++seed) {
        // The moment is drawn from the extraction's span and counted from when the archive appears,
        // so that the start-up's varying length does not move it out of the extraction.
        std::mt19937 random(static_cast<unsigned>(seed));
        const DWORD span = static_cast<DWORD>((treeDoneAt - archiveAt) * 1.2);
        const DWORD moment = std::uniform_int_distribution<DWORD>(0, span)(random);
        test::Child launcher = Start();
        ASSERT_TRUE(launcher.started());
        const double giveUp = test::NowMilliseconds() + rel::kHangGuard;
        while (!test::Exists(paths_.Archive()) && test::NowMilliseconds() < giveUp)
            Sleep(1);
        if (moment > 0)
            Sleep(moment);
        launcher.Kill();
        ASSERT_TRUE(launcher.Wait(5000));
        const unsigned long long written = SizeOf(paths_.Archive());
        const int extracted = CountFiles(paths_.Tree());
        if (written < archiveSize)
            ++duringWrite;
        else if (extracted < treeFiles)
            ++duringExtraction;
        else
            ++afterInstall;
        std::printf(
            "seed %d: killed %lu ms after the archive appeared, with %llu of %llu archive bytes and %d of %d files\n",
            seed, moment, written, archiveSize, extracted, treeFiles);
        CompleteRun();
        if (HasFatalFailure() || HasFailure()) {
            ADD_FAILURE() << "seed " << seed;
            return;
        }
    }
    std::printf(
        "killed %d times: %d while the archive was written, %d while it was extracted, %d after; "
        "every following run installed, launched and cleaned up\n",
        kSeeds, duringWrite, duringExtraction, afterInstall);
}

}  // namespace
