// The real launcher (launcher_rel.exe, whose "Velkar\Velkar.exe" is fault_app.exe) under faults on
// disk and in its application: files held open by other programs, an install folder it cannot make,
// a link planted in its tree, an application that crashes, is killed or hands over to a child.
// The launcher runs traced (tests/support/traced_program.h): what its clean-up left is read from its
// own trace line, and no test bounds a wait by a time that a busy or emulated machine may overrun.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>

#include "tests/reliability/fault_run.h"

namespace {

using rel::InstallPaths;

using rel::kHangGuard;
// The launcher's trace line that ends its clean-up, and the one that ends the removal after an install
// that failed.
constexpr char kCleanUpEnds[] = "clean-up: archive";
constexpr char kFailedInstallRemoved[] = "install failed: archive";
// What a run whose install failed ends with (ERROR_INSTALL_FAILURE): nothing was started.
constexpr DWORD kInstallFailed = 1603;

using test::RunUnix;
using test::UnixPath;

std::set<std::string> Listing(const std::string& folder) {
    std::set<std::string> names;
    WIN32_FIND_DATAA entry;
    FindHandle search{FindFirstFileA((folder + "\\*").c_str(), &entry)};
    if (!search)
        return names;
    do
        names.insert(entry.cFileName);
    while (FindNextFileA(search.get(), &entry));
    return names;
}

FileHandle HoldWithoutSharing(const std::string& path) {
    return FileHandle{CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)};
}

class LauncherFaults : public rel::FaultRun {
protected:
    void TearDown() override {
        // A link planted in the tree: Wine cannot remove it through Windows calls (nor list it once its
        // target is gone), and left in place it would keep the install folder for every later test,
        // also after a test that failed half-way. rm runs unwaitable, so the fixture's removal tries
        // for a while.
        const std::string data = paths_.Tree() + "\\data";
        if (test::IsFolder(data))
            RunUnix("Z:\\bin\\rm -f " + UnixPath(data) + "/link");
        records_.EndAll();
        traced_.Kill();
        FaultRun::TearDown();
    }

    void StartLauncher() { ASSERT_TRUE(traced_.Start(test::Quoted(test::ProgramBeside("launcher_rel.exe")))); }

    bool WaitForStarts(std::size_t count) {
        return test::WaitUntil([&] { return rel::RecordedStarts().size() >= count; }, kHangGuard);
    }

    // The trace line that ends the clean-up (or the removal after a failed install), which says what it
    // left; "" when there was none.
    std::string CleanUpOutcome(const char* line = kCleanUpEnds) const {
        const int at = traced_.WaitForLine(line, 0);
        return at < 0 ? "" : traced_.Lines()[at];
    }

    // Waits for the launcher's end, watching for a dialog of its own all along; answers its exit code
    // (0xFFFFFFFE when it did not end).
    DWORD ExitCode(DWORD milliseconds = kHangGuard) {
        DWORD exitCode = 0xFFFFFFFE;
        test::WaitUntil(
            [&] {
                if (rel::ShowsDialog(traced_.id()))
                    dialogSeen_ = true;
                return traced_.Wait(0, &exitCode);
            },
            milliseconds);
        return exitCode;
    }

    test::TracedProgram traced_;
    bool dialogSeen_ = false;
};

TEST_F(LauncherFaults, AnArchiveHeldWithoutSharingAtTheStartStaysAsItWasAndTheInstallFails) {
    ASSERT_TRUE(CreateDirectoryA(paths_.kestrelworks.c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(paths_.Archive(), "an earlier archive"));
    FileHandle held = HoldWithoutSharing(paths_.Archive());
    ASSERT_TRUE(held);
    StartLauncher();
    // The archive cannot be written, so nothing is installed. The retries of its removal are bounded:
    // the launcher gives up on the archive and ends by itself while it is still held (a launcher that
    // retried for ever would meet the hang guard instead).
    EXPECT_EQ(ExitCode(), kInstallFailed);
    EXPECT_NE(CleanUpOutcome(kFailedInstallRemoved).find("archive NOT removed"), std::string::npos)
        << CleanUpOutcome(kFailedInstallRemoved);
    held.reset();
    EXPECT_FALSE(dialogSeen_);
    EXPECT_TRUE(rel::RecordedStarts().empty()) << "no tree was extracted, so nothing can have started";
    EXPECT_FALSE(test::Exists(paths_.Tree()));
    std::string bytes;
    ASSERT_TRUE(test::ReadWholeFile(paths_.Archive(), bytes)) << "only what was held stays";
    EXPECT_EQ(bytes, "an earlier archive");
}

TEST_F(LauncherFaults, ATreeFileHeldDuringTheCleanUpAndReleasedAfterASecondIsRemovedAfterAll) {
    StartLauncher();
    ASSERT_TRUE(WaitForStarts(1));
    FileHandle held = HoldWithoutSharing(paths_.Tree() + "\\data\\held.txt");
    ASSERT_TRUE(held);
    ASSERT_TRUE(rel::EndApplications());
    // The archive goes first: once it is gone, the clean-up makes its first try at the tree at once.
    // The launcher is stopped while the file is let go, so that its retries, which last three seconds
    // by its own clock, cannot run out while this test waits to be scheduled; a stop before the first
    // try would only take that try's failure away.
    ASSERT_TRUE(test::WaitUntil([&] { return !test::Exists(paths_.Archive()); }, kHangGuard));
    EXPECT_TRUE(test::Exists(paths_.Tree() + "\\data\\held.txt"));
    Sleep(300);
    const bool paused = traced_.Pause();
    const std::string gaveUp = CleanUpOutcome();
    held.reset();
    if (paused)
        traced_.Resume();
    ASSERT_EQ(gaveUp, "") << "the clean-up gave up without trying again";
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_FALSE(dialogSeen_);
    EXPECT_TRUE(paths_.Gone()) << "the file released within the retries is removed, and the tree with it";
}

TEST_F(LauncherFaults, ATreeFileHeldThroughoutStaysAloneAndTheRunEndsWithinTheRetryBound) {
    StartLauncher();
    ASSERT_TRUE(WaitForStarts(1));
    const std::string heldPath = paths_.Tree() + "\\data\\held.txt";
    FileHandle held = HoldWithoutSharing(heldPath);
    ASSERT_TRUE(held);
    ASSERT_TRUE(rel::EndApplications());
    // The retries are bounded: the launcher ends by itself while the file is still held.
    EXPECT_EQ(ExitCode(), 0u);
    held.reset();
    EXPECT_FALSE(dialogSeen_);
    // That it tries again for a while is shown by the test above: a file let go after the first try
    // is removed after all.
    EXPECT_NE(CleanUpOutcome().find("tree NOT removed"), std::string::npos) << CleanUpOutcome();
    EXPECT_TRUE(test::Exists(heldPath));
    EXPECT_EQ(Listing(paths_.Tree()), (std::set<std::string>{".", "..", "data"}));
    EXPECT_EQ(Listing(paths_.Tree() + "\\data"), (std::set<std::string>{".", "..", "held.txt"}));
}

TEST_F(LauncherFaults, AFileInThePlaceOfTheInstallFolderIsLeftAloneWithNoDialog) {
    test::TempFolder appData("rel-file");
    test::AppDataRedirection redirection(appData.path());
    InstallPaths here(appData.path());
    ASSERT_TRUE(test::WriteWholeFile(here.kestrelworks, "not a folder"));
    ASSERT_TRUE(test::WriteWholeFile(appData / "neighbour.txt", "untouched"));
    StartLauncher();
    EXPECT_EQ(ExitCode(), kInstallFailed);
    EXPECT_FALSE(dialogSeen_);
    EXPECT_TRUE(rel::RecordedStarts().empty());
    EXPECT_EQ(Listing(appData.path()), (std::set<std::string>{".", "..", "Kestrelworks", "neighbour.txt"}));
    std::string bytes;
    ASSERT_TRUE(test::ReadWholeFile(here.kestrelworks, bytes));
    EXPECT_EQ(bytes, "not a folder");
    ASSERT_TRUE(test::ReadWholeFile(appData / "neighbour.txt", bytes));
    EXPECT_EQ(bytes, "untouched");
}

TEST_F(LauncherFaults, AnApplicationDataFolderThatCannotBeWrittenIsLeftAloneWithNoDialog) {
    test::TempFolder appData("rel-ro");
    ASSERT_TRUE(test::WriteWholeFile(appData / "neighbour.txt", "untouched"));
    // The read-only attribute does not stop a folder being made inside on Windows: the Unix
    // permissions do, for the unprivileged user Wine runs as.
    const std::string unixFolder = UnixPath(appData.path());
    ASSERT_FALSE(unixFolder.empty());
    ASSERT_TRUE(RunUnix("Z:\\bin\\chmod 555 " + unixFolder));
    // The chmod runs as a Unix program that cannot be waited on: wait until Wine shows the folder
    // read-only, then probe once (probing while the chmod lands could strand the probe folder).
    test::WaitUntil(
        [&] {
            const DWORD attributes = test::AttributesOf(appData.path());
            return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
        },
        5000);
    bool locked = !CreateDirectoryA((appData / "probe").c_str(), nullptr);
    if (!locked)
        RemoveDirectoryA((appData / "probe").c_str());
    if (!locked) {
        RunUnix("Z:\\bin\\chmod 755 " + unixFolder);
        GTEST_SKIP() << "the folder stays writable here (Wine running as root?)";
    }
    {
        test::AppDataRedirection redirection(appData.path());
        StartLauncher();
        EXPECT_EQ(ExitCode(), kInstallFailed);
    }
    EXPECT_FALSE(dialogSeen_);
    EXPECT_TRUE(rel::RecordedStarts().empty());
    EXPECT_EQ(Listing(appData.path()), (std::set<std::string>{".", "..", "neighbour.txt"}));
    RunUnix("Z:\\bin\\chmod 755 " + unixFolder);
    test::WaitUntil([&] { return test::WriteWholeFile(appData / "probe.txt", ""); }, 5000);
}

TEST_F(LauncherFaults, ALinkPlantedInTheTreeLeavesTheFolderItPointsAtIntact) {
    test::TempFolder outside("rel-outside");
    ASSERT_TRUE(CreateDirectoryA((outside / "inner").c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(outside / "keep.txt", "keep"));
    ASSERT_TRUE(test::WriteWholeFile(outside / "inner\\deep.txt", "deep"));
    StartLauncher();
    ASSERT_TRUE(WaitForStarts(1));
    const std::string link = paths_.Tree() + "\\data\\link";
    ASSERT_TRUE(
        RunUnix("Z:\\bin\\ln -s " + UnixPath(outside.path()) + " " + UnixPath(paths_.Tree() + "\\data") + "/link"));
    ASSERT_TRUE(test::WaitUntil([&] { return test::Exists(link + "\\keep.txt"); }, 5000));
    ASSERT_TRUE(rel::EndApplications());
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_FALSE(dialogSeen_);
    std::string bytes;
    EXPECT_TRUE(test::ReadWholeFile(outside / "keep.txt", bytes) && bytes == "keep");
    EXPECT_TRUE(test::ReadWholeFile(outside / "inner\\deep.txt", bytes) && bytes == "deep");
    EXPECT_FALSE(test::Exists(paths_.Archive()));
    // Wine cannot remove a folder symbolic link through Windows calls, so the link (and the folders
    // holding it) stays; everything else of the tree is gone.
    EXPECT_FALSE(test::Exists(paths_.Application()));
    EXPECT_FALSE(test::Exists(paths_.Tree() + "\\data\\held.txt"));
    // The link itself is removed by TearDown.
}

TEST_F(LauncherFaults, AnApplicationThatCrashesIsCleanedUpAfterAndTheLauncherEndsWithZero) {
    ASSERT_TRUE(rel::SetMode("crash"));
    StartLauncher();
    ASSERT_TRUE(WaitForStarts(1));
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_FALSE(dialogSeen_);
    EXPECT_TRUE(paths_.Gone());
}

TEST_F(LauncherFaults, AnApplicationThatIsKilledIsCleanedUpAfterAndTheLauncherEndsWithZero) {
    StartLauncher();
    ASSERT_TRUE(WaitForStarts(1));
    const DWORD id = rel::RecordedStarts().front();
    KernelHandle application{OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)};
    ASSERT_TRUE(application);
    ASSERT_TRUE(TerminateProcess(application.get(), 9));
    WaitForSingleObject(application.get(), 5000);
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_TRUE(paths_.Gone());
}

TEST_F(LauncherFaults, AChildNamedVelkarExeKeepsTheLauncherWaitingAfterItsParentEnded) {
    ASSERT_TRUE(rel::SetMode("child"));
    StartLauncher();
    ASSERT_TRUE(WaitForStarts(2)) << "the application and its child";
    // The parent ends at once; give the watch three periods to (wrongly) see nothing.
    Sleep(3500);
    EXPECT_FALSE(traced_.Wait(0)) << "the launcher ended while the child still ran";
    EXPECT_TRUE(test::Exists(paths_.Application()));
    ASSERT_TRUE(rel::EndApplications());
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_TRUE(paths_.Gone());
}

}  // namespace
