// launcher/install.h: the install and the start. The run holds Kestrelworks, takes the install lock,
// and either leaves a tree a running copy of the application uses as it is (the second start) or makes
// the tree new and writes every entry; an install that did not write and check every entry starts
// nothing and removes what it wrote. What starts is the file this run holds.
#pragma once
#include "launcher/run.h"

// Holds "Kestrelworks" below the one look-up of the application-data folder (or, without one, beside
// the program, by its full path) as run.root, and sets run.installPath and run.installDir. What lies
// above may be links (users move their application-data folder), but the folder itself must be a plain
// folder: through a link an elevated run would write, start and delete wherever an unelevated program
// pointed it. run.root holds nothing when it could not be held; the trace says why.
void HoldInstallFolder(Run& run);

// An elevated run installs only on a volume that keeps access lists: on one that keeps none (FAT,
// exFAT) every program of the user may change every file of the tree, and no label holds. False, with
// the trace saying so, when the volume of run.root keeps none or its flags cannot be read.
[[nodiscard]] bool VolumeFitsTheRun(const Run& run);

// What an install came to.
enum class InstallResult {
    Installed,  // every entry written and checked: run.tree and run.program hold what this run wrote
    InUse,      // a program runs from the tree, which is left as it is: run.program holds the file a
                // running copy of the application uses where this run may start it (unelevated), else none
    Abandoned,  // the session ended, or the window was closed, while the run waited: nothing was written
    Failed,     // nothing is to start: what this run wrote is gone and the trace says which entry failed
                // and why; the lock is let go
};
// The install, run.root held: takes the install lock (waiting, its messages handled, while another run
// holds it) and keeps it for the start, unless the install failed. Under the lock it looks once at the
// processes: a tree a program runs from is not reinstalled (InUse); otherwise the tree is made new (an
// elevated one with a High label, no-write-up) and the archive written and extracted into it.
InstallResult Install(Run& run);

// Starts run.program by the path of the held file itself, suspended; it runs only once its image is seen
// to be that file and no link stands at the install folder, else it is ended unrun. The trace says
// which. Nothing is started without run.program.
void StartApplication(Run& run);
