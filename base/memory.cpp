#include "base/memory.h"

#include <windows.h>

#include <cstdint>

#include "base/fatal.h"

namespace {

// The read-only data sections of the image, each its own span: the sections between them (.data, .bss)
// are writable, so one span from the first to the last would count writable memory as constant.
constexpr unsigned kMaxConstantRanges = 96;  // the loader's limit on an image's sections
struct ConstantRange {
    std::uintptr_t begin, end;
};
ConstantRange constantRanges[kMaxConstantRanges];
unsigned constantRangeCount = 0;
bool constantRangeKnown = false;

}  // namespace

void RecordConstantRange() {
    // Walk the section table of the program's own image and take its initialised, read-only, non-code
    // sections (.rdata, the resources, the embedded archive's .payload).
    auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleA(nullptr));
    constantRangeKnown = true;
    constantRangeCount = 0;
    if (base == nullptr)
        return;
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        DWORD flags = section->Characteristics;
        bool readOnlyData = (flags & IMAGE_SCN_CNT_INITIALIZED_DATA) && !(flags & IMAGE_SCN_MEM_WRITE) &&
                            !(flags & IMAGE_SCN_MEM_EXECUTE);
        if (!readOnlyData)
            continue;
        std::uintptr_t start = reinterpret_cast<std::uintptr_t>(base) + section->VirtualAddress;
        std::uintptr_t size = section->Misc.VirtualSize ? section->Misc.VirtualSize : section->SizeOfRawData;
        if (size == 0 || constantRangeCount == kMaxConstantRanges)
            continue;
        constantRanges[constantRangeCount++] = {start, start + size};
    }
}

bool InConstantRange(const void* pointer) {
    if (!constantRangeKnown)
        RecordConstantRange();
    auto p = reinterpret_cast<std::uintptr_t>(pointer);
    for (unsigned i = 0; i < constantRangeCount; ++i)
        if (p >= constantRanges[i].begin && p < constantRanges[i].end)
            return true;
    return false;
}

void* Allocate(std::size_t bytes) {
    // A zero-byte request still yields a block of its own, so every result can be released.
    void* block = HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1);
    if (block == nullptr)
        ReportAllocationFailure(bytes);
    return block;
}

void Release(const void* block) {
    if (block == nullptr || InConstantRange(block))
        return;
    HeapFree(GetProcessHeap(), 0, const_cast<void*>(block));
}
