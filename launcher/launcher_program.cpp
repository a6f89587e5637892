#include "launcher/launcher_program.h"

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/fatal.h"
#include "base/held_folder.h"
#include "host/window_host.h"
#include "payload/bytes.h"
#include "payload/embedded_payload.h"
#include "payload/zip_component.h"
#include "sysops/delay.h"
#include "sysops/folders.h"
#include "sysops/processes.h"
#include "sysops/texts.h"

Text InstallDir;
HeldFolder InstallFolder;

namespace {

// Error sites: where a fatal report from the launcher's own code says the fault arose, as its two
// position numbers. The first names the routine's statement (0x0401...: bits 24 to 27 hold 4, so the
// report never takes it for a window id, which holds 2 there), the second the line within it. The
// numbers are the program's fixed answer to "where": tests and users compare them, so they never change.
constexpr std::int32_t kCreatedCallSite = 0x04010023;  // the stack check after OnLauncherCreated's external call
constexpr std::int32_t kWatchCallSite = 0x04010024;    // the same check in OnWatchTimer
constexpr std::int32_t kCallSiteLine = 18;
constexpr std::int32_t kListAccessSite = 0x040100AE;  // a list access out of bounds inside ProcessExists
constexpr std::int32_t kListAccessLine = 158;

constexpr char kFolderName[] = "Kestrelworks";
constexpr char kFolderWithBackslash[] = "Kestrelworks\\";
constexpr char kApplicationCommand[] = "Velkar\\Velkar.exe\" /n";  // the path's closing quote, then the switch
constexpr char kApplicationName[] = "Velkar.exe";
constexpr char kApplicationFolder[] = "Velkar";
constexpr char kArchiveName[] = "檀溪舟楫.zip";

constexpr std::int32_t kStartDelayMilliseconds = 3000;
constexpr std::int32_t kWatchPeriodMilliseconds = 1000;
constexpr std::int32_t kSettleMilliseconds = 1000;

// Scanners and indexers hold freshly written files for a moment: what the clean-up could not remove
// is tried again, with a pause between tries, until about this long has passed in all.
constexpr DWORD kRemovalRetryMilliseconds = 3000;
constexpr std::int32_t kRemovalPauseMilliseconds = 300;

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

// The application-data folder of a fresh lookup joined with `tail`; the folder text goes at once.
// A failed lookup gives `tail` alone, relative to the program's folder.
Text UnderAppData(const char* tail) {
    Text appData = LookUpSpecialFolder(SpecialFolderId::AppData);
    return JoinText(appData.c_str(), tail);
}

// One short line of the job's trace for support, through OutputDebugStringA: a debugger or a
// debug-output viewer sees it; nothing is written to disk and nothing is shown.
void Trace(const char* format, ...) {
    char line[768] = "Kestrelworks launcher: ";
    const std::size_t prefix = std::strlen(line);
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, arguments);
    va_end(arguments);
    std::strcat(line, "\n");
    OutputDebugStringA(line);
}

// The outcome of a step for its trace line: `done`, or `failed` with the system's error code, read
// first thing, before anything else can change it. The text lives until the next call.
const char* Outcome(bool succeeded, const char* done, const char* failed) {
    const DWORD error = GetLastError();
    static char text[64];
    if (succeeded)
        return done;
    std::snprintf(text, sizeof text, "%s (error %lu)", failed, error);
    return text;
}

// A fixed name of the program in UTF-16, read in the ANSI code page as the system reads it everywhere
// else (on code page 936, the name as designed).
WideText Wide(const char* name) { return WideFromAnsi(name); }

// True while the held install folder lists an entry of that name.
bool Listed(const WideText& name) {
    FolderEntry entry;
    return LookUpEntry(InstallFolder.get(), name.c_str(), entry);
}

// Why the install folder could not be held, for the trace.
const char* NotHeldReason(DWORD error) {
    if (error == ERROR_REPARSE_POINT_ENCOUNTERED)
        return "a link stands at its name";
    if (error == ERROR_DIRECTORY)
        return "a file stands at its name";
    return "it cannot be opened";
}

// The list's entry at 1-based `position`, bounds-tested as every list access is.
const ProcessRecord& EntryAt(const ProcessList& list, std::int32_t position) {
    if (position < 1)
        ReportRuntimeError(kIndexBelowOne, "", kListAccessSite, kListAccessLine);
    if (position > list.count())
        ReportRuntimeError(kIndexAboveRange, "", kListAccessSite, kListAccessLine);
    return list[position - 1];
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

// The launcher's start routine: the window's ZIP component gets its carrier from the payload library.
void ConnectLauncherKinds() { ConnectZipKind(CreateZipCarrier); }

}  // namespace

bool ProcessExists(const char* name) {
    ProcessList list = ListProcesses();
    bool found = false;
    const std::int32_t count = list.count();
    for (std::int32_t position = 1; position <= count; ++position) {
        Text exeName = ToText(Value::OfText(EntryAt(list, position).exeName.c_str()));
        const bool same = CompareText(name, exeName.c_str(), false) == 0;
        // Released here, just before its scope ends, on purpose: each step gives back what it took
        // before the next begins, so the releases keep the routine's order step for step.
        exeName = Text{};
        if (same) {
            found = true;
            break;
        }
    }
    list = ProcessList{};
    return found;
}

void OnLauncherCreated() {
    SwitchFsRedirectionOffAndOn(kCreatedCallSite);

    {
        Text folder = UnderAppData(kFolderName);
        (void)CreateFolder(folder.c_str());  // a folder left by an earlier run is fine
        // Held from here to the end of the clean-up. What lies above may be links (users move their
        // application-data folder), but the folder itself must be a plain folder: through a link an
        // elevated run would write, start and delete wherever an unelevated program pointed it.
        InstallFolder = HoldFolderPath(Wide(folder.c_str()).c_str());
        const DWORD error = GetLastError();
        if (InstallFolder)
            Trace("folder %s found and held", folder.c_str());
        else
            Trace("folder %s not held (error %lu): %s, so nothing is installed, started or removed", folder.c_str(),
                  error, NotHeldReason(error));
    }

    InstallDir = UnderAppData(kFolderWithBackslash);
    const WideText archiveName = Wide(kArchiveName);

    if (InstallFolder) {
        // Whatever stands at the archive's name goes as a name first and the file is made new, so a
        // hard link planted there loses only this name and its other file is never written into.
        ByteArray archive = ToByteArray(Value::OfBytes(&PayloadArchive));
        const bool written = WriteBytesToChild(InstallFolder.get(), archiveName.c_str(), {archive.image()});
        Trace("archive %s%s %s", InstallDir.c_str(), kArchiveName, Outcome(written, "written", "not written"));
        // Released at once, on purpose, as in ProcessExists: the step gives back what it took.
        archive = ByteArray{};

        const std::int32_t extracted = ExtractInto(kLauncherWindowId, kZipComponentId, InstallFolder.get(),
                                                   archiveName.c_str(), InstallFolder.get());
        Trace("Extract into %s gave %d (1: every entry written)", InstallDir.c_str(), static_cast<int>(extracted));
    }

    Delay(kStartDelayMilliseconds);

    {
        // The program's path is quoted: the application-data folder often holds a space, and an
        // unquoted "C:\Users\Ann Lee\..." would first start "C:\Users\Ann.exe" in the application's place.
        Text quotedFolder = JoinText("\"", InstallDir.c_str());
        Text commandLine = JoinText(quotedFolder.c_str(), kApplicationCommand);
        quotedFolder = Text{};
        // The program is started only from a plain folder "Velkar" of the held install folder and a
        // plain file in it, both held while the system starts it: the exe shared for reading only, so
        // nothing can be written into it or put in its place between the look and the start.
        HeldFolder application;
        ChildHandle program;
        if (InstallFolder) {
            application = HoldChildFolder(InstallFolder.get(), Wide(kApplicationFolder).c_str(), false);
            if (application)
                program =
                    OpenChildFile(application.get(), Wide(kApplicationName).c_str(), GENERIC_READ, FILE_SHARE_READ);
        }
        if (program) {
            const bool started = RunCommand(commandLine.c_str(), false);
            Trace("command %s %s", commandLine.c_str(), Outcome(started, "started", "refused"));
        } else {
            const DWORD error = GetLastError();
            Trace("command %s not started (error %lu): %s", commandLine.c_str(), error,
                  error == ERROR_REPARSE_POINT_ENCOUNTERED ? "a link stands on the program's way"
                                                           : "no plain Velkar\\Velkar.exe in the install folder");
        }
    }

    SetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyInterval, -1, kWatchPeriodMilliseconds);
    SetComponentProperty(kLauncherWindowId, kLauncherWindowEntryId, kPropertyVisible, -1, 0);
}

void OnWatchTimer() {
    const bool running = ProcessExists(kApplicationName);
    Trace("watch: %s %s", kApplicationName, running ? "still runs" : "runs no more: cleaning up");
    if (running)
        return;

    // Stopped before the wait below pumps messages, so no later period starts the clean-up again.
    SetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyInterval, -1, 0);
    Delay(kSettleMilliseconds);
    SwitchFsRedirectionOffAndOn(kWatchCallSite);

    // A copy started during the wait is ended rather than watched.
    (void)EndProcess(Value::OfText(kApplicationName));

    if (!InstallFolder) {
        Trace("clean-up: nothing removed, the install folder was not held");
        EndProgram(0);
        return;
    }
    {
        // Both go by name below the held install folder, never by path: the archive as a name (a
        // read-only one stays, as a deletion by path would leave it), the tree through held folders.
        const WideText archiveName = Wide(kArchiveName);
        const WideText treeName = Wide(kApplicationFolder);
        (void)RemoveChild(InstallFolder.get(), archiveName.c_str(), false);
        (void)RemoveFolderBelow(InstallFolder.get(), treeName.c_str());
        // The pause handles messages and idles the processor; what is still held afterwards stays.
        const DWORD began = GetTickCount();
        for (;;) {
            const bool archiveLeft = Listed(archiveName);
            const bool treeLeft = Listed(treeName);
            if ((!archiveLeft && !treeLeft) || GetTickCount() - began >= kRemovalRetryMilliseconds)
                break;
            Delay(kRemovalPauseMilliseconds);
            if (archiveLeft)
                (void)RemoveChild(InstallFolder.get(), archiveName.c_str(), false);
            if (treeLeft)
                (void)RemoveFolderBelow(InstallFolder.get(), treeName.c_str());
        }
        Trace("clean-up: archive %s, tree %s", Listed(archiveName) ? "NOT removed" : "removed",
              Listed(treeName) ? "NOT removed" : "removed");
    }

    EndProgram(0);
}

void ReleaseInstallDir() {
    InstallDir = Text{};
    InstallFolder.reset();
}

const ProgramDeclarations& LauncherDeclarations() {
    static const ProgramDeclarations declarations = [] {
        ProgramDeclarations d;
        d.externalRoutines = kExternalRoutines;
        d.externalRoutineCount = 1;
        d.handlers = kHandlers;
        d.handlerCount = kHandlerSlotCount;
        d.startWindowId = kLauncherWindowId;
        d.startRoutine = ConnectLauncherKinds;
        d.cleanup = ReleaseInstallDir;
        return d;
    }();
    return declarations;
}
