// tests/reliability/launcher_faults.h: what the reliability tests share: the records of fault_app.exe,
// the paths the launcher writes under an application-data folder, and the applications' end.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "base/owners.h"
#include "tests/support/test_support.h"

namespace rel {

constexpr char kRecords[] = "C:\\kestrel-rel";
constexpr char kArchiveName[] = "檀溪舟楫.zip";
constexpr char kEndEvent[] = "KestrelRelEnd";
// The longest a wait of these tests goes on before it counts as a hang. The tests wait for what they
// wait for (a record, a file, a process end, a trace line), never for a time a busy or emulated
// machine may overrun; this bound only tells a launcher that hangs from one that is slow.
constexpr DWORD kHangGuard = 90000;

// The process ids of fault_app.exe's recorded starts.
inline std::vector<DWORD> RecordedStarts() {
    std::vector<DWORD> ids;
    WIN32_FIND_DATAA entry;
    FindHandle search{FindFirstFileA((std::string(kRecords) + "\\run-*.txt").c_str(), &entry)};
    if (!search)
        return ids;
    do
        ids.push_back(std::stoul(std::string(entry.cFileName).substr(4)));
    while (FindNextFileA(search.get(), &entry));
    return ids;
}

// True when the process shows a dialog (a message box is of class "#32770").
inline bool ShowsDialog(DWORD processId) { return test::WindowOf(processId, "#32770") != nullptr; }

// The install folder under an application-data folder and the paths the launcher writes there.
struct InstallPaths {
    std::string kestrelworks;
    explicit InstallPaths(const std::string& appData) : kestrelworks(appData + "\\Kestrelworks") {}
    std::string Archive() const { return kestrelworks + "\\" + kArchiveName; }
    std::string Tree() const { return kestrelworks + "\\Velkar"; }
    std::string Application() const { return Tree() + "\\Velkar.exe"; }
    bool Gone() const { return !test::Exists(Archive()) && !test::Exists(Tree()); }
};

// Sets fault_app.exe's mode for the next start ("wait", "crash", "child").
inline bool SetMode(const std::string& mode) {
    return test::WriteWholeFile(std::string(kRecords) + "\\mode.txt", mode);
}

inline bool EndApplications() { return test::SignalEvent(kEndEvent); }

// A fresh record folder and the applications' end event (reset), for one run; when the owner goes,
// every recorded application is ended and waited for, and the records are removed.
class Records {
public:
    Records() {
        test::RemoveTree(kRecords);
        made_ = CreateDirectoryA(kRecords, nullptr) != FALSE;
        end_.reset(CreateEventA(nullptr, TRUE, FALSE, kEndEvent));
        ResetEvent(end_.get());
    }
    ~Records() {
        EndAll();
        end_.reset();
        test::RemoveTree(kRecords);
    }
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;

    bool ready() const { return made_ && end_; }
    // Sets the end event and waits for every recorded application to end.
    void EndAll() {
        SetEvent(end_.get());
        for (DWORD id : RecordedStarts())
            test::ProcessGone(id, 5000);
    }
    HANDLE end() const { return end_.get(); }

private:
    bool made_ = false;
    KernelHandle end_;
};

}  // namespace rel
