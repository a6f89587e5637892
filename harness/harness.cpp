#include "harness/harness.h"

#include <shlobj.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "base/text.h"

namespace harness {

std::string ProgramFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s = path;
    return s.substr(0, s.find_last_of('\\') + 1);  // the build folder's paths are ASCII
}

std::string ProgramBeside(const std::string& fileName) { return ProgramFolder() + fileName; }

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

TempFolder::TempFolder(const std::string& hint) {
    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    static unsigned counter = 0;
    for (;;) {
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "%skestrel-%s-%lu-%u", temp, hint.c_str(), GetCurrentProcessId(), ++counter);
        if (CreateDirectoryA(name, nullptr)) {
            path_ = name;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            path_ = name;  // the test will fail on its first use of the folder
            return;
        }
    }
}

TempFolder::~TempFolder() { RemoveTree(path_); }

bool RemoveTree(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    bool isFolder = attributes & FILE_ATTRIBUTE_DIRECTORY;
    bool isLink = attributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (isFolder && !isLink) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA entry;
        if (FindHandle search{FindFirstFileA((path + "\\*").c_str(), &entry)}) {
            do {
                std::string name = entry.cFileName;
                if (name != "." && name != "..")
                    names.push_back(name);
            } while (FindNextFileA(search.get(), &entry));
        }
        for (const std::string& name : names)
            RemoveTree(path + "\\" + name);
    }
    if (isFolder)
        RemoveDirectoryA(path.c_str());
    else
        DeleteFileA(path.c_str());
    return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    FileHandle file{
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    return file.close() && ok;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    bytes.clear();
    FileHandle file{CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file)
        return false;
    // Reserved whole, once: a string grown by doubling needs twice the file's size in one free range
    // beside the old block, which a 32-bit address space under emulation may not have.
    if (const DWORD size = GetFileSize(file.get(), nullptr); size != INVALID_FILE_SIZE)
        bytes.reserve(size);
    char buffer[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) && got > 0)
        bytes.append(buffer, got);
    return ok;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsFolder(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

DWORD AttributesOf(const std::string& path) { return GetFileAttributesA(path.c_str()); }

bool OutputPipe::Open() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    read.reset(readEnd);
    write.reset(writeEnd);
    return SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0) != FALSE;
}

Child::~Child() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT)
        TerminateProcess(process_.get(), 1);
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT)
            TerminateProcess(process_.get(), 1);
        process_ = std::move(other.process_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

Child Child::Start(const std::string& commandLine, const std::string& folder, HANDLE output, HANDLE errors) {
    Child child;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output;
        startup.hStdError = errors ? errors : GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION info = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, output != nullptr, 0, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
        KernelHandle thread{info.hThread};
        child.process_.reset(info.hProcess);
        child.id_ = info.dwProcessId;
    }
    return child;
}

bool Child::Wait(DWORD milliseconds, DWORD* exitCode) {
    if (!process_ || WaitForSingleObject(process_.get(), milliseconds) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(process_.get(), exitCode);
    return true;
}

void Child::Kill(UINT exitCode) {
    if (process_) {
        TerminateProcess(process_.get(), exitCode);
        WaitForSingleObject(process_.get(), 5000);
    }
}

DWORD RunToEnd(const std::string& commandLine, DWORD milliseconds, const std::string& folder) {
    Child child = Child::Start(commandLine, folder);
    DWORD code = 0;
    if (!child.Wait(milliseconds, &code))
        return 0xFFFFFFFE;
    return code;
}

std::string ShellAppData() {
    char path[MAX_PATH] = "";
    SHGetSpecialFolderPathA(nullptr, path, CSIDL_APPDATA, FALSE);
    return path;
}

double NowMilliseconds() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double SystemMilliseconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<double>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) /
           10000.0;
}

std::string UnixPath(const std::string& path) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    const WideText wide = WideFromAnsi(path.c_str());
    char* unix = toUnix && !wide.absent() ? toUnix(wide.c_str()) : nullptr;
    std::string result = unix ? unix : "";
    if (unix)
        HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

bool RunUnix(const std::string& commandLine) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &created))
        return false;
    // Wine starts a Unix program without handles for it: the process handle comes back null and the
    // thread handle and ids hold whatever was on the stack. Closing that thread "handle" closed one of
    // ours that happened to share the value (once the kernel's handle to the named-object folder, after
    // which every OpenEvent failed with error 6), so only a real process's handles go into owners.
    if (created.hProcess && GetProcessId(created.hProcess) == created.dwProcessId) {
        KernelHandle thread{created.hThread};
        KernelHandle process{created.hProcess};
    }
    return true;
}

}  // namespace harness
