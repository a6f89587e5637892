// launcher/launcher_program.h: the launcher's own declarations for the frame: its one external routine,
// its two handlers with the process check they use, its start window and its clean-up, and InstallDir, its one global text.
#pragma once
#include "launcher/frame.h"
#include <windows.h>

#include "base/held_folder.h"
#include "base/text.h"
#include "sysops/processes.h"

// The application-data folder followed by "Kestrelworks\"; set while installing, read by the watch,
// released by the clean-up routine.
extern Text InstallDir;
// The folder "Kestrelworks" itself, held from the install to the end of the clean-up: every step below
// it goes through this handle, so the folder cannot change meaning during the run. None when a link or
// no plain folder stood at its name: then nothing is installed, started or removed.
extern HeldFolder InstallFolder;
// The same folder in UTF-16 with its trailing backslash, from the run's one look-up of the
// application-data folder: the application's command line is made from it.
extern WideText InstallPath;

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
// Registered at start-up: releases InstallDir and lets InstallFolder go.
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
