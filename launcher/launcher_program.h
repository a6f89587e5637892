// launcher/launcher_program.h: the launcher's own declarations for the frame: its one external routine,
// its two handlers with the process check they use, its start window and its clean-up, and InstallDir, its one global text.
#pragma once
#include "launcher/frame.h"
#include "base/held_folder.h"
#include "base/text.h"

// The application-data folder followed by "Kestrelworks\"; set while installing, read by the watch,
// released by the clean-up routine.
extern Text InstallDir;
// The folder "Kestrelworks" itself, held from the install to the end of the clean-up: every step below
// it goes through this handle, so the folder cannot change meaning during the run. None when a link or
// no plain folder stood at its name: then nothing is installed, started or removed.
extern HeldFolder InstallFolder;

// The table index of "Kernel32.dll" / "Wow64DisableWow64FsRedirection".
inline constexpr int kDisableFsRedirection = 0;

// The created event of LauncherWindow: installs the application and starts it.
void OnLauncherCreated();
// The period event of WatchTimer: watches the application and cleans up after it.
void OnWatchTimer();
// True when a running process has the executable name `name`, in any letter case; a fresh process
// list is taken for each call and released before the answer.
[[nodiscard]] bool ProcessExists(const char* name);
// Registered at start-up: releases InstallDir and lets InstallFolder go.
void ReleaseInstallDir();

const ProgramDeclarations& LauncherDeclarations();
