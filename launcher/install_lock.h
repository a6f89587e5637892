// launcher/install_lock.h: one run at a time per install folder. Two launchers never install into, or
// clean up, the same tree at once: each takes the lock before it writes the archive and keeps it until
// its start has returned, and takes it again for its clean-up.
//
// The lock is the file "檀溪舟楫.lock" in the held Kestrelworks, opened relative to it with no sharing at
// all and marked for deletion when its handle closes (OpenChildExclusively, base/held_folder.h): while
// one run holds it, every other open of it fails, and when the run ends, however it ends (a kill
// included), the system closes the handle and the file goes. It belongs to the folder itself, not to a
// path or a session: every way to the same folder (an 8.3 alias, a link above it, another logon session
// of the same user over a roaming profile) meets the same file. A named mutex in the session's namespace
// would bind only the runs of one session, and its name, made from the folder's volume serial and file
// id, depends on ids that some file systems do not keep.
//
// What a hostile unelevated program of the user can do: hold the file open itself, or put a folder or
// a file it denies the user at the name, so that every run waits (a denial; with a mutex it could as
// well create the name first and never release it, or make an object of another kind under it). It can
// take nothing from a run that holds the lock: the file is shared with nobody, so it can neither open it
// for data nor delete nor rename it (DELETE takes part in sharing), and Kestrelworks, held without
// delete sharing, cannot be renamed away with it. A link at the name is never taken for the lock: it is
// removed as a name and the open tried again. A waiting run handles its messages, so a close request and
// the end of the session still end it, and it has written nothing by then.
#pragma once
#include <windows.h>

#include "base/held_folder.h"

struct Run;

class InstallLock {
public:
    [[nodiscard]] bool held() const { return static_cast<bool>(file_); }
    void Release() { file_.reset(); }

    // One attempt at the lock of the held folder `root`. Taken, or Busy while another run holds it (or
    // the file of one that has just let go is still going); Refused when the folder cannot carry a lock
    // (GetLastError says why).
    enum class Attempt { Taken, Busy, Refused };
    Attempt TryTake(const HeldFolder& root);

private:
    ChildHandle file_;
};

// How a wait for the lock ended.
enum class LockWait {
    Taken,      // this run holds it now
    Abandoned,  // the session ended or the window was closed while waiting: the run goes no further
    Refused,    // the lock cannot be had (GetLastError says why)
};
// Takes the lock of `run`'s install folder, waiting while another run holds it, its messages handled
// all along (through Delay): a close request and the end of the session end the wait. `forWhat` names
// the step in the trace ("install", "clean-up").
LockWait TakeInstallLock(Run& run, const char* forWhat);
