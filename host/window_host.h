// host/window_host.h: the launcher's one window, its components, its timer and event dispatch.
// The window, "一键安装檀溪舟楫" of class "WTWindow", is loaded from the built-in WindowDescription and
// is never shown; it hosts WatchTimer and ZipComponent. Faults the host detects (an unknown window or
// component id, an own property written while not loaded) go to the fatal report.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "base/services.h"

inline constexpr std::int32_t kLauncherWindowId = 0x52010001;
inline constexpr std::int32_t kLauncherWindowEntryId = 0x06010000;  // the window as entry 0 of its list
inline constexpr std::int32_t kWatchTimerId = 0x1601008E;
inline constexpr std::int32_t kZipComponentId = 0x16010043;

inline constexpr std::int32_t kPropertyVisible = 5;   // common: boolean
inline constexpr std::int32_t kPropertyInterval = 8;  // the timer's own: milliseconds

// A bound event's handler: gets the raised frame, answers true when it returns a result (in `result`).
using EventHandler = bool (*)(const EventFrame& frame, std::int32_t& result);
// The built-in description binds events to handler slots; the program fills the slots at start-up.
enum HandlerSlot : int { kOnLauncherCreatedSlot = 0, kOnWatchTimerSlot = 1, kHandlerSlotCount = 2 };
void ConnectHandlers(const EventHandler* table, int count);

// The ZIP kind's creation routine, which the payload library provides: makes the component's hidden
// carrier window as a child of `parent` with the given place and styles, or answers null.
using CarrierFactory = HWND (*)(HWND parent, int left, int top, int width, int height, DWORD style,
                                std::int32_t windowId, std::int32_t componentId);
void ConnectZipKind(CarrierFactory create);

// Decodes the built-in WindowDescription once; false when it cannot be decoded (the caller reports
// "载入窗口模板数据段出错!"). The second form decodes a description given as serialized bytes.
bool ReadWindowDescription();
bool ReadWindowDescriptionFrom(const unsigned char* data, std::size_t size);

// Loads a window of the description, hidden, and raises its created event inside the call.
bool LoadWindow(std::int32_t windowId);

// Writes a property of a component (component id of entry 0 for the window itself). `member` -1 is
// the whole value; the launcher's booleans and int32s use the value's low 32 bits.
void SetComponentProperty(std::int32_t windowId, std::int32_t componentId, std::int32_t property,
                          std::int32_t member, std::int64_t value);
std::int64_t GetComponentProperty(std::int32_t windowId, std::int32_t componentId, std::int32_t property,
                                  std::int32_t member);

// Calls the handler bound to the frame's event, unless EventSuppressionDepth is above 0; true when
// a handler was called.
bool RaiseEvent(EventFrame& frame);

// The live platform window of a component, or null.
HWND FindComponentWindow(std::int32_t windowId, std::int32_t componentId);
void ComponentGone(std::int32_t windowId, std::int32_t componentId);
PositionNames NamePosition(std::int32_t windowId, std::int32_t componentId, char* windowName,
                           std::size_t windowNameSize, char* componentName, std::size_t componentNameSize);

// For the event loop and the end of the program.
bool AnyLoadedWindowAlive();
void SetQuitOnLastWindow();  // from now on the end of the last loaded window posts WM_QUIT with 0
void ClearQuitOnLastWindow();  // for tests that load and close windows one after another
void DropLoadedWindows();    // the end of the program: forget the loaded windows
void NotifyProgramEnding();  // the end of the program, told to the component kinds

// A loaded window's object. The frame's message pre-translation asks it first; a window that has no
// permanent object may still answer kWindowObjectQuery with the address of its object.
inline constexpr UINT kWindowObjectQuery = 0x8002;
class WindowObject {
public:
    virtual ~WindowObject() = default;
    virtual bool PreTranslateMessage(MSG& message) = 0;  // true consumes the message
};
WindowObject* PermanentWindowObject(HWND window);
