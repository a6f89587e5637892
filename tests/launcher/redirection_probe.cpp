// redirection_probe.exe REPORT_FOLDER: the real launcher (its declarations and both handlers, carrying
// the end-to-end test payload) with two looks at the file-system redirection of its thread added.
// Each look writes "when=1" to REPORT_FOLDER\report.txt when C:\windows\system32\<marker> is seen, "when=0"
// when not. Under WoW64 the test puts that marker only into the 32-bit system folder (syswow64), which
// a 32-bit program sees there while the redirection is on, and not while it is off:
//   created  during the created handler's three-second wait, after its call to the routine;
//   watch    in the clean-up routine, which EndProgram runs right after the watch handler's call.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "launcher/launcher_program.h"

namespace {

constexpr char kMarker[] = "C:\\windows\\system32\\kestrel-redirection-marker.txt";

char reportPath[MAX_PATH * 2] = "report.txt";
void (*launcherStartRoutine)() = nullptr;
bool createdLooked = false;

void Look(const char* when) {
    const bool seen = GetFileAttributesA(kMarker) != INVALID_FILE_ATTRIBUTES;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%s=%d\n", when, seen ? 1 : 0);
    HANDLE file = CreateFileA(reportPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

// A thread timer: its messages are dispatched wherever the launcher pumps. The install folder is looked
// up by the created handler after its call, and the first pump after that is the lock's or the
// three-second wait's.
void CALLBACK LookWhileInstalling(HWND, UINT, UINT_PTR timer, DWORD) {
    if (createdLooked || !InstallFolderLookedUp())
        return;
    createdLooked = true;
    KillTimer(nullptr, timer);
    Look("created");
}

void StartRoutine() {
    launcherStartRoutine();
    SetTimer(nullptr, 0, 100, LookWhileInstalling);
}

void Cleanup() {
    Look("watch");
    ReleaseRun();
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (__argc > 1)
        std::snprintf(reportPath, sizeof reportPath, "%s\\report.txt", __argv[1]);
    ProgramDeclarations declarations = LauncherDeclarations();
    launcherStartRoutine = declarations.startRoutine;
    declarations.startRoutine = StartRoutine;
    declarations.cleanup = Cleanup;
    return RunProgram(declarations);
}
