#include "launcher/removal.h"

#include <windows.h>

#include <cstdio>

#include "sysops/delay.h"
#include "sysops/processes.h"

namespace {

// Scanners and indexers hold freshly written files for a moment: what could not be removed is tried
// again, with a pause between tries, until about this long has passed in all.
constexpr DWORD kRemovalRetryMilliseconds = 3000;
constexpr std::int32_t kRemovalPauseMilliseconds = 300;

// One try at both: the archive as a name, the tree through the run's hold of it.
void RemoveBoth(Run& run, bool archive, bool tree, bool evenReadOnly) {
    const NamesOnDisk& names = Names();
    if (archive)
        (void)RemoveNamedChild(run.root, names.archive.c_str(), evenReadOnly);
    if (tree)
        (void)RemoveHeldFolder(run.root, names.tree.c_str(), run.tree, evenReadOnly);
}

}  // namespace

Running LookAtTree(const Run& run, char* what, std::size_t size) {
    what[0] = '\0';
    const WideText tree = JoinWide(run.installPath.c_str(), Names().tree.c_str());
    bool inUse = false;
    if (!AnyProcessRunsFrom(tree.c_str(), true, inUse)) {
        std::snprintf(what, size, "the process list could not be taken (error %lu)", GetLastError());
        return Running::NotKnown;
    }
    if (!inUse)
        return Running::Nothing;
    std::snprintf(what, size, "a program");
    return Running::FromTree;
}

Removal RemoveInstalled(Run& run, bool evenReadOnly, LookRoutine look, const char* step, char* what, std::size_t size) {
    const NamesOnDisk& names = Names();
    Running running = look(run, what, size);
    if (running != Running::Nothing) {
        Trace("%s: %s: nothing is removed", step, RunningText(running, what));
        return Removal::SomethingRuns;
    }
    run.program.reset();  // a held file keeps its name, and so the tree
    RemoveBoth(run, true, true, evenReadOnly);
    const DWORD began = GetTickCount();
    for (;;) {
        const bool archiveLeft = Listed(run, names.archive);
        const bool treeLeft = Listed(run, names.tree);
        if ((!archiveLeft && !treeLeft) || GetTickCount() - began >= kRemovalRetryMilliseconds)
            break;
        Delay(kRemovalPauseMilliseconds);
        if (run.sessionEnded)
            return Removal::SessionEnded;
        // Under the lock no other run installs meanwhile; a program started by hand from the tree,
        // or a helper the application left, keeps what is left.
        running = look(run, what, size);
        if (running != Running::Nothing) {
            Trace("%s: %s: the rest stays", step, RunningText(running, what));
            return Removal::SomethingRuns;
        }
        RemoveBoth(run, archiveLeft, treeLeft, evenReadOnly);
    }
    const bool archiveLeft = Listed(run, names.archive);
    const bool treeLeft = Listed(run, names.tree);
    Trace("%s: archive %s, tree %s", step, archiveLeft ? "NOT removed" : "removed",
          treeLeft ? "NOT removed" : "removed");
    return archiveLeft || treeLeft ? Removal::Left : Removal::Removed;
}
