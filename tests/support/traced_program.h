// tests/support/traced_program.h: a started program whose lines written with OutputDebugStringA (the
// launcher's trace for support) the test reads as they come, through the system's debug-output buffer
// (DBWIN_BUFFER, as a debug-output viewer reads it), and which the test can have stopped at a line of
// its choice. A test then waits for what the program reports, not for a time that a busy machine may
// overrun. One reader serves every traced program of the test process and tells them apart by
// process id. (The debugging interface would stop the program at each line by itself, but Wine run
// through qemu delivers no debug events and crashes the debuggee.)
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "base/owners.h"

namespace test {

class TracedProgram {
public:
    TracedProgram();
    ~TracedProgram();  // a program still running is terminated
    TracedProgram(const TracedProgram&) = delete;
    TracedProgram& operator=(const TracedProgram&) = delete;

    // Starts `commandLine` (passed unchanged). When the program writes a line holding `holdAt`
    // (empty: never), the reader stops its first thread at once, before it answers the line, and
    // it stays stopped until Release(). The program writes its next line only after the reader has
    // taken in this one, so it has not got past the next line; what it does between the two goes on
    // until the reader has stopped it (a thread's wake-up on an event: the launcher's one-second wait
    // after its decision is far longer).
    bool Start(const std::string& commandLine, const std::string& holdAt = "");
    bool started() const { return static_cast<bool>(process_); }
    DWORD id() const { return id_; }
    HANDLE handle() const { return process_.get(); }

    // The lines written so far, without their line ends.
    std::vector<std::string> Lines() const;
    // When line `index` was taken in (harness::NowMilliseconds).
    double LineTime(std::size_t index) const;
    // Waits up to `milliseconds` for a line holding `part`, among the lines from index `from` on;
    // answers its index, or -1.
    int WaitForLine(const std::string& part, DWORD milliseconds, std::size_t from = 0) const;
    // Waits up to `milliseconds` for the program to stop at its `holdAt` line.
    bool WaitUntilHeld(DWORD milliseconds) const;
    void Release();

    // Stops and resumes the program's first thread (where the launcher does everything).
    bool Pause();
    bool Resume();

    // Waits up to `milliseconds`; true when the program ended, with its exit code in `exitCode`.
    bool Wait(DWORD milliseconds, DWORD* exitCode = nullptr);
    void Kill(UINT exitCode = 1);

    // Called by the reader with each line the program wrote.
    void TakeLine(const std::string& line);

private:
    std::string holdAt_;
    mutable CRITICAL_SECTION lock_;
    std::vector<std::string> lines_;
    std::vector<double> times_;
    KernelHandle lineWritten_;  // auto-reset: a line was added
    KernelHandle held_;         // manual: the program was stopped at its hold line
    bool holding_ = false;
    KernelHandle process_, thread_;
    DWORD id_ = 0;
};

}  // namespace test
