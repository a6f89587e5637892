// RaiseEvent: suppression, entry 0 under component id 0, unbound events, results; and the ZIP kind's
// carrier.
#include <cstring>

#include "tests/host/host_fixture.h"

namespace hosttest {
namespace {

using RaiseEventTest = HostTest;

EventCall CallTo(std::int32_t componentId, std::int32_t eventIndex) {
    EventCall call;
    call.windowId = kLauncherWindowId;
    call.componentId = componentId;
    call.eventIndex = eventIndex;
    return call;
}

TEST_F(RaiseEventTest, CallsNothingWhileSuppressedAtAnyDepth) {
    RaiseEventSuppression();
    RaiseEventSuppression();
    EventCall call = CallTo(kWatchTimerId, 0);
    EXPECT_FALSE(RaiseEvent(call));
    LowerEventSuppression();
    EXPECT_FALSE(RaiseEvent(call));
    EXPECT_TRUE(Record().events.empty());
    LowerEventSuppression();
    EXPECT_TRUE(RaiseEvent(call));
    EXPECT_EQ(Record().events.size(), 1u);
}

TEST_F(RaiseEventTest, SuppressionDuringLoadingKeepsTimerMessagesFromTheHandler) {
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    Record().events.clear();
    RaiseEventSuppression();
    PostMessageA(TimerCarrier(), WM_TIMER, 1000, 0);
    PumpPendingMessages();
    EXPECT_EQ(Record().periods, 0);
    LowerEventSuppression();
}

TEST_F(RaiseEventTest, ComponentZeroIsEntryZero) {
    EventCall call = CallTo(0, 0);
    EXPECT_TRUE(RaiseEvent(call));
    ASSERT_EQ(Record().events.size(), 1u);
    EXPECT_EQ(Record().events[0].eventIndex, 0);
}

TEST_F(RaiseEventTest, AnUnboundEventOrAnEmptySlotCallsNothing) {
    EventCall moved = CallTo(kLauncherWindowEntryId, 3);
    EXPECT_FALSE(RaiseEvent(moved));
    EventCall progress = CallTo(kZipComponentId, 1);  // the ZIP component binds nothing
    EXPECT_FALSE(RaiseEvent(progress));
    ConnectHandlers(nullptr, 0);
    EventCall created = CallTo(kLauncherWindowEntryId, 0);
    EXPECT_FALSE(RaiseEvent(created));
    EXPECT_TRUE(Record().events.empty());
}

TEST_F(RaiseEventTest, AReturnedResultIsStoredWithItsFlag) {
    EventCall silent = CallTo(kWatchTimerId, 0);
    EXPECT_TRUE(RaiseEvent(silent));
    EXPECT_EQ(silent.resultPresent, 0);
    Record().answerFor = 0;
    Record().answer = -7;
    EventCall answered = CallTo(kWatchTimerId, 0);
    EXPECT_TRUE(RaiseEvent(answered));
    EXPECT_EQ(answered.resultPresent, 1);
    EXPECT_EQ(answered.result, -7);
}

// The ZIP component's carrier: a hidden child of its own class, CS_DBLCLKS and nothing else (no cursor,
// brush or icon), bordered and clipping its siblings, placed as the description says; found by its ids
// while it lives and forgotten once it is destroyed.
TEST_F(RaiseEventTest, TheZipKindMakesItsOwnCarrierAndForgetsItWhenItIsDestroyed) {
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    HWND carrier = FindComponentWindow(kLauncherWindowId, kZipComponentId);
    ASSERT_NE(carrier, nullptr);
    EXPECT_EQ(GetParent(carrier), LauncherHwnd());
    EXPECT_FALSE(IsWindowVisible(carrier));
    const LONG style = GetWindowLongA(carrier, GWL_STYLE);
    EXPECT_EQ(style & (WS_CHILD | WS_CLIPSIBLINGS | WS_BORDER | WS_VISIBLE), WS_CHILD | WS_CLIPSIBLINGS | WS_BORDER);
    RECT place{};
    ASSERT_TRUE(GetWindowRect(carrier, &place));
    EXPECT_EQ(place.right - place.left, 24);
    char className[64] = "";
    GetClassNameA(carrier, className, sizeof className);
    WNDCLASSA windowClass{};
    ASSERT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), className, &windowClass));
    EXPECT_EQ(windowClass.style, UINT{CS_DBLCLKS});
    EXPECT_EQ(windowClass.hCursor, nullptr);
    EXPECT_EQ(windowClass.hbrBackground, nullptr);
    EXPECT_EQ(windowClass.hIcon, nullptr);

    DestroyWindow(carrier);
    EXPECT_EQ(FindComponentWindow(kLauncherWindowId, kZipComponentId), nullptr);
    EXPECT_NE(TimerCarrier(), nullptr);  // the other components stay
}

// Loading dispatches what is queued before it raises the suppression, and dispatches again before it
// lowers it: a probe window records the depth at which each posted message reaches it.
constexpr UINT kBeforeLoading = WM_APP + 1;
constexpr UINT kDuringCreation = WM_APP + 2;
int depthSeen[2] = {-1, -1};
HWND probe = nullptr;
HHOOK creationHook = nullptr;

LRESULT CALLBACK ProbeProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kBeforeLoading || message == kDuringCreation)
        depthSeen[message - kBeforeLoading] = EventSuppressionDepth();
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK PostWhileCreating(int code, WPARAM wParam, LPARAM lParam) {
    char name[32] = "";
    if (code == HCBT_CREATEWND && GetClassNameA(reinterpret_cast<HWND>(wParam), name, sizeof name) &&
        std::strcmp(name, "WTTimerCarrier") == 0)
        PostMessageA(probe, kDuringCreation, 0, 0);
    return CallNextHookEx(creationHook, code, wParam, lParam);
}

TEST_F(RaiseEventTest, LoadingPumpsQueuedMessagesBeforeRaisingAndBeforeLoweringTheSuppression) {
    probe = test::MakeWindow("HostTestProbe", ProbeProcedure, 0, HWND_MESSAGE);
    ASSERT_NE(probe, nullptr);
    depthSeen[0] = depthSeen[1] = -1;
    creationHook = SetWindowsHookExA(WH_CBT, PostWhileCreating, nullptr, GetCurrentThreadId());
    ASSERT_NE(creationHook, nullptr);

    PostMessageA(probe, kBeforeLoading, 0, 0);
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    UnhookWindowsHookEx(creationHook);

    // Both were dispatched inside LoadWindow, with no pump of the test's own in between.
    EXPECT_EQ(depthSeen[0], 0);
    EXPECT_EQ(depthSeen[1], 1);
    EXPECT_EQ(EventSuppressionDepth(), 0);
    DestroyWindow(probe);
}

}  // namespace
}  // namespace hosttest
