// launcher/removal.h: the removal of what a run installed, the archive and the tree, below the held
// install folder and by name, never by path, with the install lock held: the clean-up after the
// application, and the install that failed.
#pragma once
#include <cstddef>

#include "launcher/run.h"

// How a removal ended.
enum class Removal {
    Removed,        // the archive and the tree are gone
    Left,           // what could not be removed in the time allowed stays (the trace says what)
    SomethingRuns,  // a look found something running: nothing more is removed (`what` says what)
    SessionEnded,   // the session ended during a pause: its own removal has done what it could
};

// The look a removal takes before it removes anything and before each retry: whatever it finds
// running keeps what is left.
using LookRoutine = Running (*)(const Run& run, char* what, std::size_t size);

// Removes the archive (as a name: a read-only one stays unless `evenReadOnly`) and the tree (through
// run.tree where the run holds it, so that what is emptied is the folder held, base/held_folder.h) below
// run.root, the caller holding the install lock, so that no other run installs meanwhile. `look` looks at
// the processes first and before each retry. What stays is tried again after a pause, until about three
// seconds have passed in all, since scanners and indexers hold freshly written files for a moment (the
// pauses handle messages and idle the processor); what is still held then stays. `step` begins the
// trace line that says what went ("clean-up", "install failed").
Removal RemoveInstalled(Run& run, bool evenReadOnly, LookRoutine look, const char* step, char* what, std::size_t size);

// The look of an install that failed: only a program whose file lies in the tree keeps it (a
// Velkar.exe elsewhere is none of this tree's).
Running LookAtTree(const Run& run, char* what, std::size_t size);
