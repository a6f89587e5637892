// recording_app.exe: the application the end-to-end tests pack as "Velkar\Velkar.exe". It records how
// it was started, and how many files its folder held then (subfolders included), in the record folder
// C:\kestrel-e2e (outside every install tree) and stays until the test tells it to end: the named
// event "KestrelE2EEnd-<process id>" ends this copy, "KestrelE2EEndAll" ends every copy. "live.txt" in
// the record folder gives its life in milliseconds (0: end at once); without it a copy ends by itself
// after a minute, so that none outlives its test.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/records.h"

namespace {

constexpr char kRecordFolder[] = "C:\\kestrel-e2e\\";
constexpr DWORD kSafetyMilliseconds = 60000;

unsigned long long Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// The files below `folder`, subfolders included: what of the tree stood when the application started.
int CountFiles(const std::string& folder) {
    int count = 0;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..")
            continue;
        count += (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? CountFiles(folder + "\\" + name) : 1;
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return count;
}

DWORD Life() {
    const std::string text =
        records::ReadSetting(std::string(kRecordFolder) + "live.txt", std::to_string(kSafetyMilliseconds));
    return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const unsigned long long start = Now();
    const DWORD id = GetCurrentProcessId();
    char folder[MAX_PATH] = "", program[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, folder);
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    char startText[32];
    std::snprintf(startText, sizeof startText, "%llu", start);
    // The events exist before the record does: a test that has read the record may signal at once.
    HANDLE events[2] = {
        CreateEventA(nullptr, TRUE, FALSE, ("KestrelE2EEnd-" + std::to_string(id)).c_str()),
        CreateEventA(nullptr, TRUE, FALSE, "KestrelE2EEndAll"),
    };
    std::string programFolder = program;
    programFolder.erase(programFolder.find_last_of('\\'));
    records::Write(std::string(kRecordFolder) + "run-" + std::to_string(id) + ".txt",
                   std::string("command=") + GetCommandLineA() + "\nfolder=" + folder + "\nprogram=" + program +
                       "\nstart=" + startText + "\nfiles=" + std::to_string(CountFiles(programFolder)) + "\n");
    // Waiting with a message queue makes the program idle for the starter's input-idle wait, as a
    // real application with a window would be.
    const DWORD end = GetTickCount() + Life();
    for (;;) {
        const DWORD now = GetTickCount();
        const DWORD left = static_cast<LONG>(end - now) > 0 ? end - now : 0;
        const DWORD woke = MsgWaitForMultipleObjects(2, events, FALSE, left, QS_ALLINPUT);
        if (woke != WAIT_OBJECT_0 + 2)
            break;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
    return 0;
}
