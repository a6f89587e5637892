// extract_bench ARCHIVE DEST: one Extract of ARCHIVE into DEST, as the launcher calls it (no
// component, so no events); prints the result, the time taken and the peak working set.
#include <windows.h>
#include <psapi.h>

#include <cstdio>

#include "payload/zip_component.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: extract_bench ARCHIVE DEST\n");
        return 2;
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const std::int32_t result = Extract(0x52010001, 0x16010043, argv[1], argv[2]);
    QueryPerformanceCounter(&end);
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::printf("result %d ms %.1f peak_kb %lu\n", static_cast<int>(result),
                1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart,
                static_cast<unsigned long>(memory.PeakWorkingSetSize / 1024));
    return result == 1 ? 0 : 1;
}
