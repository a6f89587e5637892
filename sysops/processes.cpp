#include "sysops/processes.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cmath>
#include <cstring>
#include <cwchar>

#include "base/memory.h"
#include "base/owners.h"
#include "base/growing_table.h"
#include "sysops/texts.h"

// The ANSI process entry and start-up record the system expects, by size.
static_assert(sizeof(PROCESSENTRY32) == 296);
static_assert(sizeof(STARTUPINFOA) == 68);

namespace {

void ReleaseImage(ProcessListImage* image) {
    if (image == nullptr)
        return;
    for (std::int32_t i = 0; i < image->count; ++i)
        delete image->records()[i];  // the name goes with it
    Release(image);
}

ProcessRecord* NewRecord(const PROCESSENTRY32& entry) {
    auto* record = new ProcessRecord;
    record->processId = entry.th32ProcessID;
    std::size_t length = strnlen(entry.szExeFile, sizeof entry.szExeFile);
    if (length > 0)
        record->exeName = Text::FromBytes(entry.szExeFile, length);
    record->moduleId = entry.th32ModuleID;
    record->parentProcessId = entry.th32ParentProcessID;
    record->basePriority = entry.pcPriClassBase;
    record->threadCount = entry.cntThreads;
    return record;
}

// The id of the process a name stands for, or 0: the owner of a top-level window with exactly that
// title, else the first process in snapshot order whose executable name equals it in any letter case.
DWORD ProcessNamed(const char* name) {
    if (HWND window = FindWindowA(nullptr, name)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        return owner;
    }
    SnapshotHandle snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    if (!snapshot)
        return 0;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry))
        if (CompareText(name, entry.szExeFile, false) == 0)
            return entry.th32ProcessID;
    return 0;
}

bool TerminateById(DWORD processId) {
    if (processId == 0)
        return false;
    KernelHandle process{OpenProcess(PROCESS_TERMINATE, FALSE, processId)};
    if (!process)
        return false;
    return TerminateProcess(process.get(), 0) != FALSE;
}

WORD ShowCommandFor(std::optional<std::int32_t> mode) {
    static const WORD commands[] = {SW_HIDE,          SW_SHOWNORMAL,     SW_SHOWMINIMIZED,
                                    SW_SHOWMAXIMIZED, SW_SHOWNOACTIVATE, SW_MINIMIZE};
    // An absent mode shows the window normally; a given mode is clamped, so 0 hides it.
    std::int32_t m = mode.value_or(WindowMode::NormalActive);
    if (m < WindowMode::Hidden)
        m = WindowMode::Hidden;
    if (m > WindowMode::MinimizedInactive)
        m = WindowMode::MinimizedInactive;
    return commands[m - 1];
}

}  // namespace

ProcessList::~ProcessList() { ReleaseImage(image_); }

ProcessList& ProcessList::operator=(ProcessList&& other) noexcept {
    if (this != &other) {
        ReleaseImage(image_);
        image_ = std::exchange(other.image_, nullptr);
    }
    return *this;
}

bool ListProcesses(ProcessList& list) {
    list = ProcessList{};
    // The table grows as needed: a list cut short could hide a running application from the watch,
    // which would then delete its files under it. For the same reason a walk that stops anywhere but
    // at its end gives no list.
    GrowingTable<ProcessRecord*> gathered;
    DWORD error = NO_ERROR;
    {
        SnapshotHandle snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        if (!snapshot)
            error = GetLastError();
        for (BOOL more = snapshot && Process32First(snapshot.get(), &entry); more;
             more = Process32Next(snapshot.get(), &entry))
            gathered.Append(NewRecord(entry));
        if (snapshot && GetLastError() != ERROR_NO_MORE_FILES)
            error = GetLastError();
    }
    const std::size_t count = error == NO_ERROR ? gathered.size() : 0;
    for (std::size_t i = count; i < gathered.size(); ++i)
        delete gathered[i];
    auto* image = static_cast<ProcessListImage*>(Allocate(sizeof(ProcessListImage) + count * sizeof(ProcessRecord*)));
    image->dimensions = 1;
    image->count = static_cast<std::int32_t>(count);
    for (std::size_t i = 0; i < count; ++i)
        image->records()[i] = gathered[i];
    list = ProcessList(image);
    SetLastError(error);
    return error == NO_ERROR;
}

bool EndProcess(const Value& target) {
    switch (target.kind()) {
    case ValueKind::Text:
        if (target.asText()[0] == '\0')
            return false;
        return TerminateById(ProcessNamed(target.asText()));
    case ValueKind::Byte:
    case ValueKind::Short:
    case ValueKind::Int:
        return TerminateById(static_cast<DWORD>(target.asInteger()));
    case ValueKind::Float:
    case ValueKind::Double: {
        double number = target.asFloating();
        // Converting a value outside the 64-bit range is undefined; such a number is no process id.
        if (!std::isfinite(number) || std::fabs(number) >= 9.2e18)
            return false;
        return TerminateById(static_cast<DWORD>(static_cast<std::int64_t>(number)));  // toward zero
    }
    default:
        return false;  // a 64-bit integer, a boolean, a date-time, a byte array, nothing
    }
}

bool RunCommand(const char* commandLine, bool wait, std::optional<std::int32_t> mode) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = ShowCommandFor(mode);
    // CreateProcessA may write into the command line, so it gets a copy of its own.
    Text line = Text::Copy(commandLine);
    PROCESS_INFORMATION created = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &created))
        return false;
    KernelHandle process{created.hProcess};
    KernelHandle thread{created.hThread};
    if (wait)
        WaitForSingleObject(process.get(), INFINITE);  // no messages are handled meanwhile
    else
        WaitForInputIdle(process.get(), 1000);  // a program that never idles costs one second
    return true;
}

bool StartSuspended(const wchar_t* applicationName, const wchar_t* commandLine, std::optional<std::int32_t> mode,
                    StartedProgram& started) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = ShowCommandFor(mode);
    // CreateProcessW may write into the command line, so it gets a copy of its own.
    const std::size_t length = std::wcslen(commandLine);
    WideText line = WideText::FromChars(commandLine, length);
    PROCESS_INFORMATION created = {};
    if (!CreateProcessW(applicationName, const_cast<wchar_t*>(line.c_str()), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &created))
        return false;
    started.process.reset(created.hProcess);
    started.thread.reset(created.hThread);
    return true;
}

bool ResumeStartedProgram(StartedProgram& started) {
    if (ResumeThread(started.thread.get()) == static_cast<DWORD>(-1))
        return false;
    WaitForInputIdle(started.process.get(), 1000);  // a program that never idles costs one second
    return true;
}

bool ImagePathOf(HANDLE process, WideText& path) {
    path = WideText{};
    wchar_t buffer[1024];
    DWORD length = 1024;
    if (!QueryFullProcessImageNameW(process, 0, buffer, &length))
        return false;
    path = WideText::FromChars(buffer, length);
    return true;
}

bool SamePath(const wchar_t* a, const wchar_t* b) { return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL; }

// --- Which program runs from a folder or a file ----------------------------------------------------------
//
// A path is one spelling of a file among several: an 8.3 alias of any folder on the way ("VELKAR~1"),
// another drive letter or a mount point for the same volume, a link. A program started through any of
// them runs the same file, and the text of its path says nothing of that. So a file is known by its
// identity, the file system's id of it together with its volume's serial number (an id is unique on its
// volume only), and "below a folder" means that one of the folders on the way up from the program's path
// is that folder. Both are read from handles opened on the paths as the system resolves them at the look.
// Where an identity cannot be read (a file system that keeps no ids, a folder this user may not open),
// and for a program on a network share (OnNetwork), the text of the path is compared, as before.

namespace {

// FileIdInfo and FILE_ID_INFO, which the headers declare for Windows 8 and later only.
constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
struct FileIdInformation {
    ULONGLONG volumeSerialNumber;
    BYTE fileId[16];
};
static_assert(sizeof(FileIdInformation) == 24);

// A file's identity. The 128-bit id of FileIdInfo (Windows 8 and later), which ReFS needs, where the
// system gives it; else the 64-bit index and the 32-bit serial of GetFileInformationByHandle. Two
// identities read in different ways never compare equal.
struct FileIdentity {
    bool wide = false;
    ULONGLONG volume = 0;
    BYTE id[16] = {};

    bool operator==(const FileIdentity& other) const {
        return wide == other.wide && volume == other.volume && std::memcmp(id, other.id, sizeof id) == 0;
    }
};

// The identity of what `path` names now, links followed. False when it cannot be opened or the file
// system keeps no id for it (an id of 0).
bool IdentityAt(const wchar_t* path, FileIdentity& identity) {
    // Attributes only: no sharing applies, so a folder held without delete sharing opens too.
    FileHandle file{CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (!file)
        return false;
    static const BYTE kNoId[16] = {};
    FileIdInformation wide;
    if (GetFileInformationByHandleEx(file.get(), kFileIdInfo, &wide, sizeof wide)) {
        identity.wide = true;
        identity.volume = wide.volumeSerialNumber;
        std::memcpy(identity.id, wide.fileId, sizeof identity.id);
        return std::memcmp(identity.id, kNoId, sizeof kNoId) != 0;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file.get(), &information))
        return false;
    identity.wide = false;
    identity.volume = information.dwVolumeSerialNumber;
    const ULONGLONG index = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    std::memcpy(identity.id, &index, sizeof index);
    return index != 0;
}

// Where the folder `path` ends, without a trailing separator: "C:\x\" and "C:\x" are one folder.
std::size_t FolderLength(const wchar_t* path) {
    const std::size_t length = std::wcslen(path);
    return length > 0 && path[length - 1] == L'\\' ? length - 1 : length;
}

// The text rule: `program` begins with the folder `path` and a separator, in any letter case.
bool TextLiesBelow(const WideText& program, const wchar_t* path) {
    const std::size_t folderLength = FolderLength(path);
    return program.size() > folderLength + 1 && program.c_str()[folderLength] == L'\\' &&
           CompareStringOrdinal(program.c_str(), static_cast<int>(folderLength), path, static_cast<int>(folderLength),
                                TRUE) == CSTR_EQUAL;
}

// A program on a network share (a UNC path or a mapped drive) is judged by its text: opening the folders on
// its way up at every look could wait on the network, and the watch looks once a second.
bool OnNetwork(const WideText& program) {
    const wchar_t* text = program.c_str();
    if (text[0] == L'\\' && text[1] == L'\\')
        return true;
    if (program.size() < 3 || text[1] != L':' || text[2] != L'\\')
        return false;
    const wchar_t root[] = {text[0], L':', L'\\', L'\0'};
    return GetDriveTypeW(root) == DRIVE_REMOTE;
}

// One program's folder already judged during a look: the processes of one folder (the system's own, the
// application's) are many, and each judgement opens every folder on the way up.
struct FolderVerdict {
    WideText folder;
    bool below = false;
};
constexpr int kRememberedFolders = 32;

// The look at the processes, with what it knows of the target.
class RunsFromLook {
public:
    RunsFromLook(const wchar_t* path, bool below) : path_(path), below_(below), known_(IdentityAt(path, target_)) {}

    bool Runs(const WideText& program) {
        if (!known_ || OnNetwork(program))
            return below_ ? TextLiesBelow(program, path_) : SamePath(program.c_str(), path_);
        if (!below_) {
            FileIdentity file;
            return IdentityAt(program.c_str(), file) ? file == target_ : SamePath(program.c_str(), path_);
        }
        const wchar_t* last = std::wcsrchr(program.c_str(), L'\\');
        if (last == nullptr)
            return false;
        WideText folder = WideText::FromChars(program.c_str(), static_cast<std::size_t>(last - program.c_str()));
        for (int i = 0; i < remembered_; ++i)
            if (SamePath(verdicts_[i].folder.c_str(), folder.c_str()))
                return verdicts_[i].below;
        const bool below = FolderIsOrLiesBelow(folder);
        if (remembered_ < kRememberedFolders)
            verdicts_[remembered_++] = FolderVerdict{std::move(folder), below};
        return below;
    }

private:
    // Whether `folder` or a folder on its way up is the target, each judged by its identity, or by its
    // text where that cannot be read.
    bool FolderIsOrLiesBelow(const WideText& folder) {
        const std::size_t targetLength = FolderLength(path_);
        const wchar_t* text = folder.c_str();
        for (std::size_t length = folder.size(); length > 0;) {
            // A drive's root keeps its separator: "C:" alone names the drive's current folder.
            const bool root = length == 2 && text[1] == L':';
            const wchar_t rootText[] = {text[0], L':', L'\\', L'\0'};
            const WideText step = root ? WideText::FromChars(rootText, 3) : WideText::FromChars(text, length);
            FileIdentity identity;
            if (IdentityAt(step.c_str(), identity)
                    ? identity == target_
                    : length == targetLength && CompareStringOrdinal(text, static_cast<int>(length), path_,
                                                                     static_cast<int>(length), TRUE) == CSTR_EQUAL)
                return true;
            if (root)
                break;
            std::size_t separator = length;
            while (separator > 0 && text[separator - 1] != L'\\')
                --separator;
            if (separator < 3)
                break;  // at a UNC server's name or a relative start: nothing above to look at
            length = separator - 1;
        }
        return false;
    }

    const wchar_t* path_;
    bool below_;
    FileIdentity target_;
    bool known_;
    FolderVerdict verdicts_[kRememberedFolders];
    int remembered_ = 0;
};

}  // namespace

bool AnyProcessRunsFrom(const wchar_t* path, bool below, bool& found) {
    found = false;
    ProcessList list;
    if (!ListProcesses(list))
        return false;
    found = ListedProcessRunsFrom(list, path, below);
    return true;
}

bool ListedProcessRunsFrom(const ProcessList& list, const wchar_t* path, bool below, WideText* image) {
    RunsFromLook look(path, below);
    for (std::int32_t i = 0; i < list.count(); ++i) {
        KernelHandle process{OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, list[i].processId)};
        WideText program;
        if (!process || !ImagePathOf(process.get(), program))
            continue;
        if (look.Runs(program)) {
            if (image)
                *image = std::move(program);
            return true;
        }
    }
    return false;
}

bool ReadTokenElevation(bool& elevated) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    KernelHandle owner{token};
    TOKEN_ELEVATION elevation = {};
    DWORD length = 0;
    if (!GetTokenInformation(owner.get(), TokenElevation, &elevation, sizeof elevation, &length))
        return false;
    elevated = elevation.TokenIsElevated != 0;
    return true;
}
