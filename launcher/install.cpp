#include "launcher/install.h"

#include <windows.h>

#include <sddl.h>

#include <cstdint>

#include "base/fatal.h"
#include "base/owners.h"
#include "host/window_host.h"
#include "launcher/launcher_program.h"
#include "launcher/removal.h"
#include "payload/bytes.h"
#include "payload/embedded_payload.h"
#include "payload/zip_component.h"
#include "sysops/delay.h"
#include "sysops/folders.h"
#include "sysops/processes.h"

namespace {

constexpr wchar_t kInstallFolderName[] = L"Kestrelworks";
constexpr wchar_t kProgramInTree[] = L"Velkar\\Velkar.exe";
// An elevated run's tree: a High mandatory label, no-write-up, inherited by every file and folder below
// it (object and container inherit). The descriptor holds no access list, so the tree's own is
// inherited from the install folder as usual.
constexpr wchar_t kElevatedTreeLabel[] = L"S:(ML;OICI;NW;;;HI)";

// A run that has watched its application to the end holds its tree until its clean-up removes it: it
// lets go at its next watch period, after its one-second wait, within its removal's retries. An elevated
// run, which must make its tree new, waits about that long for an emptied tree another holds open, the
// lock let go meanwhile so that the other's clean-up can run.
constexpr DWORD kEarlierHoldMilliseconds = 15000;
constexpr std::int32_t kEarlierHoldPauseMilliseconds = 300;

// A security descriptor from ConvertStringSecurityDescriptorToSecurityDescriptorW, released with LocalFree.
struct LocalMemoryTraits {
    using Handle = PSECURITY_DESCRIPTOR;
    [[nodiscard]] static Handle None() { return nullptr; }
    static BOOL Close(Handle memory) { return LocalFree(memory) == nullptr; }
};
using SecurityDescriptor = Owner<LocalMemoryTraits>;

// Why the install folder could not be held, for the trace.
const char* NotHeldReason(DWORD error) {
    if (error == ERROR_REPARSE_POINT_ENCOUNTERED)
        return "a link stands at its name";
    if (error == ERROR_DIRECTORY)
        return "a file stands at its name";
    return "it cannot be opened";
}

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

WideText TreePath(const Run& run) { return JoinWide(run.installPath.c_str(), Names().tree.c_str()); }

// The second start: a tree a program runs from is left as it is, and the Velkar.exe a running copy of
// the application uses is the one to start. "In use" is a running process whose image is that very
// file. An elevated run makes no such exception: the running copy may have been started unelevated from
// a file swapped in by then. Either way the run holds the tree from here on, as a run that made it does.
InstallResult SecondStart(Run& run) {
    const NamesOnDisk& names = Names();
    run.tree = HoldChildFolder(run.root, names.tree.c_str(), false);
    if (run.elevated) {
        Trace(
            "elevated: a program runs from %s%s: nothing is installed or started, and this run starts only what "
            "it wrote",
            run.installDir.c_str(), kTreeName);
        return InstallResult::InUse;
    }
    ChildHandle program;
    if (run.tree)
        program = OpenChildFile(run.tree, names.program.c_str(), GENERIC_READ, FILE_SHARE_READ);
    WideText path;
    bool inUse = false;
    if (!program || !FinalPathOf(program.get(), path) || !AnyProcessRunsFrom(path.c_str(), false, inUse) || !inUse) {
        const DWORD error = GetLastError();
        Trace(
            "command not started (error %lu): a program runs from the tree, which is not reinstalled, and no "
            "running process uses its Velkar\\Velkar.exe",
            inUse ? error : (program ? 0ul : error));
        return InstallResult::InUse;
    }
    run.program = std::move(program);
    Trace("Velkar\\Velkar.exe is in use by a running process: the tree is not reinstalled and that file is started");
    return InstallResult::InUse;
}

// How the making of a new tree went.
enum class TreeMade {
    New,            // nothing stands at the tree's name now
    HeldByAnother,  // emptied, but the folder itself is held open by another (an earlier run's clean-up
                    // to come, or a program whose current folder it is)
    Stays,          // something stays in it (GetLastError gives the first failure)
};

// True when the tree's folder stands, holds nothing, and can be held.
bool TreeIsEmpty(const Run& run) {
    const HeldFolder tree = HoldChildFolder(run.root, Names().tree.c_str(), false);
    GrowingTable<FolderEntry> entries;
    return tree && ListEntries(tree, entries) && entries.empty();
}

// What an earlier run left at the tree's name goes, read-only files too: an interrupted extraction leaves
// its entries so, as extraction replaces them. Under the lock, with nothing running from it.
TreeMade MakeTreeNew(const Run& run) {
    if (RemoveFolderBelow(run.root, Names().tree.c_str(), true) || GetLastError() == ERROR_FILE_NOT_FOUND)
        return TreeMade::New;
    const DWORD error = GetLastError();
    if (TreeIsEmpty(run))
        return TreeMade::HeldByAnother;
    SetLastError(error);
    return TreeMade::Stays;
}

// Writes the archive and extracts it into the held install folder, the tree held as run.tree and
// Velkar.exe as run.program from the moment the extraction makes them. True only when every entry was
// written and checked and Velkar.exe is held; else the trace says which entry failed and why.
bool WriteAndExtract(Run& run, PSECURITY_DESCRIPTOR label) {
    const NamesOnDisk& names = Names();
    KeptEntries kept;
    kept.folderName = names.tree.c_str();
    kept.fileName = names.program.c_str();
    kept.folderSecurity = label;
    // Whatever stands at the archive's name goes as a name first and the file is made new, so a hard
    // link planted there loses only this name and its other file is never written into. The file is
    // extracted through the handle that wrote it, which shares it for reading only: what is extracted
    // is what was written, never what the name shows by then.
    ByteArray archive = ToByteArray(Value::OfBytes(EmbeddedArchive()));  // Install has checked it is there
    ChildHandle written = WriteBytesToChild(run.root, names.archive.c_str(), {archive.image()});
    const DWORD writeError = GetLastError();
    Trace("archive %s%s %s", run.installDir.c_str(), kArchiveName, Outcome(bool(written), "written", "not written"));
    // Released at once, on purpose, as in ProcessExists: the step gives back what it took.
    archive = ByteArray{};
    if (!written) {
        Trace("Extract not called: nothing is extracted from a name this run could not write");
        Trace("install failed: the archive could not be written (error %lu): nothing is started", writeError);
        return false;
    }
    ExtractFailure failure;
    const std::int32_t extracted =
        ExtractInto(kLauncherWindowId, kZipComponentId, std::move(written), run.root, &kept, &failure);
    Trace("Extract into %s gave %d: %s", run.installDir.c_str(), static_cast<int>(extracted),
          extracted == kExtractDone ? "every entry written" : "NOT every entry written");
    run.tree = std::move(kept.folder);
    run.program = std::move(kept.file);
    if (extracted == kExtractDone && run.program)
        return true;
    if (extracted == kExtractDone)
        Trace("install failed: every entry was written, yet Velkar\\Velkar.exe is not held: nothing is started");
    else
        Trace("install failed: entry \"%s\" (error %lu): nothing is started", failure.entry,
              static_cast<unsigned long>(failure.error));
    return false;
}

// The end of an install that failed: what this run wrote goes (the archive, and the tree through its
// held folders, read-only entries too: a link planted in it is removed as a name, never followed), and
// the lock is let go.
InstallResult Failed(Run& run) {
    char what[300];
    if (run.root && run.lock.held())
        (void)RemoveInstalled(run, true, LookAtTree, "install failed", what, sizeof what);
    run.program.reset();
    run.tree.reset();
    run.lock.Release();
    return InstallResult::Failed;
}

}  // namespace

void HoldInstallFolder(Run& run) {
    // The application-data folder is looked up once, in UTF-16: every later use (the held folder, the
    // command line, the trace, the clean-up through the held folder) derives from this one answer.
    const LauncherSeams& seams = CurrentSeams();
    WideText parent;
    const bool appData =
        seams.lookUpAppData ? seams.lookUpAppData(parent) : LookUpSpecialFolderWide(SpecialFolderId::AppData, parent);
    if (!appData && !FindProgramFolder(parent)) {
        Trace("no application-data folder and no program folder: nothing is installed, started or removed");
        return;
    }
    run.installPath = JoinWide(parent.c_str(), L"Kestrelworks\\");
    run.installDir = AnsiFromWide(run.installPath.c_str(), Unspellable::BecomesMark);
    if (!appData)
        Trace("the application-data folder was not found: installing beside the program");
    {
        const HeldFolder above = HoldFolderPath(parent.c_str(), true);
        if (above)
            run.root = HoldChildFolder(above, kInstallFolderName, true);
    }
    const DWORD error = GetLastError();
    if (run.root)
        Trace("folder %s found and held", run.installDir.c_str());
    else
        Trace("folder %s not held (error %lu): %s, so nothing is installed, started or removed", run.installDir.c_str(),
              error, NotHeldReason(error));
}

bool VolumeFitsTheRun(const Run& run) {
    const LauncherSeams& seams = CurrentSeams();
    DWORD flags = 0;
    const bool read = seams.volumeFlags ? seams.volumeFlags(flags)
                                        : GetVolumeInformationByHandleW(run.root.get(), nullptr, 0, nullptr, nullptr,
                                                                        &flags, nullptr, 0) != FALSE;
    if (read && (flags & FILE_PERSISTENT_ACLS))
        return true;
    if (read)
        Trace("elevated: the volume of %s keeps no access lists (flags 0x%lx): nothing is installed or started",
              run.installDir.c_str(), flags);
    else
        Trace("elevated: the flags of the volume of %s cannot be read (error %lu): nothing is installed or started",
              run.installDir.c_str(), GetLastError());
    return false;
}

InstallResult Install(Run& run) {
    // A launcher without an archive (the prebuilt one, never packed, or one whose archive section is
    // damaged) is a fault of the program itself, reported as the frame's faults are, before anything on
    // disk is touched.
    if (EmbeddedArchive() == nullptr)
        ReportRuntimeError(kNoErrorCode, "程序中没有可安装的应用程序压缩包!", 0, 0);
    const DWORD began = GetTickCount();
    bool saidHeld = false;
    for (;;) {
        const LockWait wait = TakeInstallLock(run, "install");
        if (wait == LockWait::Abandoned) {
            Trace("install: %s while waiting: nothing is installed or started",
                  run.sessionEnded ? "the session ended" : "the window was closed");
            return InstallResult::Abandoned;
        }
        if (wait == LockWait::Refused) {
            Trace("install failed: nothing is installed or started");
            return Failed(run);
        }
        // Under the lock no other run installs or cleans up: whatever runs from the tree now was started
        // by a run whose start has returned, or by hand, and its tree is left as it is.
        bool inUse = false;
        if (!AnyProcessRunsFrom(TreePath(run).c_str(), true, inUse)) {
            Trace(
                "install failed: the process list could not be taken (error %lu), so whether a program runs "
                "from the tree is not known: nothing is installed or started",
                GetLastError());
            return Failed(run);
        }
        if (inUse)
            return SecondStart(run);
        const TreeMade made = MakeTreeNew(run);
        if (made == TreeMade::New)
            break;
        const DWORD error = GetLastError();
        if (!run.elevated) {
            // What stays is not the application's to run: every entry is still written anew below it.
            Trace(
                "install: the tree an earlier run left in %s is not removed whole (error %lu): extracting over "
                "what stays",
                run.installDir.c_str(), error);
            break;
        }
        if (made == TreeMade::HeldByAnother && GetTickCount() - began < kEarlierHoldMilliseconds) {
            if (!saidHeld)
                Trace(
                    "elevated: the tree in %s is emptied but held open (an earlier run's clean-up to come?): "
                    "waiting for it to go",
                    run.installDir.c_str());
            saidHeld = true;
            run.lock.Release();
            Delay(kEarlierHoldPauseMilliseconds);
            continue;
        }
        Trace(
            "elevated: the tree an earlier run left in %s cannot be removed (error %lu): nothing is installed or "
            "started",
            run.installDir.c_str(), error);
        return Failed(run);
    }

    // An elevated run makes its tree new, with the High label, so that no unelevated program of the user
    // can put a file into it (a library beside Velkar.exe) while the elevated application runs from it.
    SecurityDescriptor label;
    if (run.elevated) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kElevatedTreeLabel, SDDL_REVISION_1, &descriptor,
                                                                  nullptr)) {
            Trace("elevated: the tree's label could not be made (error %lu): nothing is installed or started",
                  GetLastError());
            return Failed(run);
        }
        label.reset(descriptor);
        if (CurrentSeams().treeSecurity)
            CurrentSeams().treeSecurity(descriptor);
    }
    if (!WriteAndExtract(run, label.get()))
        return Failed(run);
    return InstallResult::Installed;
}

void StartApplication(Run& run) {
    if (!run.program) {
        Trace("command not started: this run holds no Velkar\\Velkar.exe to start");
        return;
    }
    WideText program;
    if (!FinalPathOf(run.program.get(), program)) {
        Trace("command not started (error %lu): the held program has no path", GetLastError());
        return;
    }
    // The program's path is quoted: the application-data folder often holds a space.
    const WideText quoted = JoinWide(JoinWide(L"\"", run.installPath.c_str()).c_str(), kProgramInTree);
    const WideText commandLine = JoinWide(quoted.c_str(), L"\" /n");
    const Text traced = AnsiFromWide(commandLine.c_str(), Unspellable::BecomesMark);
    StartedProgram started;
    if (!StartSuspended(program.c_str(), commandLine.c_str(), std::nullopt, started)) {
        Trace("command %s refused (error %lu)", traced.c_str(), GetLastError());
        return;
    }
    // The image is the held file: the same path, and opened again by that path the very file held (a
    // link above the install folder re-pointed since would show another file there, even where the two
    // paths read the same).
    WideText image;
    const bool sameImage = ImagePathOf(started.process.get(), image) && SamePath(image.c_str(), program.c_str()) &&
                           PathNamesHeldFile(image.c_str(), run.program.get());
    FileFacts folderFacts;
    const bool noLink =
        ReadFileFacts(run.root.get(), folderFacts) && (folderFacts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (!sameImage || !noLink) {
        (void)TerminateProcess(started.process.get(), 1);
        Trace("command %s ended before it ran: %s", traced.c_str(),
              sameImage ? "a link stands at the install folder" : "its image is not the file this run holds");
        return;
    }
    Trace("command %s %s", traced.c_str(), Outcome(ResumeStartedProgram(started), "started", "not resumed"));
}
