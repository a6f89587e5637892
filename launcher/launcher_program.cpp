#include "launcher/launcher_program.h"

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include <sddl.h>

#include "base/fatal.h"
#include "base/memory.h"
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
HeldFolder InstallFolderHeld;
WideText InstallPathWide;

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
constexpr wchar_t kInstallFolderName[] = L"Kestrelworks";
constexpr wchar_t kProgramInTree[] = L"Velkar\\Velkar.exe";
// An elevated run's tree: a High mandatory label, no-write-up, inherited by every file and folder below
// it (object and container inherit). The descriptor holds no access list, so the tree's own is
// inherited from the install folder as usual.
constexpr wchar_t kElevatedTreeLabel[] = L"S:(ML;OICI;NW;;;HI)";

constexpr std::int32_t kStartDelayMilliseconds = 3000;
constexpr std::int32_t kWatchPeriodMilliseconds = 1000;
constexpr std::int32_t kSettleMilliseconds = 1000;

// Scanners and indexers hold freshly written files for a moment: what the clean-up could not remove
// is tried again, with a pause between tries, until about this long has passed in all.
constexpr DWORD kRemovalRetryMilliseconds = 3000;
constexpr std::int32_t kRemovalPauseMilliseconds = 300;
// A copy of Velkar.exe ended just before the clean-up may be listed for a moment after its end.
constexpr DWORD kEndedCopyMilliseconds = 2000;
constexpr std::int32_t kEndedCopyPauseMilliseconds = 100;

// At the end of the session the system ends a program soon after its WM_ENDSESSION returns, and
// Windows offers to end one that takes longer than five seconds: the tree's removal stops well before.
// What is left stays for the next run, whose clean-up removes it.
constexpr DWORD kSessionRemovalMilliseconds = 2000;
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

LauncherSeams seams;

// Set when the session ends: from then on nothing is started, watched or waited for.
bool sessionEnded = false;
// What the start holds in the tree while it waits (the only time it handles messages): let go when the
// session ends, so that the tree can be removed.
KeptEntries* keptDuringWait = nullptr;

// Whether this run is elevated. A token that cannot be read counts as elevated: the elevated run is the
// stricter one (it starts only what it wrote, in a tree it made new), so not knowing loosens nothing.
bool Elevated() {
    if (seams.elevated)
        return seams.elevated();
    bool elevated = true;
    return !ReadTokenElevation(elevated) || elevated;
}

// A security descriptor from ConvertStringSecurityDescriptorToSecurityDescriptorW, released with LocalFree.
struct LocalMemoryTraits {
    using Handle = PSECURITY_DESCRIPTOR;
    [[nodiscard]] static Handle None() { return nullptr; }
    static BOOL Close(Handle memory) { return LocalFree(memory) == nullptr; }
};
using SecurityDescriptor = Owner<LocalMemoryTraits>;

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

// One of the program's fixed names (kApplicationFolder, kArchiveName, ...) as it stands on disk, in
// UTF-16: read in the ANSI code page as the system reads it everywhere else (on code page 936, the
// Chinese names as written here).
WideText NameOnDisk(const char* name) { return WideFromAnsi(name); }

// True while the held install folder lists an entry of that name.
bool Listed(const WideText& name) {
    FolderEntry entry;
    return LookUpEntry(InstallFolderHeld, name.c_str(), entry);
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

// The program's own folder by its full path, with its separator: where the launcher installs when the
// system has no application-data folder, never a name relative to whatever the current folder is.
bool FindProgramFolder(WideText& parent) {
    wchar_t program[1024];
    const DWORD length = GetModuleFileNameW(nullptr, program, 1024);
    if (length == 0 || length >= 1024)
        return false;
    std::size_t cut = length;
    while (cut > 0 && program[cut - 1] != L'\\')
        --cut;
    if (cut == 0)
        return false;
    parent = WideText::FromChars(program, cut);  // the separator stays
    return true;
}

// A UTF-16 path joined from two parts.
WideText JoinWide(const WideText& first, const wchar_t* second) {
    const std::size_t secondLength = std::wcslen(second);
    wchar_t* joined = static_cast<wchar_t*>(Allocate((first.size() + secondLength + 1) * sizeof(wchar_t)));
    std::memcpy(joined, first.c_str(), first.size() * sizeof(wchar_t));
    std::memcpy(joined + first.size(), second, (secondLength + 1) * sizeof(wchar_t));
    WideText text = WideText::FromChars(joined, first.size() + secondLength);
    Release(joined);
    return text;
}

// True when an entry of `list` has the executable name `name`, in any letter case.
bool ListHasName(const ProcessList& list, const char* name) {
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
    return found;
}

// What one look at the running processes found.
enum class Running { Nothing, ByName, FromTree, NotKnown };

// Looks at the processes once, from one list: for Velkar.exe by name in any folder (the design's watch)
// and for any program whose file lies in the installed tree (a helper the application started under
// another name, which would lose every file it has not open if the tree went now). A list that cannot
// be taken, or a tree whose path cannot be read, tells nothing: NotKnown, which every caller takes for
// "still runs". `what` gets the reason or the program found, for the trace.
Running LookAtProcesses(char* what, std::size_t size) {
    what[0] = '\0';
    ProcessList list;
    if (!(seams.listProcesses ? seams.listProcesses(list) : ListProcesses(list))) {
        std::snprintf(what, size, "the process list could not be taken (error %lu)", GetLastError());
        return Running::NotKnown;
    }
    // Nothing of a tree is removed without the install folder.
    if (!InstallFolderHeld)
        return ListHasName(list, kApplicationName) ? Running::ByName : Running::Nothing;
    WideText folder;
    if (!FinalPathOf(InstallFolderHeld.get(), folder)) {
        std::snprintf(what, size, "the tree's path could not be read (error %lu)", GetLastError());
        return Running::NotKnown;
    }
    if (ListHasName(list, kApplicationName))
        return Running::ByName;
    const WideText tree = JoinWide(JoinWide(folder, L"\\"), NameOnDisk(kApplicationFolder).c_str());
    WideText image;
    if (!ListedProcessRunsFrom(list, tree.c_str(), true, &image))
        return Running::Nothing;
    std::snprintf(what, size, "%s", AnsiFromWide(image.c_str(), Unspellable::BecomesMark).c_str());
    return Running::FromTree;
}

// The trace's words for what a look found running.
const char* RunningText(Running running, const char* what) {
    static char text[400];
    if (running == Running::ByName)
        return "Velkar.exe still runs";
    if (running == Running::FromTree)
        std::snprintf(text, sizeof text, "%s still runs from the tree", what);
    else
        std::snprintf(text, sizeof text, "%s: counted as still running", what);
    return text;
}

// Removes the archive, and the tree when `withTree`, below the held install folder, by name, never by
// path: the archive as a name (a read-only one stays, as a deletion by path would leave it), the tree
// through held folders. What stays is tried again after a pause, until about kRemovalRetryMilliseconds
// have passed (the pauses handle messages and idle the processor); what is still held then stays.
void RemoveInstalled(bool withTree, const char* treeKept) {
    const WideText archiveName = NameOnDisk(kArchiveName);
    const WideText treeName = NameOnDisk(kApplicationFolder);
    (void)RemoveNamedChild(InstallFolderHeld, archiveName.c_str(), false);
    if (withTree)
        (void)RemoveFolderBelow(InstallFolderHeld, treeName.c_str());
    const DWORD began = GetTickCount();
    for (;;) {
        const bool archiveLeft = Listed(archiveName);
        const bool treeLeft = withTree && Listed(treeName);
        if ((!archiveLeft && !treeLeft) || GetTickCount() - began >= kRemovalRetryMilliseconds)
            break;
        Delay(kRemovalPauseMilliseconds);
        if (sessionEnded)
            return;  // the end of the session has removed what it could
        if (archiveLeft)
            (void)RemoveNamedChild(InstallFolderHeld, archiveName.c_str(), false);
        if (treeLeft)
            (void)RemoveFolderBelow(InstallFolderHeld, treeName.c_str());
    }
    if (withTree)
        Trace("clean-up: archive %s, tree %s", Listed(archiveName) ? "NOT removed" : "removed",
              Listed(treeName) ? "NOT removed" : "removed");
    else
        Trace("clean-up: archive %s, tree kept: %s; the next run removes it",
              Listed(archiveName) ? "NOT removed" : "removed", treeKept);
}

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

// Holds "Kestrelworks" below the one folder look-up's answer, from here to the end of the clean-up,
// and sets InstallPathWide and InstallDir. What lies above may be links (users move their
// application-data folder), but the folder itself must be a plain folder: through a link an elevated
// run would write, start and delete wherever an unelevated program pointed it.
void HoldInstallFolder() {
    // The application-data folder is looked up once, in UTF-16: every later use (the held folder, the
    // command line, the trace, the clean-up through the held folder) derives from this one answer.
    WideText parent;
    const bool appData =
        seams.lookUpAppData ? seams.lookUpAppData(parent) : LookUpSpecialFolderWide(SpecialFolderId::AppData, parent);
    if (!appData && !FindProgramFolder(parent)) {
        Trace("no application-data folder and no program folder: nothing is installed, started or removed");
        return;
    }
    InstallPathWide = JoinWide(parent, L"Kestrelworks\\");
    InstallDir = AnsiFromWide(InstallPathWide.c_str(), Unspellable::BecomesMark);
    if (!appData)
        Trace("the application-data folder was not found: installing beside the program");
    {
        const HeldFolder above = HoldFolderPath(parent.c_str(), true);
        if (above)
            InstallFolderHeld = HoldChildFolder(above, kInstallFolderName, true);
    }
    const DWORD error = GetLastError();
    if (InstallFolderHeld)
        Trace("folder %s found and held", InstallDir.c_str());
    else
        Trace("folder %s not held (error %lu): %s, so nothing is installed, started or removed", InstallDir.c_str(),
              error, NotHeldReason(error));
}

// An elevated run makes its tree new, with the High label, so that no unelevated program of the user
// can put a file into it (a library beside Velkar.exe) while the elevated application runs from it.
// A tree an earlier run left is removed first, unless a program still runs from it (then nothing is
// installed or started: its files are in use, and an elevated run starts only what it wrote). False
// when the tree cannot be made new.
bool PrepareElevatedTree(const WideText& treeName, SecurityDescriptor& label) {
    bool inUse = false;
    const WideText tree = JoinWide(InstallPathWide, treeName.c_str());
    if (!AnyProcessRunsFrom(tree.c_str(), true, inUse) || inUse) {
        Trace("elevated: a program runs from %s%s (or the process list failed): nothing is installed or started",
              InstallDir.c_str(), kApplicationFolder);
        return false;
    }
    // Read-only files go too: an interrupted extraction leaves its entries so, as extraction replaces them.
    if (!RemoveFolderBelow(InstallFolderHeld, treeName.c_str(), true) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        Trace(
            "elevated: the tree an earlier run left in %s cannot be removed (error %lu): nothing is installed or "
            "started",
            InstallDir.c_str(), GetLastError());
        return false;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kElevatedTreeLabel, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        Trace("elevated: the tree's label could not be made (error %lu): nothing is installed or started",
              GetLastError());
        return false;
    }
    label.reset(descriptor);
    if (seams.treeSecurity)
        seams.treeSecurity(descriptor);
    return true;
}

// The held Velkar.exe to start when this run wrote none: the design's second start, where a launcher
// started while the application runs finds Velkar.exe in use. "In use" is a running process whose image
// is that very file. An elevated run makes no such exception: the running copy may have been started
// unelevated from a file swapped in by then.
bool HoldRunningProgram(KeptEntries& kept, bool elevated) {
    if (!InstallFolderHeld)
        return false;
    if (elevated) {
        Trace("command not started: this elevated run wrote no Velkar\\Velkar.exe, and starts only what it wrote");
        return false;
    }
    HeldFolder tree =
        kept.folder ? HeldFolder{} : HoldChildFolder(InstallFolderHeld, NameOnDisk(kApplicationFolder).c_str(), false);
    const HeldFolder& folder = kept.folder ? kept.folder : tree;
    ChildHandle program;
    if (folder)
        program = OpenChildFile(folder, NameOnDisk(kApplicationName).c_str(), GENERIC_READ, FILE_SHARE_READ);
    WideText path;
    bool inUse = false;
    if (!program || !FinalPathOf(program.get(), path) || !AnyProcessRunsFrom(path.c_str(), false, inUse) || !inUse) {
        const DWORD error = GetLastError();
        Trace(
            "command not started (error %lu): Velkar\\Velkar.exe was not written by this run and no running "
            "process uses it",
            inUse ? error : (program ? 0ul : error));
        return false;
    }
    if (!kept.folder)
        kept.folder = std::move(tree);
    kept.file = std::move(program);
    Trace("Velkar\\Velkar.exe is in use by a running process: that file is started");
    return true;
}

// True when `path` names the very file `held` is open on (the same id): a link above it re-pointed since
// the path was taken would show another file there, even where the two paths read the same.
bool NamesHeldFile(const WideText& path, HANDLE held) {
    FileHandle atPath{CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr)};
    FileFacts atPathFacts, heldFacts;
    return atPath && ReadFileFacts(atPath.get(), atPathFacts) && ReadFileFacts(held, heldFacts) &&
           atPathFacts.fileId == heldFacts.fileId && atPathFacts.fileId != 0;
}

// Starts the held Velkar.exe: by the path of the held file itself, suspended; it runs only once its
// image is seen to be that file and no link stands at the install folder, else it is ended unrun.
void StartApplication(KeptEntries& kept, bool elevated) {
    if (!kept.file && !HoldRunningProgram(kept, elevated))
        return;
    WideText program;
    if (!FinalPathOf(kept.file.get(), program)) {
        Trace("command not started (error %lu): the held program has no path", GetLastError());
        return;
    }
    // The program's path is quoted: the application-data folder often holds a space.
    const WideText quoted = JoinWide(JoinWide(WideText::FromChars(L"\"", 1), InstallPathWide.c_str()), kProgramInTree);
    const WideText commandLine = JoinWide(quoted, L"\" /n");
    const Text traced = AnsiFromWide(commandLine.c_str(), Unspellable::BecomesMark);
    StartedProgram started;
    if (!StartSuspended(program.c_str(), commandLine.c_str(), std::nullopt, started)) {
        Trace("command %s refused (error %lu)", traced.c_str(), GetLastError());
        return;
    }
    WideText image;
    const bool sameImage = ImagePathOf(started.process.get(), image) && SamePath(image.c_str(), program.c_str()) &&
                           NamesHeldFile(image, kept.file.get());
    FileFacts folderFacts;
    const bool noLink = ReadFileFacts(InstallFolderHeld.get(), folderFacts) &&
                        (folderFacts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (!sameImage || !noLink) {
        (void)TerminateProcess(started.process.get(), 1);
        Trace("command %s ended before it ran: %s", traced.c_str(),
              sameImage ? "a link stands at the install folder" : "its image is not the file this run holds");
        return;
    }
    Trace("command %s %s", traced.c_str(), Outcome(ResumeStartedProgram(started), "started", "not resumed"));
}

}  // namespace

bool ProcessExists(const char* name) {
    ProcessList list;
    if (!ListProcesses(list))
        return true;
    return ListHasName(list, name);
}

void OnLauncherCreated() {
    SwitchFsRedirectionOffAndOn(kCreatedCallSite);
    const bool elevated = Elevated();
    HoldInstallFolder();

    // Velkar\ and Velkar\Velkar.exe, held from the moment the extraction makes them to the return of
    // the process creation, so that what starts is what this run wrote.
    KeptEntries kept;
    const WideText treeName = NameOnDisk(kApplicationFolder);
    const WideText programName = NameOnDisk(kApplicationName);
    kept.folderName = treeName.c_str();
    kept.fileName = programName.c_str();
    SecurityDescriptor label;
    if (InstallFolderHeld && elevated && PrepareElevatedTree(treeName, label))
        kept.folderSecurity = label.get();

    if (InstallFolderHeld && (!elevated || kept.folderSecurity)) {
        // Whatever stands at the archive's name goes as a name first and the file is made new, so a
        // hard link planted there loses only this name and its other file is never written into. The
        // file is extracted through the handle that wrote it, which shares it for reading only: what is
        // extracted is what was written, never what the name shows by then.
        const WideText archiveName = NameOnDisk(kArchiveName);
        ByteArray archive = ToByteArray(Value::OfBytes(&PayloadArchive));
        ChildHandle written = WriteBytesToChild(InstallFolderHeld, archiveName.c_str(), {archive.image()});
        Trace("archive %s%s %s", InstallDir.c_str(), kArchiveName, Outcome(bool(written), "written", "not written"));
        // Released at once, on purpose, as in ProcessExists: the step gives back what it took.
        archive = ByteArray{};

        if (written) {
            const std::int32_t extracted =
                ExtractInto(kLauncherWindowId, kZipComponentId, std::move(written), InstallFolderHeld, &kept);
            Trace("Extract into %s gave %d: %s", InstallDir.c_str(), static_cast<int>(extracted),
                  Outcome(extracted == kExtractDone, "every entry written", "NOT every entry written"));
        } else {
            Trace("Extract not called: nothing is extracted from a name this run could not write");
        }
    }

    keptDuringWait = &kept;
    Delay(kStartDelayMilliseconds);
    keptDuringWait = nullptr;
    if (sessionEnded) {
        Trace("the session ended during the wait: nothing is started");
        return;
    }
    StartApplication(kept, elevated);

    SetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyInterval, -1,
                         seams.watchPeriodMilliseconds ? seams.watchPeriodMilliseconds : kWatchPeriodMilliseconds);
    SetComponentProperty(kLauncherWindowId, kLauncherWindowEntryId, kPropertyVisible, -1, 0);
}

void OnWatchTimer() {
    char what[300];
    const Running running = LookAtProcesses(what, sizeof what);
    if (running != Running::Nothing) {
        Trace("watch: %s", RunningText(running, what));
        return;
    }
    Trace("watch: %s runs no more, nor anything from the tree: cleaning up", kApplicationName);

    // Stopped before the wait below pumps messages, so no later period starts the clean-up again.
    SetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyInterval, -1, 0);
    Delay(kSettleMilliseconds);
    if (sessionEnded) {
        EndProgram(0);  // the end of the session has removed what it could
        return;
    }
    SwitchFsRedirectionOffAndOn(kWatchCallSite);

    // A copy started during the wait is ended rather than watched.
    const bool endedCopy = EndProcess(Value::OfText(kApplicationName));

    if (!InstallFolderHeld) {
        Trace("clean-up: nothing removed, the install folder was not held");
        EndProgram(0);
        return;
    }
    // The way from the watch to the clean-up is one-way: whatever runs now (a helper started from the
    // tree during the wait, a copy that could not be ended) keeps the tree, not the watch. The copy just
    // ended is given a moment to leave the list.
    Running late = LookAtProcesses(what, sizeof what);
    const DWORD ended = GetTickCount();
    while (endedCopy && late != Running::Nothing && GetTickCount() - ended < kEndedCopyMilliseconds) {
        Delay(kEndedCopyPauseMilliseconds);
        late = LookAtProcesses(what, sizeof what);
    }
    if (!sessionEnded)
        RemoveInstalled(late == Running::Nothing, RunningText(late, what));
    EndProgram(0);
}

void OnSessionEnds() {
    if (sessionEnded)
        return;
    sessionEnded = true;
    LARGE_INTEGER began, frequency, now;
    QueryPerformanceCounter(&began);
    QueryPerformanceFrequency(&frequency);
    // Whatever the system does after this returns, the run is over: the watch stops, and the event loop
    // ends with 0 should the program not be ended first.
    SetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyInterval, -1, 0);
    PostQuitMessage(0);
    if (keptDuringWait) {
        keptDuringWait->file.reset();
        keptDuringWait->folder.reset();
    }
    if (!InstallFolderHeld) {
        Trace("session ends: nothing removed, the install folder was not held");
        return;
    }
    const WideText archiveName = NameOnDisk(kArchiveName);
    const bool archiveGone = RemoveNamedChild(InstallFolderHeld, archiveName.c_str(), false);
    const DWORD archiveError = archiveGone ? 0 : GetLastError();
    QueryPerformanceCounter(&now);
    Trace("session ends: archive %s (error %lu), %lu us after WM_ENDSESSION", archiveGone ? "removed" : "NOT removed",
          archiveError, static_cast<unsigned long>((now.QuadPart - began.QuadPart) * 1000000 / frequency.QuadPart));

    // The tree goes only when nothing of the application runs at this moment: the application is told
    // first where the system keeps the order asked at start-up, not under Wine 8, which tells processes
    // in the order of their ids.
    char what[300];
    const Running running = LookAtProcesses(what, sizeof what);
    if (running != Running::Nothing) {
        Trace("session ends: tree kept: %s; the next run removes it", RunningText(running, what));
        return;
    }
    const WideText treeName = NameOnDisk(kApplicationFolder);
    const bool treeGone = RemoveFolderBelow(InstallFolderHeld, treeName.c_str(), false, kSessionRemovalMilliseconds);
    const DWORD error = GetLastError();
    QueryPerformanceCounter(&now);
    Trace("session ends: tree %s, %lu ms after WM_ENDSESSION",
          treeGone ? "removed"
                   : (error == ERROR_TIMEOUT ? "partly removed in the time allowed; the rest stays for the next run"
                                             : "NOT removed whole; the rest stays for the next run"),
          static_cast<unsigned long>((now.QuadPart - began.QuadPart) * 1000 / frequency.QuadPart));
}

void ReleaseInstallDir() {
    InstallDir = Text{};
    InstallPathWide = WideText{};
    InstallFolderHeld.reset();
}

void SetLauncherSeams(const LauncherSeams& given) { seams = given; }

const ProgramDeclarations& LauncherDeclarations() {
    static const ProgramDeclarations declarations = [] {
        ProgramDeclarations d;
        d.externalRoutines = kExternalRoutines;
        d.externalRoutineCount = 1;
        d.handlers = kHandlers;
        d.handlerCount = kHandlerSlotCount;
        d.startWindowId = kLauncherWindowId;
        d.startRoutine = StartLauncher;
        d.cleanup = ReleaseInstallDir;
        d.sessionEnds = OnSessionEnds;
        return d;
    }();
    return declarations;
}
