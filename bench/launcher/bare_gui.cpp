// bare_gui.exe: the baseline of a GUI program under Wine: it links the same system libraries as the
// launcher, creates one hidden window, handles what is queued and ends. Its wall time is a process
// start, its peak working set what any such program costs.
#include <windows.h>
#include <ole2.h>

#include "bench/bare_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    OleInitialize(nullptr);
    HWND window = CreateBareWindow(instance, "KestrelBareWindow");
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
    DestroyWindow(window);
    OleUninitialize();
    return 0;
}
