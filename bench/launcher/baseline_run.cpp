// baseline_run.exe ARCHIVE FOLDER IDLE_MS: the launcher's course with none of its own work: a GUI
// program's start with one hidden window, the archive written into FOLDER with one WriteFile of the
// whole (from a mapping of ARCHIVE, as the launcher writes from its image), the inflate limit
// (inflate_limit.exe, beside it) extracting it there, then an idle wait of IDLE_MS that handles its
// messages, as long as the launcher waits and watches. Its processor time and peak working set are
// the baseline of the launcher's, measured in the same run.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "base/owners.h"
#include "bench/bare_window.h"
#include "harness/harness.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    if (__argc != 4)
        return 2;
    const std::string archive = __argv[1], folder = __argv[2];
    const DWORD idle = static_cast<DWORD>(std::atol(__argv[3]));
    HWND window = CreateBareWindow(instance, "KestrelBaselineWindow");

    CreateDirectoryA(folder.c_str(), nullptr);
    {
        FileHandle source{
            CreateFileA(archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
        KernelHandle mapping{CreateFileMappingA(source.get(), nullptr, PAGE_READONLY, 0, 0, nullptr)};
        const void* bytes = mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (!bytes)
            return 1;
        const std::string written = folder + "\\baseline.zip";
        FileHandle file{
            CreateFileA(written.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
        DWORD done = 0;
        WriteFile(file.get(), bytes, GetFileSize(source.get(), nullptr), &done, nullptr);
        (void)file.close();
        UnmapViewOfFile(bytes);
    }
    const DWORD inflated = harness::RunToEnd(harness::Quoted(harness::ProgramBeside("inflate_limit.exe")) + " " +
                                                 harness::Quoted(archive) + " " + harness::Quoted(folder),
                                             INFINITE);

    // Idle as the launcher does between its periods: blocked until a message or the time is up.
    const DWORD began = GetTickCount();
    for (DWORD waited = 0; waited < idle; waited = GetTickCount() - began) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, idle - waited, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
    DestroyWindow(window);
    return inflated == 0 ? 0 : 1;
}
