// launcher.exe's way into the system's libraries, closed to a library planted beside it.
//
// The program is started from wherever the user found it, most often the Downloads folder, where any web
// page can drop a file named like a system library. Windows looks in the program's own folder first for
// a library named without a path, so three things keep every library of that folder out of the process:
//
// - Before the C runtime starts, a TLS callback restricts the process's search for libraries named
//   without a path to the system folder (RestrictLibrarySearch, launcher/frame.cpp). A TLS callback of the
//   program is its first code to run: only the libraries of its import table are loaded before it.
// - The import table names only libraries the system loads from its own copy, never by a search:
//   kernel32, user32, gdi32, advapi32, msvcrt and ntdll are known DLLs on every Windows that runs the
//   launcher, and a known DLL's own imports are known DLLs or come from the system folder. ole32 and
//   shell32 are kept out of it altogether (below): loaded at start, their imports (shlwapi, shcore,
//   combase, ...) are resolved before any of our code could set the search order, and Wine, which keeps
//   no known DLLs, then takes a planted shcore.dll from the program's folder. executable_metadata_tests
//   holds the import table to that list.
// - ole32's and shell32's routines are reached through the import slots the compiler calls them by,
//   defined here: each slot first holds a routine of ours that loads the library from the system folder
//   (its dependencies from there too), looks the routine up, stores its address in the slot and calls
//   it. The program's other code calls OleInitialize and SHGetSpecialFolderPathW as it always did.
//
// A library the toolchain could also mark in the image's load configuration (DependentLoadFlags) is not
// marked: the linker of Debian 12 (binutils 2.40) fills no load-configuration directory, Wine 8 ignores
// the flags, and on Windows they would only repeat what the known DLLs already give the import table.
#include <ole2.h>
#include <shlobj.h>
#include <windows.h>

#include <cstdio>

#include "base/fatal.h"
#include "launcher/frame.h"

namespace {

void NTAPI RestrictLibrarySearchAtStart(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        RestrictLibrarySearch();
}

// Loads the system's own `library` (a bare file name) and its dependencies from the system folder alone.
// Systems without the LOAD_LIBRARY_SEARCH_* flags refuse them as an invalid parameter; there the library
// is named by its full path, and LOAD_WITH_ALTERED_SEARCH_PATH makes its dependencies be looked for in
// its own folder, the system folder, before the program's.
HMODULE LoadSystemLibrary(const wchar_t* library) {
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER)
        return module;
    wchar_t path[MAX_PATH + 32];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    wchar_t* end = path + length;
    *end++ = L'\\';
    for (const wchar_t* c = library; *c != L'\0' && end < path + MAX_PATH + 30; ++c)
        *end++ = *c;
    *end = L'\0';
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// The address of `routine` in the system library `library` (kept loaded in `module` for the rest of the
// process). A library or routine the system lacks is the frame's fault "an unresolvable system routine",
// as a missing import would have kept the program from starting at all.
void* SystemRoutine(HMODULE& module, const wchar_t* library, const char* routine) {
    if (module == nullptr)
        module = LoadSystemLibrary(library);
    void* address = module ? reinterpret_cast<void*>(GetProcAddress(module, routine)) : nullptr;
    if (address == nullptr) {
        char message[200];
        std::snprintf(message, sizeof message, "无法找到指定DLL库文件“%ls”中的输出命令“%s”", library, routine);
        ReportRuntimeError(kNoErrorCode, message, 0, 0);
    }
    return address;
}

HMODULE ole32 = nullptr;
HMODULE shell32 = nullptr;

HRESULT WINAPI FirstOleInitialize(LPVOID reserved);
void WINAPI FirstOleUninitialize();
BOOL WINAPI FirstSHGetSpecialFolderPathW(HWND owner, LPWSTR path, int folder, BOOL create);

}  // namespace

// The import slots, by the names the compiler gives them for a routine declared as imported
// ("__imp__" + the stdcall name with its argument bytes). Defined in an object of the program, they are
// taken before the linker looks at ole32's and shell32's import libraries, which are then not used.
extern "C" {
__attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK kestrelRestrictLibrarySearch =
    RestrictLibrarySearchAtStart;
decltype(&OleInitialize) oleInitializeSlot asm("__imp__OleInitialize@4") = FirstOleInitialize;
decltype(&OleUninitialize) oleUninitializeSlot asm("__imp__OleUninitialize@0") = FirstOleUninitialize;
decltype(&SHGetSpecialFolderPathW) shGetSpecialFolderPathWSlot asm("__imp__SHGetSpecialFolderPathW@16") =
    FirstSHGetSpecialFolderPathW;
}

namespace {

HRESULT WINAPI FirstOleInitialize(LPVOID reserved) {
    oleInitializeSlot = reinterpret_cast<decltype(&OleInitialize)>(SystemRoutine(ole32, L"ole32.dll", "OleInitialize"));
    return oleInitializeSlot(reserved);
}

void WINAPI FirstOleUninitialize() {
    oleUninitializeSlot =
        reinterpret_cast<decltype(&OleUninitialize)>(SystemRoutine(ole32, L"ole32.dll", "OleUninitialize"));
    oleUninitializeSlot();
}

BOOL WINAPI FirstSHGetSpecialFolderPathW(HWND owner, LPWSTR path, int folder, BOOL create) {
    shGetSpecialFolderPathWSlot = reinterpret_cast<decltype(&SHGetSpecialFolderPathW)>(
        SystemRoutine(shell32, L"shell32.dll", "SHGetSpecialFolderPathW"));
    return shGetSpecialFolderPathWSlot(owner, path, folder, create);
}

}  // namespace
