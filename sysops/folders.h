// sysops/folders.h: well-known folders, and folders and files on disk addressed by ANSI path.
// Every operation answers through its result; none shows anything or ends the program.
#pragma once
#include <cstdint>

#include "base/text.h"

// The well-known folders LookUpSpecialFolder knows; every other id names no folder.
namespace SpecialFolderId {
constexpr std::int32_t Documents = 1;
constexpr std::int32_t Favorites = 2;
constexpr std::int32_t Desktop = 3;
constexpr std::int32_t Fonts = 4;
constexpr std::int32_t StartMenu = 5;
constexpr std::int32_t Programs = 6;
constexpr std::int32_t Startup = 7;
constexpr std::int32_t AppData = 8;  // the roaming application-data folder, the launcher's
constexpr std::int32_t WindowsFolder = 9;
constexpr std::int32_t SystemFolder = 10;
constexpr std::int32_t TempFolder = 11;
}  // namespace SpecialFolderId

// The folder's path ending in a backslash (appended only when the last byte is not 0x5C), or the
// empty Text for an unknown id or a failed lookup. A path the ANSI code page cannot spell comes
// back in its short (8.3) form; when that cannot be spelled either, the result is empty.
Text LookUpSpecialFolder(std::int32_t id);

bool CreateFolder(const char* path);  // true when the system created this one folder
bool RemoveFile(const char* path);    // true when the system deleted the file; no wildcards
// True only when the folder itself is gone. Leading spaces are skipped; "", "X:" and "X:\" touch
// nothing. A link (junction or symbolic link) is removed as an entry, never followed. Each folder is
// held open while it is emptied, so that it cannot be renamed and replaced by a link meanwhile; a
// folder that cannot be held is not emptied.
bool RemoveFolder(const char* path);

// For tests: `hook` is called with each folder's path once RemoveFolder holds it, before emptying it
// (null: nothing is called). It lets a test act from outside at that moment.
void SetFolderHeldHook(void (*hook)(const char* folder));
