// More than 1024 processes in the prefix (or as many as Wine runs): the launcher's watch must still
// see the "Velkar.exe" started after them. The idle processes are bounded in number and life (each ends by itself after two
// minutes) and all ended by the test, failing or not.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tests/reliability/fault_run.h"

namespace {

constexpr int kIdle = 1040;
// How long the test may spend starting idle processes. Where 32-bit programs are emulated (qemu under
// Wine, on a kernel that runs 64-bit code only) a start takes a quarter of a second or more, and 1,040
// of them would outlast the test's time-out; the watch is then tested behind as many as started.
constexpr double kStartBudgetMs = 90000;

// The snapshot's process count and the 1-based position of the first process named `name` (0: none).
void Snapshot(const char* name, int* count, int* position) {
    *count = 0;
    *position = 0;
    SnapshotHandle snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    if (!snapshot)
        return;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
        ++*count;
        if (*position == 0 && lstrcmpiA(entry.szExeFile, name) == 0)
            *position = *count;
    }
}

class ManyProcesses : public rel::FaultRun {
protected:
    void SetUp() override {
        FaultRun::SetUp();
        idleEnd_.reset(CreateEventA(nullptr, TRUE, FALSE, "KestrelRelIdleEnd"));
        ResetEvent(idleEnd_.get());
    }
    void TearDown() override {
        SetEvent(idleEnd_.get());
        for (test::Child& idle : idle_)
            idle.Wait(2000);
        idle_.clear();  // each one still running is ended
        FaultRun::TearDown();
    }

    std::vector<test::Child> idle_;
    KernelHandle idleEnd_;
};

TEST_F(ManyProcesses, TheWatchSeesAVelkarExeListedAfterMoreThan1024OtherProcesses) {
    // Each idle process ends by itself after five minutes, longer than the starts and the watch take.
    const std::string line = test::Quoted(test::ProgramBeside("idle_app.exe")) + " 300";
    const double began = test::NowMilliseconds();
    for (int i = 0; i < kIdle && test::NowMilliseconds() - began < kStartBudgetMs; ++i) {
        test::Child idle = test::Child::Start(line);
        if (!idle.started()) {
            std::printf("Wine stopped starting processes after %zu (error %lu)\n", idle_.size(), GetLastError());
            break;
        }
        idle_.push_back(std::move(idle));
    }
    int count = 0, position = 0;
    Snapshot("Velkar.exe", &count, &position);
    std::printf("started %zu idle processes in %.0f ms; the snapshot lists %d processes\n", idle_.size(),
                test::NowMilliseconds() - began, count);
    // Wine stops short of 1024 in some settings: with the prefix's desktop running (as under CTest)
    // CreateProcess fails after about 160 processes; started from a shell with the open-file limit
    // raised (ulimit -n 20000) and no desktop, all of them run; emulated, fewer start within the time
    // budget. The watch is then tested with as many as run, and the run says so.
    ASSERT_GT(idle_.size(), 100u);
    if (count <= 1024)
        std::printf("NOTE: Wine ran only %d processes here; the watch is tested behind %zu of them\n", count,
                    idle_.size());

    launcher_ = Start("launcher_rel.exe");
    ASSERT_TRUE(launcher_.started());
    ASSERT_TRUE(test::WaitUntil([] { return !rel::RecordedStarts().empty(); }, rel::kHangGuard));
    Snapshot("Velkar.exe", &count, &position);
    std::printf("Velkar.exe is entry %d of %d\n", position, count);
    EXPECT_GT(position, static_cast<int>(idle_.size())) << "the application is not listed after the others";
    // Three watch periods: the launcher must go on waiting.
    Sleep(3500);
    EXPECT_FALSE(launcher_.Wait(0)) << "the watch missed the application";
    EXPECT_TRUE(test::Exists(paths_.Application()));
    ExpectCleanEnd(launcher_, rel::kHangGuard);
}

}  // namespace
