// full_disk_driver.exe CASE APPDATA: one launcher run (launcher_rel_large.exe) with the application-data
// folder APPDATA on the small drive full_disk_test.sh made. CASE "full": the disk has too little
// room; the launcher must end with 0, without a dialog, and leave nothing of its own but the install
// folder. CASE "room": the disk has room; the run must install, start the application and clean up.
// Prints what it saw; the exit code is 0 when every check held.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/reliability/launcher_faults.h"

namespace {

int failures = 0;

void Check(bool condition, const char* what) {
    std::printf("%s: %s\n", condition ? "ok" : "FAILED", what);
    if (!condition)
        ++failures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: full_disk_driver full|room APPDATA\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string appData = argv[2];
    rel::InstallPaths paths(appData);
    rel::Records records;
    {
        test::AppDataRedirection redirection(appData);
        Check(test::ShellAppData() == appData, "the prefix takes the application-data folder");
        test::Child launcher = test::Child::Start(test::Quoted(test::ProgramBeside("launcher_rel_large.exe")));
        Check(launcher.started(), "the launcher starts");
        bool dialog = false, started = false;
        DWORD exitCode = 0xFFFFFFFE;
        test::WaitUntil(
            [&] {
                dialog = dialog || rel::ShowsDialog(launcher.id());
                if (!started && !rel::RecordedStarts().empty()) {
                    started = true;
                    SetEvent(records.end());
                }
                return launcher.Wait(0, &exitCode);
            },
            40000);
        std::printf("the application %s\n", started ? "started" : "did not start");
        Check(exitCode == 0, "the launcher ends with 0");
        Check(!dialog, "no dialog");
        if (mode == "room")
            Check(started, "with room the application starts");
        Check(paths.Gone(), "neither the archive nor the tree is left");
    }
    return failures == 0 ? 0 : 1;
}
