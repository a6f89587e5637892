// The real programs under Wine: the fault program (the frame and host with declarations of its own)
// and launcher.exe, started with CreateProcess and watched from outside.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "base/owners.h"
#include "tests/support/test_support.h"

namespace {

constexpr DWORD kFatalExit = 0xFFFFFFFF;  // -1 as a Windows parent sees it
constexpr DWORD kWait = 30000;

using test::Quoted;

test::Child StartFault(const std::string& mode, const test::TempFolder& markers,
                       const std::string& program = test::ProgramBeside("frame_fault_program.exe"),
                       const std::string& startFolder = "") {
    return test::Child::Start(Quoted(program) + " " + mode + " " + Quoted(markers.path()), startFolder);
}

std::string ReadMarker(const test::TempFolder& markers, const std::string& name) {
    std::string bytes;
    return test::ReadWholeFile(markers / name, bytes) ? bytes : std::string();
}

// Pumps the test's own queue (out-of-context event hooks arrive through it) while waiting.
void PumpFor(DWORD milliseconds) {
    double end = test::NowMilliseconds() + milliseconds;
    while (test::NowMilliseconds() < end) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        Sleep(5);
    }
}

// The first window of the process with `title` (and of `className` unless null), once it comes.
HWND WaitForWindow(DWORD processId, const char* className, const char* title, DWORD milliseconds = kWait) {
    HWND found = nullptr;
    test::WaitUntil([&] { return (found = test::WindowOf(processId, className, title)) != nullptr; }, milliseconds, 20);
    return found;
}

std::string TextOf(HWND window) {
    char text[4096] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// --- The fatal report ---------------------------------------------------------------------------------

struct FatalCase {
    const char* mode;
    const char* text;
};

// The report text exactly as the box shows it; every position part ends in a line break.
const FatalCase kFatalCases[] = {
    {"missing-export",
     "运行时出错!\r\n\r\n错误信息：无法找到指定DLL库文件“Kernel32.dll”中的输出命令“KestrelNoSuchRoutine”\r\n\r\n0, 0\r\n"},
    {"missing-export-anywhere",
     "运行时出错!\r\n\r\n错误信息：无法找到指定DLL库文件中的输出命令“KestrelNoSuchRoutine”\r\n\r\n0, 0\r\n"},
    {"stack-imbalance",
     "运行时出错!\r\n\r\n错误代码：6\r\n\r\n错误信息：调用DLL命令后发现堆栈错误\r\n\r\n67174435, 18\r\n"},
    {"unknown-window",
     "运行时出错!\r\n\r\n错误信息：未找到引发事件的窗口\r\n\r\n1375836569, 0\r\n未找到所指定的窗口\r\n"},
    {"unknown-component",
     "运行时出错!\r\n\r\n错误信息：未找到引发事件的窗口组件\r\n\r\n1375797249, 369203609\r\n\"\"\r\n未找到所指定的窗口组件\r\n"},
    {"bad-description", "运行时出错!\r\n\r\n错误信息：载入窗口模板数据段出错!\r\n\r\n0, 0\r\n"},
    {"unknown-start-window",
     "运行时出错!\r\n\r\n错误信息：载入启动窗口失败\r\n\r\n1375797250, 0\r\n未找到所指定的窗口\r\n"},
    {"allocation", "运行时出错!\r\n\r\n错误信息：分配 2147483632 字节内存失败!\r\n\r\n0, 0\r\n"},
};

class FatalReport : public testing::TestWithParam<FatalCase> {};

TEST_P(FatalReport, ShowsItsTextInAnErrorBoxAndEndsWithMinusOneWithoutCleanUp) {
    const FatalCase& fault = GetParam();
    test::TempFolder markers("fatal");
    test::Child child = StartFault(fault.mode, markers);
    ASSERT_TRUE(child.started());
    HWND box = WaitForWindow(child.id(), nullptr, "错误");
    ASSERT_NE(box, nullptr) << "no box captioned 错误";

    // The message box's text is its static control 0xFFFF; the icon is a static control holding one.
    HWND text = GetDlgItem(box, 0xFFFF);
    ASSERT_NE(text, nullptr);
    // The box's window can be found before its text is set in it: wait for the text on a busy machine.
    std::string shown;
    test::WaitUntil(
        [&] {
            shown = TextOf(text);
            return !shown.empty();
        },
        30000);
    EXPECT_EQ(shown, fault.text);
    HICON icon = nullptr;
    for (HWND control = GetWindow(box, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT))
        if (!icon)
            icon = reinterpret_cast<HICON>(SendMessageA(control, STM_GETICON, 0, 0));
    EXPECT_NE(icon, nullptr) << "the box shows no icon";
    EXPECT_EQ(GetDlgItem(box, IDCANCEL) == nullptr || !IsWindowVisible(GetDlgItem(box, IDCANCEL)), true);

    // The program does not end before the box is closed.
    EXPECT_FALSE(child.Wait(200));
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    DWORD exitCode = 0;
    ASSERT_TRUE(child.Wait(kWait, &exitCode));
    EXPECT_EQ(exitCode, kFatalExit);
    EXPECT_EQ(ReadMarker(markers, "cleanup.txt"), "") << "a registered clean-up ran after the report";
}

INSTANTIATE_TEST_SUITE_P(EachReachableKind, FatalReport, testing::ValuesIn(kFatalCases),
                         [](const testing::TestParamInfo<FatalCase>& info) {
                             std::string name = info.param.mode;
                             for (char& c : name)
                                 if (c == '-')
                                     c = '_';
                             return name;
                         });

// --- The external routine table -------------------------------------------------------------------------

TEST(ExternalRoutine, ABalancedCallAnswersTheRoutinesResultAndTheNormalEndRunsTheCleanUp) {
    test::TempFolder markers("call");
    test::Child child = StartFault("balanced-call", markers);
    DWORD exitCode = 1;
    ASSERT_TRUE(child.Wait(kWait, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(ReadMarker(markers, "report.txt"), "result=42\n");
    EXPECT_EQ(ReadMarker(markers, "cleanup.txt"), "ran\n");
}

// Wine answers every load of a "Kernel32.dll", whatever its path, with its own kernel32, so under Wine
// this also passes for a resolution that tries the planted file first; frame_tests checks the path the
// resolution chooses (LibraryPlanting).
TEST(ExternalRoutine, APlantedKernel32BesideTheProgramIsNeverLoaded) {
    test::TempFolder folder("planted");
    std::string program = folder / "fault.exe";
    ASSERT_TRUE(CopyFileA(test::ProgramBeside("frame_fault_program.exe").c_str(), program.c_str(), FALSE));
    ASSERT_TRUE(
        CopyFileA(test::ProgramBeside("planted_kernel32.dll").c_str(), (folder / "Kernel32.dll").c_str(), FALSE));
    test::Child child = StartFault("system-routine", folder, program);
    DWORD exitCode = 1;
    ASSERT_TRUE(child.Wait(kWait, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    std::string report = ReadMarker(folder, "report.txt");
    EXPECT_EQ(report.rfind("result=", 0), 0u) << report;
    EXPECT_NE(report, "result=32343\n") << "the planted routine answered";
    EXPECT_FALSE(test::Exists(folder / "planted-loaded.txt")) << "the planted library was loaded";
}

// Wine's own kernel32 hides which path a load of "Kernel32.dll" asked for. Mpr.dll, which the program
// does not import, shows it: the build runs these tests with WINEDLLOVERRIDES=mpr=n,b (Wine reads it
// only from the environment it starts with), so a file of that name beside the program loads whenever
// the resolution looks there. The first test shows that it would; the second that it does not.
class PlantedSystemLibrary : public testing::Test {
protected:
    void SetUp() override {
        program_ = folder_ / "fault.exe";
        ASSERT_TRUE(CopyFileA(test::ProgramBeside("frame_fault_program.exe").c_str(), program_.c_str(), FALSE));
        ASSERT_TRUE(
            CopyFileA(test::ProgramBeside("planted_kernel32.dll").c_str(), (folder_ / "Mpr.dll").c_str(), FALSE));
    }
    test::Child Start(const std::string& library) {
        return test::Child::Start(Quoted(program_) + " routine-of " + Quoted(folder_.path()) + " " + Quoted(library));
    }
    test::TempFolder folder_{"plantmpr"};
    std::string program_;
};

TEST_F(PlantedSystemLibrary, LoadsWhenNamedByItsFullPath) {
    test::Child child = Start(folder_ / "Mpr.dll");
    DWORD exitCode = 1;
    if (!child.Wait(kWait, &exitCode))
        child.Kill();
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(ReadMarker(folder_, "report.txt"), "result=32343\n") << "run with WINEDLLOVERRIDES=mpr=n,b";
    EXPECT_TRUE(test::Exists(folder_ / "planted-loaded.txt"));
}

TEST_F(PlantedSystemLibrary, IsNotLoadedByItsNameAndTheSystemCopyLacksTheExport) {
    test::Child child = Start("Mpr.dll");
    HWND box = WaitForWindow(child.id(), nullptr, "错误");
    ASSERT_NE(box, nullptr) << "no report: " << ReadMarker(folder_, "report.txt");
    EXPECT_EQ(TextOf(GetDlgItem(box, 0xFFFF)),
              "运行时出错!\r\n\r\n错误信息：无法找到指定DLL库文件“Mpr.dll”中的输出命令“Wow64DisableWow64FsRedirection”"
              "\r\n\r\n0, 0\r\n");
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    DWORD exitCode = 0;
    ASSERT_TRUE(child.Wait(kWait, &exitCode));
    EXPECT_EQ(exitCode, kFatalExit);
    EXPECT_FALSE(test::Exists(folder_ / "planted-loaded.txt")) << "the planted library was loaded";
}

// The frame's first step restricts loads by a plain name to the system folder: the planted Mpr.dll,
// which Wine prefers here (mpr=n,b) and which the usual search finds in the program's folder first, is
// not loaded, the system's is; and a name only the program's folder holds loads nothing. (Under Wine,
// though not on Windows, the imports of Wine's own libraries, such as version.dll and imm32.dll for
// user32, are looked up in the program's folder before any code of a program that imports them runs:
// launcher.exe imports none of them, planted_library_test.cpp.)
TEST_F(PlantedSystemLibrary, IsNotLoadedByAPlainNameLoadAfterTheEntrysFirstStep) {
    ASSERT_TRUE(
        CopyFileA(test::ProgramBeside("planted_kernel32.dll").c_str(), (folder_ / "kestrel_only.dll").c_str(), FALSE));
    test::Child child =
        test::Child::Start(Quoted(program_) + " load-by-name " + Quoted(folder_.path()) + " Mpr.dll kestrel_only.dll");
    DWORD exitCode = 1;
    ASSERT_TRUE(child.Wait(kWait, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(ReadMarker(folder_, "report.txt"), "Mpr.dll=1\nkestrel_only.dll=0\n");
    EXPECT_FALSE(test::Exists(folder_ / "planted-loaded.txt")) << "a planted library was loaded";
}

// --- Start-up ---------------------------------------------------------------------------------------------

TEST(ProgramStart, MakesTheProgramsFolderTheCurrentDirectoryWhereverItWasStartedFrom) {
    test::TempFolder root("start");
    // "\xD5\x5C" (誠) ends in the byte of a backslash: a bytewise split would cut the folder there.
    std::string folder = root / "\xD5\x5C";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    std::string program = folder + "\\fault.exe";
    ASSERT_TRUE(CopyFileA(test::ProgramBeside("frame_fault_program.exe").c_str(), program.c_str(), FALSE));
    test::TempFolder markers("markers");
    test::Child child = StartFault("current-dir", markers, program, root.path());
    DWORD exitCode = 1;
    ASSERT_TRUE(child.Wait(kWait, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(ReadMarker(markers, "report.txt"), folder + "\n");
}

// --- The event loop ---------------------------------------------------------------------------------------

// What one run of a mode left: its report, its clean-up marker and its exit code (0xFFFFFFFE when it
// did not end in time and was killed).
struct Outcome {
    std::string report, cleanup;
    DWORD exitCode = 0xFFFFFFFE;
};

Outcome RunMode(const char* mode) {
    test::TempFolder markers("run");
    test::Child child = StartFault(mode, markers);
    Outcome outcome;
    if (!child.Wait(kWait, &outcome.exitCode))
        child.Kill();
    outcome.cleanup = ReadMarker(markers, "cleanup.txt");
    outcome.report = ReadMarker(markers, "report.txt");
    return outcome;
}

// One run of the timer mode, shared by the tests that read its report.
class TimerRun : public testing::Test {
protected:
    static void SetUpTestSuite() { run = RunMode("timer"); }
    static Outcome run;
    bool Has(const std::string& line) { return run.report.find(line + "\n") != std::string::npos; }
};
Outcome TimerRun::run;

TEST_F(TimerRun, NoPeriodFallsDueWhileTheIntervalIsZero) { EXPECT_TRUE(Has("zero-pending=0")) << run.report; }
TEST_F(TimerRun, WritingTheSameIntervalDoesNotRestartThePeriod) {
    EXPECT_TRUE(Has("same-write-pending=1")) << run.report;
}
TEST_F(TimerRun, ANegativeIntervalStopsTheTimerAndReadsAsZero) {
    EXPECT_TRUE(Has("negative-reads=0")) << run.report;
    EXPECT_TRUE(Has("negative-pending=0")) << run.report;
}
TEST_F(TimerRun, PeriodsReachTheHandlerThroughTheLoopUntilEndProgram) {
    EXPECT_TRUE(Has("ticks-from-loop=3")) << run.report;
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.cleanup, "ran\n");
}

TEST(EventSuppression, NoHandlerRunsWhileTheDepthIsAboveZeroOrAfterEndProgramBegan) {
    const Outcome run = RunMode("suppression");
    EXPECT_EQ(run.report, "ticks-while-suppressed=0\nticks-after-lowered=1\nraised-after-end=0\nticks-after-end=0\n");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.cleanup, "ran\n");
}

TEST(PumpPendingMessages, LeavesAQuitPostedWhilePumpingQueuedForTheMainLoop) {
    const Outcome run = RunMode("quit-pump");
    // The message posted after the quit is still handled by the pump; the quit waits for the loop,
    // whose end gives the quit's code as the exit code.
    EXPECT_EQ(run.report, "handled-after-quit=1\nquit-queued=1\n");
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_EQ(run.cleanup, "ran\n");  // the loop's end runs the clean-up list too
}

TEST(EndProgram, CalledFromAnotherThreadEndsTheProgramOnTheMainThreadWithItsCleanUp) {
    const Outcome run = RunMode("end-from-thread");
    EXPECT_EQ(run.exitCode, 7u);
    EXPECT_EQ(run.cleanup, "ran\n");
}

TEST(EndProgram, CalledAgainByACleanUpRoutineEndsTheProcessWithoutRunningTheListAgain) {
    const Outcome run = RunMode("end-in-cleanup");
    EXPECT_EQ(run.exitCode, 4u);
    EXPECT_EQ(run.cleanup, "ran\n");
}

TEST(RunMessageLoop, CallsTheIdleHooksLastToFirstAndDropsOneWhoseWindowIsGone) {
    const Outcome run = RunMode("idle-hooks");
    EXPECT_EQ(run.report, "hook=last\nhook=first\n");
    EXPECT_EQ(run.exitCode, 0u);
}

// --- The hidden window ------------------------------------------------------------------------------------

// Starts `commandLine` with a system-wide hook that notes any show of a "WTWindow" window in the
// process (the hook library writes "kestrel-shown-<id>.txt" in the temporary folder, *shown answers whether it did),
// polls the window and its carriers until the window has been there for a second, and answers the
// window (null when it never came). Wine delivers no cross-process WinEvent hooks, so the hook is one
// the system loads into the program.
HWND WatchStart(test::Child& child, const std::string& commandLine, bool* everVisible, bool* shown) {
    ModuleHandle watch{LoadLibraryA(test::ProgramBeside("show_watch.dll").c_str())};
    auto procedure = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(watch.get(), "WatchShows")));
    HHOOK hook = procedure ? SetWindowsHookExA(WH_CALLWNDPROC, procedure, watch.get(), 0) : nullptr;
    EXPECT_NE(hook, nullptr);
    child = test::Child::Start(commandLine);
    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    std::string note = std::string(temp) + "kestrel-shown-" + std::to_string(child.id()) + ".txt";
    *everVisible = false;
    HWND window = nullptr;
    double end = test::NowMilliseconds() + kWait;
    double seenUntil = 0;
    while (test::NowMilliseconds() < end) {
        if (HWND found = test::WindowOf(child.id(), "WTWindow", "一键安装檀溪舟楫")) {
            window = found;
            *everVisible = *everVisible || test::AnyPartVisible(window);
            if (seenUntil == 0)
                seenUntil = test::NowMilliseconds() + 1000;
            else if (test::NowMilliseconds() > seenUntil)
                break;
        }
        PumpFor(2);
    }
    if (hook)
        UnhookWindowsHookEx(hook);
    *shown = test::Exists(note);
    DeleteFileA(note.c_str());
    return window;
}

std::string InstallFolder() { return test::ShellAppData() + "\\Kestrelworks"; }

// What a launcher run that was cut short leaves: the application and its installed files.
void RemoveWhatTheLauncherLeft() {
    test::EndProcessesNamed("Velkar.exe");
    test::RemoveTree(InstallFolder() + "\\Velkar");
    DeleteFileA((InstallFolder() + "\\檀溪舟楫.zip").c_str());
}

TEST(LauncherWindow, IsNeverVisibleAndEndsWithZeroOnACloseRequestFromAnotherProcess) {
    RemoveWhatTheLauncherLeft();
    test::Child child;
    bool everVisible = true, shown = true;
    HWND window = WatchStart(child, Quoted(test::ProgramBeside("launcher.exe")), &everVisible, &shown);
    ASSERT_NE(window, nullptr) << "no WTWindow titled 一键安装檀溪舟楫";
    EXPECT_FALSE(everVisible);
    EXPECT_FALSE(shown) << "the window was shown";
    EXPECT_EQ(GetParent(window), nullptr);
    EXPECT_EQ(GetWindow(window, GW_OWNER), nullptr);

    // The close request goes to the event loop: the launcher enters it right after starting the
    // application, whose process is what can be seen of that from outside.
    double end = test::NowMilliseconds() + kWait;
    while (test::ProcessesNamed("Velkar.exe").empty() && test::NowMilliseconds() < end)
        PumpFor(20);
    PumpFor(300);
    PostMessageA(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 1;
    EXPECT_TRUE(child.Wait(kWait, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    // This end runs no clean-up: the installed archive stays.
    EXPECT_TRUE(test::Exists(InstallFolder() + "\\檀溪舟楫.zip"));
    RemoveWhatTheLauncherLeft();
}

// The watch above would miss a show it cannot see: a window shown on purpose must be caught.
TEST(LauncherWindow, TheWatchSeesAWindowThatIsShown) {
    test::TempFolder markers("show");
    test::Child child;
    bool everVisible = false, shown = false;
    HWND window = WatchStart(
        child, Quoted(test::ProgramBeside("frame_fault_program.exe")) + " show-window " + Quoted(markers.path()),
        &everVisible, &shown);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(everVisible);
    EXPECT_TRUE(shown) << "the show hook saw nothing";
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(child.Wait(kWait));
}

TEST(LauncherWindow, ACloseRequestEndsTheLoopWithZeroAndRunsTheCleanUpList) {
    test::TempFolder markers("close");
    test::Child child = StartFault("idle", markers);
    HWND window = WaitForWindow(child.id(), "WTWindow", "一键安装檀溪舟楫");
    ASSERT_NE(window, nullptr);
    PostMessageA(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 1;
    ASSERT_TRUE(child.Wait(kWait, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(ReadMarker(markers, "cleanup.txt"), "ran\n");
}

}  // namespace
