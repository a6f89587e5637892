// launcher/run.h: what one run of the launcher holds, from the install to the end of the clean-up, as one
// record that the install (launcher/install.h), the clean-up (launcher/removal.h) and the watch
// (launcher/watch.h) each take; and what they share: the program's fixed names as they stand on disk,
// the trace for support, and the one look at the running processes.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "base/held_folder.h"
#include "base/text.h"
#include "launcher/install_lock.h"
#include "sysops/processes.h"

// What a run ends with when its install failed: nothing was started, and what it wrote is gone.
// ERROR_INSTALL_FAILURE (1603) is the system's own word for "the installation failed": Windows
// Installer ends with it, and deployment tools (Configuration Manager, Intune, winget) read it as such.
// It is neither 0 (all went well, or a close request) nor -1 (the frame's fatal report), nor 259
// (STILL_ACTIVE, which GetExitCodeProcess gives for a process that still runs), and it does not look
// like an exception code (0xC...), which reads as a crash.
inline constexpr std::int32_t kInstallFailedExitCode = ERROR_INSTALL_FAILURE;

struct Run {
    HeldFolder root;  // Kestrelworks, held from the install to the end of the clean-up; none: nothing is
                      // installed, started or removed
    // Velkar\, held without delete sharing from its creation (or from the second start's look at it) to
    // the end of the clean-up, so that no other program can rename it away while the application runs
    // from it: the High label of an elevated tree guards what lies inside the folder, not its name.
    HeldFolder tree;
    // The Velkar.exe to start: the one this run wrote (open for reading, shared for reading only, from
    // its writing to its start), or the one a running copy of the application uses (the second start).
    ChildHandle program;
    InstallLock lock;           // no other run installs into or cleans up the folder meanwhile
    bool elevated = true;       // the token's answer; a token that cannot be read counts as elevated
    WideText installPath;       // the folder's path with its separator, in UTF-16: the command line's
    Text installDir;            // the same in the ANSI code page ("?" for what it cannot spell), for the trace
    bool sessionEnded = false;  // from then on nothing is started, watched or waited for
};

// The program's fixed names as they stand on disk, in UTF-16: read in the ANSI code page as the system
// reads them everywhere else (on code page 936, the Chinese names as written in the program).
struct NamesOnDisk {
    WideText tree;     // Velkar
    WideText program;  // Velkar.exe
    WideText archive;  // 檀溪舟楫.zip
    WideText lock;     // 檀溪舟楫.lock
};
const NamesOnDisk& Names();
// The same names in the ANSI code page, for the trace.
inline constexpr char kTreeName[] = "Velkar";
inline constexpr char kProgramName[] = "Velkar.exe";
inline constexpr char kArchiveName[] = "檀溪舟楫.zip";

// One short line of the job's trace for support, through OutputDebugStringA: a debugger or a
// debug-output viewer sees it; nothing is written to disk and nothing is shown.
void Trace(const char* format, ...);
// The outcome of a step for its trace line: `done`, or `failed` with the system's error code, read
// first thing, before anything else can change it. The text lives until the next call.
const char* Outcome(bool succeeded, const char* done, const char* failed);

// True while the held install folder lists an entry of that name.
[[nodiscard]] bool Listed(const Run& run, const WideText& name);

// True once the launcher's window is gone (a close request destroyed it): the event loop ends as soon as
// the handler that is waiting returns, and nothing more is started or removed.
[[nodiscard]] bool WindowClosed();

// True when an entry of `list` has the executable name `name`, in any letter case (every access
// bounds-tested, as every list access is).
[[nodiscard]] bool ListHasName(const ProcessList& list, const char* name);

// What one look at the running processes found.
enum class Running { Nothing, ByName, FromTree, NotKnown };
// Looks at the processes once, from one list: for Velkar.exe by name in any folder, and for any program
// whose file lies in the installed tree (a helper the application started under another name, which
// would lose every file it has not open if the tree went now). A list that cannot be taken, or a tree
// whose path cannot be read, tells nothing: NotKnown, which every caller takes for "still runs". `what`
// gets the reason or the program found, for the trace.
Running LookAtProcesses(const Run& run, char* what, std::size_t size);
// The trace's words for what a look found running.
const char* RunningText(Running running, const char* what);
