// The window host's entry points: the description, property access, event dispatch and the end.
#include <cstring>

#include "host/host_internal.h"
#include "base/fatal.h"

namespace {

EventHandler handlers[kHandlerSlotCount] = {};
bool quitOnLastWindow = false;

constexpr std::int32_t kCoordinateLimit = 32627;  // what the window machinery stores, not 32767

std::int32_t Clamp(std::int32_t v, std::int32_t low, std::int32_t high) { return v < low ? low : v > high ? high : v; }

ComponentObject* LiveObject(const ComponentRecord& record) {
    return record.live != nullptr && IsWindow(record.live->carrier()) ? record.live : nullptr;
}

void CopyCut(char* out, std::size_t size, const char* text) {
    if (size == 0)
        return;
    std::size_t length = std::strlen(text);
    if (length >= size)
        length = size - 1;
    std::memcpy(out, text, length);
    out[length] = '\0';
}

// Applies a written place to a live component: the window in screen coordinates, a component in its
// window's client coordinates.
void ApplyPlace(HWND window, const Place& place, bool move) {
    UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | (move ? SWP_NOSIZE : SWP_NOMOVE);
    SetWindowPos(window, nullptr, place.left, place.top, place.width, place.height, flags);
}

void WriteVisible(WindowEntry& entry, ComponentRecord& record, bool visible) {
    if (visible)
        record.flags |= kFlagVisible;
    else
        record.flags &= ~kFlagVisible;
    ComponentObject* live = LiveObject(record);
    if (live == nullptr)
        return;
    HWND window = live->carrier();
    if (!visible) {
        ShowWindow(window, SW_HIDE);
    } else if (&record == &entry.working[0]) {
        entry.unit->Show();
    } else if (!KindOf(record.kind).invisibleAtRunTime) {
        ShowWindow(window, SW_SHOW);
    }
}

}  // namespace

void ConnectHandlers(const EventHandler* table, int count) {
    for (int i = 0; i < kHandlerSlotCount; ++i)
        handlers[i] = table != nullptr && i < count ? table[i] : nullptr;
}

bool ReadWindowDescription() {
    std::size_t size = 0;
    const unsigned char* data = BuiltInDescription(&size);
    return ReadWindowDescriptionFrom(data, size);
}

bool ReadWindowDescriptionFrom(const unsigned char* data, std::size_t size) {
    GrowingTable<WindowEntry> decoded;
    if (!DecodeDescription(data, size, decoded))
        return false;
    // A window still loaded from the old description goes first, through its usual end.
    for (WindowEntry& entry : Description())
        if (entry.unit != nullptr && IsWindow(entry.unit->hwnd()))
            DestroyWindow(entry.unit->hwnd());
    Description() = std::move(decoded);
    return true;
}

void SetComponentProperty(std::int32_t windowId, std::int32_t componentId, std::int32_t property, std::int32_t member,
                          std::int64_t value) {
    (void)member;  // every property the host knows is a whole value
    WindowEntry* entry = FindWindowEntry(windowId);
    if (entry == nullptr)
        ReportRuntimeError(kNoErrorCode, "未载入欲访问窗口组件所在的窗口", windowId, componentId);
    ComponentRecord* record = FindRecord(*entry, componentId);
    if (record == nullptr)
        return;                                               // an id the window does not hold: nothing to write to
    const std::int32_t v = static_cast<std::int32_t>(value);  // int32 and boolean: the low 32 bits
    ComponentObject* live = LiveObject(*record);

    switch (property) {
    case kPropertyLeft:
        record->place.left = Clamp(v, -kCoordinateLimit, kCoordinateLimit);
        if (live)
            ApplyPlace(live->carrier(), record->place, true);
        return;
    case kPropertyTop:
        record->place.top = Clamp(v, -kCoordinateLimit, kCoordinateLimit);
        if (live)
            ApplyPlace(live->carrier(), record->place, true);
        return;
    case kPropertyWidth:
        record->place.width = Clamp(v, 0, kCoordinateLimit);
        if (live)
            ApplyPlace(live->carrier(), record->place, false);
        return;
    case kPropertyHeight:
        record->place.height = Clamp(v, 0, kCoordinateLimit);
        if (live)
            ApplyPlace(live->carrier(), record->place, false);
        return;
    case kPropertyTag:
        // A text property's value is the address of a zero-terminated text.
        record->tag = Text::Copy(reinterpret_cast<const char*>(static_cast<std::uintptr_t>(value)));
        return;
    case kPropertyVisible:
        WriteVisible(*entry, *record, v != 0);
        return;
    case kPropertyDisabled:
        if (v != 0)
            record->flags |= kFlagDisabled;
        else
            record->flags &= ~kFlagDisabled;
        if (live)
            EnableWindow(live->carrier(), v == 0);
        return;
    case kPropertyMousePointer:
        record->mousePointer = v;
        return;
    default:
        break;
    }

    if (property < kFirstOwnProperty)
        return;
    if (live == nullptr)
        ReportRuntimeError(kNoErrorCode, "修改组件属性时发现指定窗口尚未载入", windowId, componentId);
    const ComponentKind& kind = KindOf(record->kind);
    const int number = OwnNumber(property);
    if (number >= kind.ownPropertyCount)
        return;
    std::int64_t converted = value;
    if (kind.ownType(number) == SettingType::Int)
        converted = v;
    if (kind.writeOwn(*live, *record, number, converted)) {
        RaiseEventSuppression();
        InvalidateRect(live->carrier(), nullptr, TRUE);
        UpdateWindow(live->carrier());
        LowerEventSuppression();
    }
}

std::int64_t GetComponentProperty(std::int32_t windowId, std::int32_t componentId, std::int32_t property,
                                  std::int32_t member) {
    (void)member;
    WindowEntry* entry = FindWindowEntry(windowId);
    if (entry == nullptr)
        ReportRuntimeError(kNoErrorCode, "未载入欲访问窗口组件所在的窗口", windowId, componentId);
    ComponentRecord* record = FindRecord(*entry, componentId);
    if (record == nullptr)
        return 0;
    switch (property) {
    case kPropertyLeft:
        return record->place.left;
    case kPropertyTop:
        return record->place.top;
    case kPropertyWidth:
        return record->place.width;
    case kPropertyHeight:
        return record->place.height;
    case kPropertyTag:
        return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(record->tag.c_str()));
    case kPropertyVisible:
        return (record->flags & kFlagVisible) ? 1 : 0;
    case kPropertyDisabled:
        return (record->flags & kFlagDisabled) ? 1 : 0;
    case kPropertyMousePointer:
        return record->mousePointer;
    default:
        break;
    }
    if (property < kFirstOwnProperty)
        return 0;
    ComponentObject* live = LiveObject(*record);
    if (live == nullptr)
        ReportRuntimeError(kNoErrorCode, "读取组件属性时发现指定窗口尚未载入", windowId, componentId);
    const ComponentKind& kind = KindOf(record->kind);
    const int number = OwnNumber(property);
    if (number >= kind.ownPropertyCount)
        return 0;
    return kind.readOwn(*live, *record, number);
}

bool RaiseEvent(EventCall& call) {
    if (EventSuppressionDepth() > 0)
        return false;
    WindowEntry* entry = FindWindowEntry(call.windowId);
    if (entry == nullptr)
        ReportRuntimeError(kNoErrorCode, "未找到引发事件的窗口", call.windowId, 0);
    ComponentRecord* record = FindRecord(*entry, call.componentId);
    if (record == nullptr)
        ReportRuntimeError(kNoErrorCode, "未找到引发事件的窗口组件", call.windowId, call.componentId);
    if (!KindOf(record->kind).canRaiseEvents)
        ReportRuntimeError(kNoErrorCode, "引发事件的窗口组件无效", call.windowId, call.componentId);

    EventHandler handler = nullptr;
    for (const BoundEvent& bound : record->events)
        if (bound.eventIndex == call.eventIndex) {
            handler = handlers[bound.handlerSlot];
            break;
        }
    if (handler == nullptr)
        return false;
    // `record` may be gone when the handler returns (it can close the window): not touched again.
    std::int32_t result = 0;
    if (handler(call, result)) {
        call.resultPresent = 1;
        call.result = result;
    }
    return true;
}

HWND FindComponentWindow(std::int32_t windowId, std::int32_t componentId) {
    WindowEntry* entry = FindWindowEntry(windowId);
    if (entry == nullptr || !entry->loaded())
        return nullptr;
    ComponentRecord* record = FindRecord(*entry, componentId);
    ComponentObject* live = record != nullptr ? LiveObject(*record) : nullptr;
    return live != nullptr ? live->carrier() : nullptr;
}

void UnlinkComponent(std::int32_t windowId, std::int32_t componentId, ComponentObject* object) {
    WindowEntry* entry = FindWindowEntry(windowId);
    if (entry == nullptr || !entry->loaded())
        return;
    ComponentRecord* record = FindRecord(*entry, componentId);
    if (record != nullptr && record->live == object)
        record->live = nullptr;
}

void WindowUnloaded(std::int32_t windowId) {
    WindowEntry* entry = FindWindowEntry(windowId);
    if (entry == nullptr || !entry->loaded())
        return;
    // The carriers died before the window, each clearing its record's link as it went.
    entry->working.Clear();  // the stored records are in force again
    entry->unit = nullptr;
    if (quitOnLastWindow && !AnyLoadedWindowAlive())
        PostQuitMessage(0);
}

PositionNames NamePosition(std::int32_t windowId, std::int32_t componentId, char* windowName,
                           std::size_t windowNameSize, char* componentName, std::size_t componentNameSize) {
    WindowEntry* entry = FindWindowEntry(windowId);
    if (entry == nullptr)
        return PositionNames::WindowNotFound;
    CopyCut(windowName, windowNameSize, entry->name.c_str());
    ComponentRecord* record = FindRecord(*entry, componentId);
    if (record == nullptr)
        return PositionNames::ComponentNotFound;
    CopyCut(componentName, componentNameSize, record->name.c_str());
    return PositionNames::Found;
}

bool AnyLoadedWindowAlive() {
    for (WindowEntry& entry : Description())
        if (entry.unit != nullptr && IsWindow(entry.unit->hwnd()))
            return true;
    return false;
}

void SetQuitOnLastWindow() { quitOnLastWindow = true; }
void ClearQuitOnLastWindow() { quitOnLastWindow = false; }
bool QuitOnLastWindowSet() { return quitOnLastWindow; }

void DropLoadedWindows() {
    // The windows end with the process; from now on their end changes nothing and quits nothing.
    for (WindowEntry& entry : Description()) {
        if (entry.unit == nullptr)
            continue;
        entry.unit->Detach();
        for (ComponentRecord& record : entry.working)
            record.live = nullptr;
        entry.working.Clear();
        entry.unit = nullptr;
    }
}
