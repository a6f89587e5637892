// A library planted beside a program as "Kernel32.dll". When anything loads it, it writes
// "planted-loaded.txt" into its own folder; its routine answers a value no system routine gives.
// The system header declares the routine as imported; this library defines it as its own export.
#define Wow64DisableWow64FsRedirection SystemsWow64DisableWow64FsRedirection
#include <windows.h>
#undef Wow64DisableWow64FsRedirection

#include <cstring>

#include "base/owners.h"

extern "C" __declspec(dllexport) BOOL __stdcall Wow64DisableWow64FsRedirection(void**) { return 0x7E57; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char path[MAX_PATH + 32];
    DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
    while (length > 0 && path[length - 1] != '\\')  // the test's folders are ASCII
        --length;
    std::strcpy(path + length, "planted-loaded.txt");
    // Made empty and closed at once: the file itself is the note.
    FileHandle{CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    return TRUE;
}
