// launcher_bench_driver RUNS ARCHIVE: the launcher's three figures on the full-size test payload, each
// beside its limit or baseline measured in the same run on this machine:
//   1. launcher start to application start, less the fixed 3,000 ms, beside a bare GUI program's start
//      + writing the archive + the inflate limit (inflate_limit.exe of the extraction benchmark);
//   2. the launcher's processor time over a run in which the application lives ten seconds, beside
//      baseline_run.exe's (the same start, archive write and inflate limit, then as long idle);
//   3. its peak working set beside the baseline's and a bare GUI program's.
// With KESTREL_EMULATED set (scripts/bench-launcher.sh sets it where 32-bit programs run through qemu),
// it says that the figures mean little there, still measures them all and gives every run longer.
// A run that fails (its time is up, it ends with another exit code, or it shows a message box, which
// from the launcher is its fatal report) counts for nothing: each figure that depends on it says "no
// successful run" and why. The exit status is 1 when no run of the launcher succeeded, else 0.
// ARCHIVE is the ZIP that launcher_bench.exe carries. Programs are found beside the driver; the
// application is the end-to-end tests' recording application, which records into C:\kestrel-e2e.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "base/owners.h"
#include "harness/harness.h"

namespace {

constexpr char kRecords[] = "C:\\kestrel-e2e";
constexpr double kStartDelay = 3000;
constexpr DWORD kApplicationLife = 10000;
// The launcher's other fixed waits in a run: the settling pause before its clean-up and up to one
// watch period; with the start delay and the application's life, how long the baseline idles when no
// run of the launcher gave its wall time.
constexpr double kFixedWaits = 1000 + 1000;
// Every run is ended after two minutes on a machine that runs 32-bit programs natively, several
// times the longest course (the ten-second run waits 3 s, then 10 s, then at least 1 s).
constexpr double kRunLimit = 120000;
// Under emulation a process start costs about a second instead of some 40 ms and the inflate work is
// translated code: the limits grow by this factor there, so that a run that would end is not cut short.
constexpr double kEmulatedSlowdown = 4;
// How long a program that was told to close its fatal report is given to end by itself.
constexpr double kCloseLimit = 10000;

using harness::ProgramBeside;
using harness::Quoted;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

double Seconds(const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
}

std::string Utf8(const wchar_t* text) {
    char bytes[4096] = "";
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
    return bytes;
}

// The message box a process shows (class "#32770"), or null. The launcher shows nothing else: a box
// of its is its fatal report, and nobody is there to close it, so its run would wait out its limit.
struct BoxSearch {
    DWORD processId;
    HWND box;
};

BOOL CALLBACK MatchBox(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<BoxSearch*>(parameter);
    DWORD owner = 0;
    wchar_t className[16] = L"";
    GetWindowThreadProcessId(window, &owner);
    GetClassNameW(window, className, 16);
    if (owner != search->processId || std::wcscmp(className, L"#32770") != 0)
        return TRUE;
    search->box = window;
    return FALSE;
}

HWND ShownBox(DWORD processId) {
    BoxSearch search{processId, nullptr};
    EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
    return search.box;
}

// A message box's caption and text (its static control 0xFFFF) on one line, in UTF-8 as the driver prints.
std::string BoxText(HWND box) {
    wchar_t caption[256] = L"", text[2048] = L"";
    GetWindowTextW(box, caption, 256);
    if (HWND control = GetDlgItem(box, 0xFFFF))
        GetWindowTextW(control, text, 2048);
    std::string line = "[";
    line += Utf8(caption);
    line += "] ";
    for (const char c : Utf8(text)) {
        if (c == '\n' || c == '\r') {
            if (line.back() != ' ')
                line += ' ';
        } else {
            line += c;
        }
    }
    while (line.back() == ' ')
        line.pop_back();
    return line;
}

struct Finished {
    bool ok = false;      // ended by itself in time with exit code 0
    std::string failure;  // why not, when not
    double wall = 0;      // ms
    double cpu = 0;       // s, user + kernel
    SIZE_T peak = 0;      // bytes
};

// Runs a command line to its end, for at most the run limit times `slowdown`, with its figures. Wine answers no memory
// figures for a process that has ended, so with `sampleMemory` the peak is read every 20 ms while it
// runs (the peak only grows, so the last reading holds it); without, the driver only waits in steps
// of a quarter second, so as not to take the CPU from the program it times. Every half second or so
// it looks for a message box of the program's: one is closed, the program given time to end, and
// the run counts as failed with the box's text.
Finished RunMeasured(const std::string& commandLine, double slowdown, double* startedAt = nullptr,
                     bool sampleMemory = false) {
    const double limit = kRunLimit * slowdown;
    Finished result;
    if (startedAt)
        *startedAt = harness::SystemMilliseconds();
    const double start = harness::NowMilliseconds();
    // The programs' own output (inflate_limit.exe prints its figures) goes nowhere, not between the
    // driver's lines; what they write to standard error still shows.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    FileHandle nul{CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr)};
    harness::Child child = harness::Child::Start(commandLine, "", nul.get());
    if (!child.started()) {
        result.failure = "could not be started";
        return result;
    }
    PROCESS_MEMORY_COUNTERS memory{};
    bool ended = false;
    HWND box = nullptr;
    for (int step = 1; !ended; ++step) {
        if (sampleMemory && GetProcessMemoryInfo(child.handle(), &memory, sizeof memory))
            result.peak = std::max(result.peak, memory.PeakWorkingSetSize);
        ended = child.Wait(sampleMemory ? 20 : 250);
        if (ended || harness::NowMilliseconds() - start >= limit)
            break;
        if ((sampleMemory ? step % 25 : step % 2) == 0 && (box = ShownBox(child.id())) != nullptr)
            break;
    }
    result.wall = harness::NowMilliseconds() - start;
    char text[64];
    if (box) {
        std::snprintf(text, sizeof text, "showed a message box after %.1f s: ", result.wall / 1000);
        result.failure = text + BoxText(box);
        // Closed as its OK button would close it, so that the program ends its own way.
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
        ended = child.Wait(static_cast<DWORD>(kCloseLimit * slowdown));
    } else if (!ended) {
        std::snprintf(text, sizeof text, "did not end within %.0f s", limit / 1000);
        result.failure = text;
    }
    if (!ended)
        TerminateProcess(child.handle(), 1);
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(child.handle(), &created, &exited, &kernel, &user))
        result.cpu = Seconds(kernel) + Seconds(user);
    if (GetProcessMemoryInfo(child.handle(), &memory, sizeof memory))
        result.peak = std::max(result.peak, memory.PeakWorkingSetSize);
    DWORD exitCode = 0;
    GetExitCodeProcess(child.handle(), &exitCode);
    if (result.failure.empty() && exitCode != 0)
        result.failure = "ended with exit code " + std::to_string(static_cast<long>(exitCode));
    result.ok = result.failure.empty();
    return result;
}

// The application's recorded start (system milliseconds), or 0 when none recorded.
double ApplicationStart() {
    WIN32_FIND_DATAA entry;
    if (!FindHandle{FindFirstFileA((std::string(kRecords) + "\\run-*.txt").c_str(), &entry)})
        return 0;
    std::string bytes;
    harness::ReadWholeFile(std::string(kRecords) + "\\" + entry.cFileName, bytes);
    std::size_t at = bytes.find("start=");
    return at == std::string::npos ? 0 : std::stod(bytes.substr(at + 6)) / 10000.0;
}

void FreshRecords(DWORD life) {
    harness::RemoveTree(kRecords);
    CreateDirectoryA(kRecords, nullptr);
    harness::WriteWholeFile(std::string(kRecords) + "\\live.txt", std::to_string(life));
}

// A measured part: the readings of the runs that succeeded and why the others failed.
struct Readings {
    std::vector<double> values;
    std::vector<std::string> failures;
    void Add(const Finished& run, double value) {
        if (run.ok)
            values.push_back(value);
        else
            failures.push_back(run.failure);
    }
    bool measured() const { return !values.empty(); }
    double median() const { return Median(values); }
};

// `value` as `format` shows it, or that no run gave one.
std::string Figure(bool measured, const char* format, double value) {
    if (!measured)
        return "no successful run";
    char text[96];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A run's processor time over its wall time, or why it gave none.
std::string ProcessorTime(const Finished& run) {
    if (!run.ok)
        return "no successful run: " + run.failure;
    char text[96];
    std::snprintf(text, sizeof text, "%.3f s over %.1f s wall", run.cpu, run.wall / 1000);
    return text;
}

// One line for each different reason the runs of `what` failed, with how many runs it stopped.
void PrintFailures(const char* what, const Readings& readings) {
    std::vector<std::string> shown;
    for (const std::string& failure : readings.failures) {
        if (std::find(shown.begin(), shown.end(), failure) != shown.end())
            continue;
        shown.push_back(failure);
        const auto times = std::count(readings.failures.begin(), readings.failures.end(), failure);
        std::printf("   %s failed in %d of %d runs: %s\n", what, static_cast<int>(times),
                    static_cast<int>(readings.failures.size() + readings.values.size()), failure.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: launcher_bench_driver RUNS ARCHIVE\n");
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[1]));
    const std::string archive = argv[2];
    const std::string folder = harness::ShellAppData() + "\\Kestrelworks";
    const bool emulated = GetEnvironmentVariableA("KESTREL_EMULATED", nullptr, 0) > 0;
    const double slowdown = emulated ? kEmulatedSlowdown : 1;
    // The payload is mapped, not read into a growing string: growing one to 29 MB takes a block twice
    // the size beside the old one, and under emulation the 32-bit address space (shared with qemu's
    // own reservations) has no such free range, so the read ended in std::bad_alloc.
    FileHandle source{CreateFileA(archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
    KernelHandle mapping{source ? CreateFileMappingA(source.get(), nullptr, PAGE_READONLY, 0, 0, nullptr) : nullptr};
    const void* payload = mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (!payload) {
        std::fprintf(stderr, "cannot map %s (error %lu)\n", archive.c_str(), GetLastError());
        return 1;
    }
    const DWORD payloadSize = GetFileSize(source.get(), nullptr);
    const double payloadMb = payloadSize / 1048576.0;

    // The bare GUI program's working set, from a run of its own: sampling takes processor time.
    const Finished bareAlone = RunMeasured(Quoted(ProgramBeside("bare_gui.exe")), slowdown, nullptr, true);

    // Each round measures every part once, in turn, so that a change in the machine's load while the
    // benchmark runs falls on all of them alike.
    Readings bare, write, inflate, startToStart;
    const std::string written = folder + "\\write-limit.zip";
    for (int run = 0; run < runs; ++run) {
        // The bare GUI program's start.
        const Finished bareRun = RunMeasured(Quoted(ProgramBeside("bare_gui.exe")), slowdown);
        bare.Add(bareRun, bareRun.wall);

        // Writing the archive: one WriteFile of the whole payload into the install folder, and the close.
        harness::RemoveTree(folder);
        CreateDirectoryA(folder.c_str(), nullptr);
        const double start = harness::NowMilliseconds();
        FileHandle file{
            CreateFileA(written.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
        DWORD done = 0;
        Finished writeRun;
        writeRun.ok =
            file && WriteFile(file.get(), payload, payloadSize, &done, nullptr) && done == payloadSize && file.close();
        writeRun.wall = harness::NowMilliseconds() - start;
        if (!writeRun.ok)
            writeRun.failure = "the write failed (error " + std::to_string(GetLastError()) + ")";
        write.Add(writeRun, writeRun.wall);
        (void)file.close();
        DeleteFileA(written.c_str());

        // The inflate limit of the extraction benchmark, into the launcher's own destination.
        const Finished inflateRun = RunMeasured(
            Quoted(ProgramBeside("inflate_limit.exe")) + " " + Quoted(archive) + " " + Quoted(folder), slowdown);
        inflate.Add(inflateRun, inflateRun.wall);

        // The launcher with an application that ends at once: start to start.
        harness::RemoveTree(folder);
        FreshRecords(0);
        double launched = 0;
        Finished launcherRun = RunMeasured(Quoted(ProgramBeside("launcher_bench.exe")), slowdown, &launched);
        const double applicationStart = ApplicationStart();
        if (launcherRun.ok && applicationStart == 0) {
            launcherRun.ok = false;
            launcherRun.failure = "ended with exit code 0, but the application recorded no start";
        }
        startToStart.Add(launcherRun, applicationStart - launched - kStartDelay);
    }

    // One run in which the application lives ten seconds: processor time and peak working set.
    harness::RemoveTree(folder);
    FreshRecords(kApplicationLife);
    const Finished tenSeconds = RunMeasured(Quoted(ProgramBeside("launcher_bench.exe")), slowdown, nullptr, true);
    harness::RemoveTree(folder);
    harness::RemoveTree(kRecords);

    const bool limitMeasured = bare.measured() && write.measured() && inflate.measured();
    const double bareMs = bare.median(), writeMs = write.median(), inflateMs = inflate.median();
    const double limit = bareMs + writeMs + inflateMs;
    // The baseline idles for the rest of the launcher's run, so both end after as long a time; without
    // a run of the launcher, for as long as its fixed waits and the application's life.
    const double idle = tenSeconds.ok && limitMeasured ? std::max(0.0, tenSeconds.wall - limit)
                                                       : kStartDelay + kApplicationLife + kFixedWaits;
    const Finished baseline = RunMeasured(Quoted(ProgramBeside("baseline_run.exe")) + " " + Quoted(archive) + " " +
                                              Quoted(folder) + " " + std::to_string(static_cast<long>(idle)),
                                          slowdown, nullptr, true);
    harness::RemoveTree(folder);

    std::printf("payload %.1f MB (%lu bytes); medians of %d runs; pinned to one CPU\n", payloadMb,
                static_cast<unsigned long>(payloadSize), runs);
    if (emulated)
        std::printf(
            "EMULATED: 32-bit programs run through qemu here. The figures mean little: each process\n"
            "start costs the emulator's start-up (about a second), the inflate work is translated code,\n"
            "working sets include the emulator's own memory, and a 32-bit process has far less address\n"
            "space to allocate from than on Windows. Runs are ended after %.0f s, %.0f times the native\n"
            "limit. Judge the launcher on a machine that runs 32-bit programs natively.\n",
            kRunLimit * slowdown / 1000, slowdown);

    const bool started = startToStart.measured();
    const double measured = startToStart.median();
    std::printf("1. launcher start to application start - 3000 ms: %s\n", Figure(started, "%.1f ms", measured).c_str());
    std::printf("   limit: bare GUI start %s + archive write %s + inflate limit %s = %s\n",
                Figure(bare.measured(), "%.1f", bareMs).c_str(), Figure(write.measured(), "%.1f", writeMs).c_str(),
                Figure(inflate.measured(), "%.1f", inflateMs).c_str(), Figure(limitMeasured, "%.1f ms", limit).c_str());
    std::printf("   ratio: %s (goal <= 1.15)\n", Figure(started && limitMeasured, "%.3f", measured / limit).c_str());
    // The launcher's course holds two process starts, its own and the application's; the limit above
    // counts one.
    std::printf("   with the application's own start counted as a second bare start: limit %s, ratio %s\n",
                Figure(limitMeasured, "%.1f ms", limit + bareMs).c_str(),
                Figure(started && limitMeasured, "%.3f", measured / (limit + bareMs)).c_str());
    PrintFailures("the launcher", startToStart);
    PrintFailures("the bare GUI program", bare);
    PrintFailures("the archive write", write);
    PrintFailures("the inflate limit", inflate);

    std::printf("2. launcher processor time, application living 10 s: %s\n", ProcessorTime(tenSeconds).c_str());
    std::printf("   baseline (start, archive write, inflate limit, idle %.1f s): %s\n", idle / 1000,
                ProcessorTime(baseline).c_str());
    std::printf(
        "   ratio: %s (the launcher's own work: the watch, Extract's checks)\n",
        Figure(tenSeconds.ok && baseline.ok && baseline.cpu > 0, "%.3f", tenSeconds.cpu / baseline.cpu).c_str());

    const double peakMb = tenSeconds.peak / 1048576.0, bareMb = bareAlone.peak / 1048576.0;
    const double baselineMb = baseline.peak / 1048576.0;
    const double peakLimit = 2 * payloadMb + bareMb + 8;
    std::printf("3. launcher peak working set %s; baseline %s; bare GUI program %s\n",
                Figure(tenSeconds.ok, "%.1f MB", peakMb).c_str(), Figure(baseline.ok, "%.1f MB", baselineMb).c_str(),
                Figure(bareAlone.ok, "%.1f MB", bareMb).c_str());
    std::printf("   ratio to the baseline: %s\n",
                Figure(tenSeconds.ok && baseline.ok && baselineMb > 0, "%.3f", peakMb / baselineMb).c_str());
    std::printf("   limit: 2 x payload + bare + 8 MB = %s; ratio %s (goal <= 1)\n",
                Figure(bareAlone.ok, "%.1f MB", peakLimit).c_str(),
                Figure(tenSeconds.ok && bareAlone.ok, "%.3f", peakMb / peakLimit).c_str());
    if (!bareAlone.ok)
        std::printf("   the bare GUI program's own run failed: %s\n", bareAlone.failure.c_str());

    // Without one successful run of the launcher nothing of it was measured: the benchmark fails, so
    // that a script or CI does not take the baselines alone for a result.
    if (!started && !tenSeconds.ok) {
        std::printf("No run of the launcher succeeded: nothing of it was measured.\n");
        return 1;
    }
    return 0;
}
