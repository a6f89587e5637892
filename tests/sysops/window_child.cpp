// A windowed program that idles in its message loop: the stand-in for the launched application.
//   sysops_window_child.exe [title]   a top-level window with that title (none without one)
// It ends on its own after a minute, so a failed test never leaves it behind for long.
#include <windows.h>

namespace {
LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_TIMER || message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, w, l);
}
}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "KestrelSysopsChild";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowA("KestrelSysopsChild", commandLine, WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                nullptr, instance, nullptr);
    SetTimer(window, 1, 60000, nullptr);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}
