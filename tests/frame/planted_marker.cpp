// A library to plant beside a program under a system library's name. Whenever it is loaded, its entry
// point writes "<its own file name>.ran" into its folder, so that a test sees which planted name ran.
#include <windows.h>

#include <cstring>

#include "base/owners.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    std::strcpy(path + length, ".ran");
    // Made empty and closed at once: the file itself is the note.
    FileHandle{CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    return TRUE;
}
