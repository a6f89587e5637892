// The whole job under Wine: the real launcher (launcher_e2e.exe, carrying a small test payload whose
// "Velkar\Velkar.exe" is recording_app.exe) started with CreateProcess and watched from outside: the
// files it writes, the application's own records, the process list, its hidden window, its exit code,
// and its trace for support (read through the debugging interface, see tests/support/traced_program.h).
//
// No test bounds a wait by a time that a busy or emulated machine may overrun. Each waits for what it
// waits for (a record file, a process end, a trace line) and gives up only after kHangGuard, which
// tells a launcher that hangs from one that is slow. What happens "within a period" is told from the
// trace: the watch writes one line per period, so "noticed at the first period" is a count of lines.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/owners.h"
#include "tools/zip_writer.h"
#include "tests/support/test_support.h"
#include "tests/support/traced_program.h"

namespace {

constexpr char kRecords[] = "C:\\kestrel-e2e";
constexpr char kArchiveName[] = "檀溪舟楫.zip";
constexpr double kStartDelay = 3000;
// The longest any wait of these tests goes on before it counts as a hang: far beyond a slow run, well
// inside the test program's time-out.
constexpr DWORD kHangGuard = 90000;
// The launcher's trace lines: each period of the watch, and the one that begins the clean-up.
constexpr char kStillRuns[] = "watch: Velkar.exe still runs";
constexpr char kRunsNoMore[] = "watch: Velkar.exe runs no more";
constexpr char kWatchPeriod[] = "watch: ";  // every period's line
// The clean-up's line once it holds the install lock, before it looks at the processes once more.
constexpr char kCleanUpLocked[] = "clean-up: the install folder is locked";
// A run that waits for the install lock says so once.
constexpr char kWaitsForTheLock[] = "another run installs into or cleans up";
// What a run whose install failed ends with (ERROR_INSTALL_FAILURE).
constexpr DWORD kInstallFailed = 1603;
// The test payload's files (tests/launcher/tree and Velkar.exe), below Velkar\.
const char* const kPayloadFiles[] = {"Velkar.exe", "Velkar.ini", "Resources\\readme.txt",
                                     "Resources\\Language\\zh-CN.ini"};
constexpr int kPayloadFileCount = 4;

using test::Quoted;
using test::SystemMilliseconds;

std::string Lower(std::string s) {
    CharLowerBuffA(s.data(), static_cast<DWORD>(s.size()));
    return s;
}

// One start of the recording application, as it recorded itself.
struct AppStart {
    DWORD id = 0;
    std::string command, folder, program;
    double start = 0;  // system milliseconds
    int files = -1;    // the files its folder held when it started, subfolders included
};

std::vector<AppStart> ReadStarts() {
    std::vector<AppStart> runs;
    WIN32_FIND_DATAA entry;
    FindHandle search{FindFirstFileA((std::string(kRecords) + "\\run-*.txt").c_str(), &entry)};
    if (!search)
        return runs;
    do {
        std::string bytes;
        if (!test::ReadWholeFile(std::string(kRecords) + "\\" + entry.cFileName, bytes))
            continue;
        AppStart run;
        run.id = std::stoul(std::string(entry.cFileName).substr(4));
        std::map<std::string, std::string> fields;
        std::size_t at = 0;
        while (at < bytes.size()) {
            std::size_t end = bytes.find('\n', at);
            std::string line = bytes.substr(at, end - at);
            std::size_t equals = line.find('=');
            if (equals != std::string::npos)
                fields[line.substr(0, equals)] = line.substr(equals + 1);
            at = end == std::string::npos ? bytes.size() : end + 1;
        }
        run.command = fields["command"];
        run.folder = fields["folder"];
        run.program = fields["program"];
        run.start = std::stod(fields["start"]) / 10000.0;
        run.files = fields["files"].empty() ? -1 : std::stoi(fields["files"]);
        runs.push_back(run);
    } while (FindNextFileA(search.get(), &entry));
    return runs;
}

// One launcher run in the prefix's real application-data folder (or another one a test sets), with
// what the watch saw. Every test starts and ends with no "Kestrelworks" folder and no record.
class LauncherRun : public testing::Test {
protected:
    void SetUp() override {
        // Any Velkar.exe would keep a launcher waiting: one left by an earlier test program of this
        // prefix (the frame's tests start the demo application, which ends by itself after a few
        // seconds) is given time to end, and ended after that.
        test::EndProcessesNamed("Velkar.exe", 10000);
        UseAppData(test::ShellAppData());
        test::RemoveTree(kRecords);
        ASSERT_TRUE(CreateDirectoryA(kRecords, nullptr));
        endAll_.reset(CreateEventA(nullptr, TRUE, FALSE, "KestrelE2EEndAll"));
        ResetEvent(endAll_.get());
    }

    void TearDown() override {
        SetEvent(endAll_.get());
        for (const AppStart& run : ReadStarts())
            test::ProcessGone(run.id, 5000);
        for (test::TracedProgram& launcher : launchers_)
            launcher.Kill();
        launchers_.clear();
        endAll_.reset();
        test::RemoveTreePatiently(kestrelworks_);
        EXPECT_FALSE(test::Exists(kestrelworks_)) << "the test leaves " << kestrelworks_;
        test::RemoveTree(kRecords);
        for (const std::string& leftover : leftovers_)
            test::RemoveTree(leftover);
    }

    void UseAppData(const std::string& appData) {
        kestrelworks_ = appData + "\\Kestrelworks";
        test::RemoveTree(kestrelworks_);
    }

    std::string Archive() const { return kestrelworks_ + "\\" + kArchiveName; }
    std::string Tree() const { return kestrelworks_ + "\\Velkar"; }
    std::string Application() const { return Tree() + "\\Velkar.exe"; }

    void SetLife(DWORD milliseconds) {
        ASSERT_TRUE(test::WriteWholeFile(std::string(kRecords) + "\\live.txt", std::to_string(milliseconds)));
    }

    // Starts a launcher, traced; with `holdAt`, it stops at the first trace line holding that text.
    test::TracedProgram& StartLauncher(const std::string& holdAt = "") {
        return StartCommand(Quoted(test::ProgramBeside("launcher_e2e.exe")), holdAt);
    }
    // The launcher with seams (tests/launcher/launcher_seams.cpp), given `options`.
    test::TracedProgram& StartWithSeams(const std::string& options) {
        return StartCommand(Quoted(test::ProgramBeside("launcher_seams.exe")) + " " + options);
    }
    test::TracedProgram& StartCommand(const std::string& commandLine, const std::string& holdAt = "") {
        launcherStart_ = SystemMilliseconds();
        launchers_.emplace_back();
        EXPECT_TRUE(launchers_.back().Start(commandLine, holdAt));
        return launchers_.back();
    }

    // Looks at everything once: the files and the launchers' windows.
    void Look() {
        if (test::Exists(Archive()) && archiveSeen_ == 0)
            archiveSeen_ = SystemMilliseconds();
        if (test::Exists(Application()) && treeSeen_ == 0)
            treeSeen_ = SystemMilliseconds();
        for (test::TracedProgram& launcher : launchers_) {
            for (HWND window : test::WindowsOf(launcher.id(), "WTWindow")) {
                windowSeen_ = true;
                windowVisible_ = windowVisible_ || test::AnyPartVisible(window);
            }
        }
    }

    // Looks every few milliseconds until `done` holds or the time is up; answers `done`.
    bool WatchUntil(const std::function<bool()>& done, DWORD milliseconds) {
        return test::WaitUntil(
            [&] {
                Look();
                return done();
            },
            milliseconds);
    }

    bool WaitForRuns(std::size_t count, DWORD milliseconds = kHangGuard) {
        return WatchUntil([&] { return ReadStarts().size() >= count; }, milliseconds);
    }

    // Ends one recorded application and waits until its process is gone.
    void EndApplication(const AppStart& run) {
        EXPECT_TRUE(test::SignalEvent("KestrelE2EEnd-" + std::to_string(run.id)));
        EXPECT_TRUE(test::ProcessGone(run.id, kHangGuard));
    }

    // Expects the launcher's watch to notice, at its first period after this call, that no application
    // is left, and to clean up and end with 0. Called once the last application is gone; a period
    // whose look at the processes came before that may still report it running, but no second one.
    void ExpectCleanUpAtTheNextPeriod(test::TracedProgram& launcher) {
        const std::size_t from = launcher.Lines().size();
        const int noMore = launcher.WaitForLine(kRunsNoMore, kHangGuard, from);
        ASSERT_GE(noMore, 0) << "the watch never noticed that no application was left";
        int periodsSeeingOne = 0;
        const std::vector<std::string> lines = launcher.Lines();
        for (std::size_t i = from; i < static_cast<std::size_t>(noMore); ++i)
            periodsSeeingOne += lines[i].find(kWatchPeriod) != std::string::npos;
        EXPECT_LE(periodsSeeingOne, 1) << "the watch saw an application that had ended";
        EXPECT_EQ(ExitCodeOf(launcher), 0u);
        EXPECT_TRUE(Gone()) << "the archive or the tree stayed";
    }

    bool Gone() const { return !test::Exists(Archive()) && !test::Exists(Tree()); }
    // A launcher with seams that stops at the clean-up's `step` until Go() (launcher_seams.exe
    // --pause-at): a stop at a trace line would leave the debug-output buffer's mutex taken now and
    // then, and every other traced program's next line waiting for it.
    test::TracedProgram& StartPausingAt(const std::string& step, const std::string& options = "") {
        return StartWithSeams(options + " --pause-at " + step + " --until " + Quoted(GoFile()));
    }
    static std::string GoFile() { return std::string(kRecords) + "\\go.txt"; }
    static void Go() { EXPECT_TRUE(test::WriteWholeFile(GoFile(), "go")); }

    // Every file of the payload stands in the tree.
    bool TreeWhole() const {
        for (const char* file : kPayloadFiles)
            if (!test::Exists(Tree() + "\\" + file))
                return false;
        return true;
    }

    // Asks the launcher's one window to close while it watches, as the session's end or a user's tool
    // would, and expects it to end with 0 and to leave the archive and the tree as they are.
    void CloseAndExpectFilesKept(test::TracedProgram& launcher) {
        std::vector<HWND> windows = test::WindowsOf(launcher.id(), "WTWindow");
        ASSERT_EQ(windows.size(), 1u);
        PostMessageA(windows[0], WM_CLOSE, 0, 0);
        EXPECT_EQ(ExitCodeOf(launcher), 0u);
        EXPECT_TRUE(test::Exists(Archive()));
        EXPECT_TRUE(test::Exists(Application()));
    }

    // Waits for the launcher to end and answers its exit code (0xFFFFFFFE when it did not end).
    DWORD ExitCodeOf(test::TracedProgram& launcher, DWORD milliseconds = kHangGuard) {
        DWORD exitCode = 0xFFFFFFFE;
        WatchUntil([&] { return launcher.Wait(0, &exitCode); }, milliseconds);
        return exitCode;
    }

    // The run the launcher started: from the tree it installed.
    static const AppStart* RunOf(const std::vector<AppStart>& runs, const std::string& program) {
        for (const AppStart& run : runs)
            if (Lower(run.program) == Lower(program))
                return &run;
        return nullptr;
    }

    std::string kestrelworks_;
    KernelHandle endAll_;
    std::deque<test::TracedProgram> launchers_;  // a deque: references to earlier launchers stay valid
    std::vector<std::string> leftovers_;         // files and trees a test made outside the install folder
    double launcherStart_ = 0;
    double archiveSeen_ = 0, treeSeen_ = 0;
    bool windowSeen_ = false, windowVisible_ = false;
};

TEST_F(LauncherRun, InstallsStartsTheApplicationOnceWithItsQuotedPathWatchesItAndCleansUpAfterIt) {
    test::TracedProgram& launcher = StartLauncher();
    ASSERT_TRUE(WaitForRuns(1)) << "the application never started";
    std::vector<AppStart> runs = ReadStarts();
    ASSERT_EQ(runs.size(), 1u);
    const AppStart run = runs[0];
    EXPECT_NE(archiveSeen_, 0) << "the archive never appeared";
    EXPECT_NE(treeSeen_, 0) << "the tree never appeared";
    EXPECT_GE(run.start - launcherStart_, kStartDelay) << "started before the three-second wait ended";
    EXPECT_EQ(run.command, Quoted(Application()) + " /n");
    EXPECT_EQ(Lower(run.program), Lower(Application()));
    // The application inherits the launcher's current folder, its own program folder.
    std::string launcherFolder = test::ProgramFolder();
    EXPECT_EQ(Lower(run.folder + "\\"), Lower(launcherFolder));

    // While it runs, the launcher waits and removes nothing: three periods of the watch see it.
    const std::size_t watching = launcher.Lines().size();
    for (int period = 0; period < 3; ++period)
        ASSERT_GE(launcher.WaitForLine(kStillRuns, kHangGuard, watching + period), 0);
    Look();
    EXPECT_TRUE(test::Exists(Archive()));
    EXPECT_TRUE(test::Exists(Application()));
    EXPECT_FALSE(launcher.Wait(0));

    EndApplication(run);
    ExpectCleanUpAtTheNextPeriod(launcher);
    EXPECT_TRUE(test::IsFolder(kestrelworks_)) << "the launcher's own folder must stay";
    EXPECT_EQ(ReadStarts().size(), 1u) << "the application was started more than once";
    EXPECT_TRUE(windowSeen_);
    EXPECT_FALSE(windowVisible_) << "the launcher's window became visible";
}

TEST_F(LauncherRun, NoticesAnApplicationThatEndsAtOnceAtTheFirstPeriod) {
    SetLife(0);
    test::TracedProgram& launcher = StartLauncher();
    ASSERT_TRUE(WaitForRuns(1));
    const AppStart run = ReadStarts()[0];
    ASSERT_TRUE(test::ProcessGone(run.id, kHangGuard));
    ExpectCleanUpAtTheNextPeriod(launcher);
    EXPECT_TRUE(test::IsFolder(kestrelworks_));
    EXPECT_FALSE(windowVisible_);
}

TEST_F(LauncherRun, WaitsForAnyVelkarExeInAnyLetterCaseFromAnyFolder) {
    test::TempFolder elsewhere("other");
    const std::string other = elsewhere / "VELKAR.EXE";
    ASSERT_TRUE(CopyFileA(test::ProgramBeside("recording_app.exe").c_str(), other.c_str(), FALSE));
    test::Child stranger = test::Child::Start(Quoted(other), elsewhere.path());
    ASSERT_TRUE(stranger.started());
    test::TracedProgram& launcher = StartLauncher();
    ASSERT_TRUE(WaitForRuns(2));
    std::vector<AppStart> runs = ReadStarts();
    const AppStart* own = RunOf(runs, Application());
    ASSERT_NE(own, nullptr);
    const AppStart ownRun = *own;

    EndApplication(ownRun);
    // Two periods that began after its own application ended still see VELKAR.EXE.
    const std::size_t ownEnded = launcher.Lines().size();
    for (int period = 0; period < 2; ++period)
        ASSERT_GE(launcher.WaitForLine(kStillRuns, kHangGuard, ownEnded + period), 0);
    EXPECT_EQ(launcher.WaitForLine(kRunsNoMore, 0), -1) << "the launcher stopped watching while VELKAR.EXE ran";
    EXPECT_FALSE(launcher.Wait(0)) << "the launcher ended while VELKAR.EXE still ran";
    EXPECT_TRUE(test::Exists(Archive()));
    EXPECT_TRUE(test::Exists(Tree()));

    EndApplication(*RunOf(runs, other));
    ExpectCleanUpAtTheNextPeriod(launcher);
}

// A Velkar.exe started elsewhere while the watch waits its last second is neither ended (the clean-up
// ends no process: it may be the application another run has just started) nor left unwatched: the
// clean-up's look under the install lock sees it, and the run watches again until it ends.
TEST_F(LauncherRun, AVelkarExeStartedDuringTheLastWaitIsNotEndedAndSendsTheRunBackToWatching) {
    test::TempFolder elsewhere("late");
    const std::string late = elsewhere / "Velkar.exe";
    ASSERT_TRUE(CopyFileA(test::ProgramBeside("recording_app.exe").c_str(), late.c_str(), FALSE));
    // The launcher stops at the trace line that begins its clean-up: it has looked at the processes
    // and found none, and its one-second wait comes next. The late copy starts while it stands there,
    // however long the start takes, and is in the process list (it has written its record) before
    // the launcher goes on into that wait.
    test::TracedProgram& launcher = StartLauncher(kRunsNoMore);
    ASSERT_TRUE(WaitForRuns(1));
    EndApplication(ReadStarts()[0]);
    ASSERT_TRUE(launcher.WaitUntilHeld(kHangGuard)) << "the watch never noticed that the application ended";
    test::Child lateCopy = test::Child::Start(Quoted(late), elsewhere.path());
    ASSERT_TRUE(lateCopy.started());
    ASSERT_TRUE(WaitForRuns(2)) << "the late copy did not start";
    launcher.Release();

    const int back = launcher.WaitForLine("clean-up: back to watching", kHangGuard);
    ASSERT_GE(back, 0) << "the clean-up did not look again under the lock";
    ASSERT_GE(launcher.WaitForLine(kStillRuns, kHangGuard, back), 0);
    EXPECT_FALSE(lateCopy.Wait(0)) << "the late copy was ended";
    EXPECT_TRUE(test::Exists(Archive()));
    EXPECT_TRUE(TreeWhole()) << "the clean-up removed files while a Velkar.exe ran";
    EndApplication(*RunOf(ReadStarts(), late));
    ExpectCleanUpAtTheNextPeriod(launcher);
}

TEST_F(LauncherRun, ACloseRequestWhileWatchingEndsTheLauncherWithZeroAndLeavesTheFiles) {
    test::TracedProgram& launcher = StartLauncher();
    ASSERT_TRUE(WaitForRuns(1));
    const AppStart run = ReadStarts()[0];
    ASSERT_GE(launcher.WaitForLine(kStillRuns, kHangGuard), 0);  // the event loop runs
    CloseAndExpectFilesKept(launcher);
    EXPECT_FALSE(test::ProcessGone(run.id, 0)) << "the application must go on running";
    EXPECT_FALSE(windowVisible_);
}

// Both launchers run with an unelevated token (a seam: Wine reports every token elevated), where a
// second launcher finds Velkar.exe in use and starts that file.
TEST_F(LauncherRun, ASecondUnelevatedLauncherRunsItsCourseAndBothEndWhenNoApplicationIsLeft) {
    test::TracedProgram& first = StartWithSeams("--token unelevated");
    ASSERT_TRUE(WaitForRuns(1));
    test::TracedProgram& second = StartWithSeams("--token unelevated");
    ASSERT_TRUE(WaitForRuns(2)) << "the second launcher started no application";
    std::vector<AppStart> runs = ReadStarts();
    ASSERT_EQ(runs.size(), 2u);
    for (const AppStart& run : runs) {
        EXPECT_EQ(run.command, Quoted(Application()) + " /n");
    }

    EndApplication(runs[0]);
    // Two periods of each that began after the first application ended still see the second.
    for (test::TracedProgram* launcher : {&first, &second}) {
        const std::size_t firstEnded = launcher->Lines().size();
        for (int period = 0; period < 2; ++period)
            ASSERT_GE(launcher->WaitForLine(kStillRuns, kHangGuard, firstEnded + period), 0);
    }
    EXPECT_FALSE(first.Wait(0));
    EXPECT_FALSE(second.Wait(0));

    EndApplication(runs[1]);
    EXPECT_EQ(ExitCodeOf(first), 0u);
    EXPECT_EQ(ExitCodeOf(second), 0u);
    EXPECT_TRUE(Gone());
    EXPECT_TRUE(test::IsFolder(kestrelworks_));
    EXPECT_FALSE(windowVisible_);
}

TEST_F(LauncherRun, AnApplicationDataFolderWithASpaceStartsTheRightProgramAndNotItsFirstWord) {
    const std::string root = "C:\\kestrel e2e";
    const std::string appData = root + "\\Roaming";
    const std::string planted = "C:\\kestrel.exe";  // where the unquoted line would be tried first
    test::RemoveTree(root);
    // Removed by the fixture however the test ends, once the programs have ended.
    leftovers_ = {planted, root};
    ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(appData.c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(test::ProgramBeside("recording_app.exe").c_str(), planted.c_str(), FALSE));
    {
        test::AppDataRedirection redirection(appData);
        ASSERT_EQ(Lower(test::ShellAppData()), Lower(appData)) << "the prefix did not take the redirection";
        UseAppData(appData);
        test::TracedProgram& launcher = StartLauncher();
        ASSERT_TRUE(WaitForRuns(1));
        ASSERT_GE(launcher.WaitForLine(kStillRuns, kHangGuard), 0);  // a wrong program would have started by now
        std::vector<AppStart> runs = ReadStarts();
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(Lower(runs[0].program), Lower(Application())) << "ran " << runs[0].program;
        EXPECT_EQ(runs[0].command, Quoted(Application()) + " /n");
        EndApplication(runs[0]);
        EXPECT_EQ(ExitCodeOf(launcher), 0u);
        EXPECT_TRUE(Gone());
    }
}

TEST_F(LauncherRun, AnInterruptedEarlierRunDoesNotStopTheNextFromInstallingLaunchingAndCleaningUp) {
    // What a run ended during extraction leaves: a stale archive and a partly written entry, still
    // read-only as entries are created with the payload's attributes.
    ASSERT_TRUE(CreateDirectoryA(kestrelworks_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(Tree().c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(Archive(), "PK\x03\x04 stale and cut short"));
    ASSERT_TRUE(test::WriteWholeFile(Application(), "MZ cut short"));
    ASSERT_TRUE(SetFileAttributesA(Application().c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));

    test::TracedProgram& launcher = StartLauncher();
    ASSERT_TRUE(WaitForRuns(1)) << "the application did not start over the leftovers";
    const AppStart run = ReadStarts()[0];
    EXPECT_EQ(Lower(run.program), Lower(Application()));
    EndApplication(run);
    EXPECT_EQ(ExitCodeOf(launcher), 0u);
    EXPECT_TRUE(Gone()) << "the leftovers stayed";
}

// --- The end of a run: the whole tree watched, the end of the session ---------------------------------

// The end of the session as Wine 8 makes it: `wineboot --end-session` asks and tells each process
// that has a top-level window, in the order of their ids, and ends each one as soon as its
// WM_ENDSESSION returns. The recording application has no window: it is not told and runs on, so the
// launcher is told while the application runs (Windows would tell the application first and end it).
DWORD EndSession() { return test::RunToEnd("wineboot.exe --end-session", kHangGuard); }

// Starts a copy of the recording application from the installed tree under another name, as a real
// application starts its updater or crash reporter, and answers its record (no id when it did not start).
AppStart StartHelper(const std::string& tree, const std::string& name, test::Child& helper) {
    const std::string program = tree + "\\" + name;
    EXPECT_TRUE(CopyFileA(test::ProgramBeside("recording_app.exe").c_str(), program.c_str(), FALSE));
    helper = test::Child::Start(Quoted(program));
    EXPECT_TRUE(helper.started());
    AppStart started;
    test::WaitUntil(
        [&] {
            for (const AppStart& run : ReadStarts())
                if (run.id == helper.id())
                    started = run;
            return started.id != 0;
        },
        kHangGuard);
    return started;
}

TEST_F(LauncherRun, TheSessionEndingWhileTheApplicationRunsTakesTheArchiveAtOnceAndLeavesTheTree) {
    test::TracedProgram& launcher = StartLauncher();
    ASSERT_TRUE(WaitForRuns(1));
    const AppStart run = ReadStarts()[0];
    ASSERT_GE(launcher.WaitForLine(kStillRuns, kHangGuard), 0);
    EXPECT_GE(launcher.WaitForLine("end of session: told at level 0x100, flags 1", 0), 0)
        << "the launcher did not ask to be told after the applications, never holding the end up";

    EXPECT_EQ(EndSession(), 0u);
    EXPECT_EQ(ExitCodeOf(launcher), 0u);
    EXPECT_FALSE(test::Exists(Archive())) << "the archive stayed";
    EXPECT_TRUE(test::Exists(Application())) << "the tree went while the application ran from it";
    EXPECT_GE(launcher.WaitForLine("session ends: tree kept: Velkar.exe still runs", 0), 0);
    EXPECT_FALSE(test::ProcessGone(run.id, 0)) << "the launcher ended the application";
    const int removed = launcher.WaitForLine("session ends: archive removed", 0);
    ASSERT_GE(removed, 0);
    std::printf("from WM_ENDSESSION to the archive gone: %s\n", launcher.Lines()[removed].c_str());
}

TEST_F(LauncherRun, TheSessionEndingJustAfterTheApplicationEndedTakesTheArchiveAndTheTree) {
    // A watch period far longer than the test: only the end of the session can find the application ended.
    test::TracedProgram& launcher = StartWithSeams("--watch-period 600000");
    ASSERT_TRUE(WaitForRuns(1));
    EndApplication(ReadStarts()[0]);

    EXPECT_EQ(EndSession(), 0u);
    EXPECT_EQ(ExitCodeOf(launcher), 0u);
    EXPECT_TRUE(Gone()) << "the archive or the tree stayed";
    EXPECT_GE(launcher.WaitForLine("session ends: tree removed", 0), 0);
    EXPECT_EQ(launcher.WaitForLine(kWatchPeriod, 0), -1) << "the watch, not the end of the session, removed them";
}

TEST_F(LauncherRun, AHelperRunningFromTheTreeUnderAnotherNameKeepsTheTreeUntilItEnds) {
    test::TracedProgram& launcher = StartLauncher();
    ASSERT_TRUE(WaitForRuns(1));
    const AppStart application = ReadStarts()[0];
    test::Child child;
    const AppStart helper = StartHelper(Tree(), "Updater.exe", child);
    ASSERT_NE(helper.id, 0u) << "the helper did not start";

    EndApplication(application);
    // Two periods that began after Velkar.exe ended still see the helper.
    const std::size_t applicationEnded = launcher.Lines().size();
    for (int period = 0; period < 2; ++period)
        ASSERT_GE(launcher.WaitForLine("Updater.exe still runs from the tree", kHangGuard, applicationEnded + period),
                  0);
    EXPECT_EQ(launcher.WaitForLine(kRunsNoMore, 0), -1) << "the launcher stopped watching while the helper ran";
    EXPECT_FALSE(launcher.Wait(0));
    EXPECT_TRUE(test::Exists(Archive()));
    EXPECT_TRUE(test::Exists(Tree() + "\\Updater.exe"));
    EXPECT_TRUE(test::Exists(Application()));

    EndApplication(helper);
    ExpectCleanUpAtTheNextPeriod(launcher);
}

TEST_F(LauncherRun, AHelperStartedFromTheTreeDuringTheLastWaitKeepsEverythingUntilItEnds) {
    // Held where the watch has decided to clean up, before its one-second wait: the helper starts then.
    test::TracedProgram& launcher = StartLauncher(kRunsNoMore);
    ASSERT_TRUE(WaitForRuns(1));
    EndApplication(ReadStarts()[0]);
    ASSERT_TRUE(launcher.WaitUntilHeld(kHangGuard)) << "the watch never noticed that the application ended";
    test::Child child;
    const AppStart helper = StartHelper(Tree(), "Reporter.exe", child);
    ASSERT_NE(helper.id, 0u) << "the helper did not start";
    launcher.Release();

    ASSERT_GE(launcher.WaitForLine("Reporter.exe still runs from the tree: nothing is removed", kHangGuard), 0)
        << "the trace does not say why";
    ASSERT_GE(launcher.WaitForLine("clean-up: back to watching", kHangGuard), 0);
    EXPECT_TRUE(test::Exists(Archive()));
    EXPECT_TRUE(TreeWhole()) << "the tree lost files under the running helper";
    EXPECT_FALSE(test::ProcessGone(helper.id, 0)) << "the launcher ended the helper";
    EndApplication(helper);
    ExpectCleanUpAtTheNextPeriod(launcher);
}

TEST_F(LauncherRun, AProcessListThatCannotBeTakenCountsAsStillRunningAndRemovesNothing) {
    test::TracedProgram& launcher = StartWithSeams("--snapshot-fails");
    ASSERT_TRUE(WaitForRuns(1));
    EndApplication(ReadStarts()[0]);
    const std::size_t applicationEnded = launcher.Lines().size();
    for (int period = 0; period < 2; ++period)
        ASSERT_GE(launcher.WaitForLine("the process list could not be taken (error 8): counted as still running",
                                       kHangGuard, applicationEnded + period),
                  0);
    EXPECT_EQ(launcher.WaitForLine(kRunsNoMore, 0), -1) << "an empty list was taken for no application";
    EXPECT_FALSE(launcher.Wait(0));
    EXPECT_TRUE(test::Exists(Archive()));
    EXPECT_TRUE(test::Exists(Application()));
    CloseAndExpectFilesKept(launcher);
}

// --- One run at a time per install folder -------------------------------------------------------------
// Two launchers never install into, or clean up, the same tree at once: each holds the install lock from
// before its archive is written to the return of its start, and again for its clean-up, which looks at
// the processes once more under it. The real launchers here run with Wine's token, which reads elevated:
// a second one finding the application running starts nothing it did not write, and watches.

// The case an impatient double-click makes: the second waits for the first's install and start (or the
// first for the second's, whichever took the lock first), and the application starts from a whole tree.
TEST_F(LauncherRun, TwoLaunchersStartedAThirdOfASecondApartStartTheApplicationFromAWholeTreeAndBothEndWithZero) {
    test::TracedProgram& first = StartLauncher();
    Sleep(300);
    test::TracedProgram& second = StartLauncher();
    ASSERT_TRUE(WaitForRuns(1)) << "no application started";
    for (test::TracedProgram* launcher : {&first, &second})
        ASSERT_GE(launcher->WaitForLine(kWatchPeriod, kHangGuard), 0) << "a launcher never watched";
    const std::vector<AppStart> runs = ReadStarts();
    ASSERT_EQ(runs.size(), 1u) << "an elevated run started a program it did not write";
    EXPECT_EQ(runs[0].files, kPayloadFileCount) << "the application started from a partial tree";
    EXPECT_TRUE(first.WaitForLine(kWaitsForTheLock, 0) >= 0 || second.WaitForLine(kWaitsForTheLock, 0) >= 0)
        << "neither launcher waited for the other";
    EXPECT_TRUE(TreeWhole());

    EndApplication(runs[0]);
    EXPECT_EQ(ExitCodeOf(first), 0u);
    EXPECT_EQ(ExitCodeOf(second), 0u);
    EXPECT_TRUE(Gone()) << "the archive or the tree stayed";
}

// Started again while the first run removes its tree: the second waits for the clean-up to end, then
// installs a whole tree of its own, which nothing removes while its application runs.
TEST_F(LauncherRun, ASecondLauncherStartedDuringTheFirstsCleanUpStartsFromAWholeTreeThatStaysWhileItRuns) {
    test::TracedProgram& first = StartPausingAt("clean-up-locked");
    ASSERT_TRUE(WaitForRuns(1));
    const AppStart firstRun = ReadStarts()[0];
    EndApplication(firstRun);
    // The first holds the lock now, about to look at the processes once more and remove the tree.
    ASSERT_GE(first.WaitForLine(kCleanUpLocked, kHangGuard), 0) << "the clean-up never took the lock";
    test::TracedProgram& second = StartLauncher();
    ASSERT_GE(second.WaitForLine(kWaitsForTheLock, kHangGuard), 0) << "the second did not wait for the clean-up";
    Go();
    EXPECT_EQ(ExitCodeOf(first), 0u);

    ASSERT_TRUE(WaitForRuns(2)) << "the second launcher started no application";
    const AppStart* secondRun = nullptr;
    for (const AppStart& run : ReadStarts())
        if (run.id != firstRun.id)
            secondRun = &run;
    ASSERT_NE(secondRun, nullptr);
    const AppStart started = *secondRun;
    EXPECT_EQ(started.files, kPayloadFileCount) << "the second application started from a partial tree";
    const std::size_t watching = second.Lines().size();
    for (int period = 0; period < 2; ++period) {
        ASSERT_GE(second.WaitForLine(kStillRuns, kHangGuard, watching + period), 0);
        EXPECT_TRUE(TreeWhole()) << "files went while the second application ran";
    }
    EndApplication(started);
    EXPECT_EQ(ExitCodeOf(second), 0u);
    EXPECT_TRUE(Gone());
}

// Started again right after the application ended, before the first run's clean-up takes the lock: the
// second takes it first and finds nothing running. An elevated run makes its tree new, and the first run
// holds the emptied folder until its clean-up: the second lets the lock go and waits for that clean-up
// (where the platform lets a held folder go, it installs at once, and the first's clean-up, finding the
// second's application running under the lock, watches again). Either way the second application
// starts from a whole tree, nothing of it goes while it runs, and both end with 0.
TEST_F(LauncherRun, ALauncherStartedJustBeforeTheFirstsCleanUpStartsFromAWholeTreeAndBothEndWithZero) {
    test::TracedProgram& first = StartPausingAt("clean-up-decided");
    ASSERT_TRUE(WaitForRuns(1));
    const AppStart firstRun = ReadStarts()[0];
    EndApplication(firstRun);
    ASSERT_GE(first.WaitForLine(kRunsNoMore, kHangGuard), 0) << "the watch never noticed that the application ended";
    test::TracedProgram& second = StartLauncher();
    WatchUntil([&] { return second.WaitForLine("held open", 0) >= 0 || ReadStarts().size() >= 2; }, kHangGuard);
    std::printf("the second %s\n", second.WaitForLine("held open", 0) >= 0
                                       ? "waited for the first run's hold of the emptied tree"
                                       : "installed while the first run held its tree");
    Go();

    ASSERT_TRUE(WaitForRuns(2)) << "the second launcher started no application";
    AppStart started;
    for (const AppStart& run : ReadStarts())
        if (run.id != firstRun.id)
            started = run;
    EXPECT_EQ(started.files, kPayloadFileCount) << "the second application started from a partial tree";
    const std::size_t watching = second.Lines().size();
    for (int period = 0; period < 2; ++period) {
        ASSERT_GE(second.WaitForLine(kStillRuns, kHangGuard, watching + period), 0);
        EXPECT_TRUE(TreeWhole()) << "files went while the second application ran";
    }
    EndApplication(started);
    EXPECT_EQ(ExitCodeOf(first), 0u);
    EXPECT_EQ(ExitCodeOf(second), 0u);
    EXPECT_TRUE(Gone());
}

// The same with unelevated runs (a seam), where a tree emptied but held by the first run is extracted
// into at once: the first run's clean-up, under the lock, sees the second application and watches again.
TEST_F(LauncherRun, AnUnelevatedLauncherStartedBeforeTheFirstsCleanUpKeepsItsTreeAndTheFirstWatchesAgain) {
    test::TracedProgram& first = StartPausingAt("clean-up-decided", "--token unelevated");
    ASSERT_TRUE(WaitForRuns(1));
    const AppStart firstRun = ReadStarts()[0];
    EndApplication(firstRun);
    ASSERT_GE(first.WaitForLine(kRunsNoMore, kHangGuard), 0);
    test::TracedProgram& second = StartWithSeams("--token unelevated");
    ASSERT_TRUE(WaitForRuns(2)) << "the second launcher started no application";
    AppStart started;
    for (const AppStart& run : ReadStarts())
        if (run.id != firstRun.id)
            started = run;
    EXPECT_EQ(started.files, kPayloadFileCount) << "the second application started from a partial tree";
    Go();

    ASSERT_GE(first.WaitForLine("clean-up: back to watching", kHangGuard), 0)
        << "the first run's clean-up did not see the second application";
    EXPECT_TRUE(TreeWhole()) << "the first run's clean-up removed files of the second's tree";
    EXPECT_FALSE(first.Wait(0));
    EndApplication(started);
    EXPECT_EQ(ExitCodeOf(first), 0u);
    EXPECT_EQ(ExitCodeOf(second), 0u);
    EXPECT_TRUE(Gone());
}

// A run waiting for the lock still handles its messages: a close request ends it with 0, and it has
// written nothing; the run that holds the lock goes on as if alone.
TEST_F(LauncherRun, ACloseRequestWhileWaitingForTheInstallFolderEndsTheRunWithZero) {
    // The first stops inside its three-second wait, the lock held, until the test lets it go on.
    test::TracedProgram& first =
        StartWithSeams("--wait-for " + Quoted(GoFile()) + " --during-wait " + Quoted("cmd.exe /c exit 0"));
    ASSERT_GE(first.WaitForLine("Extract into", kHangGuard), 0) << "the first never extracted its archive";
    test::TracedProgram& second = StartLauncher();
    ASSERT_GE(second.WaitForLine(kWaitsForTheLock, kHangGuard), 0) << "the second did not wait";
    std::vector<HWND> windows = test::WindowsOf(second.id(), "WTWindow");
    ASSERT_EQ(windows.size(), 1u);
    PostMessageA(windows[0], WM_CLOSE, 0, 0);
    EXPECT_EQ(ExitCodeOf(second), 0u);
    EXPECT_GE(second.WaitForLine("the window was closed while waiting: nothing is installed or started", 0), 0);
    Go();
    ASSERT_TRUE(WaitForRuns(1));
    EXPECT_EQ(ReadStarts()[0].files, kPayloadFileCount);
    EndApplication(ReadStarts()[0]);
    EXPECT_EQ(ExitCodeOf(first), 0u);
    EXPECT_TRUE(Gone());
}

// Velkar\ lies in Kestrelworks, which carries no label: the High label of an elevated tree guards what
// lies inside the folder, not its name. By Microsoft's rules a rename is an open of the folder for DELETE
// (MoveFileEx; SetFileInformationByHandle with FileRenameInfo needs a handle with DELETE access), and the
// access check grants DELETE to a caller that holds FILE_DELETE_CHILD on the parent folder even where
// the object's own list grants no DELETE ("File Security and Access Rights"; MS-FSA 2.1.5.1.2.1);
// mandatory integrity control weighs no-write-up against the object opened, and a folder the user owns
// and made without a label gives them that right. So a medium-integrity program of the user may rename
// a High-labelled Velkar\ away and put a folder of its own in its place, unless the rename's open fails
// its sharing check: DELETE takes part in sharing (CreateFile: a later open that asks for delete access
// fails unless every open handle shares delete), and the launcher holds Velkar\ with list-directory
// access, which takes part in sharing too, without FILE_SHARE_DELETE, from its creation to the end of the
// clean-up. Tried while the application runs and while the clean-up holds the lock; where Wine lets the
// rename through (it keeps no sharing for some folder opens), the folder is put back and it says so.
TEST_F(LauncherRun, TheTreeCannotBeRenamedAwayWhileTheApplicationRunsNorDuringTheCleanUp) {
    test::TracedProgram& launcher = StartLauncher(kCleanUpLocked);
    ASSERT_TRUE(WaitForRuns(1));
    const AppStart run = ReadStarts()[0];
    ASSERT_GE(launcher.WaitForLine(kStillRuns, kHangGuard), 0);
    const std::string moved = kestrelworks_ + "\\Moved";
    auto expectRenameRefused = [&](const char* when) {
        if (MoveFileA(Tree().c_str(), moved.c_str())) {
            EXPECT_TRUE(MoveFileA(moved.c_str(), Tree().c_str()));
            std::printf("Wine let another process rename the held tree %s: not shown here\n", when);
            return;
        }
        const DWORD error = GetLastError();
        EXPECT_TRUE(error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) << when << ": " << error;
    };
    expectRenameRefused("while the application runs");
    EndApplication(run);
    ASSERT_TRUE(launcher.WaitUntilHeld(kHangGuard)) << "the clean-up never took the lock";
    expectRenameRefused("during the clean-up");
    launcher.Release();
    EXPECT_EQ(ExitCodeOf(launcher), 0u);
    EXPECT_TRUE(Gone());
    EXPECT_FALSE(test::Exists(moved));
}

// --- An install that failed starts nothing ---------------------------------------------------------------
// The payloads carry one fault each, in an entry after Velkar.exe (which is written and checked): the
// tree would be partial. Nothing starts, what the run wrote goes, the exit code says so, and the trace
// names the entry and the error.

TEST_F(LauncherRun, AWrongCrc32StartsNothingLeavesNothingAndEndsWithTheInstallFailureCode) {
    test::TracedProgram& launcher = StartCommand(Quoted(test::ProgramBeside("launcher_bad_crc.exe")));
    EXPECT_EQ(ExitCodeOf(launcher), kInstallFailed);
    EXPECT_TRUE(ReadStarts().empty()) << "the application started from a partial tree";
    EXPECT_TRUE(Gone()) << "what the failed install wrote stayed";
    EXPECT_TRUE(test::IsFolder(kestrelworks_));
    // ERROR_CRC.
    EXPECT_GE(launcher.WaitForLine("install failed: entry \"Velkar/Resources/readme.txt\" (error 23)", 0), 0);
    EXPECT_GE(launcher.WaitForLine("install failed: archive removed, tree removed", 0), 0);
    EXPECT_EQ(launcher.WaitForLine("command", 0), -1) << "a start was tried";
}

TEST_F(LauncherRun, ARefusedNameStartsNothingLeavesNothingAndEndsWithTheInstallFailureCode) {
    test::TracedProgram& launcher = StartCommand(Quoted(test::ProgramBeside("launcher_bad_name.exe")));
    EXPECT_EQ(ExitCodeOf(launcher), kInstallFailed);
    EXPECT_TRUE(ReadStarts().empty()) << "the application started from a partial tree";
    EXPECT_TRUE(Gone()) << "what the failed install wrote stayed";
    EXPECT_FALSE(test::Exists(kestrelworks_ + "\\evil.in")) << "the refused name was written outside the tree";
    // ERROR_INVALID_NAME.
    EXPECT_GE(launcher.WaitForLine("install failed: entry \"Velkar/../evil.in\" (error 123)", 0), 0);
    EXPECT_GE(launcher.WaitForLine("install failed: archive removed, tree removed", 0), 0);
}

// The prebuilt launcher, never packed, carries no archive: the fatal report, nothing written or started.
TEST_F(LauncherRun, ThePrebuiltLauncherWithoutAnArchiveEndsWithTheFatalReportAndWritesNothing) {
    test::TracedProgram& launcher = StartCommand(Quoted(test::ProgramBeside("launcher-prebuilt.exe")));
    HWND box = nullptr;
    WatchUntil([&] { return (box = test::WindowOf(launcher.id(), nullptr, "错误")) != nullptr; }, kHangGuard);
    ASSERT_NE(box, nullptr) << "no box captioned 错误";
    char text[512] = "";
    WatchUntil([&] { return GetWindowTextA(GetDlgItem(box, 0xFFFF), text, sizeof text) > 0; }, kHangGuard);
    EXPECT_EQ(std::string(text), "运行时出错!\r\n\r\n错误信息：程序中没有可安装的应用程序压缩包!\r\n\r\n0, 0\r\n");
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    EXPECT_EQ(ExitCodeOf(launcher), 0xFFFFFFFFu);  // -1
    EXPECT_FALSE(test::Exists(Archive()));
    EXPECT_FALSE(test::Exists(Tree()));
    EXPECT_TRUE(ReadStarts().empty());
}

// What another program of the user can plant in the install folder before a run: the run must
// neither write, start nor delete anything outside it through what was planted.
class PlantedInstallFolder : public LauncherRun {
protected:
    void TearDown() override {
        for (const std::string& link : links_)
            test::RunUnix("Z:\\bin\\rm -f " + Quoted(test::UnixPath(link)));
        for (const std::string& link : links_)
            test::WaitUntil([&] { return !test::Exists(link); }, 5000);
        LauncherRun::TearDown();
    }

    // A Unix symbolic link, which Wine lists as a folder link (0x410) but opens through to its target
    // whatever the flags; Windows would open a junction or symbolic link there as itself. Either way
    // the launcher must take the link for what it is.
    void PlantFolderLink(const std::string& target, const std::string& link) {
        links_.push_back(link);
        ASSERT_TRUE(
            test::RunUnix("Z:\\bin\\ln -s " + Quoted(test::UnixPath(target)) + " " + Quoted(test::UnixPath(link))));
        ASSERT_TRUE(test::WaitUntil([&] { return test::Exists(link); }, 5000));
    }

    static std::string Read(const std::string& path) {
        std::string bytes;
        EXPECT_TRUE(test::ReadWholeFile(path, bytes)) << path;
        return bytes;
    }

    std::vector<std::string> links_;
};

TEST_F(PlantedInstallFolder, AHardLinkAtTheArchivesNameLosesOnlyThatName) {
    test::TempFolder outside("outside");
    const std::string victim = outside / "victim.txt";
    ASSERT_TRUE(test::WriteWholeFile(victim, "not the archive"));
    ASSERT_TRUE(CreateDirectoryA(kestrelworks_.c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkA(Archive().c_str(), victim.c_str(), nullptr));

    test::TracedProgram& launcher = StartLauncher();
    ASSERT_TRUE(WaitForRuns(1)) << "the application did not start";
    EXPECT_EQ(Read(victim), "not the archive") << "the payload was written into the linked file";
    EndApplication(ReadStarts()[0]);
    EXPECT_EQ(ExitCodeOf(launcher, kHangGuard), 0u);
    EXPECT_TRUE(Gone());
    EXPECT_EQ(Read(victim), "not the archive");
}

TEST_F(PlantedInstallFolder, AFolderLinkAtTheApplicationsFolderIsNeitherWrittenThroughNorStarted) {
    // The folder the link leads to holds a Velkar.exe of its own, which records itself if started.
    test::TempFolder outside("other");
    ASSERT_TRUE(CopyFileA(test::ProgramBeside("recording_app.exe").c_str(), (outside / "Velkar.exe").c_str(), FALSE));
    ASSERT_TRUE(test::WriteWholeFile(outside / "readme.txt", "theirs"));
    std::string program;
    ASSERT_TRUE(test::ReadWholeFile(outside / "Velkar.exe", program));
    ASSERT_TRUE(CreateDirectoryA(kestrelworks_.c_str(), nullptr));
    PlantFolderLink(outside.path(), Tree());

    test::TracedProgram& launcher = StartLauncher();
    // The tree cannot be made new where a link stands (Wine cannot remove a folder link; Windows removes
    // it as a link): the install fails, and nothing starts.
    EXPECT_EQ(ExitCodeOf(launcher, kHangGuard), kInstallFailed);
    EXPECT_TRUE(ReadStarts().empty()) << "a program behind the link was started";
    EXPECT_GE(launcher.WaitForLine("nothing is installed or started", 0), 0)
        << "the trace does not say why nothing started";
    EXPECT_EQ(Read(outside / "readme.txt"), "theirs");
    std::string after;
    EXPECT_TRUE(test::ReadWholeFile(outside / "Velkar.exe", after));
    EXPECT_TRUE(after == program) << "the program behind the link was written over";
    EXPECT_FALSE(test::Exists(Archive())) << "the archive stays after the run";
}

TEST_F(PlantedInstallFolder, AFolderLinkAtTheInstallFolderIsNeitherWrittenIntoNorCleaned) {
    // Through a link at "Kestrelworks" an elevated run would remove whatever "Velkar" folder the link
    // leads to: the run installs nothing, starts nothing and removes nothing.
    test::TempFolder outside("elsewhere");
    ASSERT_TRUE(CreateDirectoryA((outside / "Velkar").c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(outside / "Velkar\\keep.txt", "keep"));
    PlantFolderLink(outside.path(), kestrelworks_);

    test::TracedProgram& launcher = StartLauncher();
    EXPECT_EQ(ExitCodeOf(launcher, kHangGuard), kInstallFailed);
    EXPECT_TRUE(ReadStarts().empty());
    EXPECT_GE(launcher.WaitForLine("a link stands at its name", 0), 0) << "the trace does not say why";
    EXPECT_EQ(Read(outside / "Velkar\\keep.txt"), "keep");
    EXPECT_FALSE(test::Exists(outside / kArchiveName)) << "the archive was written through the link";
    EXPECT_FALSE(test::Exists(outside / "Velkar\\Velkar.exe")) << "the tree was extracted through the link";
}

// --- What starts is what this run wrote ------------------------------------------------------------
// An unelevated program of the user may plant an archive, swap the program during the wait or re-point
// a link above the install folder; a launcher run "as administrator" would otherwise start its program
// with the administrator's rights.

class StartsWhatItWrote : public PlantedInstallFolder {
protected:
    void SetUp() override {
        PlantedInstallFolder::SetUp();
        report_ = std::string(kRecords) + "\\seams.txt";
    }
    // Another program's archive: its own Velkar.exe and a file the launcher's payload does not hold.
    std::string ForeignArchive() {
        std::string program;
        EXPECT_TRUE(test::ReadWholeFile(test::ProgramBeside("recording_app.exe"), program));
        std::vector<zipwriter::Entry> entries(3);
        entries[0].name = "Velkar/";
        entries[0].folder = true;
        entries[1].name = "Velkar/Velkar.exe";
        entries[1].data = program;
        entries[2].name = "Velkar/planted.txt";
        entries[2].data = "planted";
        return zipwriter::BuildArchive(entries);
    }
    std::string Report() {
        std::string bytes;
        (void)test::ReadWholeFile(report_, bytes);
        return bytes;
    }
    // A program that is not the payload's: what an attacker would put in Velkar.exe's place.
    static std::string Attacker() { return test::ProgramBeside("sysops_busy_child.exe"); }
    std::string report_;
};

// The read-only archive is replaced: the run extracts what it wrote, never the planted archive.
TEST_F(StartsWhatItWrote, AReadOnlyArchiveAtItsNameIsReplaced) {
    ASSERT_TRUE(CreateDirectoryA(kestrelworks_.c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(Archive(), ForeignArchive()));
    ASSERT_TRUE(SetFileAttributesA(Archive().c_str(), FILE_ATTRIBUTE_READONLY));

    test::TracedProgram& launcher = StartLauncher();
    ASSERT_TRUE(WaitForRuns(1));
    EXPECT_FALSE(test::Exists(Tree() + "\\planted.txt")) << "the planted archive was extracted";
    EXPECT_EQ(Lower(ReadStarts()[0].program), Lower(Application()));
    EndApplication(ReadStarts()[0]);
    EXPECT_EQ(ExitCodeOf(launcher), 0u);
    EXPECT_TRUE(Gone());
}

// An archive another program holds open cannot be replaced: nothing is extracted from that name and
// nothing of it starts; the install has failed.
TEST_F(StartsWhatItWrote, AnArchiveHeldOpenByAnotherProgramIsNeitherExtractedNorStarted) {
    ASSERT_TRUE(CreateDirectoryA(kestrelworks_.c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(Archive(), ForeignArchive()));
    FileHandle holder{CreateFileA(Archive().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr)};
    ASSERT_TRUE(holder);

    test::TracedProgram& launcher = StartLauncher();
    EXPECT_EQ(ExitCodeOf(launcher), kInstallFailed);
    EXPECT_GE(launcher.WaitForLine("Extract not called", 0), 0);
    EXPECT_TRUE(ReadStarts().empty()) << "a program of the planted archive started";
    EXPECT_FALSE(test::Exists(Tree() + "\\planted.txt"));
    holder.reset();
    EXPECT_EQ(launcher.WaitForLine("command started", 0), -1);
}

// During the three-second wait another program tries to copy its own program over Velkar.exe: the file
// is held, shared for reading only, so the copy fails, and what starts is what was written.
TEST_F(StartsWhatItWrote, TheProgramCannotBeReplacedDuringTheWait) {
    test::TracedProgram& launcher =
        StartWithSeams("--report " + Quoted(report_) + " --during-wait " +
                       Quoted("cmd.exe /c copy /y " + Quoted(Attacker()) + " " + Quoted(Application())));
    ASSERT_TRUE(WaitForRuns(1));
    EXPECT_NE(Report().find("during-wait="), std::string::npos);
    EXPECT_EQ(Report().find("during-wait=0"), std::string::npos) << "the copy over the held program went through";
    const AppStart run = ReadStarts()[0];
    EXPECT_EQ(Lower(run.program), Lower(Application()));
    std::string started, written;
    EXPECT_TRUE(test::ReadWholeFile(Application(), started));
    EXPECT_TRUE(test::ReadWholeFile(test::ProgramBeside("recording_app.exe"), written));
    EXPECT_TRUE(started == written) << "Velkar.exe is not the program the payload carries";
    EndApplication(run);
    EXPECT_EQ(ExitCodeOf(launcher), 0u);
}

// Between the close of Velkar.exe's writing handle and its check another program puts its own program
// there: the check sees another file, the install fails, nothing starts and the swapped-in file goes
// with the tree.
TEST_F(StartsWhatItWrote, AProgramSwappedRightAfterItsWritingIsNotStarted) {
    test::TracedProgram& launcher =
        StartWithSeams("--report " + Quoted(report_) + " --after-write " +
                       Quoted("cmd.exe /c copy /y " + Quoted(Attacker()) + " " + Quoted(Application())));
    EXPECT_EQ(ExitCodeOf(launcher), kInstallFailed);
    EXPECT_NE(Report().find("after-write=0"), std::string::npos) << "the swap did not happen: " << Report();
    EXPECT_TRUE(ReadStarts().empty());
    EXPECT_GE(launcher.WaitForLine("install failed: entry \"Velkar/Velkar.exe\"", 0), 0);
    EXPECT_TRUE(Gone());
    EXPECT_EQ(launcher.WaitForLine("command started", 0), -1) << "the swapped program was started";
}

// A link above the install folder (users move their application-data folder with links) re-pointed
// during the wait at a folder that holds another Velkar.exe: what starts is the file this run holds,
// by its own path, or nothing; never the program of the other folder.
TEST_F(StartsWhatItWrote, ALinkAboveTheInstallFolderRepointedDuringTheWaitStartsNothingElse) {
    const std::string real = "C:\\kestrel-real", other = "C:\\kestrel-other", link = "C:\\kestrel-link";
    leftovers_ = {real, other};
    for (const std::string& folder : {real, other}) {
        test::RemoveTree(folder);
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA((folder + "\\Kestrelworks").c_str(), nullptr));
    }
    ASSERT_TRUE(CreateDirectoryA((other + "\\Kestrelworks\\Velkar").c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(test::ProgramBeside("recording_app.exe").c_str(),
                          (other + "\\Kestrelworks\\Velkar\\Velkar.exe").c_str(), FALSE));
    ASSERT_TRUE(test::WriteWholeFile(other + "\\other.txt", "the other folder"));
    PlantFolderLink(real, link);
    test::AppDataRedirection redirection(link);
    UseAppData(real);
    const std::string repoint =
        "Z:\\bin\\ln -sfn " + Quoted(test::UnixPath(other)) + " " + Quoted(test::UnixPath(link));
    test::TracedProgram& launcher = StartWithSeams("--report " + Quoted(report_) + " --wait-for " +
                                                   Quoted(link + "\\other.txt") + " --during-wait " + Quoted(repoint));
    // The watch's first period comes after the start or the refusal: by then every start is recorded.
    ASSERT_GE(launcher.WaitForLine("watch:", kHangGuard), 0);
    EXPECT_NE(Report().find("during-wait=0"), std::string::npos) << "the link was not re-pointed: " << Report();
    for (const AppStart& run : ReadStarts()) {
        std::printf("started %s\n", run.program.c_str());
        EXPECT_EQ(Lower(run.program).find("kestrel-other"), std::string::npos) << "started " << run.program;
        EXPECT_EQ(Lower(run.program).find("kestrel-link"), std::string::npos) << "started " << run.program;
        EndApplication(run);
    }
    EXPECT_EQ(ExitCodeOf(launcher, kHangGuard), 0u);
    test::RemoveTree(real + "\\Kestrelworks\\Velkar");
    test::RemoveTree(real + "\\Kestrelworks\\" + kArchiveName);
}

// Without an application-data folder the run installs beside the program, by the program's full path,
// whatever the current folder is.
TEST_F(StartsWhatItWrote, AFailedLookUpInstallsBesideTheProgramByItsFullPath) {
    test::TempFolder beside("beside");
    test::TempFolder current("current");
    const std::string program = beside / "launcher_seams.exe";
    ASSERT_TRUE(CopyFileA(test::ProgramBeside("launcher_seams.exe").c_str(), program.c_str(), FALSE));
    UseAppData(beside.path());
    launchers_.emplace_back();
    test::TracedProgram& launcher = launchers_.back();
    ASSERT_TRUE(launcher.Start(Quoted(program) + " --no-appdata"));
    ASSERT_TRUE(WaitForRuns(1));
    const AppStart run = ReadStarts()[0];
    EXPECT_EQ(Lower(run.program), Lower(Application()));
    EXPECT_GE(launcher.WaitForLine("installing beside the program", 0), 0);
    EndApplication(run);
    EXPECT_EQ(ExitCodeOf(launcher), 0u);
    EXPECT_TRUE(Gone());
}

// An elevated run makes its tree with a High mandatory label, no-write-up, inherited by all below.
// Wine 8 takes the label and keeps none (it reads back empty), so the test reads the descriptor the
// tree is created with. On Windows, mandatory integrity control then refuses every write, delete or
// new file below the tree to a program of medium integrity ("No-Write-Up", Mandatory Integrity
// Control), even one of the same user whose access list would grant it: no unelevated program can put
// a library beside the elevated Velkar.exe.
TEST_F(StartsWhatItWrote, AnElevatedRunMakesItsTreeWithAHighNoWriteUpLabel) {
    ASSERT_TRUE(CreateDirectoryA(kestrelworks_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(Tree().c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(Tree() + "\\planted.dll", "planted"));
    test::TracedProgram& launcher = StartWithSeams("--token elevated --label --report " + Quoted(report_));
    ASSERT_TRUE(WaitForRuns(1));
    // SYSTEM_MANDATORY_LABEL_ACE_TYPE (0x11), object and container inherit (0x3), no-write-up (0x1),
    // the High integrity level's SID: what "S:(ML;OICI;NW;;;HI)" says.
    EXPECT_NE(Report().find("label=11,3,1,S-1-16-12288"), std::string::npos) << Report();
    EXPECT_FALSE(test::Exists(Tree() + "\\planted.dll")) << "the elevated tree kept a planted file";
    EndApplication(ReadStarts()[0]);
    EXPECT_EQ(ExitCodeOf(launcher), 0u);
    EXPECT_TRUE(Gone());
}

// The application-data folder comes from the user's own settings: an elevated run installs only on a
// volume that keeps access lists, as FAT and exFAT do not (their flags lack FILE_PERSISTENT_ACLS, 0x8;
// FAT32 reports case-preserved names and Unicode on disk, 0x6). Wine makes no such volume, so a seam
// stands in for the flags GetVolumeInformationByHandleW gives for the held install folder.
TEST_F(StartsWhatItWrote, AnElevatedRunOnAVolumeWithoutAccessListsInstallsAndStartsNothing) {
    test::TracedProgram& launcher = StartWithSeams("--token elevated --volume-flags 6");
    EXPECT_EQ(ExitCodeOf(launcher), kInstallFailed);
    EXPECT_TRUE(ReadStarts().empty());
    EXPECT_GE(launcher.WaitForLine("keeps no access lists (flags 0x6): nothing is installed or started", 0), 0);
    EXPECT_EQ(launcher.WaitForLine("zip written", 0), -1) << "the archive was written";
    EXPECT_TRUE(Gone());
}

// The check is the elevated run's: an unelevated one on such a volume installs and starts as ever.
TEST_F(StartsWhatItWrote, AnUnelevatedRunOnAVolumeWithoutAccessListsInstallsAsEver) {
    test::TracedProgram& launcher = StartWithSeams("--token unelevated --volume-flags 6");
    ASSERT_TRUE(WaitForRuns(1));
    EXPECT_EQ(ReadStarts()[0].files, kPayloadFileCount);
    EndApplication(ReadStarts()[0]);
    EXPECT_EQ(ExitCodeOf(launcher), 0u);
    EXPECT_TRUE(Gone());
}

// A second launcher with an elevated token (Wine's own) while the application runs makes no exception
// for a Velkar.exe in use: it may have been started unelevated from a file swapped in since. Nothing is
// installed or started while a program runs from the tree; the first application runs on.
TEST_F(StartsWhatItWrote, ASecondElevatedLauncherStartsNothingWhileTheApplicationRuns) {
    test::TracedProgram& first = StartWithSeams("--token unelevated");
    ASSERT_TRUE(WaitForRuns(1));
    test::TracedProgram& elevated = StartWithSeams("--token elevated");
    ASSERT_GE(elevated.WaitForLine("watch:", kHangGuard), 0);
    EXPECT_EQ(ReadStarts().size(), 1u) << "the elevated second launcher started a program it did not write";
    EXPECT_GE(elevated.WaitForLine("elevated: a program runs from", 0), 0);
    EXPECT_TRUE(test::Exists(Application())) << "the tree was removed under the running application";
    EndApplication(ReadStarts()[0]);
    EXPECT_EQ(ExitCodeOf(first), 0u);
    EXPECT_EQ(ExitCodeOf(elevated), 0u);
}

}  // namespace
