// show_watch.dll: a system-wide hook that notes every show of a "WTWindow" window. The system loads
// the library into each process whose windows receive messages; a show there creates
// "kestrel-shown-<process id>.txt" in the temporary folder.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "base/owners.h"

namespace {

void NoteShown() {
    char path[MAX_PATH + 64];
    DWORD length = GetTempPathA(MAX_PATH, path);
    if (length == 0 || length >= MAX_PATH)
        return;
    std::snprintf(path + length, 64, "kestrel-shown-%lu.txt", GetCurrentProcessId());
    // Made empty and closed at once: the file itself is the note.
    FileHandle{CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
}

bool IsWatched(HWND window) {
    char className[32] = "";
    GetClassNameA(window, className, sizeof className);
    return std::strcmp(className, "WTWindow") == 0;
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK WatchShows(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
        bool shows = (message->message == WM_SHOWWINDOW && message->wParam) ||
                     (message->message == WM_WINDOWPOSCHANGING &&
                      (reinterpret_cast<const WINDOWPOS*>(message->lParam)->flags & SWP_SHOWWINDOW));
        if (shows && IsWatched(message->hwnd))
            NoteShown();
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
