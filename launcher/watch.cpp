#include "launcher/watch.h"

#include <windows.h>

#include "host/window_host.h"
#include "launcher/frame.h"
#include "launcher/launcher_program.h"
#include "launcher/removal.h"
#include "sysops/delay.h"
#include "sysops/processes.h"

namespace {

constexpr std::int32_t kSettleMilliseconds = 1000;

// At the end of the session the system ends a program soon after its WM_ENDSESSION returns, and
// Windows offers to end one that takes longer than five seconds: the tree's removal stops well before.
// What is left stays for the next run, whose install makes the tree new.
constexpr DWORD kSessionRemovalMilliseconds = 2000;

void ArmWatch(std::int32_t milliseconds) {
    SetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyInterval, -1, milliseconds);
}

}  // namespace

bool ProcessExists(const char* name) {
    ProcessList list;
    if (!ListProcesses(list))
        return true;
    return ListHasName(list, name);
}

void WatchPeriod(Run& run) {
    char what[300];
    const Running running = LookAtProcesses(run, what, sizeof what);
    if (running != Running::Nothing) {
        Trace("watch: %s", RunningText(running, what));
        return;
    }
    Trace("watch: %s runs no more, nor anything from the tree: cleaning up", kProgramName);
    if (CurrentSeams().cleanUpStep)
        CurrentSeams().cleanUpStep("clean-up-decided");

    // Stopped before the wait below pumps messages, so no later period starts the clean-up again.
    ArmWatch(0);
    Delay(kSettleMilliseconds);
    if (run.sessionEnded) {
        EndProgram(0);  // the end of the session has removed what it could
        return;
    }
    if (WindowClosed())
        return;  // a close request: the event loop ends with 0 and the files stay
    SwitchFsRedirectionOffAndOn(kWatchCallSite);
    if (!run.root) {
        Trace("clean-up: nothing removed, the install folder was not held");
        EndProgram(0);
        return;
    }
    const LockWait wait = TakeInstallLock(run, "clean-up");
    if (wait == LockWait::Abandoned) {
        if (run.sessionEnded)
            EndProgram(0);
        return;
    }
    if (wait == LockWait::Refused) {
        Trace("clean-up: nothing removed; the next run's install makes the tree new");
        EndProgram(0);
        return;
    }
    Trace("clean-up: the install folder is locked: looking at the processes once more");
    if (CurrentSeams().cleanUpStep)
        CurrentSeams().cleanUpStep("clean-up-locked");
    // Holding the lock, no other run is between its install and its start: what runs from the tree now
    // runs for good (another run's application, a helper, a copy started by hand), and a process list
    // that cannot be taken tells nothing. Either way the run watches again, and its next period decides.
    const Removal removal = RemoveInstalled(run, false, LookAtProcesses, "clean-up", what, sizeof what);
    if (removal == Removal::SomethingRuns) {
        Trace("clean-up: back to watching");
        run.lock.Release();
        ArmWatch(CurrentSeams().watchPeriodMilliseconds ? CurrentSeams().watchPeriodMilliseconds
                                                        : kWatchPeriodMilliseconds);
        return;
    }
    EndProgram(0);
}

void SessionEnds(Run& run) {
    if (run.sessionEnded)
        return;
    run.sessionEnded = true;
    LARGE_INTEGER began, frequency, now;
    QueryPerformanceCounter(&began);
    QueryPerformanceFrequency(&frequency);
    // Whatever the system does after this returns, the run is over: the watch stops, and the event loop
    // ends with 0 should the program not be ended first.
    ArmWatch(0);
    PostQuitMessage(0);
    // What the start holds while it waits (the only time it holds the program) goes, so that the tree
    // can be removed.
    run.program.reset();
    if (!run.root) {
        Trace("session ends: nothing removed, the install folder was not held");
        return;
    }
    // A run that waits for the lock, or finds it taken now, leaves everything to the run that holds it.
    if (run.lock.TryTake(run.root) != InstallLock::Attempt::Taken) {
        Trace("session ends: nothing removed, another run holds the install folder");
        return;
    }
    const NamesOnDisk& names = Names();
    const bool archiveGone = RemoveNamedChild(run.root, names.archive.c_str(), false);
    const DWORD archiveError = archiveGone ? 0 : GetLastError();
    QueryPerformanceCounter(&now);
    Trace("session ends: archive %s (error %lu), %lu us after WM_ENDSESSION", archiveGone ? "removed" : "NOT removed",
          archiveError, static_cast<unsigned long>((now.QuadPart - began.QuadPart) * 1000000 / frequency.QuadPart));

    // The tree goes only when nothing of the application runs at this moment: the application is told
    // first where the system keeps the order asked at start-up, not under Wine 8, which tells processes
    // in the order of their ids.
    char what[300];
    const Running running = LookAtProcesses(run, what, sizeof what);
    if (running != Running::Nothing) {
        Trace("session ends: tree kept: %s; the next run removes it", RunningText(running, what));
        return;
    }
    const bool treeGone = RemoveHeldFolder(run.root, names.tree.c_str(), run.tree, false, kSessionRemovalMilliseconds);
    const DWORD error = GetLastError();
    QueryPerformanceCounter(&now);
    Trace("session ends: tree %s, %lu ms after WM_ENDSESSION",
          treeGone ? "removed"
                   : (error == ERROR_TIMEOUT ? "partly removed in the time allowed; the rest stays for the next run"
                                             : "NOT removed whole; the rest stays for the next run"),
          static_cast<unsigned long>((now.QuadPart - began.QuadPart) * 1000 / frequency.QuadPart));
}
