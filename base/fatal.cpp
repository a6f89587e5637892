#include "base/fatal.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "base/services.h"

namespace {

const char* const kMessages[] = {
    "",
    "数组成员引用下标超出定义范围",
    "未得到所需要的数值型数据",
    "引用数组成员时维数不为1且不等于该数组目前所具有的维数",
    "数组成员引用下标必须大于等于1",
    "数据或数组类型不匹配",
    "调用DLL命令后发现堆栈错误",
    "子语句参数未返回数据或者返回了非系统基本类型或数组型数据",
    "被比较数据只能使用等于或不等于命令比较",
    "“多项选择”命令的索引值参数小于零或超出了所提供参数表范围",
    "“重定义数组”命令的数组维定义参数值必须大于零或单维时大于等于零",
    "所提供参数的数据类型不符合要求",
};

// Appends to a fixed buffer, cutting at its end; never touches the heap.
struct Writer {
    char* out;
    std::size_t size;
    std::size_t length = 0;

    void Append(const char* s) {
        for (; *s && length + 1 < size; ++s)
            out[length++] = *s;
        out[length] = '\0';
    }
};

// The report's own text, kept out of the stack of a routine that may be deep already.
char reportText[4096];

}  // namespace

const char* RuntimeErrorMessage(std::int32_t code) {
    if (code >= 1 && code <= 11)
        return kMessages[code];
    return "";
}

std::size_t FormatRuntimeErrorReport(char* out, std::size_t size, std::int32_t code, const char* message,
                                     std::int32_t position1, std::int32_t position2) {
    if (size == 0)
        return 0;
    Writer w{out, size};
    out[0] = '\0';
    if (message == nullptr || *message == '\0')
        message = RuntimeErrorMessage(code);

    w.Append("运行时出错!\r\n");
    char number[64];
    if (code != 0) {
        std::snprintf(number, sizeof number, "%d", static_cast<int>(code));
        w.Append("\r\n错误代码：");
        w.Append(number);
        w.Append("\r\n");
    }
    if (*message) {
        w.Append("\r\n错误信息：");
        w.Append(message);
        w.Append("\r\n");
    }

    // The position part: the two numbers, then, when position1 is a window id (bits 24 to 27 hold
    // 2), the names of the window and of the component.
    std::snprintf(number, sizeof number, "%d, %d", static_cast<int>(position1), static_cast<int>(position2));
    w.Append("\r\n");
    w.Append(number);
    if (position1 != 0 && ((static_cast<std::uint32_t>(position1) >> 24) & 0x0F) == 2) {
        char windowName[256] = "";
        char componentName[256] = "";
        PositionNames found = PositionNames::WindowNotFound;
        if (Services().namePosition)
            found = Services().namePosition(position1, position2, windowName, sizeof windowName, componentName,
                                            sizeof componentName);
        if (found == PositionNames::WindowNotFound) {
            w.Append("\r\n未找到所指定的窗口");
        } else {
            w.Append("\r\n\"");
            w.Append(windowName);
            w.Append("\"");
            if (found == PositionNames::Found) {
                w.Append("\r\n\"");
                w.Append(componentName);
                w.Append("\"");
            } else {
                w.Append("\r\n未找到所指定的窗口组件");
            }
        }
    }
    w.Append("\r\n");
    return w.length;
}

void ReportRuntimeError(std::int32_t code, const char* message, std::int32_t position1, std::int32_t position2) {
    RaiseEventSuppression();  // no handler runs from here on, not even from the box's own message loop
    FormatRuntimeErrorReport(reportText, sizeof reportText, code, message, position1, position2);
    MessageBoxA(nullptr, reportText, "错误", MB_OK | MB_ICONERROR);
    ClearCleanups();
    EndProgramThroughFrame(-1);
}

void ReportAllocationFailure(std::size_t bytes) {
    char message[64];
    std::snprintf(message, sizeof message, "分配 %d 字节内存失败!", static_cast<int>(bytes));
    ReportRuntimeError(kNoErrorCode, message, 0, 0);
}
