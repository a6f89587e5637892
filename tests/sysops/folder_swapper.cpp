// folder_swapper.exe FROM TO: another process's attempt to rename a folder out of the way, the first
// step of putting a link in its place. Exits with 0 when the folder was renamed, else with the
// system's error code.
#include <windows.h>

#include <cstdlib>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (__argc != 3)
        return ERROR_INVALID_PARAMETER;
    return MoveFileA(__argv[1], __argv[2]) ? 0 : static_cast<int>(GetLastError());
}
