// launcher/watch.h: the watch once the application has started, the clean-up after it, and the end of
// the session. Each takes the run's record (launcher/run.h).
#pragma once
#include "launcher/run.h"

// One period of WatchTimer. While Velkar.exe runs (in any folder) or any program from the tree, nothing
// happens. Once none does: the timer stops, a one-second wait, then the install lock, and holding it a
// look at the processes once more: what runs now (another run's application, started since, or a
// helper) sends the run back to watching, the lock let go and nothing removed. Else the archive and the
// tree go, with a look before each retry, and the program ends with 0. No process is ever ended.
void WatchPeriod(Run& run);

// WM_ENDSESSION ("ending"): stops the watch and removes what can go at once, inside the message; never
// waits for the application, never ends a process, and removes nothing while another run holds the
// install lock (it may be installing).
void SessionEnds(Run& run);

// True when a running process has the executable name `name`, in any letter case; a fresh process list
// is taken for each call and released before the answer. A list that cannot be taken answers true:
// whether one runs is not known, and "it runs" is the answer that removes nothing.
[[nodiscard]] bool ProcessExists(const char* name);
