#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/fatal.h"
#include "base/services.h"

namespace {

std::string Report(int code, const char* message, int p1, int p2) {
    char buffer[4096];
    FormatRuntimeErrorReport(buffer, sizeof buffer, code, message, p1, p2);
    return buffer;
}

TEST(FormatRuntimeErrorReport, MessageWithoutCodeHasNoCodeLine) {
    EXPECT_EQ(Report(0, "载入窗口模板数据段出错!", 0, 0),
              "运行时出错!\r\n\r\n错误信息：载入窗口模板数据段出错!\r\n\r\n0, 0\r\n");
}

TEST(FormatRuntimeErrorReport, CodeTakesItsMessageFromTheTable) {
    EXPECT_EQ(Report(6, "", 67174435, 18),
              "运行时出错!\r\n\r\n错误代码：6\r\n\r\n错误信息：调用DLL命令后发现堆栈错误\r\n\r\n67174435, 18\r\n");
}

PositionNames Names(std::int32_t windowId, std::int32_t componentId, char* w, std::size_t, char* c, std::size_t) {
    if (windowId != 0x52010001)
        return PositionNames::WindowNotFound;
    std::strcpy(w, "");
    if (componentId != 0 && componentId != 0x1601008E)
        return PositionNames::ComponentNotFound;
    std::strcpy(c, componentId ? "时钟1" : "");
    return PositionNames::Found;
}

TEST(FormatRuntimeErrorReport, WindowIdPositionAddsTheNames) {
    ServiceEntry entry;
    entry.namePosition = Names;
    ConnectServices(entry);
    EXPECT_EQ(Report(0, "x", 0x52010001, 0x1601008E),
              "运行时出错!\r\n\r\n错误信息：x\r\n\r\n1375797249, 369164430\r\n\"\"\r\n\"时钟1\"\r\n");
    EXPECT_EQ(Report(0, "x", 0x52010001, 0x16019999),
              "运行时出错!\r\n\r\n错误信息：x\r\n\r\n1375797249, 369203609\r\n\"\"\r\n未找到所指定的窗口组件\r\n");
    EXPECT_EQ(Report(0, "x", 0x52010002, 0),
              "运行时出错!\r\n\r\n错误信息：x\r\n\r\n1375797250, 0\r\n未找到所指定的窗口\r\n");
    // Bits 24 to 27 other than 2: no window part.
    EXPECT_EQ(Report(0, "x", 67174574, 158), "运行时出错!\r\n\r\n错误信息：x\r\n\r\n67174574, 158\r\n");
    ConnectServices(ServiceEntry{});
}

}  // namespace
