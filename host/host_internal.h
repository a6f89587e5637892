// host/host_internal.h: what the window host's own files share: the decoded records, the component
// kinds, the platform window wrapper and the live objects built on it. Not for other folders.
#pragma once
#include <windows.h>

#include <cstdint>

#include "base/growing_table.h"
#include "base/memory.h"
#include "base/text.h"
#include "host/description_format.h"
#include "host/window_host.h"

// A kind's own properties are numbered from 0 in its records; as a property index they follow the
// common ones, from kFirstOwnProperty on.
inline constexpr int kMaxOwnProperties = 24;  // the window kind has the most: indexes 8 to 31
constexpr int OwnNumber(int property) { return property - kFirstOwnProperty; }

// The own settings of the window kind, by own number.
inline constexpr int kTitle = OwnNumber(kPropertyTitle);
inline constexpr int kBorderStyle = OwnNumber(kPropertyBorderStyle);
inline constexpr int kControlBox = OwnNumber(kPropertyControlBox);
inline constexpr int kMaxButton = OwnNumber(kPropertyMaxButton);
inline constexpr int kMinButton = OwnNumber(kPropertyMinButton);
inline constexpr int kStartPosition = OwnNumber(kPropertyStartPosition);
inline constexpr int kMovable = OwnNumber(kPropertyMovable);
inline constexpr int kAlwaysOnTop = OwnNumber(kPropertyAlwaysOnTop);
inline constexpr int kWindowClassName = OwnNumber(kPropertyWindowClassName);
inline constexpr int kTimerInterval = OwnNumber(kPropertyInterval);  // the timer's one own setting

struct BoundEvent {
    std::int32_t eventIndex;
    int handlerSlot;
};

class ComponentObject;

struct ComponentRecord {
    std::int32_t id = 0;
    KindId kind = KindId::Window;
    Text name;
    Place place{};
    Text tag;
    std::int32_t mousePointer = 0;
    std::uint32_t flags = 0;
    GrowingTable<BoundEvent> events;
    std::int32_t ownValues[kMaxOwnProperties] = {};
    Text ownTexts[kMaxOwnProperties];
    ComponentObject* live = nullptr;  // only in the working copy of a loaded window

    ComponentRecord Clone() const;  // everything but the link
};

class CWinFormUnit;

struct WindowEntry {
    std::int32_t windowId = 0;
    Text name;
    GrowingTable<ComponentRecord> stored;
    GrowingTable<ComponentRecord> working;  // while loaded
    CWinFormUnit* unit = nullptr;           // non-null from the start of loading until the window is gone

    [[nodiscard]] bool loaded() const { return unit != nullptr; }
    GrowingTable<ComponentRecord>& records() { return loaded() ? working : stored; }
};

// The decoded description (host/description.cpp).
GrowingTable<WindowEntry>& Description();
WindowEntry* FindWindowEntry(std::int32_t windowId);
// The record of a component; component id 0 stands for entry 0. Null when the window has none.
ComponentRecord* FindRecord(WindowEntry& entry, std::int32_t componentId);
[[nodiscard]] bool DecodeDescription(const unsigned char* data, std::size_t size, GrowingTable<WindowEntry>& out);

// A live component: the object behind a record of a loaded window, made with `new` on the allocator.
class ComponentObject : public AllocatedObject {
public:
    virtual ~ComponentObject() = default;
    [[nodiscard]] virtual HWND carrier() const = 0;
};

struct ComponentKind {
    bool invisibleAtRunTime;
    bool canRaiseEvents;
    int ownPropertyCount;
    // Own setting types, by own property number.
    SettingType (*ownType)(int number);
    // The default of each own setting before the description's values are applied.
    void (*defaults)(ComponentRecord& record);
    // Makes the live object as a hidden child of `parent`, or null. Null for the window kind, whose
    // object LoadWindow makes itself.
    ComponentObject* (*create)(HWND parent, std::int32_t windowId, const ComponentRecord& record);
    // Writes an own property of a live object; true asks for a refresh.
    bool (*writeOwn)(ComponentObject& object, ComponentRecord& record, int number, std::int64_t value);
    std::int64_t (*readOwn)(const ComponentObject& object, const ComponentRecord& record, int number);
};
const ComponentKind& KindOf(KindId kind);
[[nodiscard]] bool ValidKind(std::uint8_t kind);

// The platform window wrapper: one object per window of our classes, receiving its messages from
// WM_NCCREATE on. The frame's message pre-translation finds it through PermanentWindowObject.
class PlatformWindow : public WindowObject {
public:
    [[nodiscard]] HWND hwnd() const { return hwnd_; }
    [[nodiscard]] bool PreTranslateMessage(MSG&) override { return false; }

protected:
    PlatformWindow() = default;
    ~PlatformWindow() override;
    // Registers the class on first use: our procedure, which hands WM_NCCREATE's object its window,
    // the class style and cursor given (null for none), no background brush and no icon.
    [[nodiscard]] static bool RegisterClassOnce(const char* className, UINT style, HCURSOR cursor);
    [[nodiscard]] HWND CreatePlatformWindow(const char* className, const char* title, DWORD style, int x, int y,
                                            int width, int height, HWND parent);
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // After WM_NCDESTROY, once the wrapper is detached from its window; the object may delete itself.
    virtual void WindowGone() {}

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND hwnd_ = nullptr;
    bool created_ = false;  // CreateWindowExA answered the window
};

// The loaded window (host/window_unit.cpp).
class CWinFormUnit final : public PlatformWindow, public ComponentObject {
public:
    CWinFormUnit(std::int32_t windowId, const ComponentRecord& entry0);
    [[nodiscard]] bool Create(const ComponentRecord& entry0);
    [[nodiscard]] HWND carrier() const override { return hwnd(); }
    // Shows the window the way loading does when its Visible flag is set.
    void Show();
    std::int32_t windowId() const { return windowId_; }
    std::int32_t entryId() const { return entryId_; }
    void Detach() { detached_ = true; }  // the program ends: its destruction changes nothing any more
    void setSetting(int number, std::int32_t value) { settings_[number] = value; }

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void WindowGone() override;

private:
    [[nodiscard]] bool QueryClose();

    std::int32_t windowId_;
    std::int32_t entryId_;
    std::int32_t settings_[kMaxOwnProperties] = {};
    HFONT font_ = nullptr;  // a stock object: never deleted
    bool detached_ = false;
};

// A component's carrier has gone: clear the link of the record that points at `object`.
void UnlinkComponent(std::int32_t windowId, std::int32_t componentId, ComponentObject* object);
// The loaded window's object has gone: put the stored records back and maybe end the loop.
void WindowUnloaded(std::int32_t windowId);
[[nodiscard]] bool QuitOnLastWindowSet();
