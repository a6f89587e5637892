// base/memory.h: the one allocator behind every Text, ByteArray, record, object and list of the
// program. Blocks come from the process heap. Exhausted memory is a fatal fault of the frame, never a
// result: nothing in the program asks for memory any other way (no std containers, no global `new`,
// no `new (std::nothrow)`), so running out ends in the same report everywhere, never in
// std::terminate. Lists use GrowingTable (base/growing_table.h); objects derive from AllocatedObject.
#pragma once
#include <cstddef>

// A block of at least `bytes` bytes; never null. When the heap cannot supply it, the fatal report
// "分配 %d 字节内存失败!" ends the program.
void* Allocate(std::size_t bytes);

// Gives a block back. An absent pointer and any pointer into the program's constant data do nothing,
// so a constant may stand wherever a released value is expected.
void Release(const void* block);

// The program's constant data: the read-only sections of the program's own image. Recorded at
// start-up; before that, the first call of Release records it.
void RecordConstantRange();
[[nodiscard]] bool InConstantRange(const void* pointer);

// A class derived from this has its objects made with plain `new` and `delete` on the allocator:
// `new` never answers null (exhausted memory is the fatal report), and `delete`, also through a
// virtual destructor of a base, gives the block back.
struct AllocatedObject {
    static void* operator new(std::size_t bytes) { return Allocate(bytes); }
    static void operator delete(void* block) { Release(block); }
};
