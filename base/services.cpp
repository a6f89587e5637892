#include "base/services.h"

namespace {

ServiceEntry connected;
int suppressionDepth = 0;

// The launcher registers one clean-up routine; a few slots leave room without taking heap storage.
constexpr int kMaxCleanups = 16;
void (*cleanups[kMaxCleanups])() = {};
int cleanupCount = 0;

}  // namespace

void ConnectServices(const ServiceEntry& entry) { connected = entry; }
const ServiceEntry& Services() { return connected; }

void PumpPendingMessagesThroughFrame() {
    if (connected.pumpPendingMessages)
        connected.pumpPendingMessages();
}

bool RaiseEventThroughFrame(EventFrame& frame) {
    return connected.raiseEvent ? connected.raiseEvent(frame) : false;
}

HWND FindComponentWindowThroughFrame(std::int32_t windowId, std::int32_t componentId) {
    return connected.findComponentWindow ? connected.findComponentWindow(windowId, componentId) : nullptr;
}

void ComponentGoneThroughFrame(std::int32_t windowId, std::int32_t componentId) {
    if (connected.componentGone)
        connected.componentGone(windowId, componentId);
}

void EndProgramThroughFrame(std::int32_t exitCode) {
    if (connected.endProgram)
        connected.endProgram(exitCode);
    ExitProcess(static_cast<UINT>(exitCode));
}

void RaiseEventSuppression() { ++suppressionDepth; }
void LowerEventSuppression() {
    if (suppressionDepth > 0)
        --suppressionDepth;
}
int EventSuppressionDepth() { return suppressionDepth; }

void RegisterCleanup(void (*routine)()) {
    for (int i = 0; i < cleanupCount; ++i)
        if (cleanups[i] == routine)
            return;
    if (cleanupCount < kMaxCleanups)
        cleanups[cleanupCount++] = routine;
}

void RunCleanups() {
    // A routine that registers another while the list runs gets it called too.
    for (int i = 0; i < cleanupCount; ++i)
        cleanups[i]();
    ClearCleanups();
}

void ClearCleanups() { cleanupCount = 0; }
