// bench_driver RUNS DEST ARCHIVE: runs Extract (extract_bench), the inflate limit (inflate_limit)
// and minizip's miniunz, built beside it, RUNS times each in turn over a fresh DEST, and prints the
// median wall time of each (process start included alike), the ratios and the peak working sets,
// and for the first two the median of the time they measured themselves around the extraction
// ("ms N" in their output), which leaves out process start and end.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/owners.h"
#include "harness/harness.h"

namespace {

struct Program {
    const char* label;
    std::string commandLine;
    bool reportsItsTime;  // prints "ms N": the time it measured itself
    std::vector<double> times;
    std::vector<double> ownTimes;
    SIZE_T peak = 0;
};

// The figure after "ms " in a program's output, or a negative value when there is none.
double OwnTime(const std::string& output) {
    const std::size_t at = output.find("ms ");
    return at == std::string::npos ? -1 : std::atof(output.c_str() + at + 3);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_driver RUNS DEST ARCHIVE\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    const std::string dest = argv[2], archive = argv[3];
    using harness::ProgramBeside;
    using harness::Quoted;
    const std::string files = Quoted(archive) + " " + Quoted(dest);
    std::vector<Program> programs = {
        {"Extract", Quoted(ProgramBeside("extract_bench.exe")) + " " + files, true, {}, {}},
        {"inflate limit (a)", Quoted(ProgramBeside("inflate_limit.exe")) + " " + files, true, {}, {}},
        {"miniunz (b)",
         Quoted(ProgramBeside("miniunz.exe")) + " -x -o " + Quoted(archive) + " -d " + Quoted(dest),
         false,
         {},
         {}},
    };
    for (int run = 0; run < runs; ++run) {
        for (Program& program : programs) {
            harness::RemoveTree(dest);
            CreateDirectoryA(dest.c_str(), nullptr);
            // Throw away the children's own output: only the driver's figures are wanted.
            SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
            FileHandle nul{CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr)};
            // A program that reports its own time writes one short line, which the pipe holds until
            // the program has ended; miniunz lists every file and keeps writing to NUL.
            harness::OutputPipe pipe;
            const bool piped = program.reportsItsTime && pipe.Open();
            const double start = harness::NowMilliseconds();
            harness::Child child =
                harness::Child::Start(program.commandLine, "", piped ? pipe.write.get() : nul.get(), nul.get());
            if (!child.started()) {
                std::fprintf(stderr, "cannot start %s\n", program.commandLine.c_str());
                return 1;
            }
            DWORD code = 0;
            child.Wait(INFINITE, &code);
            program.times.push_back(harness::NowMilliseconds() - start);
            if (piped) {
                pipe.write.reset();
                std::string output;
                char chunk[256];
                DWORD got = 0;
                while (ReadFile(pipe.read.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
                    output.append(chunk, got);
                if (OwnTime(output) >= 0)
                    program.ownTimes.push_back(OwnTime(output));
            }
            PROCESS_MEMORY_COUNTERS memory{};
            if (GetProcessMemoryInfo(child.handle(), &memory, sizeof memory))
                program.peak = std::max(program.peak, memory.PeakWorkingSetSize);
            if (code != 0)
                std::fprintf(stderr, "%s ended with %lu\n", program.label, static_cast<unsigned long>(code));
        }
    }
    harness::RemoveTree(dest);
    if (GetEnvironmentVariableA("KESTREL_EMULATED", nullptr, 0) > 0)
        std::printf(
            "EMULATED: 32-bit programs run through qemu here: each process start costs the emulator's\n"
            "start-up and the inflating is translated code, so the wall times with process start say\n"
            "little; the times each program measured itself (below) compare like with like. Peak\n"
            "working sets include the emulator's own memory.\n");
    std::printf("%d runs each, medians of wall time (process start included)\n", runs);
    for (const Program& program : programs)
        std::printf("  %-18s %8.1f ms   peak working set %6lu KB\n", program.label, Median(program.times),
                    static_cast<unsigned long>(program.peak / 1024));
    const double extract = Median(programs[0].times);
    std::printf("  Extract / (a) = %.3f  (goal <= 1.1)\n", extract / Median(programs[1].times));
    std::printf("  Extract / (b) = %.3f  (goal < 1)\n", extract / Median(programs[2].times));
    std::printf("medians of the time each measured itself around the extraction (no process start)\n");
    for (const Program& program : programs)
        if (!program.ownTimes.empty())
            std::printf("  %-18s %8.1f ms\n", program.label, Median(program.ownTimes));
    if (!programs[0].ownTimes.empty() && !programs[1].ownTimes.empty())
        std::printf("  Extract / (a) = %.3f\n", Median(programs[0].ownTimes) / Median(programs[1].ownTimes));
    return 0;
}
