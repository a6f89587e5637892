// Delay with the frame's own pump connected, as the launcher connects it: messages posted and timers
// firing during the wait are dispatched, a quit message stays queued, and the wait blocks instead of
// spinning.
#include <gtest/gtest.h>

#include <windows.h>

#include "base/services.h"
#include "launcher/frame.h"
#include "sysops/delay.h"
#include "tests/support/test_support.h"

namespace {

int pumps = 0;
int posted = 0;
int timers = 0;

// The frame's pump, counted.
void Pump() {
    ++pumps;
    PumpPendingMessages();
}

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_APP) {
        ++posted;
        return 0;
    }
    if (message == WM_TIMER) {
        ++timers;
        return 0;
    }
    return DefWindowProcA(window, message, w, l);
}

class DelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceEntry entry;
        entry.pumpPendingMessages = Pump;
        ConnectServices(entry);
        window_ = test::MakeWindow("KestrelDelayTest", Procedure);
        ASSERT_NE(window_, nullptr);
        pumps = posted = timers = 0;
    }
    void TearDown() override {
        KillTimer(window_, 7);
        DestroyWindow(window_);
        test::DropQueuedMessages();
        ConnectServices(ServiceEntry{});
    }
    HWND window_ = nullptr;
};

}  // namespace

TEST_F(DelayTest, ReturnsAtOnceForZeroOrLessAndHandlesNothing) {
    PostMessageA(window_, WM_APP, 0, 0);
    Delay(0);
    Delay(-1000);
    EXPECT_EQ(pumps, 0);
    EXPECT_EQ(posted, 0);
}

TEST_F(DelayTest, DispatchesPostedMessagesAndTimerPeriodsWhileItWaits) {
    PostMessageA(window_, WM_APP, 0, 0);
    SetTimer(window_, 7, 50, nullptr);
    DWORD start = GetTickCount();
    Delay(400);
    DWORD waited = GetTickCount() - start;
    EXPECT_GT(waited, 400u);  // it ends at the first reading past the time asked for
    EXPECT_EQ(posted, 1);
    EXPECT_GE(timers, 2);
}

TEST_F(DelayTest, LeavesAQuitMessageQueuedAndWaitsOutItsTime) {
    PostQuitMessage(5);
    DWORD start = GetTickCount();
    Delay(300);
    EXPECT_GT(GetTickCount() - start, 300u);
    WPARAM code = 0;
    ASSERT_TRUE(test::TakeQuit(&code));
    EXPECT_EQ(code, 5u);
}

TEST_F(DelayTest, BlocksBetweenPumpsEvenWithAQuitMessageQueued) {
    // A waiting loop that spins would pump thousands of times in half a second; one that blocks
    // pumps once on entry and once more per wake-up.
    PostQuitMessage(0);
    Delay(500);
    EXPECT_LT(pumps, 40);
    EXPECT_TRUE(test::TakeQuit());
}

TEST_F(DelayTest, WaitsOutItsTimeWithNoFrameConnected) {
    ConnectServices(ServiceEntry{});
    PostMessageA(window_, WM_APP, 0, 0);  // nobody takes it: the wait must not end early or spin on it
    DWORD start = GetTickCount();
    Delay(200);
    EXPECT_GT(GetTickCount() - start, 200u);
    EXPECT_EQ(posted, 0);
}
