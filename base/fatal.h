// base/fatal.h: the fatal runtime-error report, the one way the program dies on purpose.
// It is for faults the frame itself detects (an index out of range, an unbalanced stack after an
// external call, exhausted memory, an unresolvable external routine, a bad window description or id),
// never for a failed system operation.
#pragma once
#include <cstddef>
#include <cstdint>

// Codes 1 to 11 take their message from the frame's table; code 0 means "no code, own message".
enum RuntimeErrorCode : std::int32_t {
    kNoErrorCode = 0,
    kIndexAboveRange = 1,  // "数组成员引用下标超出定义范围"
    kNotANumber = 2,
    kDimensionMismatch = 3,
    kIndexBelowOne = 4,  // "数组成员引用下标必须大于等于1"
    kTypeMismatch = 5,
    kStackImbalance = 6,  // "调用DLL命令后发现堆栈错误"
    kNoResult = 7,
    kOnlyEquality = 8,
    kChoiceIndex = 9,
    kRedimension = 10,
    kArgumentType = 11,
};

// The table's message for codes 1 to 11, "" for any other code.
const char* RuntimeErrorMessage(std::int32_t code);

// Writes the report text for (code, message, position1, position2) into `out` (always terminated,
// cut to `size`) and answers its length. Builds it without the heap, so that it works when the heap
// is exhausted. A code from 1 to 11 with an empty message takes the table's message.
std::size_t FormatRuntimeErrorReport(char* out, std::size_t size, std::int32_t code, const char* message,
                                     std::int32_t position1, std::int32_t position2);

// Suppresses events, shows the report in a message box (caption "错误", error icon, OK only), empties
// the clean-up list so that no registered clean-up runs, and ends the program with -1.
[[noreturn]] void ReportRuntimeError(std::int32_t code, const char* message, std::int32_t position1,
                                     std::int32_t position2);

// "分配 %d 字节内存失败!" with the requested size, code 0, positions 0 and 0.
[[noreturn]] void ReportAllocationFailure(std::size_t bytes);
