// full_disk_driver.exe CASE APPDATA: one launcher run (launcher_rel_large.exe) with the application-data
// folder APPDATA on the small drive full_disk_test.sh made. CASE "full": the disk has too little room
// for the archive or for the tree; the install fails: the launcher must start nothing, end with the
// install-failure code (1603), without a dialog, leave nothing of its own but the install folder, and
// its trace must name the error (ERROR_DISK_FULL, 112, with the entry where the extraction stopped).
// CASE "room": the disk has room; the run must install, start the application and clean up, ending
// with 0. Prints what it saw; the exit code is 0 when every check held.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/reliability/launcher_faults.h"
#include "tests/support/traced_program.h"

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
        test::TracedProgram launcher;
        Check(launcher.Start(test::Quoted(test::ProgramBeside("launcher_rel_large.exe"))), "the launcher starts");
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
        std::printf("the application %s; the launcher ended with %lu\n", started ? "started" : "did not start",
                    exitCode);
        for (const std::string& line : launcher.Lines())
            if (line.find("install failed") != std::string::npos)
                std::printf("  %s\n", line.c_str());
        Check(!dialog, "no dialog");
        if (mode == "room") {
            Check(exitCode == 0, "the launcher ends with 0");
            Check(started, "with room the application starts");
        } else {
            Check(exitCode == 1603, "the launcher ends with the install-failure code 1603");
            Check(!started, "without room nothing starts");
            Check(launcher.WaitForLine("(error 112)", 0) >= 0, "the trace names the error: the disk is full");
        }
        Check(paths.Gone(), "neither the archive nor the tree is left");
    }
    return failures == 0 ? 0 : 1;
}
