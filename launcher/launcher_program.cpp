#include "launcher/launcher_program.h"

#include <windows.h>

#include <cstdint>

#include "host/window_host.h"
#include "launcher/install.h"
#include "launcher/run.h"
#include "launcher/watch.h"
#include "sysops/delay.h"
#include "sysops/processes.h"

namespace {

constexpr std::int32_t kCallSiteLine = 18;
constexpr std::int32_t kStartDelayMilliseconds = 3000;
// The lowest level for applications (0x100 to 0x3FF): the system tells the applications first and
// this program after them.
constexpr DWORD kLastApplicationLevel = 0x100;

const ExternalRoutineDeclaration kExternalRoutines[] = {
    {"Kernel32.dll", "Wow64DisableWow64FsRedirection"},
};

using RevertFsRedirectionRoutine = BOOL(WINAPI*)(PVOID);

// The routine that switches the redirection back on, taken from the library the table resolved the
// switch-off routine from, once. Null where that library lacks it: there is nothing to switch back.
RevertFsRedirectionRoutine RevertRoutine() {
    static const RevertFsRedirectionRoutine revert = [] {
        HMODULE library = nullptr;
        const auto switchOff = reinterpret_cast<LPCSTR>(ResolveExternalRoutine(kDisableFsRedirection));
        if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                switchOff, &library))
            return RevertFsRedirectionRoutine{};
        return reinterpret_cast<RevertFsRedirectionRoutine>(
            reinterpret_cast<void*>(GetProcAddress(library, "Wow64RevertWow64FsRedirection")));
    }();
    return revert;
}

LauncherSeams seams;

// The one run of this program: what it holds from the install to the end of the clean-up. The frame's
// handlers take no argument of ours, so the record lives here and each handler hands it on.
Run run;
bool lookedUp = false;

// Whether this run is elevated. A token that cannot be read counts as elevated: the elevated run is the
// stricter one (it starts only what it wrote, in a tree it made new), so not knowing loosens nothing.
bool Elevated() {
    if (seams.elevated)
        return seams.elevated();
    bool elevated = true;
    return !ReadTokenElevation(elevated) || elevated;
}

bool LauncherCreated(const EventCall&, std::int32_t&) {
    OnLauncherCreated();
    return false;
}

bool WatchTimerPeriod(const EventCall&, std::int32_t&) {
    OnWatchTimer();
    return false;
}

const EventHandler kHandlers[kHandlerSlotCount] = {LauncherCreated, WatchTimerPeriod};

// The launcher's start routine: the system is asked to tell this program of the end of the session
// after the applications, and never to wait for it then.
void StartLauncher() {
    const bool asked = SetProcessShutdownParameters(kLastApplicationLevel, SHUTDOWN_NORETRY) != FALSE;
    DWORD level = 0, flags = 0;
    if (asked && GetProcessShutdownParameters(&level, &flags))
        Trace("end of session: told at level 0x%lx, flags %lu", level, flags);
    else
        Trace("end of session: %s", Outcome(asked, "order asked", "order not asked"));
}

}  // namespace

// Each handler switches the 32-bit program's file-system redirection off through the external
// routine, and on again at once. Left off, every later file operation and library load of the thread
// would go to the 64-bit system folder, and library loading (delayed loads inside system libraries
// included) fails in that state: the folder lookup, the process start and the fatal message box all
// need it. The routine stores the previous state through its one argument, so it is handed the
// address of a real variable (a made-up address passed to a system routine is undefined behaviour),
// and that state is what switches the redirection back. Where the call did not take effect (32-bit
// Windows answers false) there is nothing to put back.
void SwitchFsRedirectionOffAndOn(std::int32_t callSite) {
    void* previousState = nullptr;
    const std::uint32_t switchedOff = CallExternalRoutine(
        kDisableFsRedirection, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&previousState)), callSite,
        kCallSiteLine);
    if (switchedOff == 0)
        return;
    if (RevertFsRedirectionRoutine revert = RevertRoutine())
        (void)revert(previousState);
}

void OnLauncherCreated() {
    SwitchFsRedirectionOffAndOn(kCreatedCallSite);
    run.elevated = Elevated();
    HoldInstallFolder(run);
    lookedUp = true;
    // Nothing installed is an install that failed: nothing starts, and the exit code says so.
    if (!run.root || (run.elevated && !VolumeFitsTheRun(run))) {
        EndProgram(kInstallFailedExitCode);
        return;
    }
    const InstallResult installed = Install(run);
    if (installed == InstallResult::Abandoned)
        return;  // a close request or the end of the session: the event loop ends with 0
    if (installed == InstallResult::Failed) {
        EndProgram(kInstallFailedExitCode);
        return;
    }

    // The lock and what is to start stay held through the wait, so that what starts is what this run
    // holds, in a tree no other run touches meanwhile.
    if (seams.startWaitBegins)
        seams.startWaitBegins();
    Delay(kStartDelayMilliseconds);
    if (run.sessionEnded) {
        Trace("the session ended during the wait: nothing is started");
        return;
    }
    if (WindowClosed()) {
        Trace("the window was closed during the wait: nothing is started");
        return;
    }
    StartApplication(run);
    // The start has returned: the program runs from its own image now, and another run may go on.
    run.program.reset();
    run.lock.Release();

    SetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyInterval, -1,
                         seams.watchPeriodMilliseconds ? seams.watchPeriodMilliseconds : kWatchPeriodMilliseconds);
    SetComponentProperty(kLauncherWindowId, kLauncherWindowEntryId, kPropertyVisible, -1, 0);
}

void OnWatchTimer() { WatchPeriod(run); }

void OnSessionEnds() { SessionEnds(run); }

void ReleaseRun() { run = Run{}; }

bool InstallFolderLookedUp() { return lookedUp; }

void SetLauncherSeams(const LauncherSeams& given) { seams = given; }

const LauncherSeams& CurrentSeams() { return seams; }

const ProgramDeclarations& LauncherDeclarations() {
    static const ProgramDeclarations declarations = [] {
        ProgramDeclarations d;
        d.externalRoutines = kExternalRoutines;
        d.externalRoutineCount = 1;
        d.handlers = kHandlers;
        d.handlerCount = kHandlerSlotCount;
        d.startWindowId = kLauncherWindowId;
        d.startRoutine = StartLauncher;
        d.cleanup = ReleaseRun;
        d.sessionEnds = OnSessionEnds;
        return d;
    }();
    return declarations;
}
