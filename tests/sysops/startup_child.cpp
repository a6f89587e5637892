// Writes how it was started to the file named by its command line: "<dwFlags> <wShowWindow>".
#include <windows.h>

#include <cstdio>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    FILE* out = std::fopen(commandLine, "w");
    if (!out)
        return 1;
    std::fprintf(out, "%lu %u", static_cast<unsigned long>(startup.dwFlags), startup.wShowWindow);
    return std::fclose(out) == 0 ? 0 : 1;
}
