// sysops/folders.h: well-known folders, and folders and files on disk addressed by ANSI path (below a
// held folder, base/held_folder.h does the work). Every operation answers through its result; none shows anything or ends
// the program.
#pragma once
#include <windows.h>

#include <cstdint>

#include "base/held_folder.h"
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

// The folder's path ending in a backslash (appended unless its last character is the backslash; a
// double-byte character whose trail byte is 0x5C is no separator), or the empty Text for an unknown
// id or a failed lookup. A path the ANSI code page cannot spell comes back in its short (8.3) form;
// when that cannot be spelled either, the result is empty.
Text LookUpSpecialFolder(std::int32_t id);

// The same folder in UTF-16, as the system names it, with one trailing backslash: for work that goes
// on below it through held folders, where no code page may stand between the system's name and ours.
// False, and `folder` absent, for an unknown id or a failed lookup.
[[nodiscard]] bool LookUpSpecialFolderWide(std::int32_t id, WideText& folder);

[[nodiscard]] bool CreateFolder(const char* path);  // true when the system created this one folder
[[nodiscard]] bool RemoveFile(const char* path);    // true when the system deleted the file; no wildcards

// RemoveFolderBelow (base/held_folder.h) for the folder at `path`: leading spaces are skipped; "", "X:" and "X:\" touch
// nothing. The folder above the last component is held by its path, links on the way followed (it is
// the caller's); the folder itself, when it is a link, is removed as a link and never followed.
[[nodiscard]] bool RemoveFolder(const char* path);
