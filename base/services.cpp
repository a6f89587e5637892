#include "base/services.h"

#include "base/growing_table.h"

namespace {

ServiceEntry connected;
int suppressionDepth = 0;

GrowingTable<void (*)()> cleanups;

}  // namespace

void ConnectServices(const ServiceEntry& entry) { connected = entry; }
const ServiceEntry& Services() { return connected; }

void PumpPendingMessagesThroughFrame() {
    if (connected.pumpPendingMessages)
        connected.pumpPendingMessages();
}

bool RaiseEventThroughFrame(EventCall& call) { return connected.raiseEvent ? connected.raiseEvent(call) : false; }

HWND FindComponentWindowThroughFrame(std::int32_t windowId, std::int32_t componentId) {
    return connected.findComponentWindow ? connected.findComponentWindow(windowId, componentId) : nullptr;
}

void EndProgramThroughFrame(std::int32_t exitCode) {
    if (connected.endProgram)
        connected.endProgram(exitCode);
    ExitProcess(static_cast<UINT>(exitCode));
}

void SessionEndsThroughFrame() {
    if (connected.sessionEnds && suppressionDepth == 0)
        connected.sessionEnds();
}

void RaiseEventSuppression() { ++suppressionDepth; }
void LowerEventSuppression() {
    if (suppressionDepth > 0)
        --suppressionDepth;
}
int EventSuppressionDepth() { return suppressionDepth; }

void RegisterCleanup(void (*routine)()) {
    for (void (*registered)() : cleanups)
        if (registered == routine)
            return;
    cleanups.Append(routine);
}

void RunCleanups() {
    // A routine that registers another while the list runs gets it called too: the walk goes by
    // index, since the list may grow (and move) under it.
    for (std::size_t i = 0; i < cleanups.size(); ++i)
        cleanups[i]();
    ClearCleanups();
}

void ClearCleanups() { cleanups.Clear(); }
