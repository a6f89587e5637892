// launcher/launcher_program.h: the launcher's own declarations for the frame: its one external routine,
// its two handlers with the process check they use, its start window and its clean-up, and InstallDir, its one global text.
#pragma once
#include "launcher/frame.h"
#include "base/text.h"

// The application-data folder followed by "Kestrelworks\"; set while installing, read by the watch,
// released by the clean-up routine.
extern Text InstallDir;

// The table index of "Kernel32.dll" / "Wow64DisableWow64FsRedirection".
inline constexpr int kDisableFsRedirection = 0;

// The created event of LauncherWindow: installs the application and starts it.
void OnLauncherCreated();
// The period event of WatchTimer: watches the application and cleans up after it.
void OnWatchTimer();
// True when a running process has the executable name `name`, in any letter case; a fresh process
// list is taken for each call and released before the answer.
bool ProcessExists(const char* name);
// Registered at start-up: releases InstallDir when it holds a text.
void ReleaseInstallDir();

const ProgramDeclarations& LauncherDeclarations();
