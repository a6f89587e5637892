// The component kinds: the window, the timer and the ZIP component, with the timer's carrier.
#include "host/host_internal.h"

namespace {

constexpr UINT_PTR kTimerId = 1000;  // the platform timer of every timer component
constexpr const char* kTimerCarrierClass = "WTTimerCarrier";

CarrierFactory zipFactory = nullptr;

// A component whose carrier is a hidden child window of a class of its own; when the window goes,
// so does the object, after clearing its record's link.
class CarrierWindow : public PlatformWindow, public ComponentObject {
public:
    CarrierWindow(std::int32_t windowId, std::int32_t componentId) : windowId_(windowId), componentId_(componentId) {}
    bool Create(const char* className, HWND parent, const Place& place) {
        if (!RegisterClassOnce(className, 0))
            return false;
        return CreatePlatformWindow(className, "", WS_CHILD, place.left, place.top, place.width, place.height,
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

// The payload library's carrier: its window is not ours, so this object only holds the handle. The
// payload's carrier reports its end through ComponentGone; then, or when the window is unloaded,
// the holder goes.
class ForeignCarrier final : public ComponentObject {
public:
    explicit ForeignCarrier(HWND window) : window_(window) {}
    HWND carrier() const override { return window_; }
    void Unlinked() override { delete this; }

private:
    HWND window_;
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
    if (!timer->Create(kTimerCarrierClass, parent, record.place)) {
        delete timer;
        return nullptr;
    }
    return timer;
}

// Null until the payload library connects its factory: the component is then absent.
ComponentObject* CreateZip(HWND parent, std::int32_t windowId, const ComponentRecord& record) {
    if (zipFactory == nullptr)
        return nullptr;
    HWND window = zipFactory(parent, record.place.left, record.place.top, record.place.width, record.place.height,
                             WS_CHILD, windowId, record.id);
    return window != nullptr ? new ForeignCarrier(window) : nullptr;
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

void ConnectZipKind(CarrierFactory create) { zipFactory = create; }
