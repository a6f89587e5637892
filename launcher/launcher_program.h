// launcher/launcher_program.h: the launcher's own declarations for the frame: its one external routine,
// its two handlers with the process check they use, its start window and its clean-up, and InstallDir, its one global text.
#pragma once
#include "launcher/frame.h"
#include <windows.h>

#include "base/held_folder.h"
#include "base/text.h"
#include "sysops/processes.h"

// The install folder three ways, each named for what it is; all three are set by the one look-up of the
// application-data folder while installing and let go by the clean-up routine.
// - InstallDir, a Text: the application-data folder followed by "Kestrelworks\", in the ANSI code page
//   ("?" for what it cannot spell), for the trace; the program's one global text.
extern Text InstallDir;
// - InstallFolderHeld, a held folder: "Kestrelworks" itself, held from the install to the end of the
//   clean-up. Every step below it goes through this handle, so the folder cannot change meaning during
//   the run. None when a link or no plain folder stood at its name: then nothing is installed, started
//   or removed.
extern HeldFolder InstallFolderHeld;
// - InstallPathWide, a WideText: the same folder's path in UTF-16 with its trailing backslash, as the
//   system names it: the application's command line is made from it.
extern WideText InstallPathWide;

// The table index of "Kernel32.dll" / "Wow64DisableWow64FsRedirection".
inline constexpr int kDisableFsRedirection = 0;

// The created event of LauncherWindow: installs the application and starts it.
void OnLauncherCreated();
// The period event of WatchTimer: watches the application and cleans up after it.
void OnWatchTimer();
// WM_ENDSESSION ("ending") of LauncherWindow: stops the watch and removes what can go at once, inside
// the message; never waits for the application and never ends a process.
void OnSessionEnds();
// True when a running process has the executable name `name`, in any letter case; a fresh process
// list is taken for each call and released before the answer. A list that cannot be taken answers
// true: whether one runs is not known, and "it runs" is the answer that removes nothing.
[[nodiscard]] bool ProcessExists(const char* name);
// Registered at start-up: releases InstallDir and lets InstallFolderHeld go.
void ReleaseInstallDir();

// For test builds of the launcher, which link the same libraries and set these before the program runs.
struct LauncherSeams {
    bool (*elevated)() = nullptr;  // stands in for the token's own answer (Wine reports every token elevated)
    void (*treeSecurity)(PSECURITY_DESCRIPTOR descriptor) = nullptr;  // sees what an elevated tree is made with
    bool (*lookUpAppData)(WideText& folder) = nullptr;   // stands in for the application-data folder's look-up
    bool (*listProcesses)(ProcessList& list) = nullptr;  // stands in for the watch's process list
    std::int32_t watchPeriodMilliseconds = 0;            // 0: the watch's own period
};
void SetLauncherSeams(const LauncherSeams& seams);

const ProgramDeclarations& LauncherDeclarations();
