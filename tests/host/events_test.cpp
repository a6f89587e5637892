// RaiseEvent: suppression, entry 0 under component id 0, unbound events, results; and the ZIP kind's
// carrier from the payload's factory.
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

// The payload's factory: records what it was asked for and makes a plain static child.
struct FactoryCall {
    int calls = 0;
    HWND parent = nullptr;
    int left = 0, top = 0, width = 0, height = 0;
    DWORD style = 0;
    std::int32_t windowId = 0, componentId = 0;
    HWND made = nullptr;
};
FactoryCall factory;

HWND MakeCarrier(HWND parent, int left, int top, int width, int height, DWORD style, std::int32_t windowId,
                 std::int32_t componentId) {
    factory = {factory.calls + 1, parent, left, top, width, height, style, windowId, componentId, nullptr};
    factory.made = CreateWindowExA(0, "STATIC", "", style, left, top, width, height, parent, nullptr,
                                   GetModuleHandleA(nullptr), nullptr);
    return factory.made;
}

TEST_F(RaiseEventTest, TheZipKindUsesTheConnectedFactoryAndForgetsACarrierThatReportsItsEnd) {
    factory = FactoryCall{};
    ConnectZipKind(&MakeCarrier);
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    EXPECT_EQ(factory.calls, 1);
    EXPECT_EQ(factory.parent, LauncherHwnd());
    EXPECT_EQ(factory.left, 8);
    EXPECT_EQ(factory.width, 24);
    EXPECT_EQ(factory.style & WS_VISIBLE, 0u);
    EXPECT_EQ(factory.windowId, kLauncherWindowId);
    EXPECT_EQ(factory.componentId, kZipComponentId);
    EXPECT_EQ(FindComponentWindow(kLauncherWindowId, kZipComponentId), factory.made);
    EXPECT_FALSE(IsWindowVisible(factory.made));  // hidden: the ZIP kind is invisible at run time

    DestroyWindow(factory.made);
    ComponentGone(kLauncherWindowId, kZipComponentId);
    EXPECT_EQ(FindComponentWindow(kLauncherWindowId, kZipComponentId), nullptr);
    ConnectZipKind(&MakeStandInZipCarrier);
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
