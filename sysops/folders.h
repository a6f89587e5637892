// sysops/folders.h: well-known folders, and folders and files on disk addressed by ANSI path, or by
// name below a held folder. Every operation answers through its result; none shows anything or ends
// the program.
#pragma once
#include <windows.h>

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

// The folder's path ending in a backslash (appended unless its last character is the backslash; a
// double-byte character whose trail byte is 0x5C is no separator), or the empty Text for an unknown
// id or a failed lookup. A path the ANSI code page cannot spell comes back in its short (8.3) form;
// when that cannot be spelled either, the result is empty.
Text LookUpSpecialFolder(std::int32_t id);

[[nodiscard]] bool CreateFolder(const char* path);  // true when the system created this one folder
[[nodiscard]] bool RemoveFile(const char* path);    // true when the system deleted the file; no wildcards

// Removes the folder `name` of the held folder `parent` with everything in it; true only when the
// folder itself is gone at the end. Below `parent` nothing is addressed by path: each folder is held
// (so that nobody can rename it and put a link in its place while it is emptied), listed with its
// UTF-16 names, and each of its entries is opened by name relative to it, as itself, and deleted
// through that handle when it still is what the listing said. Subfolders are emptied depth first,
// with no limit of depth or path length. A link (junction, symbolic link, mount point) is never
// entered: it is removed as a link, or left where the platform cannot remove it (Wine). Read-only
// files stay, and so do names that begin with a full stop; with them stay the folders above them.
[[nodiscard]] bool RemoveFolderBelow(HANDLE parent, const wchar_t* name);

// RemoveFolderBelow for the folder at `path`: leading spaces are skipped; "", "X:" and "X:\" touch
// nothing. The folder above the last component is held by its path, links on the way followed (it is
// the caller's); the folder itself, when it is a link, is removed as a link and never followed.
[[nodiscard]] bool RemoveFolder(const char* path);

// For tests: seams that let a test act from outside at two moments of a removal (null: nothing is
// called). `held` is called with each folder once it is held, before it is listed; `listed` with
// each entry of a folder (its name as listed) after the listing, before the entry is opened.
void SetFolderHeldHook(void (*held)(HANDLE folder, const wchar_t* name));
void SetEntryListedHook(void (*listed)(HANDLE folder, const wchar_t* entry));
