// The loaded window: its creation from entry 0, its loading with the components, and its close.
#include "host/host_internal.h"

namespace {

constexpr const char* kDefaultWindowClass = "WTWindow";

enum WindowEvent : std::int32_t {
    kCreated = 0,
    kCloseQuery = 1,
    kDestroyed = 2,
    kMoved = 3,
    kResized = 4,
    kFirstCloseQuery = 12,
};

// Raises an event of the window's entry 0; true when a handler ran and answered "no" (a result of 0).
bool RaiseWindowEvent(std::int32_t windowId, std::int32_t entryId, std::int32_t eventIndex) {
    EventCall call{.windowId = windowId, .componentId = entryId, .eventIndex = eventIndex};
    bool ran = RaiseEvent(call);
    return ran && call.resultPresent && call.result == 0;
}

DWORD StyleFrom(const ComponentRecord& entry0) {
    const std::int32_t* own = entry0.ownValues;
    DWORD style = WS_CLIPCHILDREN;
    bool hasTitle = !entry0.ownTexts[kTitle].empty();
    if (hasTitle || own[kControlBox])
        style |= WS_CAPTION;
    if (own[kControlBox])
        style |= WS_SYSMENU;
    switch (own[kBorderStyle]) {
    case 0:  // no border
        break;
    case 1:  // single line
        style |= WS_BORDER;
        break;
    case 3:  // sizable
        style |= WS_THICKFRAME;
        break;
    default:  // 2, the fixed border: movable, not resizable
        style |= WS_DLGFRAME;
        break;
    }
    if (own[kMinButton])
        style |= WS_MINIMIZEBOX;
    if (own[kMaxButton])
        style |= WS_MAXIMIZEBOX;
    return style;  // never WS_VISIBLE: a window is shown, if at all, after its created event
}

// A component stays hidden after loading when its kind never shows or its Visible flag is clear.
bool KeptHidden(const ComponentRecord& record) {
    return KindOf(record.kind).invisibleAtRunTime || !(record.flags & kFlagVisible);
}

bool Alive(WindowEntry* entry, CWinFormUnit* unit, HWND window) { return entry->unit == unit && IsWindow(window); }

}  // namespace

CWinFormUnit::CWinFormUnit(std::int32_t windowId, const ComponentRecord& entry0)
    : windowId_(windowId), entryId_(entry0.id) {
    for (int i = 0; i < kMaxOwnProperties; ++i)
        settings_[i] = entry0.ownValues[i];
}

bool CWinFormUnit::Create(const ComponentRecord& entry0) {
    const char* className =
        entry0.ownTexts[kWindowClassName].empty() ? kDefaultWindowClass : entry0.ownTexts[kWindowClassName].c_str();
    if (!RegisterClassOnce(className, CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS, LoadCursorA(nullptr, IDC_ARROW)))
        return false;
    const int width = entry0.place.width;
    const int height = entry0.place.height;
    int x = entry0.place.left;
    int y = entry0.place.top;
    if (settings_[kStartPosition] != 0) {
        // Centred on the primary screen; the stored Left and Top are not used.
        x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
        y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    }
    HWND window = CreatePlatformWindow(className, entry0.ownTexts[kTitle].c_str(), StyleFrom(entry0), x, y, width,
                                       height, nullptr);
    if (window == nullptr)
        return false;

    RECT placed;
    if (GetWindowRect(window, &placed) && (placed.right - placed.left != width || placed.bottom - placed.top != height))
        SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    // The program's own icon group; a program without one (a test) keeps the class's default. The
    // icon from LoadIconA is shared: it is never destroyed.
    if (HICON icon = LoadIconA(GetModuleHandleA(nullptr), "DEFAULT_ICON")) {
        SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
    SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    if (settings_[kAlwaysOnTop])
        SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    if (!settings_[kMovable])
        DeleteMenu(GetSystemMenu(window, FALSE), SC_MOVE, MF_BYCOMMAND);
    return true;
}

void CWinFormUnit::Show() {
    int command = SW_SHOW;
    if (settings_[kStartPosition] == 2)
        command = SW_SHOWMAXIMIZED;
    else if (settings_[kStartPosition] == 3)
        command = SW_SHOWMINIMIZED;
    ShowWindow(hwnd(), command);
}

bool CWinFormUnit::QueryClose() {
    HWND window = hwnd();
    for (std::int32_t eventIndex : {kFirstCloseQuery, kCloseQuery}) {
        bool refused = RaiseWindowEvent(windowId_, entryId_, eventIndex);
        if (!IsWindow(window) || refused)
            return false;  // gone already (a handler closed it), or a handler said no
    }
    return true;
}

LRESULT CWinFormUnit::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kWindowObjectQuery:
        return reinterpret_cast<LRESULT>(static_cast<WindowObject*>(this));
    case WM_SETFONT:
        // The system's own procedure keeps no font for a window of a private class.
        font_ = reinterpret_cast<HFONT>(wParam);
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(font_);
    case WM_CLOSE:
        if (detached_ || QueryClose())
            DestroyWindow(hwnd());
        return 0;
    case WM_QUERYENDSESSION:
        if (detached_)
            return TRUE;
        return RaiseWindowEvent(windowId_, entryId_, kCloseQuery) ? FALSE : TRUE;
    case WM_ENDSESSION:
        // "Ending" (wParam): the program may be ended as soon as this returns, so the program's work
        // for the end of the session runs now, inside the message.
        if (!detached_ && wParam)
            SessionEndsThroughFrame();
        return 0;
    case WM_DESTROY:
        if (!detached_)
            RaiseWindowEvent(windowId_, entryId_, kDestroyed);
        return 0;
    case WM_MOVE:
        // While the window is being created the suppression keeps these from the handlers; loading
        // raises both once, after the created event.
        if (!detached_)
            RaiseWindowEvent(windowId_, entryId_, kMoved);
        break;
    case WM_SIZE:
        if (!detached_)
            RaiseWindowEvent(windowId_, entryId_, kResized);
        break;
    default:
        break;
    }
    return PlatformWindow::WindowProc(message, wParam, lParam);
}

void CWinFormUnit::WindowGone() {
    if (!detached_)
        WindowUnloaded(windowId_);
    delete this;
}

bool LoadWindow(std::int32_t windowId) {
    WindowEntry* entry = FindWindowEntry(windowId);
    if (entry == nullptr || entry->stored.empty())
        return false;
    if (entry->loaded())
        return true;  // one window per description entry; a second load would orphan the first

    PumpPendingMessagesThroughFrame();
    RaiseEventSuppression();

    entry->working.Clear();
    for (const ComponentRecord& record : entry->stored)
        entry->working.Append(record.Clone());

    ComponentRecord& entry0 = entry->working[0];
    const bool visibleAtLoad = (entry0.flags & kFlagVisible) != 0;
    auto* unit = new CWinFormUnit(windowId, entry0);
    entry->unit = unit;  // loaded from here on: lookups go to the working copy
    if (!unit->Create(entry0)) {
        entry->unit = nullptr;
        entry->working.Clear();
        delete unit;
        LowerEventSuppression();  // a failed load must not leave every later event suppressed
        return false;
    }
    entry0.live = unit;
    HWND window = unit->hwnd();

    // Last to first: the ZIP component before the timer.
    for (std::size_t i = entry->working.size() - 1; i >= 1; --i) {
        ComponentRecord& record = entry->working[i];
        const ComponentKind& kind = KindOf(record.kind);
        record.live = kind.create != nullptr ? kind.create(window, windowId, record) : nullptr;
        if (record.live != nullptr && (record.flags & kFlagDisabled))
            EnableWindow(record.live->carrier(), FALSE);
    }

    for (std::size_t i = 1; i < entry->working.size(); ++i)
        if (ComponentObject* live = entry->working[i].live)
            ShowWindow(live->carrier(), KeptHidden(entry->working[i]) ? SW_HIDE : SW_SHOWNOACTIVATE);
    if (entry0.flags & kFlagDisabled)
        EnableWindow(window, FALSE);

    PumpPendingMessagesThroughFrame();
    LowerEventSuppression();

    // The created handler runs to its end here, before loading goes on; it may close the window.
    const std::int32_t entryId = unit->entryId();
    RaiseWindowEvent(windowId, entryId, kCreated);
    if (Alive(entry, unit, window))
        RaiseWindowEvent(windowId, entryId, kMoved);
    if (Alive(entry, unit, window))
        RaiseWindowEvent(windowId, entryId, kResized);
    if (Alive(entry, unit, window) && visibleAtLoad)
        unit->Show();
    return true;
}
