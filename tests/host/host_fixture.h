// tests/host/host_fixture.h: what the window host's tests share: the frame's services connected the
// way the launcher connects them (the frame's own pump, with the window objects' pre-translation;
// RaiseEvent of the host),
// handlers that record every event, and descriptions of the tests' own.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <vector>

#include "base/services.h"
#include "host/description_format.h"
#include "host/window_host.h"
#include "launcher/frame.h"
#include "tests/support/test_support.h"

namespace hosttest {

struct Raised {
    std::int32_t componentId;
    std::int32_t eventIndex;
    int suppression;  // EventSuppressionDepth while the handler ran
};

// What the handlers saw and what they answer; reset by the fixture.
struct Recorder {
    std::vector<Raised> events;
    // Called inside each handler, after the event is recorded; may be empty.
    void (*onEvent)(const EventCall& call) = nullptr;
    // When set, the handler answers `answer` as its result for this event index.
    std::int32_t answerFor = -1;
    std::int32_t answer = 0;
    int periods = 0;
    double firstPeriodAt = 0;  // test::NowMilliseconds() of the first period
};
Recorder& Record();

// Pumps (PumpPendingMessages, the frame's pump) for about `milliseconds`, waking for every message.
void RunLoop(double milliseconds);
// Pumps until `done` answers true or `milliseconds` pass; answers `done()`.
bool RunLoopUntil(bool (*done)(), double milliseconds);

// The built-in description, with every window event (0 to 4, 12) bound to the created handler's slot
// when `bindWindowEvents` is set, so that the recorder sees them all.
std::vector<unsigned char> LauncherDescription(bool bindWindowEvents);

HWND LauncherHwnd();
HWND TimerCarrier();

inline constexpr std::int32_t kEveryWindowEvent[] = {0, 1, 2, 3, 4, 12};

// Connects the frame and reads the built-in description before each test; closes what a test left.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Reads a description of the test's own.
    void Use(const std::vector<unsigned char>& description);
};

}  // namespace hosttest
