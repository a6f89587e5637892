// tests/support/test_support.h: what many tests need. The harness (harness/harness.h: a fresh folder
// of their own, the programs built beside them, started programs, whole files) answers to test::
// here too; beside it: Unix tools through Wine, the application-data folder redirected, waiting,
// and the windows and processes of programs watched from outside.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "harness/harness.h"

namespace test {

using namespace harness;

// `ansi` in the ANSI code page as UTF-16, for the names the tests hand to the held-folder functions.
std::wstring Wide(const std::string& ansi);

// Points the running user's roaming application-data folder (the shell-folder registry values) at
// `folder` for the owner's lifetime, then puts the old values back (and removes a value that was
// not there before).
class AppDataRedirection {
public:
    explicit AppDataRedirection(const std::string& folder);   // in the ANSI code page
    explicit AppDataRedirection(const std::wstring& folder);  // any name, also one the code page cannot spell
    ~AppDataRedirection();
    AppDataRedirection(const AppDataRedirection&) = delete;
    AppDataRedirection& operator=(const AppDataRedirection&) = delete;

private:
    std::wstring saved_[2];
    DWORD types_[2] = {REG_SZ, REG_SZ};
    bool had_[2] = {false, false};
};

// Calls `done` until it answers true or `milliseconds` pass, sleeping `step` milliseconds between
// calls; answers whether it did.
template <typename Done>
bool WaitUntil(Done done, DWORD milliseconds, DWORD step = 10) {
    const double end = NowMilliseconds() + milliseconds;
    for (;;) {
        if (done())
            return true;
        if (NowMilliseconds() > end)
            return false;
        Sleep(step);
    }
}

// RemoveTree, tried again every 100 ms for up to `attempts` tries while a program that just ended
// may still hold a file; answers true when nothing is left.
bool RemoveTreePatiently(const std::string& path, int attempts = 20);

// A Unix symbolic link `link` to `target`, made by /bin/ln; true once Windows calls see it. Wine lists
// a link to a folder as a folder link (0x410) but opens through to its target whatever the flags.
bool MakeUnixLink(const std::string& target, const std::string& link);
// Removes such a link (Wine cannot remove a folder symbolic link through Windows calls); true once it
// is gone.
bool RemoveUnixLink(const std::string& link);

// A small tree at `root`: top.txt ("1"), a\one.txt ("2", hidden and system), a\b\deep.bin ("3"),
// c\檀溪.txt ("4"). False when any part could not be made.
bool MakeSampleTree(const std::string& root);
// True when the tree MakeSampleTree made at `root` is all there, every file with its bytes.
bool SampleTreeWhole(const std::string& root);

// The top-level windows of process `processId` of class `className` (null: any) and, when `title`
// is given, with exactly that title, in the system's order.
std::vector<HWND> WindowsOf(DWORD processId, const char* className, const char* title = nullptr);
// The first of them, or null.
HWND WindowOf(DWORD processId, const char* className, const char* title = nullptr);
// True when the window or one of its child windows is visible (or marked WS_VISIBLE).
bool AnyPartVisible(HWND window);

// A window of the test's own class `className` (registered on first use with `procedure`), for
// messages and timers to go to; `parent` HWND_MESSAGE makes a message-only window.
HWND MakeWindow(const char* className, WNDPROC procedure, DWORD style = 0, HWND parent = nullptr);
// Takes a queued WM_QUIT, if there is one; answers whether one was there (its code in `code`).
bool TakeQuit(WPARAM* code = nullptr);
// Removes every message waiting for the thread, unhandled.
void DropQueuedMessages();

// The ids of the running processes named `name` (e.g. "Velkar.exe"), in any letter case.
std::vector<DWORD> ProcessesNamed(const char* name);
// Waits for a process by id; true when it ended (or was already gone).
bool ProcessGone(DWORD id, DWORD milliseconds);
// Ends every process named `name` that has not ended by itself within `grace` milliseconds.
void EndProcessesNamed(const char* name, DWORD grace = 0);
// Sets the named event another program waits on; false when there is none.
bool SignalEvent(const std::string& name);

}  // namespace test
