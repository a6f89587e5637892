// bench/bare_window.h: the one window a benchmark program makes so that it runs as a GUI program does:
// a class of its own whose messages go to `procedure`, and one window of it, never shown.
#pragma once
#include <windows.h>

// The window, or null when the system refuses it.
inline HWND CreateBareWindow(HINSTANCE instance, const char* className, WNDPROC procedure = DefWindowProcA,
                             DWORD style = WS_OVERLAPPEDWINDOW) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = className;
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, className, "", style, 0, 0, 100, 100, nullptr, nullptr, instance, nullptr);
}
