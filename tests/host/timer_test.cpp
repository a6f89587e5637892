// The timer component: Interval's rules and the periods reaching the handler through the message loop.
#include "tests/host/host_fixture.h"
#include "tests/support/test_support.h"

namespace hosttest {
namespace {

class TimerTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        ASSERT_TRUE(LoadWindow(kLauncherWindowId));
        ASSERT_NE(TimerCarrier(), nullptr);
        Record().events.clear();  // the window's own events of loading
    }
    static void SetInterval(std::int64_t value) {
        SetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyInterval, -1, value);
    }
    static std::int64_t Interval() {
        return GetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyInterval, -1);
    }
    // Whether the platform timer 1000 is set on the carrier: killing it answers so (and stops it).
    static bool PlatformTimerWasSet() { return KillTimer(TimerCarrier(), 1000) != FALSE; }
};

bool ThreePeriods() { return Record().periods >= 3; }
bool OnePeriod() { return Record().periods >= 1; }

TEST_F(TimerTest, StartsStoppedWithNoPeriodAtZero) {
    EXPECT_EQ(Interval(), 0);
    RunLoop(250);
    EXPECT_EQ(Record().periods, 0);
    EXPECT_FALSE(PlatformTimerWasSet());
}

TEST_F(TimerTest, PeriodsReachTheHandlerThroughTheMessageLoop) {
    SetInterval(20);
    EXPECT_EQ(Interval(), 20);
    ASSERT_TRUE(RunLoopUntil(&ThreePeriods, 5000));
    for (const Raised& raised : Record().events) {
        EXPECT_EQ(raised.componentId, kWatchTimerId);
        EXPECT_EQ(raised.eventIndex, 0);
        EXPECT_EQ(raised.suppression, 0);
    }
}

TEST_F(TimerTest, NegativeIntervalStopsTheTimerAsZeroDoes) {
    SetInterval(20);
    ASSERT_TRUE(RunLoopUntil(&OnePeriod, 5000));
    SetInterval(-5);
    EXPECT_EQ(Interval(), 0);
    PumpPendingMessages();  // a period already queued may still arrive
    int periods = Record().periods;
    RunLoop(200);
    EXPECT_EQ(Record().periods, periods);
    EXPECT_FALSE(PlatformTimerWasSet());
}

TEST_F(TimerTest, WritingTheSameIntervalDoesNotRestartThePeriod) {
    // A restarted timer's first period comes a whole period after the second write at the earliest
    // (a timer is never early); an unrestarted one is due 200 ms before that. Both bounds are counted
    // from the writes as they happened, so a late loop or a late timer on a busy machine moves the
    // second write later too and takes nothing from the margin.
    const double start = test::NowMilliseconds();
    SetInterval(1000);
    RunLoop(800);
    const double secondWrite = test::NowMilliseconds();
    SetInterval(1000);
    ASSERT_TRUE(RunLoopUntil(&OnePeriod, 60000));
    EXPECT_GE(Record().firstPeriodAt - start, 900);
    EXPECT_LT(Record().firstPeriodAt - secondWrite, 1000) << "the period was restarted by the second write";
}

TEST_F(TimerTest, ATimerMessageOfAnyIdentifierIsAPeriod) {
    PostMessageA(TimerCarrier(), WM_TIMER, 7, 0);
    PostMessageA(TimerCarrier(), WM_TIMER, 1000, 0);
    PumpPendingMessages();
    EXPECT_EQ(Record().periods, 2);
}

TEST_F(TimerTest, ClosingTheWindowKillsTheTimerAndUnlinksTheComponent) {
    SetInterval(20);
    HWND carrier = TimerCarrier();
    SendMessageA(LauncherHwnd(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(carrier));
    EXPECT_EQ(TimerCarrier(), nullptr);
    const int periods = Record().periods;
    RunLoop(150);
    EXPECT_EQ(Record().periods, periods);
    // Loading again starts from the description: the timer is stopped.
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    EXPECT_EQ(Interval(), 0);
}

}  // namespace
}  // namespace hosttest
