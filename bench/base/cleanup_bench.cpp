// cleanup_bench RUNS ROOT ARCHIVE: the clean-up at scale. Each run extracts ARCHIVE into the empty
// folder ROOT with ExtractInto (untimed: the tree "Velkar" as the launcher installs it) and removes
// ROOT\Velkar again, timed with QueryPerformanceCounter around the removal alone, in turn by:
// - the product: ROOT held as the launcher holds its install folder, then RemoveFolderBelow;
// - the limit: the same files and folders removed by the fastest loop the platform offers, below the
//   same held ROOT: each folder opened by name relative to its parent (NtCreateFile), listed once
//   (NtQueryDirectoryFile) and each file opened relative to it with FILE_DELETE_ON_CLOSE and closed;
//   an emptied folder is marked for deletion through the handle it was listed with. No checks;
// - the product's steps, timed: RemoveFolderBelow's walk (base/held_tree.cpp) done again here through
//   the same calls in the same order, with the time of each kind of call summed: where the product's
//   time goes. Its total includes the clock's own cost; it must follow the walk when the walk changes.
// Prints the medians, the ratio of the product to the limit and the phases.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "base/held_folder.h"
#include "bench/relative_open.h"
#include "harness/harness.h"
#include "payload/zip_component.h"

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE folder, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                                               PIO_STATUS_BLOCK status, PVOID buffer, ULONG length,
                                               ULONG informationClass, BOOLEAN singleEntry, PUNICODE_STRING mask,
                                               BOOLEAN restartScan);

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

double Now() {
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

// ---- The limit ----

// An existing entry opened as itself: a link is never entered.
HANDLE OpenEntry(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG options) {
    return OpenRelative(parent, name, access, kShareAll, FILE_OPEN, options | FILE_OPEN_REPARSE_POINT);
}

// Empties the folder open through `folder` (with list access), depth first; counts what it removed.
void LimitEmpty(HANDLE folder, std::size_t& removed) {
    static unsigned char buffer[64 * 1024];
    std::vector<std::pair<std::wstring, bool>> entries;  // name, plain folder
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        IO_STATUS_BLOCK status{};
        if (NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &status, buffer, sizeof buffer,
                                 1 /* FileDirectoryInformation */, FALSE, nullptr, restart) < 0)
            break;
        for (ULONG offset = 0;;) {
            const auto* info = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(buffer + offset);
            const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                entries.emplace_back(
                    name, (info->FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                              FILE_ATTRIBUTE_DIRECTORY);
            if (!info->NextEntryOffset)
                break;
            offset += info->NextEntryOffset;
        }
    }
    for (const auto& [name, isFolder] : entries) {
        if (isFolder) {
            HANDLE sub = OpenEntry(folder, name, FILE_LIST_DIRECTORY | DELETE, FILE_DIRECTORY_FILE);
            if (!sub)
                continue;
            LimitEmpty(sub, removed);
            IO_STATUS_BLOCK status{};
            FILE_DISPOSITION_INFORMATION disposition{TRUE};
            if (NtSetInformationFile(sub, &status, &disposition, sizeof disposition, FileDispositionInformation) >= 0)
                ++removed;
            CloseHandle(sub);
        } else if (HANDLE file = OpenEntry(folder, name, DELETE, FILE_DELETE_ON_CLOSE)) {
            CloseHandle(file);
            ++removed;
        }
    }
}

bool LimitRemove(HANDLE parent, const wchar_t* name, std::size_t& removed) {
    HANDLE top = OpenEntry(parent, name, FILE_LIST_DIRECTORY | DELETE, FILE_DIRECTORY_FILE);
    if (!top)
        return false;
    LimitEmpty(top, removed);
    IO_STATUS_BLOCK status{};
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    const bool marked =
        NtSetInformationFile(top, &status, &disposition, sizeof disposition, FileDispositionInformation) >= 0;
    CloseHandle(top);
    removed += marked;
    return marked;
}

// ---- The product's steps, timed ----

enum Phase { kHold, kList, kLetGo, kFile, kHoldListed, kOpen, kQuery, kCheck, kDelete, kClose, kPhases };
const char* const kPhaseNames[kPhases] = {"hold the top folder (HoldChildFolder)",
                                          "list a folder (ListEntries)",
                                          "let a held folder go",
                                          "a file: open, delete, close (DeleteChildFile)",
                                          "a folder: hold it (HoldListedFolder)",
                                          "an emptied folder: open (OpenChildAsItself)",
                                          "an emptied folder: attributes and id",
                                          "an emptied folder: link check",
                                          "an emptied folder: delete",
                                          "an emptied folder: close"};

struct Steps {
    double time[kPhases] = {};
    std::size_t calls[kPhases] = {};
    template <typename Call>
    auto Timed(Phase phase, Call call) {
        const double start = Now();
        auto result = call();
        time[phase] += Now() - start;
        ++calls[phase];
        return result;
    }
};

bool IsLinkAttributes(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// The open, the queries and the check of one entry, as RemoveListedEntry of base/held_tree.cpp makes
// them; false when the entry is not what the listing said.
ChildHandle StepsOpenChecked(Steps& s, const HeldFolder& folder, const wchar_t* name, ACCESS_MASK access, DWORD share,
                             std::uint64_t listedId, DWORD& attributes) {
    ChildHandle entry = s.Timed(kOpen, [&] { return OpenChildAsItself(folder, name, access, share); });
    FileFacts facts;
    if (!entry || !s.Timed(kQuery, [&] { return ReadAttributesAndId(entry.get(), facts); }) ||
        !s.Timed(kCheck, [&] { return IsOpenOnListedEntry(folder, name, facts.attributes, facts.fileId, listedId); }))
        return ChildHandle{};
    attributes = facts.attributes;
    return entry;
}

// RemoveListedEntry of base/held_tree.cpp, step by step.
bool StepsRemoveEntry(Steps& s, const HeldFolder& folder, const wchar_t* name, bool wasFolder, std::uint64_t listedId) {
    DWORD attributes = 0;
    ChildHandle entry = StepsOpenChecked(s, folder, name, DELETE, kShareAll, listedId, attributes);
    if (!entry)
        return false;
    if (!IsLinkAttributes(attributes) &&
        (((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != wasFolder || (attributes & FILE_ATTRIBUTE_READONLY)))
        return false;
    if (!s.Timed(kDelete, [&] { return DeleteThroughHandle(entry.get()); }))
        return false;
    return s.Timed(kClose, [&] { return entry.close(); });
}

// EmptyHeldFolder of base/held_tree.cpp, step by step (recursive here: the tree is shallow).
void StepsEmpty(Steps& s, const HeldFolder& folder) {
    GrowingTable<FolderEntry> entries;
    (void)s.Timed(kList, [&] { return ListEntries(folder, entries); });
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const FolderEntry& entry = entries[i];
        const wchar_t* name = entry.name.c_str();
        if (name[0] == L'.')
            continue;
        const bool isFolder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!isFolder && !IsLinkAttributes(entry.attributes)) {
            (void)s.Timed(kFile, [&] { return DeleteChildFile(folder, name); });
            continue;
        }
        const std::uint64_t plainId = IsLinkAttributes(entry.attributes) ? 0 : entry.fileId;
        if (isFolder && !IsLinkAttributes(entry.attributes)) {
            if (HeldFolder held = s.Timed(kHoldListed, [&] { return HoldListedFolder(folder, name, plainId); })) {
                StepsEmpty(s, held);
                (void)s.Timed(kLetGo, [&] {
                    held.reset();
                    return true;
                });
            }
        }
        (void)StepsRemoveEntry(s, folder, name, isFolder, plainId);
    }
}

bool StepsRemove(Steps& s, const HeldFolder& parent, const wchar_t* name) {
    if (HeldFolder held = s.Timed(kHold, [&] { return HoldChildFolder(parent, name, false); })) {
        StepsEmpty(s, held);
        (void)s.Timed(kLetGo, [&] {
            held.reset();
            return true;
        });
    }
    return StepsRemoveEntry(s, parent, name, true, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: cleanup_bench RUNS ROOT ARCHIVE\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    const std::string root = argv[2], archive = argv[3];
    const WideText wideRoot = WideFromAnsi(root.c_str());
    const char* const labels[] = {"RemoveFolderBelow", "limit (a)", "product's steps"};
    std::vector<double> times[3];
    Steps steps;
    std::size_t entries = 0;
    int failures = 0;
    for (int run = 0; run < runs; ++run) {
        // Each run starts with another of them, so that none always follows the same one.
        for (int turn = 0; turn < 3; ++turn) {
            const int variant = (run + turn) % 3;
            (void)harness::RemoveTree(root);
            CreateDirectoryA(root.c_str(), nullptr);
            const HeldFolder held = HoldFolderPath(wideRoot.c_str());  // as the launcher holds its folder
            FileHandle archiveFile{
                CreateFileA(archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
            const std::int32_t extracted = ExtractInto(0x52010001, 0x16010043, std::move(archiveFile), held);
            if (extracted != kExtractDone || !held) {
                std::fprintf(stderr, "cannot make the tree (Extract %d)\n", static_cast<int>(extracted));
                return 1;
            }
            std::size_t removed = 0;
            const double start = Now();
            const bool gone = variant == 0   ? RemoveFolderBelow(held, L"Velkar")
                              : variant == 1 ? LimitRemove(held.get(), L"Velkar", removed)
                                             : StepsRemove(steps, held, L"Velkar");
            times[variant].push_back(Now() - start);
            if (variant == 1)
                entries = removed;
            if (!gone || harness::Exists(root + "\\Velkar")) {
                std::fprintf(stderr, "%s left the tree in place\n", labels[variant]);
                ++failures;
            }
        }
    }
    (void)harness::RemoveTree(root);
    if (GetEnvironmentVariableA("KESTREL_EMULATED", nullptr, 0) > 0)
        std::printf(
            "EMULATED: 32-bit programs run through qemu here: every system call crosses the emulator and\n"
            "each call to wineserver is slower than on a machine that runs them natively; the ratio\n"
            "compares like with like, the milliseconds say little about Windows.\n");
    std::printf("removing the extracted tree, %zu entries (the limit's count), %d runs each, medians\n", entries, runs);
    for (int variant = 0; variant < 3; ++variant) {
        std::printf("  %-18s %9.1f ms   (runs:", labels[variant], Median(times[variant]));
        for (double time : times[variant])
            std::printf(" %.0f", time);
        std::printf(")\n");
    }
    std::printf("  RemoveFolderBelow / (a) = %.3f  (goal <= 1.1)\n", Median(times[0]) / Median(times[1]));
    double timed = 0;
    for (int phase = 0; phase < kPhases; ++phase)
        timed += steps.time[phase];
    std::printf("where the product's steps spend their time (all runs, %.1f ms in all, per run below)\n", timed);
    for (int phase = 0; phase < kPhases; ++phase)
        std::printf("  %-38s %8zu calls %9.1f ms  %6.1f us a call\n", kPhaseNames[phase],
                    steps.calls[phase] / static_cast<std::size_t>(runs), steps.time[phase] / runs,
                    steps.calls[phase] ? 1000.0 * steps.time[phase] / static_cast<double>(steps.calls[phase]) : 0.0);
    return failures ? 1 : 0;
}
