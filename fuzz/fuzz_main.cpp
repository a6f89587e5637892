// fuzz/fuzz_main.cpp: kestrel_fuzz.exe, the archive fuzzer. Extracts hostile archives as the launcher
// extracts its payload (fuzz::ExtractAsTheLauncher) and checks every case: no crash, no hang, a result
// of 1, 0 or -1, nothing outside the sandbox, every written file matching its central record, and the
// launcher's clean-up removing what it should while the canary files outside the destination stay as
// they were.
//
//   kestrel_fuzz [--cases N] [--seed S] [--first I] [--timeout SECONDS] [--keep FOLDER]
//   kestrel_fuzz --replay FOLDER [--timeout SECONDS]     every *.zip in FOLDER as a case
//   kestrel_fuzz --differential FOLDER [--cases N] [--seed S] ...
//       the differential family (fuzz/differential.h) instead of the hostile archives, through the same
//       checks; each case's archive and what the launcher installed from it are recorded in FOLDER
//       ("diff-S-I.zip", "diff-S-I.txt") for fuzz/differential.py, which runs the packer's check over them
//   kestrel_fuzz --write-case I FILE [--seed S]           writes one generated case, for a look
//   --crash-at I, --hang-at I: the child crashes or hangs at case I instead of running it, to test
//   the fuzzer's own handling of both
//
// The cases run in a child process (this program with --child), many to a child. The child says
// "B i" before case i and "E i result failures" after it; a child that ends without the "E" of the
// case it began crashed on it, and one that says nothing for the time bound hangs on it and is
// killed. Either way the case is recorded, its input kept, and a new child goes on after it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/owners.h"
#include "fuzz/cases.h"
#include "fuzz/checks.h"
#include "fuzz/differential.h"
#include "harness/harness.h"
#include "payload/zip_component.h"

namespace {

struct Options {
    std::uint64_t seed = 1;
    std::uint64_t first = 0;
    std::uint64_t cases = 1000;
    unsigned timeoutSeconds = 10;
    std::string keep;          // where failing inputs are kept; empty: the current folder's "fuzz-failures"
    std::string replay;        // a folder of inputs instead of generated cases
    std::string differential;  // the differential family's record folder; empty: the hostile archives
    std::string work;          // the child's sandbox parent
    bool child = false;
    std::string writeCase;
    std::uint64_t crashAt = UINT64_MAX;
    std::uint64_t hangAt = UINT64_MAX;
};

std::vector<std::string> ReplayFiles(const std::string& folder) {
    std::vector<std::string> files;
    WIN32_FIND_DATAA entry;
    FindHandle search{FindFirstFileA((folder + "\\*.zip").c_str(), &entry)};
    if (!search)
        return files;
    do
        files.push_back(folder + "\\" + entry.cFileName);
    while (FindNextFileA(search.get(), &entry));
    std::sort(files.begin(), files.end());
    return files;
}

// The bytes of case `index`: generated, or the replay folder's index-th file.
std::string CaseBytes(const Options& options, std::uint64_t index, std::size_t destinationLength,
                      std::string* description = nullptr, unsigned* kinds = nullptr) {
    if (!options.replay.empty()) {
        const std::vector<std::string> files = ReplayFiles(options.replay);
        std::string bytes;
        if (index < files.size())
            harness::ReadWholeFile(files[index], bytes);
        if (description)
            *description = index < files.size() ? files[index] : "";
        return bytes;
    }
    fuzz::Case made = options.differential.empty() ? fuzz::MakeCase(options.seed, index, destinationLength)
                                                   : fuzz::MakeDifferentialCase(options.seed, index);
    if (description)
        *description = made.description;
    if (kinds)
        *kinds = made.kinds;
    return made.bytes;
}

void Say(const char* format, std::uint64_t a, long b = 0, unsigned c = 0, unsigned d = 0) {
    char line[96];
    const int length = std::snprintf(line, sizeof line, format, static_cast<unsigned long long>(a), b, c, d);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
}

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
    char line[64];
    const int length = std::snprintf(line, sizeof line, "X %08lX\n",
                                     static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Appends what lies under `folder` to `lines`, one a line: "folder NAME/" and "file SIZE NAME", the names
// in UTF-8 below the destination with "/" separators, as the packer's --list gives them.
void ListInstalled(const std::wstring& folder, const std::string& relative, std::string& lines) {
    WIN32_FIND_DATAW entry;
    FindHandle search{FindFirstFileW((folder + L"\\*").c_str(), &entry)};
    if (!search)
        return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        char utf8[1024];
        const int length = WideCharToMultiByte(CP_UTF8, 0, name.c_str(), -1, utf8, sizeof utf8, nullptr, nullptr);
        const std::string inner = relative + std::string(utf8, length > 0 ? length - 1 : 0);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            lines += "folder " + inner + "/\n";
            ListInstalled(folder + L"\\" + name, inner + "/", lines);
        } else {
            const std::uint64_t size = (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
            lines += "file " + std::to_string(size) + " " + inner + "\n";
        }
    } while (FindNextFileW(search.get(), &entry));
}

// Records a differential case: its archive, and Extract's result with what it installed.
void RecordCase(const Options& options, const fuzz::Sandbox& sandbox, std::uint64_t index, const std::string& bytes,
                std::int32_t result, unsigned kinds, std::string description) {
    const std::string stem =
        options.differential + "\\diff-" + std::to_string(options.seed) + "-" + std::to_string(index);
    std::string lines = "result " + std::to_string(result) + "\nkinds ";
    for (int kind = 0; kind < fuzz::kDifferentialKindCount; ++kind)
        if (kinds & (1u << kind))
            lines += std::string(fuzz::DifferentialKindName(kind)) + "; ";
    std::replace(description.begin(), description.end(), '\n', ' ');
    lines += "\ncase " + description + "\n";
    wchar_t destination[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, sandbox.destination.c_str(), -1, destination, MAX_PATH) > 0)
        ListInstalled(destination, "", lines);
    if (!harness::WriteWholeFile(stem + ".zip", bytes) || !harness::WriteWholeFile(stem + ".txt", lines))
        std::fprintf(stderr, "fuzz: case %llu cannot be recorded in %s\n", static_cast<unsigned long long>(index),
                     options.differential.c_str());
}

int RunChild(const Options& options) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
    const fuzz::Sandbox sandbox = fuzz::SandboxIn(options.work);
    if (!fuzz::MakeSandbox(sandbox)) {
        std::fprintf(stderr, "fuzz: cannot make the sandbox in %s\n", options.work.c_str());
        return 2;
    }
    // A child killed in a case leaves its destination behind: start from an empty one.
    fuzz::RemoveVerbatim(sandbox.destination);
    (void)fuzz::CheckSandbox(sandbox);
    for (std::uint64_t index = options.first; index < options.first + options.cases; ++index) {
        Say("B %llu\n", index);
        if (index == options.crashAt)
            *static_cast<volatile int*>(nullptr) = 1;
        if (index == options.hangAt)
            Sleep(INFINITE);
        unsigned kinds = 0;
        std::string description;
        const std::string bytes = CaseBytes(options, index, sandbox.destination.size(), &description, &kinds);
        unsigned failures = 0;
        std::string problems;
        const auto note = [&](unsigned failure, const std::string& found) {
            if (!found.empty()) {
                failures |= failure;
                problems += found;
            }
        };
        // Generated cases may extract over a tree made beforehand; replayed inputs run as they are.
        // The differential family compares what is installed with the packer's listing: nothing planted.
        const std::vector<fuzz::Plant> plants = options.replay.empty() && options.differential.empty()
                                                    ? fuzz::PlantsFor(options.seed, index)
                                                    : std::vector<fuzz::Plant>{};
        const std::string planting = fuzz::PlantTree(sandbox, plants);
        if (!planting.empty())
            std::fprintf(stderr, "fuzz: case %llu: %s\n", static_cast<unsigned long long>(index), planting.c_str());
        if (!plants.empty())
            kinds |= 1u << fuzz::kPlantedKind;
        bool written = false;
        const std::int32_t result = fuzz::ExtractAsTheLauncher(sandbox, bytes, &written);
        if (!written)
            note(fuzz::kLeftover, "the archive file cannot be written (still held?); ");
        if (result != kExtractDone && result != kExtractFailed && result != kExtractBadArguments)
            failures |= fuzz::kBadResult;
        if (!options.differential.empty())
            RecordCase(options, sandbox, index, bytes, result, kinds, description);
        std::vector<fuzz::CentralRecord> records = fuzz::ReadCentralDirectory(bytes);
        for (const fuzz::CentralRecord& planted : fuzz::PlantedRecords(plants))
            records.push_back(planted);
        note(fuzz::kMismatch, fuzz::CheckTree(sandbox.destination, records));
        note(fuzz::kEscape, fuzz::CheckSandbox(sandbox));
        // The launcher's clean-up over what the case left, then the canaries it must not touch.
        note(fuzz::kLeftover, fuzz::CheckRemoval(sandbox, plants));
        note(fuzz::kEscape, fuzz::CheckCanaries(sandbox));
        if (problems.size() > 600)
            problems = problems.substr(0, 600) + "...";
        if (failures)
            std::fprintf(stderr, "fuzz: case %llu (result %ld): %s: %s\n", static_cast<unsigned long long>(index),
                         static_cast<long>(result), fuzz::FailureNames(failures).c_str(), problems.c_str());
        Say("E %llu %ld %u %u\n", index, static_cast<long>(result), failures, kinds);
    }
    return 0;
}

struct Tally {
    std::uint64_t tried = 0;
    std::uint64_t byResult[3] = {};  // by result - kExtractBadArguments: -1, 0, 1
    std::uint64_t byFailure[6] = {};
    std::uint64_t failed = 0;
    std::uint64_t kindCases[fuzz::kKindCount] = {};
    std::uint64_t kindResults[fuzz::kKindCount][3] = {};  // -1, 0, 1
};

std::string OwnPath() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length);
}

void Keep(const Options& options, std::uint64_t index, unsigned failures, std::size_t destinationLength) {
    std::string description;
    const std::string bytes = CaseBytes(options, index, destinationLength, &description);
    std::string folder = options.keep.empty() ? "fuzz-failures" : options.keep;
    CreateDirectoryA(folder.c_str(), nullptr);
    const char* kind = (failures & fuzz::kCrash) ? "crash" : (failures & fuzz::kHang) ? "hang" : "fail";
    char name[96];
    if (options.replay.empty())
        std::snprintf(name, sizeof name, "\\%s-%llu-%llu-%s.zip", options.differential.empty() ? "case" : "diff",
                      static_cast<unsigned long long>(options.seed), static_cast<unsigned long long>(index), kind);
    else  // a replayed input keeps its own name
        std::snprintf(name, sizeof name, "\\%s-%.60s", kind, description.substr(description.rfind('\\') + 1).c_str());
    const std::string path = folder + name;
    const bool kept = harness::WriteWholeFile(path, bytes);
    std::fprintf(stderr, "fuzz: case %llu (%s) %s %s: %s\n", static_cast<unsigned long long>(index),
                 fuzz::FailureNames(failures).c_str(), kept ? "kept as" : "could not be kept as", path.c_str(),
                 description.c_str());
}

void Count(Tally& tally, unsigned failures) {
    for (int bit = 0; bit < 6; ++bit)
        if (failures & (1u << bit))
            ++tally.byFailure[bit];
    if (failures)
        ++tally.failed;
}

// Runs cases [first, end) in children, restarting after each crash or hang.
void RunCases(const Options& options, const std::string& work, std::uint64_t end, Tally& tally) {
    const std::size_t destinationLength = fuzz::SandboxIn(work).destination.size();
    std::uint64_t next = options.first;
    while (next < end) {
        harness::OutputPipe pipe;
        if (!pipe.Open()) {
            std::fprintf(stderr, "fuzz: no pipe\n");
            std::exit(2);
        }
        char seed[32];
        std::snprintf(seed, sizeof seed, "%llu", static_cast<unsigned long long>(options.seed));
        std::string command = harness::Quoted(OwnPath()) + " --child --work " + harness::Quoted(work) + " --seed " +
                              seed + " --first " + std::to_string(next) + " --cases " + std::to_string(end - next);
        if (!options.replay.empty())
            command += " --replay " + harness::Quoted(options.replay);
        if (!options.differential.empty())
            command += " --differential " + harness::Quoted(options.differential);
        if (options.crashAt != UINT64_MAX)
            command += " --crash-at " + std::to_string(options.crashAt);
        if (options.hangAt != UINT64_MAX)
            command += " --hang-at " + std::to_string(options.hangAt);
        harness::Child child = harness::Child::Start(command, work, pipe.write.get());
        if (!child.started()) {
            std::fprintf(stderr, "fuzz: cannot start the child (%lu)\n", GetLastError());
            std::exit(2);
        }
        pipe.write.reset();  // the child's end: the pipe breaks when the child ends

        std::string pending;
        std::uint64_t begun = next;
        bool inCase = false, crashed = false, killed = false;
        // The first case also waits for the child to start.
        double lastWord = harness::NowMilliseconds() + 10000;
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(pipe.read.get(), nullptr, 0, nullptr, &available, nullptr))
                break;  // the child has ended and closed its end
            if (available == 0) {
                if (harness::NowMilliseconds() - lastWord > options.timeoutSeconds * 1000.0) {
                    child.Kill(0xDEAD);
                    killed = true;
                    if (!inCase) {
                        std::fprintf(stderr, "fuzz: the child stopped answering between cases\n");
                        std::exit(2);
                    }
                    ++tally.tried;
                    Count(tally, fuzz::kHang);
                    Keep(options, begun, fuzz::kHang, destinationLength);
                    next = begun + 1;
                    inCase = false;
                    break;
                }
                Sleep(2);
                continue;
            }
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(pipe.read.get(), buffer, sizeof buffer < available ? sizeof buffer : available, &got,
                          nullptr))
                break;
            pending.append(buffer, got);
            lastWord = harness::NowMilliseconds();
            std::string::size_type newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                const std::string word = pending.substr(0, newline);
                pending.erase(0, newline + 1);
                unsigned long long index = 0;
                long result = 0;
                unsigned failures = 0, kinds = 0;
                if (std::sscanf(word.c_str(), "B %llu", &index) == 1) {
                    begun = index;
                    inCase = true;
                } else if (std::sscanf(word.c_str(), "E %llu %ld %u %u", &index, &result, &failures, &kinds) == 4) {
                    ++tally.tried;
                    const bool known = result >= kExtractBadArguments && result <= kExtractDone;
                    if (known)
                        ++tally.byResult[result - kExtractBadArguments];
                    for (int kind = 0; kind < fuzz::kKindCount; ++kind) {
                        if (!(kinds & (1u << kind)))
                            continue;
                        ++tally.kindCases[kind];
                        if (known)
                            ++tally.kindResults[kind][result - kExtractBadArguments];
                    }
                    if (tally.tried % 10000 == 0)
                        std::fprintf(stderr, "fuzz: %llu cases so far\n", static_cast<unsigned long long>(tally.tried));
                    Count(tally, failures);
                    if (failures)
                        Keep(options, index, failures, destinationLength);
                    inCase = false;
                    next = index + 1;
                } else if (word[0] == 'X') {
                    crashed = true;
                    std::fprintf(stderr, "fuzz: case %llu raised exception %s\n",
                                 static_cast<unsigned long long>(begun), word.c_str() + 2);
                }
            }
        }
        DWORD code = 0;
        if (!child.Wait(10000, &code))
            GetExitCodeProcess(child.handle(), &code);
        if (inCase || crashed) {  // ended inside a case: it crashed there
            ++tally.tried;
            Count(tally, fuzz::kCrash);
            std::fprintf(stderr, "fuzz: case %llu ended the child with code 0x%08lX\n",
                         static_cast<unsigned long long>(begun), static_cast<unsigned long>(code));
            Keep(options, begun, fuzz::kCrash, destinationLength);
            next = begun + 1;
        } else if (code != 0 && !killed && next < end) {
            std::fprintf(stderr, "fuzz: the child failed before its first case (code %lu)\n",
                         static_cast<unsigned long>(code));
            std::exit(2);
        }
    }
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const bool hasValue = i + 1 < argc;
        if (name == "--child")
            options.child = true;
        else if (name == "--cases" && hasValue)
            options.cases = std::strtoull(argv[++i], nullptr, 10);
        else if (name == "--seed" && hasValue)
            options.seed = std::strtoull(argv[++i], nullptr, 10);
        else if (name == "--first" && hasValue)
            options.first = std::strtoull(argv[++i], nullptr, 10);
        else if (name == "--timeout" && hasValue)
            options.timeoutSeconds = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (name == "--keep" && hasValue)
            options.keep = argv[++i];
        else if (name == "--replay" && hasValue)
            options.replay = argv[++i];
        else if (name == "--differential" && hasValue)
            options.differential = argv[++i];
        else if (name == "--crash-at" && hasValue)
            options.crashAt = std::strtoull(argv[++i], nullptr, 10);
        else if (name == "--hang-at" && hasValue)
            options.hangAt = std::strtoull(argv[++i], nullptr, 10);
        else if (name == "--work" && hasValue)
            options.work = argv[++i];
        else if (name == "--write-case" && i + 2 < argc) {
            options.first = std::strtoull(argv[++i], nullptr, 10);
            options.writeCase = argv[++i];
        } else {
            std::fprintf(stderr, "fuzz: unknown option %s\n", argv[i]);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options))
        return 2;
    if (options.child)
        return RunChild(options);

    // A name of fixed length: the names sized against the destination's length then come out the
    // same in every run on the machine.
    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    char folder[MAX_PATH];
    std::snprintf(folder, sizeof folder, "%skestrel-fuzz-%08lX", temp, GetCurrentProcessId());
    const std::string work = folder;
    harness::RemoveTree(work);
    if (!CreateDirectoryA(work.c_str(), nullptr)) {
        std::fprintf(stderr, "fuzz: cannot make %s\n", work.c_str());
        return 2;
    }
    struct Remover {
        const std::string& path;
        ~Remover() { harness::RemoveTree(path); }
    } remover{work};
    const fuzz::Sandbox sandbox = fuzz::SandboxIn(work);
    if (!options.writeCase.empty()) {
        std::string description;
        const std::string bytes = CaseBytes(options, options.first, sandbox.destination.size(), &description);
        std::printf("%s\n", description.c_str());
        return harness::WriteWholeFile(options.writeCase, bytes) ? 0 : 2;
    }
    if (!options.replay.empty()) {
        options.first = 0;
        options.cases = ReplayFiles(options.replay).size();
    }

    const double start = harness::NowMilliseconds();
    Tally tally;
    RunCases(options, work, options.first + options.cases, tally);
    const double seconds = (harness::NowMilliseconds() - start) / 1000.0;

    if (!options.replay.empty())
        std::printf("fuzz: replayed %s\n", options.replay.c_str());
    std::printf("fuzz: seed %llu, cases %llu (from %llu), %.1f s, %.0f cases/s\n",
                static_cast<unsigned long long>(options.seed), static_cast<unsigned long long>(tally.tried),
                static_cast<unsigned long long>(options.first), seconds, seconds > 0 ? tally.tried / seconds : 0.0);
    std::printf("fuzz: results: 1: %llu, 0: %llu, -1: %llu\n", static_cast<unsigned long long>(tally.byResult[2]),
                static_cast<unsigned long long>(tally.byResult[1]), static_cast<unsigned long long>(tally.byResult[0]));
    std::printf(
        "fuzz: failures: %llu (crash %llu, hang %llu, escape %llu, bad result %llu, mismatch %llu, "
        "leftover %llu)\n",
        static_cast<unsigned long long>(tally.failed), static_cast<unsigned long long>(tally.byFailure[4]),
        static_cast<unsigned long long>(tally.byFailure[5]), static_cast<unsigned long long>(tally.byFailure[2]),
        static_cast<unsigned long long>(tally.byFailure[0]), static_cast<unsigned long long>(tally.byFailure[1]),
        static_cast<unsigned long long>(tally.byFailure[3]));
    for (int kind = 0; kind < fuzz::kKindCount; ++kind)
        if (tally.kindCases[kind])
            std::printf("fuzz:   %-35s %7llu cases, results 1: %llu, 0: %llu, -1: %llu\n",
                        options.differential.empty() ? fuzz::KindName(kind) : fuzz::DifferentialKindName(kind),
                        static_cast<unsigned long long>(tally.kindCases[kind]),
                        static_cast<unsigned long long>(tally.kindResults[kind][2]),
                        static_cast<unsigned long long>(tally.kindResults[kind][1]),
                        static_cast<unsigned long long>(tally.kindResults[kind][0]));
    const bool allTried = tally.tried == options.cases;
    if (!allTried)
        std::printf("fuzz: only %llu of %llu cases ran\n", static_cast<unsigned long long>(tally.tried),
                    static_cast<unsigned long long>(options.cases));
    return tally.failed == 0 && allTried ? 0 : 1;
}
