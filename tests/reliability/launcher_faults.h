// tests/reliability/launcher_faults.h: what the reliability tests share: the prefix's application-data
// folder set and put back, the records of fault_app.exe, and one launcher run watched from outside.
#pragma once
#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace rel {

constexpr char kRecords[] = "C:\\kestrel-rel";
constexpr char kArchiveName[] = "檀溪舟楫.zip";

inline std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

inline std::string ShellAppData() {
    char path[MAX_PATH] = "";
    SHGetSpecialFolderPathA(nullptr, path, CSIDL_APPDATA, FALSE);
    return path;
}

using test::AppDataRedirection;

// The process ids of fault_app.exe's recorded starts.
inline std::vector<DWORD> RecordedStarts() {
    std::vector<DWORD> ids;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((std::string(kRecords) + "\\run-*.txt").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return ids;
    do
        ids.push_back(std::stoul(std::string(entry.cFileName).substr(4)));
    while (FindNextFileA(search, &entry));
    FindClose(search);
    return ids;
}

// Starts `commandLine` and answers true when `done` held within `milliseconds`, looking every 10 ms.
template <typename Done>
bool WaitUntil(Done done, DWORD milliseconds) {
    const double end = test::NowMilliseconds() + milliseconds;
    for (;;) {
        if (done())
            return true;
        if (test::NowMilliseconds() > end)
            return false;
        Sleep(10);
    }
}

inline bool ProcessGone(DWORD id, DWORD milliseconds) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (!process)
        return true;
    const bool ended = WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

struct DialogSearch {
    DWORD processId;
    bool found;
};

inline BOOL CALLBACK FindDialog(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<DialogSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (owner == search->processId && std::string(className) == "#32770")
        search->found = true;
    return TRUE;
}

// True when the process shows a dialog (a message box is of class "#32770").
inline bool ShowsDialog(DWORD processId) {
    DialogSearch search{processId, false};
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The install folder under an application-data folder and the paths the launcher writes there.
struct InstallPaths {
    std::string kestrelworks;
    explicit InstallPaths(const std::string& appData) : kestrelworks(appData + "\\Kestrelworks") {}
    std::string Archive() const { return kestrelworks + "\\" + kArchiveName; }
    std::string Tree() const { return kestrelworks + "\\Velkar"; }
    std::string Application() const { return Tree() + "\\Velkar.exe"; }
    bool Gone() const { return !test::Exists(Archive()) && !test::Exists(Tree()); }
};

// Sets fault_app.exe's mode for the next start ("wait", "crash", "child").
inline bool SetMode(const std::string& mode) {
    return test::WriteWholeFile(std::string(kRecords) + "\\mode.txt", mode);
}

inline bool EndApplications() {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "KestrelRelEnd");
    if (!event)
        return false;
    const BOOL set = SetEvent(event);
    CloseHandle(event);
    return set != FALSE;
}

}  // namespace rel
