#include "launcher/launcher_program.h"

#include <cstdint>

#include "host/window_host.h"

Text InstallDir;

namespace {

// Sites of the stack check after the external call in each handler, as the fatal report names them.
[[maybe_unused]] constexpr std::int32_t kCreatedCallSite = 67174435;
[[maybe_unused]] constexpr std::int32_t kWatchCallSite = 67174436;
[[maybe_unused]] constexpr std::int32_t kCallSiteLine = 18;

const ExternalRoutineDeclaration kExternalRoutines[] = {
    {"Kernel32.dll", "Wow64DisableWow64FsRedirection"},
};

bool LauncherCreated(const EventFrame&, std::int32_t&) {
    OnLauncherCreated();
    return false;
}

bool WatchTimerPeriod(const EventFrame&, std::int32_t&) {
    OnWatchTimer();
    return false;
}

const EventHandler kHandlers[kHandlerSlotCount] = {LauncherCreated, WatchTimerPeriod};

}  // namespace

void OnLauncherCreated() {
    // TODO: the install-and-launch steps are missing: turn off file-system redirection through
    // kDisableFsRedirection (stack check at kCreatedCallSite, kCallSiteLine), set InstallDir, write and
    // extract the payload, wait three seconds, start "Velkar\Velkar.exe /n", arm WatchTimer at 1000 ms
    // and write Visible = false.
}

void OnWatchTimer() {
    // TODO: the watch and clean-up are missing: while "Velkar.exe" runs do nothing; then stop
    // WatchTimer, turn off redirection (stack check at kWatchCallSite, kCallSiteLine), wait one
    // second, end a late copy, remove the archive and the tree, and EndProgram(0).
}

void ReleaseInstallDir() { InstallDir = Text{}; }

const ProgramDeclarations& LauncherDeclarations() {
    static const ProgramDeclarations declarations = [] {
        ProgramDeclarations d;
        d.externalRoutines = kExternalRoutines;
        d.externalRoutineCount = 1;
        d.handlers = kHandlers;
        d.handlerCount = kHandlerSlotCount;
        d.startWindowId = kLauncherWindowId;
        d.cleanup = ReleaseInstallDir;
        return d;
    }();
    return declarations;
}
