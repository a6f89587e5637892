#include "launcher/external_routines.h"

#include <cstdio>
#include <cstdlib>

#include "base/fatal.h"
#include "base/growing_table.h"
#include "base/owners.h"
#include "base/text.h"
#include "launcher/frame.h"

namespace {

struct ExternalRoutine {
    const char* library;
    const char* exportName;
    FARPROC address = nullptr;
    ModuleHandle module{};  // the library the address lies in, loaded for the table
};

// As many routines as the program declares.
GrowingTable<ExternalRoutine> routines;

// Tried in this order when a routine names no library.
const char* const kUsualLibraries[] = {"Kernel32.dll", "Gdi32.dll", "User32.dll",
                                       "Advapi32.dll", "Mpr.dll",   "Shell32.dll"};

bool HasDriveColon(const char* name) {
    for (const char* p = name; *p; p = NextChar(p))
        if (*p == ':')
            return true;
    return false;
}

// "#123" names ordinal 123 (modulo 65536); anything else is a name.
LPCSTR ExportKey(const char* exportName) {
    if (exportName[0] != '#')
        return exportName;
    unsigned long ordinal = std::strtoul(exportName + 1, nullptr, 10);
    return MAKEINTRESOURCEA(static_cast<WORD>(ordinal % 65536));
}

}  // namespace

Text SystemLibraryPath(const char* name) {
    char folder[MAX_PATH];
    UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return Text{};
    Text path = JoinText(folder, JoinText("\\", name).c_str());
    // LoadLibraryA adds ".dll" to a file name without an extension, so "Kernel32" names the system's
    // "Kernel32.dll" too; without this look it would be taken from beside the program.
    const char* backslash = FindLastBackslash(name);
    bool hasExtension = false;
    for (const char* p = backslash ? backslash + 1 : name; *p; p = NextChar(p))
        hasExtension = hasExtension || *p == '.';
    if (!hasExtension)
        path = JoinText(path.c_str(), ".dll");
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return Text{};
    }
    return path;
}

namespace {

[[noreturn]] void ReportMissingExport(const ExternalRoutine& routine) {
    char message[1024];
    if (routine.library[0] == '\0')
        std::snprintf(message, sizeof message, "无法找到指定DLL库文件中的输出命令“%s”", routine.exportName);
    else
        std::snprintf(message, sizeof message, "无法找到指定DLL库文件“%s”中的输出命令“%s”", routine.library,
                      routine.exportName);
    ReportRuntimeError(kNoErrorCode, message, 0, 0);
}

}  // namespace

ModuleHandle LoadRoutineLibrary(const char* library, const char* programFolder) {
    if (HasDriveColon(library))
        return ModuleHandle{LoadLibraryA(library)};
    // A library the system holds comes from the system folder and from nowhere else: searching the
    // program's folder first would load whatever file of that name lies beside the program.
    Text systemCopy = SystemLibraryPath(library);
    if (!systemCopy.absent())
        return ModuleHandle{LoadLibraryA(systemCopy.c_str())};
    Text beside = JoinText(programFolder, JoinText("\\", library).c_str());
    if (ModuleHandle module{LoadLibraryA(beside.c_str())})
        return module;
    return ModuleHandle{LoadLibraryA(library)};
}

void SetExternalRoutines(const ExternalRoutineDeclaration* declarations, int count) {
    ReleaseExternalRoutines();
    for (int i = 0; i < count; ++i)
        routines.Append(ExternalRoutine{.library = declarations[i].library ? declarations[i].library : "",
                                        .exportName = declarations[i].exportName ? declarations[i].exportName : ""});
}

FARPROC ResolveExternalRoutine(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= routines.size())
        ReportRuntimeError(kIndexAboveRange, "", 0, 0);
    ExternalRoutine& routine = routines[index];
    if (routine.address)
        return routine.address;
    LPCSTR key = ExportKey(routine.exportName);

    // No library named: the usual ones in turn. A library without the export is unloaded again.
    if (routine.library[0] == '\0') {
        for (const char* library : kUsualLibraries) {
            ModuleHandle module = LoadRoutineLibrary(library, ProgramFolder());
            if (!module)
                continue;
            if (FARPROC address = GetProcAddress(module.get(), key)) {
                routine.address = address;
                routine.module = std::move(module);
                return address;
            }
        }
        ReportMissingExport(routine);
    }

    ModuleHandle module = LoadRoutineLibrary(routine.library, ProgramFolder());
    FARPROC address = module ? GetProcAddress(module.get(), key) : nullptr;
    if (address == nullptr) {
        module.reset();  // now: the report does not come back to run the owner's destructor
        ReportMissingExport(routine);
    }
    routine.address = address;
    routine.module = std::move(module);
    return address;
}

std::uint32_t CallExternalRoutine(int index, std::uint32_t argument, std::int32_t position1, std::int32_t position2) {
    FARPROC address = ResolveExternalRoutine(index);
    std::uint32_t result;
    std::int32_t imbalance;
    // The stack position is kept in ESI, which every Windows calling convention preserves, and put
    // back after the call, so that a routine that leaves its argument behind (or takes too much)
    // cannot break this routine's stack before the imbalance is reported.
    asm volatile(
        "movl %%esp, %%esi\n\t"
        "pushl %[argument]\n\t"
        "call *%[address]\n\t"
        "movl %%esp, %%edx\n\t"
        "subl %%esi, %%edx\n\t"
        "movl %%esi, %%esp\n\t"
        : "=a"(result), "=d"(imbalance)
        : [argument] "b"(argument), [address] "D"(address)
        : "ecx", "esi", "memory", "cc");
    if (imbalance != 0)
        ReportRuntimeError(kStackImbalance, "", position1, position2);
    return result;
}

void ReleaseExternalRoutines() { routines.Clear(); }  // each routine's owner frees its library
