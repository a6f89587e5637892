// The component kinds: the window, the timer and the ZIP component, with their carriers.
#include "host/host_internal.h"

namespace {

constexpr UINT_PTR kTimerId = 1000;  // the platform timer of every timer component
constexpr const char* kTimerCarrierClass = "WTTimerCarrier";
constexpr const char* kZipCarrierClass = "WTZipCarrier";

// A component whose carrier is a hidden child window of a class of its own; when the window goes,
// so does the object, after clearing its record's link.
class CarrierWindow : public PlatformWindow, public ComponentObject {
public:
    CarrierWindow(std::int32_t windowId, std::int32_t componentId) : windowId_(windowId), componentId_(componentId) {}
    // `classStyle` and `cursor` make the class on first use; `style` is added to WS_CHILD.
    bool Create(const char* className, UINT classStyle, HCURSOR cursor, DWORD style, HWND parent, const Place& place) {
        if (!RegisterClassOnce(className, classStyle, cursor))
            return false;
        return CreatePlatformWindow(className, "", WS_CHILD | style, place.left, place.top, place.width, place.height,
                                    parent) != nullptr;
    }
    HWND carrier() const override { return hwnd(); }

protected:
    void WindowGone() override {
        UnlinkComponent(windowId_, componentId_, this);
        delete this;
    }

    const std::int32_t windowId_;
    const std::int32_t componentId_;
};

// The timer: the platform timer is set on its carrier.
class CTimerUnit final : public CarrierWindow {
public:
    CTimerUnit(std::int32_t windowId, std::int32_t componentId, std::int32_t interval)
        : CarrierWindow(windowId, componentId), interval_(interval < 0 ? 0 : interval) {}

    void SetInterval(std::int32_t value) {
        if (value < 0)
            value = 0;
        if (value == interval_)
            return;  // a running period is not restarted
        interval_ = value;
        if (running_)
            KillTimer(hwnd(), kTimerId);
        running_ = interval_ > 0 && SetTimer(hwnd(), kTimerId, static_cast<UINT>(interval_), nullptr) != 0;
    }
    std::int32_t interval() const { return interval_; }

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        switch (message) {
        case WM_CREATE:
            if (interval_ > 0)
                running_ = SetTimer(hwnd(), kTimerId, static_cast<UINT>(interval_), nullptr) != 0;
            return 0;
        case WM_TIMER: {
            // Every timer message that reaches the carrier is a period, whatever its identifier.
            EventCall call{.windowId = windowId_, .componentId = componentId_, .eventIndex = 0};
            (void)RaiseEvent(call);  // a period has no answer to act on
            return 0;
        }
        case WM_DESTROY:
            if (running_) {
                KillTimer(hwnd(), kTimerId);
                running_ = false;
            }
            return 0;
        default:
            return PlatformWindow::WindowProc(message, wParam, lParam);
        }
    }

private:
    std::int32_t interval_;
    bool running_ = false;
};

SettingType WindowOwnType(int number) {
    return number == kTitle || number == kWindowClassName ? SettingType::Text : SettingType::Int;
}
SettingType IntOwnType(int) { return SettingType::Int; }

void WindowDefaults(ComponentRecord& record) {
    record.ownValues[kBorderStyle] = 2;
    record.ownValues[kControlBox] = 1;
    record.ownValues[kMaxButton] = 0;
    record.ownValues[kMinButton] = 1;
    record.ownValues[kStartPosition] = 1;
    record.ownValues[kMovable] = 1;
    record.ownValues[kAlwaysOnTop] = 0;
}
void NoDefaults(ComponentRecord&) {}

ComponentObject* CreateTimer(HWND parent, std::int32_t windowId, const ComponentRecord& record) {
    auto* timer = new CTimerUnit(windowId, record.id, record.ownValues[kTimerInterval]);
    if (!timer->Create(kTimerCarrierClass, 0, LoadCursorA(nullptr, IDC_ARROW), 0, parent, record.place)) {
        delete timer;
        return nullptr;
    }
    return timer;
}

// The ZIP component is its carrier alone: it makes the component addressable by its ids, for the
// extraction's progress events (payload/zip_component.h looks it up through the service entry at each
// call). Its class takes double clicks and has no cursor, brush or icon; the window gets a border and
// clips its siblings.
ComponentObject* CreateZip(HWND parent, std::int32_t windowId, const ComponentRecord& record) {
    auto* zip = new CarrierWindow(windowId, record.id);
    if (!zip->Create(kZipCarrierClass, CS_DBLCLKS, nullptr, WS_CLIPSIBLINGS | WS_BORDER, parent, record.place)) {
        delete zip;
        return nullptr;
    }
    return zip;
}

bool WriteWindowOwn(ComponentObject& object, ComponentRecord& record, int number, std::int64_t value) {
    auto& unit = static_cast<CWinFormUnit&>(object);
    if (WindowOwnType(number) == SettingType::Text) {
        // A text property's value is the address of a zero-terminated text.
        const char* text = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(value));
        record.ownTexts[number] = Text::Copy(text);
        if (number == kTitle)
            SetWindowTextA(unit.hwnd(), record.ownTexts[number].c_str());
        return false;
    }
    record.ownValues[number] = static_cast<std::int32_t>(value);
    unit.setSetting(number, static_cast<std::int32_t>(value));
    if (number == kAlwaysOnTop)
        SetWindowPos(unit.hwnd(), value ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    return false;
}

std::int64_t ReadWindowOwn(const ComponentObject&, const ComponentRecord& record, int number) {
    if (WindowOwnType(number) == SettingType::Text)
        return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(record.ownTexts[number].c_str()));
    return record.ownValues[number];
}

bool WriteTimerOwn(ComponentObject& object, ComponentRecord& record, int number, std::int64_t value) {
    if (number != kTimerInterval)
        return false;
    auto& timer = static_cast<CTimerUnit&>(object);
    timer.SetInterval(static_cast<std::int32_t>(value));
    record.ownValues[kTimerInterval] = timer.interval();
    return false;  // the timer never asks for a refresh
}

std::int64_t ReadTimerOwn(const ComponentObject& object, const ComponentRecord&, int number) {
    return number == kTimerInterval ? static_cast<const CTimerUnit&>(object).interval() : 0;
}

bool WriteNothing(ComponentObject&, ComponentRecord&, int, std::int64_t) { return false; }
std::int64_t ReadNothing(const ComponentObject&, const ComponentRecord&, int) { return 0; }

// In KindId order: the window, the timer, the ZIP component.
// clang-format off
const ComponentKind kKinds[kKindCount] = {
    {.invisibleAtRunTime = false, .canRaiseEvents = true, .ownPropertyCount = 24, .ownType = WindowOwnType,
     .defaults = WindowDefaults, .create = nullptr, .writeOwn = WriteWindowOwn, .readOwn = ReadWindowOwn},
    {.invisibleAtRunTime = true, .canRaiseEvents = true, .ownPropertyCount = 1, .ownType = IntOwnType,
     .defaults = NoDefaults, .create = CreateTimer, .writeOwn = WriteTimerOwn, .readOwn = ReadTimerOwn},
    {.invisibleAtRunTime = true, .canRaiseEvents = true, .ownPropertyCount = 0, .ownType = IntOwnType,
     .defaults = NoDefaults, .create = CreateZip, .writeOwn = WriteNothing, .readOwn = ReadNothing},
};
// clang-format on

}  // namespace

const ComponentKind& KindOf(KindId kind) { return kKinds[static_cast<int>(kind)]; }
bool ValidKind(std::uint8_t kind) { return kind < kKindCount; }
