#include "tests/host/host_fixture.h"

namespace hosttest {

namespace {

Recorder recorder;

bool Handle(const EventCall& call, std::int32_t& result) {
    recorder.events.push_back({call.componentId, call.eventIndex, EventSuppressionDepth()});
    if (call.componentId == kWatchTimerId && call.eventIndex == 0) {
        if (recorder.periods++ == 0)
            recorder.firstPeriodAt = test::NowMilliseconds();
    }
    if (recorder.onEvent)
        recorder.onEvent(call);
    if (recorder.answerFor == call.eventIndex) {
        result = recorder.answer;
        return true;
    }
    return false;
}

}  // namespace

Recorder& Record() { return recorder; }

bool RunLoopUntil(bool (*done)(), double milliseconds) {
    const double end = test::NowMilliseconds() + milliseconds;
    for (;;) {
        PumpPendingMessages();
        if (done != nullptr && done())
            return true;
        double left = end - test::NowMilliseconds();
        if (left <= 0)
            return done != nullptr && done();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left) + 1, QS_ALLINPUT);
    }
}

void RunLoop(double milliseconds) { RunLoopUntil(nullptr, milliseconds); }

std::vector<unsigned char> LauncherDescription(bool bindWindowEvents) {
    DescriptionWriter<1024> w;
    w.Window(kLauncherWindowId, "");
    w.Component(kLauncherWindowEntryId, KindId::Window, "", {50, 50, 222, 79}, 0);
    if (bindWindowEvents) {
        for (std::int32_t event : kEveryWindowEvent)
            w.Event(event, kOnLauncherCreatedSlot);
    } else {
        w.Event(0, kOnLauncherCreatedSlot);
    }
    w.TextSetting(8, "一键安装檀溪舟楫");
    w.Component(kWatchTimerId, KindId::Timer, "时钟1", {32, 8, 24, 24}, 0);
    w.Event(0, kOnWatchTimerSlot);
    w.Component(kZipComponentId, KindId::Zip, "ZIP压缩1", {8, 8, 24, 24}, 0);
    w.Finish();
    return std::vector<unsigned char>(w.data(), w.data() + w.size());
}

HWND LauncherHwnd() { return FindComponentWindow(kLauncherWindowId, kLauncherWindowEntryId); }
HWND TimerCarrier() { return FindComponentWindow(kLauncherWindowId, kWatchTimerId); }

void HostTest::SetUp() {
    recorder = Recorder{};
    ServiceEntry entry;
    entry.pumpPendingMessages = &PumpPendingMessages;
    entry.raiseEvent = &RaiseEvent;
    entry.findComponentWindow = &FindComponentWindow;
    entry.namePosition = &NamePosition;
    ConnectServices(entry);
    static const EventHandler table[kHandlerSlotCount] = {&Handle, &Handle};
    ConnectHandlers(table, kHandlerSlotCount);
    ClearQuitOnLastWindow();
    ASSERT_TRUE(ReadWindowDescription());
}

void HostTest::TearDown() {
    while (EventSuppressionDepth() > 0)
        LowerEventSuppression();
    recorder.onEvent = nullptr;
    recorder.answerFor = -1;
    if (HWND window = LauncherHwnd())
        DestroyWindow(window);
    ClearQuitOnLastWindow();
    PumpPendingMessages();
    test::TakeQuit();
}

void HostTest::Use(const std::vector<unsigned char>& description) {
    ASSERT_TRUE(ReadWindowDescriptionFrom(description.data(), description.size()));
}

}  // namespace hosttest
