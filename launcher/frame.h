// launcher/frame.h: the frame the program runs in: start-up, the event loop, the end of the program and
// the table of external library routines. A program is described by its declarations (its external
// routines, its handlers, its start window and its clean-up), so that a test program built from the
// same libraries runs the very same frame with declarations of its own.
// Everything here runs on the one GUI thread.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "host/window_host.h"
#include "launcher/external_routines.h"

struct ProgramDeclarations {
    const ExternalRoutineDeclaration* externalRoutines = nullptr;
    int externalRoutineCount = 0;
    const EventHandler* handlers = nullptr;  // indexed by HandlerSlot
    int handlerCount = 0;
    std::int32_t startWindowId = kLauncherWindowId;
    void (*startRoutine)() = nullptr;  // the program's own start routine, run before the clean-up is
                                       // registered; may be null
    void (*cleanup)() = nullptr;       // registered with RegisterCleanup; may be null
    void (*sessionEnds)() = nullptr;   // called inside WM_ENDSESSION ("ending") of a loaded window; may be null
    // The window description as serialized bytes; null reads the built-in one.
    const unsigned char* description = nullptr;
    std::size_t descriptionSize = 0;
};

// The whole life of the program: records the program's folder, runs ProgramEntry, and when the event
// loop has ended runs the same end as EndProgram, clean-up list included, without ending the process.
// Answers the exit code of the quit message that ended the loop, for WinMain to return. EndProgram and the fatal report end the
// process without coming back here.
int RunProgram(const ProgramDeclarations& declarations);

// The start sequence: OLE, program folder as current directory, HiddenOwnerWindow, the external
// routine table, the services and handlers, the description, the clean-up, the start window, the
// event loop. Answers 0 when the loop has ended.
int ProgramEntry(const ProgramDeclarations& declarations);

// Makes the system folder the only place a library named without a path is loaded from, for every load
// of the process from here on, the system libraries' own included. The start sequence's first step;
// launcher.exe calls it earlier still, before the C runtime starts (launcher/system_imports.cpp).
void RestrictLibrarySearch();

// Runs the event loop until it takes the quit message; returns at once when no loaded window lives.
void RunMessageLoop();
// Handles the messages waiting for the thread and returns. WM_QUIT stays queued.
void PumpPendingMessages();
// The filter every pumped message passes before translation: true when a window object (or the
// thread-message handling) consumed it.
[[nodiscard]] bool PreTranslateMessage(MSG& message);

// Ends the program with the exit code: events suppressed, clean-ups run, libraries and frame
// resources released, ExitProcess. Never returns on the main thread.
void EndProgram(std::int32_t exitCode);

// A routine the loop calls while it is idle, as long as `window` exists. Hooks run last to first.
void AddIdleHook(HWND window, void (*routine)(void* argument), void* argument);

// What the frame recorded at start-up.
const char* ProgramFolder();  // without a trailing backslash ("" when none)
[[nodiscard]] HWND HiddenOwnerWindow();
[[nodiscard]] bool ShuttingDown();
