#include "base/memory.h"

#include <windows.h>

#include <cstdint>

#include "base/fatal.h"

namespace {

std::uintptr_t constantBegin = 0;
std::uintptr_t constantEnd = 0;
bool constantRangeKnown = false;

}  // namespace

void RecordConstantRange() {
    // Walk the section table of the program's own image and take the span of its initialised,
    // read-only, non-code sections (.rdata, the embedded payload).
    auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleA(nullptr));
    constantRangeKnown = true;
    if (base == nullptr)
        return;
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    std::uintptr_t begin = UINTPTR_MAX, end = 0;
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        DWORD flags = section->Characteristics;
        bool readOnlyData = (flags & IMAGE_SCN_CNT_INITIALIZED_DATA) && !(flags & IMAGE_SCN_MEM_WRITE) &&
                            !(flags & IMAGE_SCN_MEM_EXECUTE);
        if (!readOnlyData)
            continue;
        std::uintptr_t start = reinterpret_cast<std::uintptr_t>(base) + section->VirtualAddress;
        std::uintptr_t size = section->Misc.VirtualSize ? section->Misc.VirtualSize : section->SizeOfRawData;
        if (start < begin)
            begin = start;
        if (start + size > end)
            end = start + size;
    }
    if (end > begin) {
        constantBegin = begin;
        constantEnd = end;
    }
}

bool InConstantRange(const void* pointer) {
    if (!constantRangeKnown)
        RecordConstantRange();
    auto p = reinterpret_cast<std::uintptr_t>(pointer);
    return p >= constantBegin && p < constantEnd;
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
