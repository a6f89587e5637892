// launcher/launcher_program.h: the launcher's own declarations for the frame: its one external routine,
// its two handlers, its start routine, its clean-up and the end of the session, and the seams its test
// builds set. The run itself is one record (launcher/run.h) that the install (launcher/install.h) and
// the watch (launcher/watch.h) each take.
#pragma once
#include "launcher/frame.h"
#include <windows.h>

#include <cstdint>

#include "base/text.h"
#include "sysops/processes.h"

// The table index of "Kernel32.dll" / "Wow64DisableWow64FsRedirection".
inline constexpr int kDisableFsRedirection = 0;

// Error sites: where a fatal report from the launcher's own code says the fault arose, as its two
// position numbers. The first names the routine's statement (0x0401...: bits 24 to 27 hold 4, so the
// report never takes it for a window id, which holds 2 there), the second the line within it. The
// numbers are the program's fixed answer to "where": tests and users compare them, so they never change.
inline constexpr std::int32_t kCreatedCallSite = 0x04010023;  // the stack check after the created handler's call
inline constexpr std::int32_t kWatchCallSite = 0x04010024;    // the same check in the watch

inline constexpr std::int32_t kWatchPeriodMilliseconds = 1000;

// The created event of LauncherWindow: installs the application and starts it.
void OnLauncherCreated();
// The period event of WatchTimer: watches the application and cleans up after it.
void OnWatchTimer();
// WM_ENDSESSION ("ending") of LauncherWindow: stops the watch and removes what can go at once, inside
// the message; never waits for the application and never ends a process.
void OnSessionEnds();
// Registered at start-up: lets go of everything the run holds (its folders, its program, its lock).
void ReleaseRun();
// True once the run has found its install folder (the look-up done and the folder held or refused).
[[nodiscard]] bool InstallFolderLookedUp();

// Switches the 32-bit program's file-system redirection off through the external routine, and on again
// at once; `callSite` names the handler for the stack check's report.
void SwitchFsRedirectionOffAndOn(std::int32_t callSite);

// For test builds of the launcher, which link the same libraries and set these before the program runs.
struct LauncherSeams {
    bool (*elevated)() = nullptr;  // stands in for the token's own answer (Wine reports every token elevated)
    void (*treeSecurity)(PSECURITY_DESCRIPTOR descriptor) = nullptr;  // sees what an elevated tree is made with
    bool (*lookUpAppData)(WideText& folder) = nullptr;   // stands in for the application-data folder's look-up
    bool (*listProcesses)(ProcessList& list) = nullptr;  // stands in for the watch's process list
    // Stands in for the flags GetVolumeInformationByHandleW gives for the install folder's volume (Wine
    // makes no volume without access lists).
    bool (*volumeFlags)(DWORD& flags) = nullptr;
    void (*startWaitBegins)() = nullptr;  // called as the three-second wait before the start begins
    // Called at two moments of the clean-up: "clean-up-decided" (no application runs: the one-second
    // wait comes next) and "clean-up-locked" (the install lock is held: the last look comes next).
    void (*cleanUpStep)(const char* step) = nullptr;
    std::int32_t watchPeriodMilliseconds = 0;  // 0: the watch's own period
};
void SetLauncherSeams(const LauncherSeams& seams);
const LauncherSeams& CurrentSeams();

const ProgramDeclarations& LauncherDeclarations();
