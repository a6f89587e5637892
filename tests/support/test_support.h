// tests/support/test_support.h: what many tests need: a fresh folder of their own, the test
// programs built beside them, running a program and reading files back.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

namespace test {

// The folder of the running test program (with a trailing backslash); the build puts every test
// program and helper program there.
std::string ProgramFolder();
// The full path of a program built beside the running test, e.g. ProgramBeside("child.exe").
std::string ProgramBeside(const std::string& fileName);

// A fresh, empty folder under the temporary folder, removed with everything in it when the owner
// goes (read-only attributes are cleared first; links are removed, never followed).
class TempFolder {
public:
    explicit TempFolder(const std::string& hint = "t");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }            // no trailing backslash
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

// Removes a tree without following links; used by TempFolder and by tests that clean up after a
// program under test. Answers true when nothing is left at `path`.
bool RemoveTree(const std::string& path);

bool WriteWholeFile(const std::string& path, const std::string& bytes);
bool ReadWholeFile(const std::string& path, std::string& bytes);
bool Exists(const std::string& path);
bool IsFolder(const std::string& path);
DWORD AttributesOf(const std::string& path);  // INVALID_FILE_ATTRIBUTES when missing

// A started program: its handles are closed when the owner goes; a program still running then is
// terminated, so that a failing test leaves nothing behind.
class Child {
public:
    Child() = default;
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts `commandLine` (passed unchanged) in `folder` (empty: the test's current folder).
    static Child Start(const std::string& commandLine, const std::string& folder = "");
    bool started() const { return process_ != nullptr; }
    DWORD id() const { return id_; }
    HANDLE handle() const { return process_; }
    // Waits up to `milliseconds`; true when the program ended, with its exit code in `exitCode`.
    bool Wait(DWORD milliseconds, DWORD* exitCode = nullptr);
    void Kill();

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// Runs a command line to its end (at most `milliseconds`) and answers its exit code, or
// 0xFFFFFFFE when it could not start or did not end in time (then it is killed).
DWORD RunToEnd(const std::string& commandLine, DWORD milliseconds = 60000, const std::string& folder = "");

// The Unix spelling of a Windows path, through Wine's own conversion; "" off Wine.
std::string UnixPath(const std::string& path);

// Starts a Unix tool through Wine, which runs a program that is no Windows image natively and splits
// its command line by the Windows rules (double quotes group; single quotes pass on literally; no
// shell). Its handle cannot be waited on, so the caller polls for the outcome.
bool RunUnix(const std::string& commandLine);

// Points the running user's roaming application-data folder (the shell-folder registry values) at
// `folder` for the owner's lifetime, then puts the old values back.
class AppDataRedirection {
public:
    explicit AppDataRedirection(const std::string& folder);
    ~AppDataRedirection();
    AppDataRedirection(const AppDataRedirection&) = delete;
    AppDataRedirection& operator=(const AppDataRedirection&) = delete;

private:
    std::string saved_[2];
    DWORD types_[2] = {REG_SZ, REG_SZ};
};

// Milliseconds since an arbitrary start, for measuring waits without the tick count's 16 ms steps.
double NowMilliseconds();

}  // namespace test
