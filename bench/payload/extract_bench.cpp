// extract_bench ARCHIVE DEST: one extraction of ARCHIVE into DEST as the launcher makes it: DEST held
// (made first where it is missing) and the archive, opened for reading and shared for reading only,
// extracted below it with ExtractInto (no component, so no events); prints the result, the time taken
// and the peak working set.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <utility>

#include "base/held_folder.h"
#include "base/owners.h"
#include "payload/zip_component.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: extract_bench ARCHIVE DEST\n");
        return 2;
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    CreateDirectoryA(argv[2], nullptr);
    const HeldFolder destination = HoldFolderPath(WideFromAnsi(argv[2]).c_str());
    FileHandle archive{CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
    const std::int32_t result = ExtractInto(0x52010001, 0x16010043, std::move(archive), destination);
    QueryPerformanceCounter(&end);
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::printf("result %d ms %.1f peak_kb %lu\n", static_cast<int>(result),
                1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart,
                static_cast<unsigned long>(memory.PeakWorkingSetSize / 1024));
    return result == kExtractDone ? 0 : 1;
}
