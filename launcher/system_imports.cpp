// launcher.exe's way into the system's libraries, closed to a library planted beside it.
//
// The program is started from wherever the user found it, most often the Downloads folder, where any web
// page can drop a file named like a system library. Windows looks in the program's own folder first for
// a library named without a path, so three things keep every library of that folder out of the process:
//
// - Before the C runtime starts, a TLS callback restricts the process's search for libraries named
//   without a path to the system folder (RestrictLibrarySearch, launcher/frame.cpp). A TLS callback of the
//   program is its first code to run: only the libraries of its import table are loaded before it.
// - The import table names kernel32, msvcrt and ntdll alone: the loader resolves the whole tree of the
//   imports (each library's own imports too), program folder first, before any of our code could set the
//   search order. Windows takes known DLLs and their imports from its own copies; Wine keeps no known DLLs,
//   and took a planted shcore.dll (an import of shlwapi, which shell32 imports) or version.dll (an import
//   of its user32) from the program's folder. executable_metadata_tests holds the import table to that list.
// - Every routine of user32, gdi32, advapi32, ole32 and shell32 the program calls is reached through the
//   import slot the compiler calls it by, defined here. Each slot first holds a stub that loads the library
//   from the system folder (its imports from there too), looks the routine up, stores its address in the
//   slot and goes on into it with the caller's arguments untouched. The program's other code calls
//   GetMessageA or OleInitialize as it always did. A routine added elsewhere and not listed here brings its
//   library back into the import table, and the test above says so.
//
// The image's load configuration could also carry dependent-load flags (DependentLoadFlags): Debian 12's
// linker (binutils 2.40) fills no load-configuration directory, and the flags govern a module's own imports
// only, which are known DLLs on Windows anyway. Debian's dlltool delay-import libraries made a program that
// died at its start under Wine, hence the slots of our own.
#include <windows.h>

#include <cstdio>

#include "base/fatal.h"
#include "launcher/frame.h"

namespace {

enum Library { kAdvapi32, kGdi32, kOle32, kShell32, kUser32, kLibraryCount };
const wchar_t* const kLibraryNames[kLibraryCount] = {L"advapi32.dll", L"gdi32.dll", L"ole32.dll", L"shell32.dll",
                                                     L"user32.dll"};

void NTAPI RestrictLibrarySearchAtStart(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        RestrictLibrarySearch();
}

// Loads the system's own `library` (a bare file name) and its imports from the system folder alone.
// Systems without the LOAD_LIBRARY_SEARCH_* flags refuse them as an invalid parameter; there the library
// is named by its full path, and LOAD_WITH_ALTERED_SEARCH_PATH makes its imports be looked for in its own
// folder, the system folder, before the program's.
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

}  // namespace

// Every routine reached through a slot of ours: its library, its name, and the slot's symbol, the name the
// compiler gives a routine declared as imported ("__imp__" and the stdcall name with its argument bytes).
// The number is the row's index, which the row's stub hands to the common part.
#define KESTREL_LATE_ROUTINES(X)                                                           \
    X(0, kAdvapi32, "ConvertStringSecurityDescriptorToSecurityDescriptorW",                \
      "__imp__ConvertStringSecurityDescriptorToSecurityDescriptorW@16")                    \
    X(1, kAdvapi32, "GetTokenInformation", "__imp__GetTokenInformation@20")                \
    X(2, kAdvapi32, "OpenProcessToken", "__imp__OpenProcessToken@12")                      \
    X(3, kGdi32, "GetStockObject", "__imp__GetStockObject@4")                              \
    X(4, kOle32, "OleInitialize", "__imp__OleInitialize@4")                                \
    X(5, kOle32, "OleUninitialize", "__imp__OleUninitialize@0")                            \
    X(6, kShell32, "SHGetSpecialFolderPathW", "__imp__SHGetSpecialFolderPathW@16")         \
    X(7, kUser32, "CreateWindowExA", "__imp__CreateWindowExA@48")                          \
    X(8, kUser32, "DefWindowProcA", "__imp__DefWindowProcA@16")                            \
    X(9, kUser32, "DeleteMenu", "__imp__DeleteMenu@12")                                    \
    X(10, kUser32, "DestroyWindow", "__imp__DestroyWindow@4")                              \
    X(11, kUser32, "DispatchMessageA", "__imp__DispatchMessageA@4")                        \
    X(12, kUser32, "EnableWindow", "__imp__EnableWindow@8")                                \
    X(13, kUser32, "FindWindowA", "__imp__FindWindowA@8")                                  \
    X(14, kUser32, "GetClassInfoExA", "__imp__GetClassInfoExA@12")                         \
    X(15, kUser32, "GetClassLongA", "__imp__GetClassLongA@8")                              \
    X(16, kUser32, "GetMessageA", "__imp__GetMessageA@16")                                 \
    X(17, kUser32, "GetParent", "__imp__GetParent@4")                                      \
    X(18, kUser32, "GetSystemMenu", "__imp__GetSystemMenu@8")                              \
    X(19, kUser32, "GetSystemMetrics", "__imp__GetSystemMetrics@4")                        \
    X(20, kUser32, "GetWindowLongA", "__imp__GetWindowLongA@8")                            \
    X(21, kUser32, "GetWindowRect", "__imp__GetWindowRect@8")                              \
    X(22, kUser32, "GetWindowThreadProcessId", "__imp__GetWindowThreadProcessId@8")        \
    X(23, kUser32, "InvalidateRect", "__imp__InvalidateRect@12")                           \
    X(24, kUser32, "IsWindow", "__imp__IsWindow@4")                                        \
    X(25, kUser32, "KillTimer", "__imp__KillTimer@8")                                      \
    X(26, kUser32, "LoadCursorA", "__imp__LoadCursorA@8")                                  \
    X(27, kUser32, "LoadIconA", "__imp__LoadIconA@8")                                      \
    X(28, kUser32, "MessageBoxA", "__imp__MessageBoxA@16")                                 \
    X(29, kUser32, "MsgWaitForMultipleObjectsEx", "__imp__MsgWaitForMultipleObjectsEx@20") \
    X(30, kUser32, "PeekMessageA", "__imp__PeekMessageA@20")                               \
    X(31, kUser32, "PostQuitMessage", "__imp__PostQuitMessage@4")                          \
    X(32, kUser32, "RegisterClassA", "__imp__RegisterClassA@4")                            \
    X(33, kUser32, "RegisterClassExA", "__imp__RegisterClassExA@4")                        \
    X(34, kUser32, "SendMessageA", "__imp__SendMessageA@16")                               \
    X(35, kUser32, "SetTimer", "__imp__SetTimer@16")                                       \
    X(36, kUser32, "SetWindowLongA", "__imp__SetWindowLongA@12")                           \
    X(37, kUser32, "SetWindowPos", "__imp__SetWindowPos@28")                               \
    X(38, kUser32, "SetWindowTextA", "__imp__SetWindowTextA@8")                            \
    X(39, kUser32, "ShowWindow", "__imp__ShowWindow@8")                                    \
    X(40, kUser32, "TranslateMessage", "__imp__TranslateMessage@4")                        \
    X(41, kUser32, "UpdateWindow", "__imp__UpdateWindow@4")                                \
    X(42, kUser32, "WaitForInputIdle", "__imp__WaitForInputIdle@8")                        \
    X(43, kUser32, "wsprintfA", "__imp__wsprintfA")

// Each row: a stub (its index into %eax, then the common part) and the slot, which holds the stub until
// the first call. Defined in an object of the program, the slots are taken before the linker looks at the
// import libraries, which are then not used.
extern "C" void kestrelLateCommon();

#define KESTREL_STUB(index, library, routine, symbol)                                       \
    extern "C" __attribute__((naked)) void kestrelLateStub##index() {                       \
        asm("movl $" #index ", %eax\n\tjmp _kestrelLateCommon");                            \
    }                                                                                       \
    extern "C" {                                                                            \
    void* kestrelSlot##index asm(symbol) = reinterpret_cast<void*>(kestrelLateStub##index); \
    }
KESTREL_LATE_ROUTINES(KESTREL_STUB)

// The common part, entered with the caller's return address and arguments on the stack as the routine
// expects them: it keeps %ecx and %edx, asks for the routine's address, and jumps into the routine, which
// returns straight to the caller (removing its arguments where it is a stdcall routine).
extern "C" __attribute__((naked)) void kestrelLateCommon() {
    asm("pushl %ecx\n\t"
        "pushl %edx\n\t"
        "pushl %eax\n\t"
        "call _KestrelResolveLateRoutine\n\t"
        "addl $4, %esp\n\t"
        "popl %edx\n\t"
        "popl %ecx\n\t"
        "jmp *%eax");
}

namespace {

struct LateRoutine {
    Library library;
    const char* routine;
    void** slot;
};
#define KESTREL_ROW(index, library, routine, symbol) {library, routine, &kestrelSlot##index},
const LateRoutine kLateRoutines[] = {KESTREL_LATE_ROUTINES(KESTREL_ROW)};

HMODULE modules[kLibraryCount] = {};
bool reporting = false;

}  // namespace

extern "C" {
__attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK kestrelRestrictLibrarySearch =
    RestrictLibrarySearchAtStart;

// The address of row `index`'s routine, stored in its slot for every later call; the library stays loaded
// for the rest of the process. A library or routine the system lacks is the frame's fault "an unresolvable
// system routine", as a missing import would have kept the program from starting at all; the report needs
// user32 itself, so a fault met while reporting ends the process at once, with the report's exit code.
void* KestrelResolveLateRoutine(int index) {
    const LateRoutine& row = kLateRoutines[index];
    HMODULE& module = modules[row.library];
    if (module == nullptr)
        module = LoadSystemLibrary(kLibraryNames[row.library]);
    void* address = module ? reinterpret_cast<void*>(GetProcAddress(module, row.routine)) : nullptr;
    if (address == nullptr) {
        if (reporting)
            ExitProcess(static_cast<UINT>(-1));
        reporting = true;
        char message[200];
        std::snprintf(message, sizeof message, "无法找到指定DLL库文件“%ls”中的输出命令“%s”", kLibraryNames[row.library],
                      row.routine);
        ReportRuntimeError(kNoErrorCode, message, 0, 0);
    }
    *row.slot = address;
    return address;
}
}
