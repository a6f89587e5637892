// launcher_seams.exe [OPTIONS]: the real launcher (its declarations and both handlers, carrying the
// end-to-end test payload) with the seams its tests need, set before the program runs:
//   --token elevated|unelevated  the answer to "is the token elevated?" (Wine reports every token
//                                elevated, so a test that needs an unelevated run says so here)
//   --report FILE                lines of what the seams saw, appended to FILE
//   --label                      writes "label=<SDDL>" with the security descriptor an elevated run
//                                makes its tree with
//   --after-write COMMAND        runs COMMAND to its end once Velkar.exe was written and closed, before
//                                the extraction opens it again to check it ("after-write=<exit code>")
//   --no-appdata                 the application-data folder's look-up fails
//   --wait-for PATH              a command is done once PATH exists (Wine starts a Unix program without
//                                a process handle to wait on); its exit code then reads 0
//   --during-wait COMMAND        runs COMMAND to its end inside the three-second wait, once the install
//                                is done ("during-wait=<exit code>")
//   --snapshot-fails             every process list the watch asks for cannot be taken
//   --watch-period MS            the watch looks every MS milliseconds instead of every second
//   --pause-at STEP --until PATH at the clean-up's step STEP ("clean-up-decided", "clean-up-locked") the
//                                launcher stops, handling nothing, until PATH exists (at most two minutes):
//                                a stop that, unlike one at a trace line, never leaves the debug-output
//                                buffer's mutex taken, so other traced programs go on writing
//   --volume-flags HEX           the install folder's volume reports these flags (FILE_PERSISTENT_ACLS is
//                                0x8: without it the volume keeps no access lists, as FAT and exFAT)
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "base/held_folder.h"
#include "launcher/launcher_program.h"

namespace {

std::string reportPath;
std::string afterWrite, duringWait, waitFor;
bool duringWaitRan = false;
void (*launcherStartRoutine)() = nullptr;

void Report(const std::string& line) {
    if (reportPath.empty())
        return;
    HANDLE file = CreateFileA(reportPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

DWORD RunToEnd(const std::string& command) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    std::string line = command;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &created))
        return 0xFFFFFFFF;
    if (!waitFor.empty()) {
        for (int tries = 0; tries < 600 && GetFileAttributesA(waitFor.c_str()) == INVALID_FILE_ATTRIBUTES; ++tries)
            Sleep(50);
        if (created.hProcess && GetProcessId(created.hProcess) == created.dwProcessId) {
            CloseHandle(created.hThread);
            CloseHandle(created.hProcess);
        }
        return GetFileAttributesA(waitFor.c_str()) == INVALID_FILE_ATTRIBUTES ? 0xFFFFFFFD : 0;
    }
    WaitForSingleObject(created.hProcess, INFINITE);
    DWORD code = 0xFFFFFFFE;
    GetExitCodeProcess(created.hProcess, &code);
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return code;
}

bool Unelevated() { return false; }
bool NoAppData(WideText&) { return false; }
bool Elevated() { return true; }
bool SnapshotFails(ProcessList&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
}

// Writes each entry of the descriptor's system access list as "label=TYPE,FLAGS,MASK,SID" (numbers in
// hex), read from the descriptor itself: Wine's SDDL writer leaves labels out.
void SeeLabel(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL sacl = nullptr;
    if (!GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted) || !present || !sacl) {
        Report("label=none");
        return;
    }
    for (DWORD i = 0; i < sacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(sacl, i, &ace))
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        const auto* label = static_cast<const SYSTEM_MANDATORY_LABEL_ACE*>(ace);
        wchar_t* sid = nullptr;
        char sidText[128] = "?";
        if (ConvertSidToStringSidW(const_cast<DWORD*>(&label->SidStart), &sid)) {
            WideCharToMultiByte(CP_ACP, 0, sid, -1, sidText, sizeof sidText, nullptr, nullptr);
            LocalFree(sid);
        }
        char line[256];
        std::snprintf(line, sizeof line, "label=%x,%x,%lx,%s", header->AceType, header->AceFlags, label->Mask, sidText);
        Report(line);
    }
}

void AtStep(DiskStep step, HANDLE, const wchar_t* name) {
    if (step == DiskStep::FileWritten && !afterWrite.empty() && _wcsicmp(name, L"Velkar.exe") == 0)
        Report("after-write=" + std::to_string(RunToEnd(afterWrite)));
}

// A thread timer, set as the three-second wait begins: its messages are dispatched there.
void CALLBACK DuringWait(HWND, UINT, UINT_PTR timer, DWORD) {
    if (duringWaitRan)
        return;
    duringWaitRan = true;
    KillTimer(nullptr, timer);
    Report("during-wait=" + std::to_string(RunToEnd(duringWait)));
}

void StartWaitBegins() {
    if (!duringWait.empty())
        SetTimer(nullptr, 0, 100, DuringWait);
}

std::string pauseAt, pauseUntil;
void CleanUpStep(const char* step) {
    if (pauseAt != step)
        return;
    Report(std::string("paused-at=") + step);
    for (int tries = 0; tries < 2400 && GetFileAttributesA(pauseUntil.c_str()) == INVALID_FILE_ATTRIBUTES; ++tries)
        Sleep(50);
}

DWORD volumeFlags = 0;
bool VolumeFlags(DWORD& flags) {
    flags = volumeFlags;
    return true;
}

void StartRoutine() { launcherStartRoutine(); }

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    LauncherSeams seams;
    for (int i = 1; i < __argc; ++i) {
        const std::string option = __argv[i];
        const std::string value = i + 1 < __argc ? __argv[i + 1] : "";
        if (option == "--token") {
            seams.elevated = value == "unelevated" ? Unelevated : Elevated;
            ++i;
        } else if (option == "--report") {
            reportPath = value;
            ++i;
        } else if (option == "--wait-for") {
            waitFor = value;
            ++i;
        } else if (option == "--no-appdata") {
            seams.lookUpAppData = NoAppData;
        } else if (option == "--label") {
            seams.treeSecurity = SeeLabel;
        } else if (option == "--after-write") {
            afterWrite = value;
            ++i;
        } else if (option == "--during-wait") {
            duringWait = value;
            ++i;
        } else if (option == "--snapshot-fails") {
            seams.listProcesses = SnapshotFails;
        } else if (option == "--pause-at") {
            pauseAt = value;
            seams.cleanUpStep = CleanUpStep;
            ++i;
        } else if (option == "--until") {
            pauseUntil = value;
            ++i;
        } else if (option == "--volume-flags") {
            volumeFlags = std::strtoul(value.c_str(), nullptr, 16);
            seams.volumeFlags = VolumeFlags;
            ++i;
        } else if (option == "--watch-period") {
            seams.watchPeriodMilliseconds = std::atoi(value.c_str());
            ++i;
        }
    }
    seams.startWaitBegins = StartWaitBegins;
    SetLauncherSeams(seams);
    if (!afterWrite.empty())
        SetDiskSeam(AtStep);
    ProgramDeclarations declarations = LauncherDeclarations();
    launcherStartRoutine = declarations.startRoutine;
    declarations.startRoutine = StartRoutine;
    return RunProgram(declarations);
}
