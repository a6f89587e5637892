#include "launcher/frame.h"

#include <ole2.h>

#include <cstring>

#include "base/fatal.h"
#include "base/growing_table.h"
#include "base/memory.h"
#include "base/services.h"
#include "base/text.h"
#include "host/window_host.h"
#include "launcher/external_routines.h"

namespace {

// EndProgram called from another thread asks the main thread through HiddenOwnerWindow.
constexpr UINT kEndProgramRequest = 0x83E7;
constexpr char kHiddenOwnerClass[] = "KestrelHiddenOwner";

// An idle period runs the hooks this many times before the loop waits for the next message.
constexpr int kIdlePassesPerPeriod = 2;

struct IdleHook {
    HWND window;
    void (*routine)(void* argument);
    void* argument;
};

// The one application object of the process.
struct Application {
    Text programFolder;
    DWORD mainThreadId = 0;
    GrowingTable<IdleHook> idleHooks;
    HWND hiddenOwnerWindow = nullptr;
    bool shuttingDown = false;
    bool oleStarted = false;
    POINT lastMousePoint = {-1, -1};
    UINT lastMouseMessage = 0;
    int quitCode = 0;
};
Application app;

LRESULT CALLBACK HiddenOwnerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kEndProgramRequest) {
        EndProgram(static_cast<std::int32_t>(wParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateHiddenOwnerWindow() {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = HiddenOwnerProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kHiddenOwnerClass;
    RegisterClassA(&windowClass);  // a second registration fails harmlessly
    return CreateWindowExA(WS_EX_TOOLWINDOW, kHiddenOwnerClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
}

// The program's full path, split at its last backslash character by character: a trail byte 0x5C
// of a double-byte character is no separator.
void RecordProgramPath() {
    char path[MAX_PATH + 1] = "";
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[length < MAX_PATH ? length : MAX_PATH] = '\0';
    const char* backslash = FindLastBackslash(path);
    app.programFolder = backslash ? Text::FromBytes(path, static_cast<std::size_t>(backslash - path)) : Text::Copy("");
}

// Whether a pumped message ends an idle period. Repeated mouse moves at the same place, paints and
// the caret blink do not.
bool EndsIdlePeriod(const MSG& message) {
    if (message.message == WM_MOUSEMOVE || message.message == WM_NCMOUSEMOVE) {
        bool same = message.message == app.lastMouseMessage && message.pt.x == app.lastMousePoint.x &&
                    message.pt.y == app.lastMousePoint.y;
        app.lastMouseMessage = message.message;
        app.lastMousePoint = message.pt;
        return !same;
    }
    return message.message != WM_PAINT && message.message != 0x0118;  // 0x0118: the system timer
}

bool IsOwnWindowClass(HWND window) {
    return reinterpret_cast<HMODULE>(GetClassLongPtrA(window, GCLP_HMODULE)) == GetModuleHandleA(nullptr);
}

// Takes one message and handles it; false when it was the quit message (left taken, its code kept).
bool PumpOneMessage(MSG& message) {
    BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == 0) {
        app.quitCode = static_cast<int>(message.wParam);
        return false;
    }
    if (got == -1)
        return true;
    if (!PreTranslateMessage(message)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return true;
}

void RunIdleHooks() {
    for (std::size_t i = app.idleHooks.size(); i-- > 0;) {
        if (i >= app.idleHooks.size())
            continue;  // a routine began the end, which empties the table
        if (!IsWindow(app.idleHooks[i].window)) {
            app.idleHooks.RemoveAt(i);
            continue;
        }
        const IdleHook hook = app.idleHooks[i];  // a copy: the routine may add a hook and move the table
        hook.routine(hook.argument);
    }
}

// EndProgram's steps after the clean-up list; shared with the end that follows the event loop.
void ReleaseFrame() {
    ReleaseExternalRoutines();
    if (app.hiddenOwnerWindow) {
        DestroyWindow(app.hiddenOwnerWindow);
        app.hiddenOwnerWindow = nullptr;
    }
    if (app.oleStarted) {
        OleUninitialize();
        app.oleStarted = false;
    }
}

void BeginShutdown() {
    app.shuttingDown = true;
    app.idleHooks.Clear();
    DropLoadedWindows();
}

void ConnectFrameServices(void (*sessionEnds)()) {
    ConnectServices(ServiceEntry{.pumpPendingMessages = PumpPendingMessages,
                                 .raiseEvent = RaiseEvent,
                                 .findComponentWindow = FindComponentWindow,
                                 .namePosition = NamePosition,
                                 .endProgram = EndProgram,
                                 .sessionEnds = sessionEnds});
}

}  // namespace

// A program is often started from a folder anyone can write to (Downloads), where a DLL named like a
// system library may have been dropped. Libraries loaded by a plain name come from the system folder
// only, and, as LoadLibraryEx documents for LOAD_LIBRARY_SEARCH_SYSTEM32, so do their own dependencies:
// the setting is the process's, so it also binds the loads the system's libraries make on our behalf
// (the shell's, OLE's, user32's). The routine that says so is looked up at run time, as systems without
// it exist (Vista and 7 before KB2533623); there the older call at least drops the current folder from
// the search. Called again, it changes nothing.
void RestrictLibrarySearch() {
    using SetDefaultDllDirectoriesRoutine = BOOL(WINAPI*)(DWORD);
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesRoutine>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (setDefault == nullptr || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryA("");
}

const char* ProgramFolder() { return app.programFolder.c_str(); }
HWND HiddenOwnerWindow() { return app.hiddenOwnerWindow; }
bool ShuttingDown() { return app.shuttingDown; }

int RunProgram(const ProgramDeclarations& declarations) {
    RecordProgramPath();
    ProgramEntry(declarations);
    // The loop has taken the quit message: the same end as EndProgram, clean-up list included (it
    // releases what the program holds; the installed files are the watch's affair and stay).
    RaiseEventSuppression();
    BeginShutdown();
    RunCleanups();
    ReleaseFrame();
    return app.quitCode;
}

int ProgramEntry(const ProgramDeclarations& declarations) {
    RestrictLibrarySearch();
    if (!app.oleStarted && SUCCEEDED(OleInitialize(nullptr)))
        app.oleStarted = true;
    RecordProgramPath();
    // Every relative path the program uses later resolves against its own folder.
    SetCurrentDirectoryA(app.programFolder.c_str());
    app.hiddenOwnerWindow = CreateHiddenOwnerWindow();
    app.mainThreadId = GetCurrentThreadId();
    RecordConstantRange();
    SetExternalRoutines(declarations.externalRoutines, declarations.externalRoutineCount);
    ConnectFrameServices(declarations.sessionEnds);
    ConnectHandlers(declarations.handlers, declarations.handlerCount);
    bool described = declarations.description
                         ? ReadWindowDescriptionFrom(declarations.description, declarations.descriptionSize)
                         : ReadWindowDescription();
    if (!described)
        ReportRuntimeError(kNoErrorCode, "载入窗口模板数据段出错!", 0, 0);

    if (declarations.startRoutine)
        declarations.startRoutine();
    if (declarations.cleanup)
        RegisterCleanup(declarations.cleanup);
    if (!LoadWindow(declarations.startWindowId))
        ReportRuntimeError(kNoErrorCode, "载入启动窗口失败", declarations.startWindowId, 0);
    RunMessageLoop();
    return 0;
}

void RunMessageLoop() {
    SetQuitOnLastWindow();
    if (!AnyLoadedWindowAlive())
        return;
    MSG message;
    bool idle = true;
    int idlePasses = 0;
    for (;;) {
        while (idle && !PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE)) {
            RunIdleHooks();
            idle = ++idlePasses < kIdlePassesPerPeriod;
        }
        do {
            if (!PumpOneMessage(message))
                return;
            if (EndsIdlePeriod(message)) {
                idle = true;
                idlePasses = 0;
            }
        } while (PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE));
    }
}

void PumpPendingMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE)) {
        // Leave WM_QUIT queued: the main loop, not this pump, decides when the program ends.
        if (message.message == WM_QUIT)
            return;
        if (!PumpOneMessage(message)) {
            // The look saw another message, yet GetMessageA took the quit: a message another thread
            // sent, handled inside GetMessageA, posted it (a close request ending the last window),
            // and the quit outranks a waiting paint or timer message. Put it back for the main loop.
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
    }
}

bool PreTranslateMessage(MSG& message) {
    if (message.hwnd == nullptr)
        return false;  // the program maps no thread message: each goes on to dispatch
    DWORD thread = GetCurrentThreadId();
    for (HWND window = message.hwnd; window != nullptr; window = GetParent(window)) {
        WindowObject* object = PermanentWindowObject(window);
        // Only a window of this thread is asked for its object: a send to another thread's window
        // (an owner GetParent reports) could block, and its answer would be no pointer of ours. And
        // only a window of a class this program registered: 0x8002 lies in the range any class may
        // use for a message of its own, so a system or foreign window's answer is no object either.
        if (object == nullptr && GetWindowThreadProcessId(window, nullptr) == thread && IsOwnWindowClass(window))
            object = reinterpret_cast<WindowObject*>(SendMessageA(window, kWindowObjectQuery, 0, 0));
        if (object != nullptr && object->PreTranslateMessage(message))
            return true;
    }
    return false;
}

void EndProgram(std::int32_t exitCode) {
    RaiseEventSuppression();
    if (app.mainThreadId != 0 && GetCurrentThreadId() != app.mainThreadId) {
        if (app.hiddenOwnerWindow && IsWindow(app.hiddenOwnerWindow))
            SendMessageA(app.hiddenOwnerWindow, kEndProgramRequest, static_cast<WPARAM>(exitCode), 0);
        if (!app.shuttingDown)
            ExitProcess(static_cast<UINT>(exitCode));
        return;
    }
    // A clean-up routine, or a component told that the program ends, may call this again. The end
    // under way has the clean-up list in hand, whose routines run at most once; running the list
    // again would call the same routine into itself without end. This call only ends the process.
    if (app.shuttingDown)
        ExitProcess(static_cast<UINT>(exitCode));
    BeginShutdown();
    RunCleanups();
    ReleaseFrame();
    ExitProcess(static_cast<UINT>(exitCode));
}

void AddIdleHook(HWND window, void (*routine)(void* argument), void* argument) {
    app.idleHooks.Append(IdleHook{window, routine, argument});
}
