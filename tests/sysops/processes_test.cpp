// The process operations with real processes under Wine: the helper programs beside this test are
// started, listed, ended by name, title and id, and started with each window mode.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "tests/support/test_support.h"
#include "sysops/processes.h"
#include "base/growing_table.h"

namespace {

bool StillRuns(test::Child& child) { return !child.Wait(0); }

WideText WideTextOf(const std::string& ansi) { return WideFromAnsi(ansi.c_str()); }

// Waits until a top-level window has `title`: the child makes it a moment after it starts.
bool WindowAppears(const std::string& title) {
    for (int i = 0; i < 200; ++i) {
        if (FindWindowA(nullptr, title.c_str()))
            return true;
        Sleep(50);
    }
    return false;
}

// The position in a fresh snapshot of the process with `id`, or -1.
int PositionOf(DWORD id) {
    ProcessList list;
    EXPECT_TRUE(ListProcesses(list));
    for (std::int32_t i = 0; i < list.count(); ++i)
        if (list[i].processId == id)
            return i;
    return -1;
}

// The idle windowed child copied as "Velkar.exe" into two folders of its own, both started.
class TwoVelkars : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 2; ++i) {
            paths_[i] = folders_[i] / "Velkar.exe";
            ASSERT_TRUE(CopyFileA(test::ProgramBeside("sysops_window_child.exe").c_str(), paths_[i].c_str(), FALSE));
            children_[i] = test::Child::Start(test::Quoted(paths_[i]));
            ASSERT_TRUE(children_[i].started());
        }
        ASSERT_GE(PositionOf(children_[0].id()), 0);
        ASSERT_GE(PositionOf(children_[1].id()), 0);
    }
    void TearDown() override {
        for (test::Child& child : children_)
            child.Kill();
    }
    test::TempFolder folders_[2] = {test::TempFolder("velkar-a"), test::TempFolder("velkar-b")};
    std::string paths_[2];
    test::Child children_[2];
};

}  // namespace

TEST(ListProcesses, ListsEachProcessWithItsBareNameAndItsParent) {
    test::Child child = test::Child::Start(test::Quoted(test::ProgramBeside("sysops_window_child.exe")));
    ASSERT_TRUE(child.started());
    ProcessList list;
    ASSERT_TRUE(ListProcesses(list)) << GetLastError();
    bool sawSelf = false, sawChild = false;
    for (std::int32_t i = 0; i < list.count(); ++i) {
        const ProcessRecord& record = list[i];
        if (record.processId == GetCurrentProcessId()) {
            sawSelf = true;
            EXPECT_STREQ(record.exeName.c_str(), "sysops_process_tests.exe");
            EXPECT_GE(record.threadCount, 1u);
        }
        if (record.processId == child.id()) {
            sawChild = true;
            EXPECT_STREQ(record.exeName.c_str(), "sysops_window_child.exe");
            EXPECT_EQ(record.parentProcessId, GetCurrentProcessId());
        }
    }
    EXPECT_TRUE(sawSelf);
    EXPECT_TRUE(sawChild);
    child.Kill();
}

TEST(ListProcesses, GathersMoreEntriesThanAnyFixedTableWouldHold) {
    // The snapshot's records are gathered in this table; a machine with more than 1024 processes
    // must lose none of them.
    static int marks[5000];
    GrowingTable<int*> table;
    for (int& mark : marks)
        table.Append(&mark);
    ASSERT_EQ(table.size(), 5000u);
    for (std::size_t i = 0; i < table.size(); ++i)
        ASSERT_EQ(table[i], &marks[i]);
}

TEST_F(TwoVelkars, EndProcessByNameEndsOnlyTheFirstInSnapshotOrderInAnyLetterCase) {
    int first = PositionOf(children_[0].id()) < PositionOf(children_[1].id()) ? 0 : 1;
    EXPECT_TRUE(EndProcess(Value::OfText("velkar.EXE")));
    DWORD code = 1;
    EXPECT_TRUE(children_[first].Wait(10000, &code));
    EXPECT_EQ(code, 0u);  // ended with exit code 0
    Sleep(300);
    EXPECT_TRUE(StillRuns(children_[1 - first]));
}

TEST_F(TwoVelkars, FindsAProgramBelowAFolderInAnyLetterCaseButNotBelowAFolderItsNameOnlyBegins) {
    ProcessList list;
    ASSERT_TRUE(ListProcesses(list));
    std::string folder = folders_[0].path();
    CharUpperBuffA(folder.data(), static_cast<DWORD>(folder.size()));
    WideText image;
    EXPECT_TRUE(ListedProcessRunsFrom(list, WideTextOf(folder).c_str(), true, &image));
    EXPECT_TRUE(SamePath(image.c_str(), WideTextOf(paths_[0]).c_str()));
    EXPECT_TRUE(ListedProcessRunsFrom(list, WideTextOf(folder + "\\").c_str(), true));
    // "...\velkar-a" begins "...\velkar-", which holds no program of its own.
    EXPECT_FALSE(ListedProcessRunsFrom(list, WideTextOf(folder.substr(0, folder.size() - 1)).c_str(), true));
    // Not below: the program file itself.
    EXPECT_TRUE(ListedProcessRunsFrom(list, WideTextOf(paths_[1]).c_str(), false));
    EXPECT_FALSE(ListedProcessRunsFrom(list, WideTextOf(folder).c_str(), false));
}

TEST_F(TwoVelkars, EndProcessNeverMatchesAFullPath) {
    EXPECT_FALSE(EndProcess(Value::OfText(paths_[0].c_str())));
    Sleep(300);
    EXPECT_TRUE(StillRuns(children_[0]));
    EXPECT_TRUE(StillRuns(children_[1]));
}

TEST_F(TwoVelkars, EndProcessEndsNothingForZeroTheEmptyTextOrAnUnsupportedKind) {
    DWORD id = children_[0].id();
    EXPECT_FALSE(EndProcess(Value::Int(0)));
    EXPECT_FALSE(EndProcess(Value::Double(0.7)));
    EXPECT_FALSE(EndProcess(Value::OfText("")));
    EXPECT_FALSE(EndProcess(Value::Long(id)));
    EXPECT_FALSE(EndProcess(Value::Bool(true)));
    EXPECT_FALSE(EndProcess(Value::DateTime(id)));
    EXPECT_FALSE(EndProcess(Value()));
    EXPECT_FALSE(EndProcess(Value::OfText("no-such-program.exe")));
    Sleep(300);
    EXPECT_TRUE(StillRuns(children_[0]));
    EXPECT_TRUE(StillRuns(children_[1]));
}

TEST_F(TwoVelkars, EndProcessTakesIntegerIdsAndTruncatesFloatingOnes) {
    // id + 0.9 must act on id itself: rounding would name another process, or none.
    EXPECT_TRUE(EndProcess(Value::Double(children_[0].id() + 0.9)));
    EXPECT_TRUE(children_[0].Wait(10000));
    EXPECT_TRUE(EndProcess(Value::Float(static_cast<float>(children_[1].id()) + 0.75f)));
    EXPECT_TRUE(children_[1].Wait(10000));
}

TEST(EndProcess, EndsTheOwnerOfAWindowWithExactlyThatTitle) {
    std::string title = "Kestrel window " + std::to_string(GetCurrentProcessId());
    test::Child child = test::Child::Start(test::Quoted(test::ProgramBeside("sysops_window_child.exe")) + " " + title);
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(WindowAppears(title));
    EXPECT_TRUE(EndProcess(Value::OfText(title.c_str())));
    EXPECT_TRUE(child.Wait(10000));
}

TEST(EndProcess, TakesAnIdOfEachIntegerWidth) {
    test::Child child = test::Child::Start(test::Quoted(test::ProgramBeside("sysops_window_child.exe")));
    ASSERT_TRUE(child.started());
    EXPECT_TRUE(EndProcess(Value::Int(static_cast<std::int32_t>(child.id()))));
    EXPECT_TRUE(child.Wait(10000));
    if (test::Child small = test::Child::Start(test::Quoted(test::ProgramBeside("sysops_window_child.exe")));
        small.id() < 32768) {
        EXPECT_TRUE(EndProcess(Value::Short(static_cast<std::int16_t>(small.id()))));
        EXPECT_TRUE(small.Wait(10000));
    }
}

TEST(RunCommand, GivesFalseForAMissingProgram) {
    test::TempFolder folder("run");
    EXPECT_FALSE(RunCommand((folder / "missing.exe").c_str()));
    EXPECT_FALSE(RunCommand(""));
}

TEST(RunCommand, WaitsForTheProgramToEndWhenAsked) {
    test::TempFolder folder("run");
    std::string report = folder / "report.txt";
    const std::string line = test::Quoted(test::ProgramBeside("sysops_startup_child.exe")) + " " + report;
    ASSERT_TRUE(RunCommand(line.c_str(), true));
    EXPECT_TRUE(test::Exists(report));  // written before the program ended, so present at once
}

TEST(RunCommand, HandsTheWindowModeToTheProgramClampedIntoRange) {
    struct Row {
        std::optional<std::int32_t> mode;
        unsigned showCommand;
    };
    const Row rows[] = {
        {std::nullopt, SW_SHOWNORMAL},
        {0, SW_HIDE},
        {-7, SW_HIDE},
        {1, SW_HIDE},
        {2, SW_SHOWNORMAL},
        {3, SW_SHOWMINIMIZED},
        {4, SW_SHOWMAXIMIZED},
        {5, SW_SHOWNOACTIVATE},
        {6, SW_MINIMIZE},
        {9, SW_MINIMIZE},
    };
    test::TempFolder folder("modes");
    int n = 0;
    for (const Row& row : rows) {
        std::string report = folder / ("mode" + std::to_string(n++) + ".txt");
        const std::string line = test::Quoted(test::ProgramBeside("sysops_startup_child.exe")) + " " + report;
        ASSERT_TRUE(RunCommand(line.c_str(), true, row.mode));
        std::string bytes;
        ASSERT_TRUE(test::ReadWholeFile(report, bytes));
        EXPECT_EQ(bytes, "1 " + std::to_string(row.showCommand)) << "mode " << row.mode.value_or(-999);
    }
}

TEST(RunCommand, ReturnsWithinAboutASecondForAProgramThatNeverIdles) {
    // The program runs 20 s by its own clock: that it still runs when RunCommand has returned tells
    // "gave up waiting" from "waited for its end", with no bound on this machine's speed.
    ASSERT_TRUE(RunCommand(test::Quoted(test::ProgramBeside("sysops_busy_child.exe")).c_str()));
    EXPECT_TRUE(EndProcess(Value::OfText("sysops_busy_child.exe"))) << "RunCommand waited for the program's end";
}
