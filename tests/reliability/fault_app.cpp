// fault_app.exe: the application the reliability tests pack as "Velkar\Velkar.exe". It records each
// start as "run-<process id>.txt" in C:\kestrel-rel (outside every install tree), then does what
// "mode.txt" there says:
//   (none or "wait")  stays until the named event "KestrelRelEnd" is set;
//   "crash"           ends at once with an exception code, as a crashed application does;
//   "child"           starts a copy of itself with "/child", which stays as in "wait", and ends at once.
// Every copy ends by itself after a minute, so that none outlives its test.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/owners.h"
#include "tests/support/records.h"

namespace {

constexpr char kRecordFolder[] = "C:\\kestrel-rel\\";
constexpr DWORD kSafetyMilliseconds = 60000;

void StartChild() {
    char program[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    std::string line = std::string("\"") + program + "\" /child";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &created)) {
        KernelHandle thread{created.hThread}, process{created.hProcess};
        WaitForInputIdle(process.get(), 5000);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const char* command = GetCommandLineA();
    const bool child = std::strstr(command, "/child") != nullptr;
    const std::string mode = child ? "wait" : records::ReadSetting(std::string(kRecordFolder) + "mode.txt", "wait");
    records::Write(std::string(kRecordFolder) + "run-" + std::to_string(GetCurrentProcessId()) + ".txt",
                   std::string("command=") + command + "\nmode=" + mode + "\n");

    if (mode == "crash")
        ExitProcess(EXCEPTION_ACCESS_VIOLATION);
    if (mode == "child") {
        StartChild();
        return 0;
    }
    HANDLE end = CreateEventA(nullptr, TRUE, FALSE, "KestrelRelEnd");
    // Waiting with a message queue makes the program idle for the starter's input-idle wait.
    const DWORD until = GetTickCount() + kSafetyMilliseconds;
    for (;;) {
        const DWORD now = GetTickCount();
        const DWORD left = static_cast<LONG>(until - now) > 0 ? until - now : 0;
        if (MsgWaitForMultipleObjects(1, &end, FALSE, left, QS_ALLINPUT) != WAIT_OBJECT_0 + 1)
            break;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
    return 0;
}
