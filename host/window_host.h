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

// Property indexes, for SetComponentProperty and GetComponentProperty. Indexes 0 to 7 are common to
// every kind; from kFirstOwnProperty on, each kind numbers its own.
inline constexpr std::int32_t kPropertyLeft = 0;
inline constexpr std::int32_t kPropertyTop = 1;
inline constexpr std::int32_t kPropertyWidth = 2;
inline constexpr std::int32_t kPropertyHeight = 3;
inline constexpr std::int32_t kPropertyTag = 4;       // text
inline constexpr std::int32_t kPropertyVisible = 5;   // boolean
inline constexpr std::int32_t kPropertyDisabled = 6;  // boolean
inline constexpr std::int32_t kPropertyMousePointer = 7;
inline constexpr std::int32_t kFirstOwnProperty = 8;
// The window's own.
inline constexpr std::int32_t kPropertyTitle = 8;        // text
inline constexpr std::int32_t kPropertyBorderStyle = 9;  // 0 none, 1 single line, 2 fixed, 3 sizable
inline constexpr std::int32_t kPropertyControlBox = 15;
inline constexpr std::int32_t kPropertyMaxButton = 16;
inline constexpr std::int32_t kPropertyMinButton = 17;
inline constexpr std::int32_t kPropertyStartPosition = 18;  // 0 as stored, 1 centred, 2 maximized, 3 minimized
inline constexpr std::int32_t kPropertyMovable = 19;
inline constexpr std::int32_t kPropertyAlwaysOnTop = 29;
inline constexpr std::int32_t kPropertyWindowClassName = 31;  // text; empty for "WTWindow"
// The timer's own.
inline constexpr std::int32_t kPropertyInterval = 8;  // milliseconds; 0 stops it

// A bound event's handler: gets the raised event's call, answers true when it returns a result (in `result`).
using EventHandler = bool (*)(const EventCall& call, std::int32_t& result);
// The built-in description binds events to handler slots; the program fills the slots at start-up.
enum HandlerSlot : int { kOnLauncherCreatedSlot = 0, kOnWatchTimerSlot = 1, kHandlerSlotCount = 2 };
void ConnectHandlers(const EventHandler* table, int count);

// Decodes the built-in WindowDescription once; false when it cannot be decoded (the caller reports
// "载入窗口模板数据段出错!"). The second form decodes a description given as serialized bytes.
[[nodiscard]] bool ReadWindowDescription();
[[nodiscard]] bool ReadWindowDescriptionFrom(const unsigned char* data, std::size_t size);

// Loads a window of the description, hidden, and raises its created event inside the call.
[[nodiscard]] bool LoadWindow(std::int32_t windowId);

// Writes a property of a component (component id of entry 0 for the window itself). `member` -1 is
// the whole value; the launcher's booleans and int32s use the value's low 32 bits.
void SetComponentProperty(std::int32_t windowId, std::int32_t componentId, std::int32_t property, std::int32_t member,
                          std::int64_t value);
std::int64_t GetComponentProperty(std::int32_t windowId, std::int32_t componentId, std::int32_t property,
                                  std::int32_t member);

// Calls the handler bound to the call's event, unless EventSuppressionDepth is above 0; true when
// a handler was called.
[[nodiscard]] bool RaiseEvent(EventCall& call);

// The live platform window of a component, or null.
[[nodiscard]] HWND FindComponentWindow(std::int32_t windowId, std::int32_t componentId);
PositionNames NamePosition(std::int32_t windowId, std::int32_t componentId, char* windowName,
                           std::size_t windowNameSize, char* componentName, std::size_t componentNameSize);

// For the event loop and the end of the program.
[[nodiscard]] bool AnyLoadedWindowAlive();
void SetQuitOnLastWindow();    // from now on the end of the last loaded window posts WM_QUIT with 0
void ClearQuitOnLastWindow();  // for tests that load and close windows one after another
void DropLoadedWindows();      // the end of the program: forget the loaded windows

// A loaded window's object. The frame's message pre-translation asks it first; a window that has no
// permanent object may still answer kWindowObjectQuery with the address of its object.
inline constexpr UINT kWindowObjectQuery = 0x8002;
class WindowObject {
public:
    virtual ~WindowObject() = default;
    [[nodiscard]] virtual bool PreTranslateMessage(MSG& message) = 0;  // true consumes the message
};
WindowObject* PermanentWindowObject(HWND window);
