// frame_fault_program.exe MODE MARKER_FOLDER [LIBRARY]: the real frame and window host with declarations of its
// own, for the end-to-end tests. MODE picks the fault to trigger or the behaviour to show; what the
// program sees is written as "key=value" lines to MARKER_FOLDER\report.txt, and its clean-up routine
// writes MARKER_FOLDER\cleanup.txt when it runs.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/memory.h"
#include "base/owners.h"
#include "base/services.h"
#include "host/window_host.h"
#include "launcher/frame.h"

namespace {

const char* mode = "";
char markerFolder[MAX_PATH] = ".";
int ticks = 0;
bool insideCreated = false;

bool Is(const char* name) { return std::strcmp(mode, name) == 0; }

void AppendTo(const char* fileName, const char* line) {
    char path[MAX_PATH * 2];
    std::snprintf(path, sizeof path, "%s\\%s", markerFolder, fileName);
    FileHandle file{
        CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file)
        return;
    DWORD written;
    WriteFile(file.get(), line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
    WriteFile(file.get(), "\n", 1, &written, nullptr);
}

void Report(const char* key, long value) {
    char line[128];
    std::snprintf(line, sizeof line, "%s=%ld", key, value);
    AppendTo("report.txt", line);
}

bool TimerPending() {
    MSG message;
    HWND carrier = FindComponentWindowThroughFrame(kLauncherWindowId, kWatchTimerId);
    return PeekMessageA(&message, carrier, WM_TIMER, WM_TIMER, PM_NOREMOVE) != FALSE;
}

void SetInterval(std::int64_t milliseconds) {
    SetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyInterval, -1, milliseconds);
}

void PumpFor(DWORD milliseconds) {
    DWORD end = GetTickCount() + milliseconds;
    while (static_cast<LONG>(end - GetTickCount()) > 0) {
        PumpPendingMessages();
        Sleep(10);
    }
}

LRESULT CALLBACK HelperProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_USER + 1) {
        PostQuitMessage(3);
        return 0;
    }
    if (message == WM_USER + 2) {
        Report("handled-after-quit", 1);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void ShowsTimerSemantics() {
    Sleep(300);
    Report("zero-pending", TimerPending());
    // The same value written again must not restart the running period: 1200 ms after the first
    // write a period is due, whereas a restarted one would not be due before 1600 ms.
    SetInterval(1000);
    Sleep(600);
    SetInterval(1000);
    Sleep(600);
    Report("same-write-pending", TimerPending());
    SetInterval(-5);
    Report("negative-reads",
           static_cast<long>(GetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyInterval, -1)));
    MSG message;
    while (PeekMessageA(&message, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE)) {
    }
    Sleep(300);
    Report("negative-pending", TimerPending());
    SetInterval(100);
}

void PostsQuitWhilePumping() {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = HelperProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "FaultProgramHelper";
    RegisterClassA(&windowClass);
    HWND helper = CreateWindowExA(0, "FaultProgramHelper", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    PostMessageA(helper, WM_USER + 1, 0, 0);
    PostMessageA(helper, WM_USER + 2, 0, 0);
    PumpPendingMessages();
    MSG message;
    Report("quit-queued", PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
}

int hookCalls = 0;

// Notes its argument; the second call ends the program, after one walk over the two live hooks.
void IdleHookRoutine(void* argument) {
    char line[64];
    std::snprintf(line, sizeof line, "hook=%s", static_cast<const char*>(argument));
    AppendTo("report.txt", line);
    if (++hookCalls == 2)
        EndProgram(0);
}

void RegistersIdleHooks() {
    HWND live = FindComponentWindowThroughFrame(kLauncherWindowId, kLauncherWindowEntryId);
    HWND gone = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    static char first[] = "first", ofGone[] = "gone", last[] = "last";
    AddIdleHook(live, IdleHookRoutine, first);
    AddIdleHook(gone, IdleHookRoutine, ofGone);
    AddIdleHook(live, IdleHookRoutine, last);
}

DWORD WINAPI EndsFromAnotherThread(void*) {
    EndProgram(7);
    return 0;
}

bool Created(const EventCall&, std::int32_t&) {
    insideCreated = true;
    if (Is("missing-export") || Is("missing-export-anywhere") || Is("stack-imbalance")) {
        CallExternalRoutine(0, 41, 67174435, 18);
    } else if (Is("balanced-call")) {
        Report("result", static_cast<long>(CallExternalRoutine(0, 41, 67174435, 18)));
        EndProgram(0);
    } else if (Is("system-routine") || Is("routine-of")) {
        void* previous = nullptr;
        Report("result",
               static_cast<long>(CallExternalRoutine(0, reinterpret_cast<std::uintptr_t>(&previous), 67174435, 18)));
        EndProgram(0);
    } else if (Is("unknown-window")) {
        EventCall call;
        call.windowId = 0x52019999;
        (void)RaiseEventThroughFrame(call);
    } else if (Is("unknown-component")) {
        EventCall call;
        call.windowId = kLauncherWindowId;
        call.componentId = 0x16019999;
        (void)RaiseEventThroughFrame(call);
    } else if (Is("allocation")) {
        Allocate(0x7FFFFFF0);
    } else if (Is("current-dir")) {
        char folder[MAX_PATH] = "";
        GetCurrentDirectoryA(MAX_PATH, folder);
        AppendTo("report.txt", folder);
        EndProgram(0);
    } else if (Is("timer")) {
        ShowsTimerSemantics();
    } else if (Is("suppression")) {
        RaiseEventSuppression();
        SetInterval(50);
        PumpFor(500);
        Report("ticks-while-suppressed", ticks);
        LowerEventSuppression();
    } else if (Is("quit-pump")) {
        PostsQuitWhilePumping();
    } else if (Is("end-in-cleanup")) {
        EndProgram(0);
    } else if (Is("end-from-thread")) {
        KernelHandle thread{CreateThread(nullptr, 0, EndsFromAnotherThread, nullptr, 0, nullptr)};
    } else if (Is("idle-hooks")) {
        RegistersIdleHooks();
    } else if (Is("load-by-name")) {
        // Each further argument is a library loaded by its plain name; the report says which loaded.
        for (int i = 3; i < __argc; ++i)
            Report(__argv[i], LoadLibraryA(__argv[i]) != nullptr);
        EndProgram(0);
    } else if (Is("show-window")) {
        SetComponentProperty(kLauncherWindowId, kLauncherWindowEntryId, kPropertyVisible, -1, 1);
    }
    insideCreated = false;
    return false;
}

bool Period(const EventCall&, std::int32_t&) {
    ++ticks;
    if (Is("timer") && ticks == 3) {
        Report("ticks-from-loop", insideCreated ? 0 : ticks);
        EndProgram(0);
    }
    if (Is("suppression") && ticks == 1) {
        Report("ticks-after-lowered", ticks);
        EndProgram(0);
    }
    return false;
}

void Cleanup() {
    if (Is("suppression")) {
        // EndProgram has begun: the timer still runs, but no handler may run any more.
        int before = ticks;
        EventCall call;
        call.windowId = kLauncherWindowId;
        call.componentId = kWatchTimerId;
        Report("raised-after-end", RaiseEventThroughFrame(call));
        PumpFor(300);
        Report("ticks-after-end", ticks - before);
    }
    AppendTo("cleanup.txt", "ran");
    if (Is("end-in-cleanup"))
        EndProgram(4);
}

const EventHandler kHandlers[kHandlerSlotCount] = {Created, Period};
const unsigned char kUnreadableDescription[] = "not a window description";

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (__argc > 1)
        mode = __argv[1];
    if (__argc > 2)
        std::snprintf(markerFolder, sizeof markerFolder, "%s", __argv[2]);

    static ExternalRoutineDeclaration routine = {"Kernel32.dll", "Wow64DisableWow64FsRedirection"};
    if (Is("missing-export"))
        routine = {"Kernel32.dll", "KestrelNoSuchRoutine"};
    else if (Is("missing-export-anywhere"))
        routine = {"", "KestrelNoSuchRoutine"};
    else if (Is("stack-imbalance"))
        routine = {"frame_test_routines.dll", "CdeclRoutine"};
    else if (Is("balanced-call"))
        routine = {"frame_test_routines.dll", "StdcallRoutine"};
    else if (Is("routine-of") && __argc > 3)
        routine = {__argv[3], "Wow64DisableWow64FsRedirection"};

    ProgramDeclarations declarations;
    declarations.externalRoutines = &routine;
    declarations.externalRoutineCount = 1;
    declarations.handlers = kHandlers;
    declarations.handlerCount = kHandlerSlotCount;
    declarations.cleanup = Cleanup;
    if (Is("bad-description")) {
        declarations.description = kUnreadableDescription;
        declarations.descriptionSize = sizeof kUnreadableDescription;
    }
    if (Is("unknown-start-window"))
        declarations.startWindowId = 0x52010002;
    return RunProgram(declarations);
}
