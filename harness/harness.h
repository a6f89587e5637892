// harness/harness.h: what the programs that test, fuzz and measure the launcher share: the programs
// built beside them, scratch folders, whole files read and written, started programs and their
// output, and the clocks. Windows calls only, for programs that run under Wine like the launcher.
#pragma once
#include <windows.h>

#include <string>

#include "base/owners.h"

namespace harness {

// The folder of the running program (with a trailing backslash); the build puts every test, fuzz
// and benchmark program and every helper program there.
std::string ProgramFolder();
// The full path of a program built beside the running one, e.g. ProgramBeside("child.exe").
std::string ProgramBeside(const std::string& fileName);
// `s` in double quotes, as one argument of a command line.
std::string Quoted(const std::string& s);

// A fresh, empty folder under the temporary folder, removed with everything in it when the owner
// goes (read-only attributes are cleared first; links are removed, never followed).
class TempFolder {
public:
    explicit TempFolder(const std::string& hint = "t");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }  // no trailing backslash
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

// Removes a tree without following links. Answers true when nothing is left at `path`.
bool RemoveTree(const std::string& path);

bool WriteWholeFile(const std::string& path, const std::string& bytes);
bool ReadWholeFile(const std::string& path, std::string& bytes);
bool Exists(const std::string& path);
bool IsFolder(const std::string& path);
DWORD AttributesOf(const std::string& path);  // INVALID_FILE_ATTRIBUTES when missing

// A pipe whose write end a started program inherits as its standard output; the reading end stays
// with this program.
struct OutputPipe {
    KernelHandle read;
    KernelHandle write;
    bool Open();
};

// A started program: its handles are closed when the owner goes; a program still running then is
// terminated, so that a failing test leaves nothing behind.
class Child {
public:
    Child() = default;
    ~Child();
    Child(Child&& other) noexcept = default;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts `commandLine` (passed unchanged) in `folder` (empty: the current folder). With `output`,
    // the program writes its standard output there and its standard error to `errors` (null: this
    // program's own); `output` and `errors` must be inheritable.
    static Child Start(const std::string& commandLine, const std::string& folder = "", HANDLE output = nullptr,
                       HANDLE errors = nullptr);
    bool started() const { return static_cast<bool>(process_); }
    DWORD id() const { return id_; }
    HANDLE handle() const { return process_.get(); }
    // Waits up to `milliseconds`; true when the program ended, with its exit code in `exitCode`.
    bool Wait(DWORD milliseconds, DWORD* exitCode = nullptr);
    void Kill(UINT exitCode = 1);

private:
    KernelHandle process_;
    DWORD id_ = 0;
};

// Runs a command line to its end (at most `milliseconds`) and answers its exit code, or
// 0xFFFFFFFE when it could not start or did not end in time (then it is killed).
DWORD RunToEnd(const std::string& commandLine, DWORD milliseconds = 60000, const std::string& folder = "");

// The running user's roaming application-data folder, as the shell reports it.
std::string ShellAppData();

// Milliseconds since an arbitrary start, for measuring waits without the tick count's 16 ms steps.
double NowMilliseconds();
// Milliseconds on the system clock, which the recording applications write into their records.
double SystemMilliseconds();

// The Unix spelling of a Windows path, through Wine's own conversion; "" off Wine.
std::string UnixPath(const std::string& path);

// Starts a Unix tool through Wine, which runs a program that is no Windows image natively and splits
// its command line by the Windows rules (double quotes group; single quotes pass on literally; no
// shell). Its handle cannot be waited on, so the caller polls for the outcome.
bool RunUnix(const std::string& commandLine);

}  // namespace harness
