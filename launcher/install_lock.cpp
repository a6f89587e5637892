#include "launcher/install_lock.h"

#include <windows.h>

#include "launcher/run.h"
#include "sysops/delay.h"

namespace {

// How often a waiting run tries again. The holder's steps take seconds (an extraction, the three-second
// wait, a clean-up's retries), so a tenth of a second adds little to the wait and costs next to nothing:
// Delay blocks between messages.
constexpr std::int32_t kLockPauseMilliseconds = 100;

}  // namespace

InstallLock::Attempt InstallLock::TryTake(const HeldFolder& root) {
    if (file_)
        return Attempt::Taken;
    const wchar_t* name = Names().lock.c_str();
    file_ = OpenChildExclusively(root, name);
    if (file_)
        return Attempt::Taken;
    const DWORD error = GetLastError();
    // Held by another run: its open shares nothing. Just let go and still going (the name stays, delete
    // pending, until every handle on it has closed): access denied, as for a name the user may not open.
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
        return Attempt::Busy;
    // Whatever else stands at the name (a link, a folder, a read-only file left behind) is removed as a
    // name and the next attempt makes the file anew; what cannot be removed keeps the runs waiting.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_REPARSE_POINT_ENCOUNTERED || error == ERROR_INVALID_NAME) {
        (void)RemoveNamedChild(root, name, true);
        SetLastError(error);
        return Attempt::Busy;
    }
    SetLastError(error);
    return Attempt::Refused;
}

LockWait TakeInstallLock(Run& run, const char* forWhat) {
    bool said = false;
    for (;;) {
        if (run.sessionEnded || WindowClosed())
            return LockWait::Abandoned;
        const InstallLock::Attempt attempt = run.lock.TryTake(run.root);
        if (attempt == InstallLock::Attempt::Taken) {
            if (said)
                Trace("%s: the install folder is free again: going on", forWhat);
            return LockWait::Taken;
        }
        if (attempt == InstallLock::Attempt::Refused) {
            Trace("%s: the install folder's lock cannot be had (error %lu)", forWhat, GetLastError());
            return LockWait::Refused;
        }
        if (!said) {
            Trace("%s: another run installs into or cleans up %s (error %lu): waiting for it", forWhat,
                  run.installDir.c_str(), GetLastError());
            said = true;
        }
        Delay(kLockPauseMilliseconds);
    }
}
