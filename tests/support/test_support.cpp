#include "tests/support/test_support.h"

#include <tlhelp32.h>

namespace test {

namespace {

const wchar_t* const kShellFolderKeys[2] = {
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
};

}  // namespace

std::wstring Wide(const std::string& ansi) {
    wchar_t wide[MAX_PATH * 2];
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide, MAX_PATH * 2);
    return wide;
}

AppDataRedirection::AppDataRedirection(const std::string& folder) : AppDataRedirection(Wide(folder)) {}

AppDataRedirection::AppDataRedirection(const std::wstring& folder) {
    for (int i = 0; i < 2; ++i) {
        wchar_t value[MAX_PATH * 2] = L"";
        DWORD size = sizeof value - sizeof(wchar_t);
        had_[i] = RegGetValueW(HKEY_CURRENT_USER, kShellFolderKeys[i], L"AppData",
                               RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &types_[i], value,
                               &size) == ERROR_SUCCESS;
        saved_[i] = value;
        RegSetKeyValueW(HKEY_CURRENT_USER, kShellFolderKeys[i], L"AppData", i == 0 ? REG_EXPAND_SZ : REG_SZ,
                        folder.c_str(), static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
}

AppDataRedirection::~AppDataRedirection() {
    for (int i = 0; i < 2; ++i) {
        if (had_[i])
            RegSetKeyValueW(HKEY_CURRENT_USER, kShellFolderKeys[i], L"AppData", types_[i], saved_[i].c_str(),
                            static_cast<DWORD>((saved_[i].size() + 1) * sizeof(wchar_t)));
        else
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kShellFolderKeys[i], L"AppData");
    }
}

bool RemoveTreePatiently(const std::string& path, int attempts) {
    for (int attempt = 1; attempt < attempts; ++attempt) {
        if (RemoveTree(path))
            return true;
        Sleep(100);
    }
    return RemoveTree(path);
}

bool MakeUnixLink(const std::string& target, const std::string& link) {
    return RunUnix("Z:\\bin\\ln -s " + Quoted(UnixPath(target)) + " " + Quoted(UnixPath(link))) &&
           WaitUntil([&] { return Exists(link); }, 5000);
}

bool RemoveUnixLink(const std::string& link) {
    return RunUnix("Z:\\bin\\rm -f " + Quoted(UnixPath(link))) && WaitUntil([&] { return !Exists(link); }, 5000);
}

bool MakeSampleTree(const std::string& root) {
    const bool made = CreateDirectoryA(root.c_str(), nullptr) && CreateDirectoryA((root + "\\a").c_str(), nullptr) &&
                      CreateDirectoryA((root + "\\a\\b").c_str(), nullptr) &&
                      CreateDirectoryA((root + "\\c").c_str(), nullptr) && WriteWholeFile(root + "\\top.txt", "1") &&
                      WriteWholeFile(root + "\\a\\one.txt", "2") && WriteWholeFile(root + "\\a\\b\\deep.bin", "3") &&
                      WriteWholeFile(root + "\\c\\\xCC\xB4\xCF\xAA.txt", "4");  // 檀溪
    return made && SetFileAttributesA((root + "\\a\\one.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
}

bool SampleTreeWhole(const std::string& root) {
    const char* const files[][2] = {
        {"\\top.txt", "1"}, {"\\a\\one.txt", "2"}, {"\\a\\b\\deep.bin", "3"}, {"\\c\\\xCC\xB4\xCF\xAA.txt", "4"}};
    for (const auto& [name, bytes] : files) {
        std::string read;
        if (!ReadWholeFile(root + name, read) || read != bytes)
            return false;
    }
    return true;
}

namespace {

struct WindowSearch {
    DWORD processId;
    const char* className;
    const char* title;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId)
        return TRUE;
    char className[64] = "", title[256] = "";
    GetClassNameA(window, className, sizeof className);
    GetWindowTextA(window, title, sizeof title);
    if ((search->className && std::string(className) != search->className) ||
        (search->title && std::string(title) != search->title))
        return TRUE;
    search->found.push_back(window);
    return TRUE;
}

}  // namespace

std::vector<HWND> WindowsOf(DWORD processId, const char* className, const char* title) {
    WindowSearch search{processId, className, title, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WindowOf(DWORD processId, const char* className, const char* title) {
    std::vector<HWND> found = WindowsOf(processId, className, title);
    return found.empty() ? nullptr : found.front();
}

bool AnyPartVisible(HWND window) {
    if (IsWindowVisible(window) || (GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE))
        return true;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (IsWindowVisible(child))
            return true;
    return false;
}

HWND MakeWindow(const char* className, WNDPROC procedure, DWORD style, HWND parent) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassA(&windowClass);  // a second registration fails harmlessly
    return CreateWindowExA(0, className, "", style, 0, 0, 10, 10, parent, nullptr, windowClass.hInstance, nullptr);
}

bool TakeQuit(WPARAM* code) {
    MSG message;
    if (!PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
        return false;
    if (code)
        *code = message.wParam;
    return true;
}

void DropQueuedMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
}

std::vector<DWORD> ProcessesNamed(const char* name) {
    std::vector<DWORD> ids;
    SnapshotHandle snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    if (!snapshot)
        return ids;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry))
        if (lstrcmpiA(entry.szExeFile, name) == 0)
            ids.push_back(entry.th32ProcessID);
    return ids;
}

bool ProcessGone(DWORD id, DWORD milliseconds) {
    KernelHandle process{OpenProcess(SYNCHRONIZE, FALSE, id)};
    return !process || WaitForSingleObject(process.get(), milliseconds) == WAIT_OBJECT_0;
}

void EndProcessesNamed(const char* name, DWORD grace) {
    for (DWORD id : ProcessesNamed(name)) {
        if (ProcessGone(id, grace))
            continue;
        if (KernelHandle process{OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)}) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
        }
    }
}

bool SignalEvent(const std::string& name) {
    KernelHandle event{OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str())};
    return event && SetEvent(event.get());
}

}  // namespace test
