// base/services.h: the frame's service entry and the frame state the libraries share.
// The lower libraries (host, payload, sysops) never include one another; where one needs another
// (a component raising an event, Delay pumping messages, an extraction finding its component) it
// goes through this entry, which the launcher fills at start-up. Until then every service answers
// as if no frame were present: pumping does nothing, no event is raised, no component is found.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

// One raising of an event: what the code that raises it fills in and reads back after the call.
struct EventCall {
    std::int32_t windowId = 0;
    std::int32_t componentId = 0;
    std::int32_t eventIndex = 0;
    std::int32_t argumentCount = 0;  // 0 to 5
    std::int32_t arguments[5] = {};  // used from the first slot on
    std::int32_t resultPresent = 0;  // set to 1 when the handler returned a result
    std::int32_t result = 0;
};

// How the fatal report's window part names things: the window's name and the component's.
enum class PositionNames { WindowNotFound, ComponentNotFound, Found };

struct ServiceEntry {
    void (*pumpPendingMessages)() = nullptr;
    bool (*raiseEvent)(EventCall& call) = nullptr;
    // The live platform window of a component, or null when the component is not loaded.
    HWND (*findComponentWindow)(std::int32_t windowId, std::int32_t componentId) = nullptr;
    // Copies the names (zero-terminated, cut to the buffer) for the fatal report. Component id 0
    // stands for the window's entry 0.
    PositionNames (*namePosition)(std::int32_t windowId, std::int32_t componentId, char* windowName,
                                  std::size_t windowNameSize, char* componentName,
                                  std::size_t componentNameSize) = nullptr;
    // Ends the program with the exit code; never returns.
    void (*endProgram)(std::int32_t exitCode) = nullptr;
    // The session ends (WM_ENDSESSION, "ending"): the program's work for that moment, done inside the
    // message, as the system may end the program as soon as it returns.
    void (*sessionEnds)() = nullptr;
};

void ConnectServices(const ServiceEntry& entry);
const ServiceEntry& Services();

// The services, answering as above when nothing is connected.
void PumpPendingMessagesThroughFrame();
[[nodiscard]] bool RaiseEventThroughFrame(EventCall& call);
[[nodiscard]] HWND FindComponentWindowThroughFrame(std::int32_t windowId, std::int32_t componentId);
[[noreturn]] void EndProgramThroughFrame(std::int32_t exitCode);  // ExitProcess when unconnected
void SessionEndsThroughFrame();  // nothing while EventSuppressionDepth is above 0, as for an event

// EventSuppressionDepth: while it is above 0, no event handler runs. Raised for window creation, for
// the fatal report and for the end of the program.
void RaiseEventSuppression();
void LowerEventSuppression();  // never below 0
int EventSuppressionDepth();

// The clean-up list: routines run by the program's end, in registration order, each at most once.
void RegisterCleanup(void (*routine)());
void RunCleanups();    // calls every routine in order, then empties the list
void ClearCleanups();  // empties the list without calling anything (the fatal report)
