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

bool AnyProcessRunsFrom(const wchar_t* path, bool below, bool& found) {
    found = false;
    ProcessList list;
    if (!ListProcesses(list))
        return false;
    found = ListedProcessRunsFrom(list, path, below);
    return true;
}

bool ListedProcessRunsFrom(const ProcessList& list, const wchar_t* path, bool below, WideText* image) {
    const int pathLength = static_cast<int>(std::wcslen(path));
    // "C:\x\" and "C:\x" name the same folder: the separator is matched once, after it.
    const int folderLength = pathLength > 0 && path[pathLength - 1] == L'\\' ? pathLength - 1 : pathLength;
    for (std::int32_t i = 0; i < list.count(); ++i) {
        KernelHandle process{OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, list[i].processId)};
        WideText program;
        if (!process || !ImagePathOf(process.get(), program))
            continue;
        const int programLength = static_cast<int>(program.size());
        const bool found =
            below ? programLength > folderLength + 1 && program.c_str()[folderLength] == L'\\' &&
                        CompareStringOrdinal(program.c_str(), folderLength, path, folderLength, TRUE) == CSTR_EQUAL
                  : SamePath(program.c_str(), path);
        if (found) {
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
