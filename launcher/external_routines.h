// launcher/external_routines.h: the routines of system libraries the program calls by name, resolved
// on first call rather than imported. The table holds every routine the program declares at start-up.
// A library the system folder holds is loaded from there only, so a file of the same name dropped
// beside the program (a Downloads folder) is never run.
#pragma once
#include <windows.h>

#include <cstdint>

#include "base/owners.h"
#include "base/text.h"

// `library` may be empty (the usual system libraries are searched), a file name, or a full path with
// a drive colon; `exportName` is a name or "#" followed by a decimal ordinal.
struct ExternalRoutineDeclaration {
    const char* library;
    const char* exportName;
};

// Fills the table from the declarations (kept by reference: they are the program's constants).
// Nothing is resolved yet.
void SetExternalRoutines(const ExternalRoutineDeclaration* declarations, int count);

// The entry point of routine `index`, resolved and cached on first use. An export that cannot be
// found is the fatal report naming the library and the export; an index outside the table is
// runtime error 1.
[[nodiscard]] FARPROC ResolveExternalRoutine(int index);

// Calls routine `index` with one 32-bit argument as a system routine expects it (stdcall: the
// routine removes its argument) and answers its 32-bit result. The stack position is compared
// before and after the call; a difference is runtime error 6 at (position1, position2).
std::uint32_t CallExternalRoutine(int index, std::uint32_t argument, std::int32_t position1, std::int32_t position2);

// The end of the program: releases every library loaded for the table and clears it.
void ReleaseExternalRoutines();

// Loads a library by the table's rules: a full path with a colon as given; a name the system folder
// holds from the system folder only; any other name from the program folder, then the system's
// usual search. `programFolder` has no trailing backslash. None when nothing loads.
[[nodiscard]] ModuleHandle LoadRoutineLibrary(const char* library, const char* programFolder);

// The system folder's copy of `library` (system folder, backslash, name, with ".dll" added to a name
// without an extension as LoadLibraryA does), or absent (ERROR_FILE_NOT_FOUND) when the system folder
// holds no such file. LoadRoutineLibrary takes such a library from there only.
Text SystemLibraryPath(const char* library);
