// idle_app.exe: a small idle process for filling the process list. It ends when the named event
// "KestrelRelIdleEnd" is set, or by itself after the number of seconds on its command line (default 120).
#include <windows.h>

#include <cstdlib>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    DWORD seconds = static_cast<DWORD>(std::strtoul(commandLine, nullptr, 10));
    if (seconds == 0)
        seconds = 120;
    HANDLE end = CreateEventA(nullptr, TRUE, FALSE, "KestrelRelIdleEnd");
    WaitForSingleObject(end, seconds * 1000);
    return 0;
}
