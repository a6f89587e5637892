// The platform window wrapper: window classes of our own, and the object behind each window.
#include "host/host_internal.h"

namespace {

// Every live wrapper, for PermanentWindowObject. A handful at most, so a plain list does.
GrowingTable<PlatformWindow*> liveWindows;

void ForgetLiveWindow(PlatformWindow* window) {
    for (std::size_t i = liveWindows.size(); i-- > 0;)
        if (liveWindows[i] == window)
            liveWindows.RemoveAt(i);
}

}  // namespace

PlatformWindow::~PlatformWindow() {
    ForgetLiveWindow(this);
    if (hwnd_ != nullptr) {
        // Destroyed while its window still exists: cut the link so no message reaches a freed object.
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
    }
}

bool PlatformWindow::RegisterClassOnce(const char* className, UINT style, HCURSOR cursor) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA existing{};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExA(instance, className, &existing))
        return true;
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = style;
    wc.lpfnWndProc = &PlatformWindow::Procedure;
    wc.hInstance = instance;
    wc.hCursor = cursor;
    wc.hbrBackground = nullptr;
    wc.lpszClassName = className;
    return RegisterClassExA(&wc) != 0;
}

HWND PlatformWindow::CreatePlatformWindow(const char* className, const char* title, DWORD style, int x, int y,
                                          int width, int height, HWND parent) {
    HWND created = CreateWindowExA(0, className, title, style, x, y, width, height, parent, nullptr,
                                   GetModuleHandleA(nullptr), this);
    created_ = created != nullptr;
    return created;
}

LRESULT PlatformWindow::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK PlatformWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    PlatformWindow* self = nullptr;
    if (message == WM_NCCREATE) {
        // The first message; the messages of creation (WM_CREATE, WM_MOVE, WM_SIZE) reach the object.
        self = static_cast<PlatformWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        self->hwnd_ = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        liveWindows.Append(self);
    } else {
        self = reinterpret_cast<PlatformWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    }
    if (self == nullptr)
        return DefWindowProcA(window, message, wParam, lParam);
    LRESULT answer = self->WindowProc(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        ForgetLiveWindow(self);
        self->hwnd_ = nullptr;
        // A creation that failed half way leaves the object to its creator.
        if (self->created_)
            self->WindowGone();  // may delete the object: nothing of it is touched after this
    }
    return answer;
}

WindowObject* PermanentWindowObject(HWND window) {
    if (window == nullptr)
        return nullptr;
    for (PlatformWindow* object : liveWindows)
        if (object->hwnd() == window)
            return object;
    return nullptr;
}
