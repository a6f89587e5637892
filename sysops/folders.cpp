#include "sysops/folders.h"

#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>

#include "base/owners.h"
#include "base/growing_table.h"

namespace {

// The shell folder behind ids 1 to 8; 0 for the rest.
int ShellFolderOf(std::int32_t id) {
    switch (id) {
    case SpecialFolderId::Documents: return CSIDL_PERSONAL;
    case SpecialFolderId::Favorites: return CSIDL_FAVORITES;
    case SpecialFolderId::Desktop: return CSIDL_DESKTOPDIRECTORY;
    case SpecialFolderId::Fonts: return CSIDL_FONTS;
    case SpecialFolderId::StartMenu: return CSIDL_STARTMENU;
    case SpecialFolderId::Programs: return CSIDL_PROGRAMS;
    case SpecialFolderId::Startup: return CSIDL_STARTUP;
    case SpecialFolderId::AppData: return CSIDL_APPDATA;
    default: return 0;
    }
}

// The folder as the system knows it, in Unicode. The ANSI lookups would hand back "?" for every
// character the code page cannot spell (a Polish or Korean user name on a GBK system), a path that
// names no folder, so the lookup is made in Unicode and spelled in ANSI afterwards.
[[nodiscard]] bool FetchWide(std::int32_t id, wchar_t (&wide)[MAX_PATH]) {
    wide[0] = L'\0';
    if (int shellFolder = ShellFolderOf(id))
        return SHGetSpecialFolderPathW(nullptr, wide, shellFolder, FALSE) != FALSE;
    UINT length = 0;
    if (id == SpecialFolderId::WindowsFolder)
        length = GetWindowsDirectoryW(wide, MAX_PATH);
    else if (id == SpecialFolderId::SystemFolder)
        length = GetSystemDirectoryW(wide, MAX_PATH);
    else if (id == SpecialFolderId::TempFolder)
        length = GetTempPathW(MAX_PATH, wide);
    // Too small a buffer is answered with the size needed, which is a failure here.
    return length != 0 && length < MAX_PATH;
}

// `wide` in the ANSI code page, into the 260-byte buffer; false when the code page cannot spell
// every character exactly (checked by converting back, which also catches best-fit look-alikes)
// or the spelling does not fit.
[[nodiscard]] bool SpellInAnsi(const wchar_t* wide, char (&ansi)[MAX_PATH + 1]) {
    ansi[0] = '\0';
    BOOL usedDefault = FALSE;
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, MAX_PATH, nullptr, &usedDefault) == 0 || usedDefault) {
        ansi[0] = '\0';
        return false;
    }
    wchar_t back[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, -1, back, MAX_PATH) == 0 ||
        std::wcscmp(back, wide) != 0) {
        ansi[0] = '\0';
        return false;
    }
    return true;
}

// One entry of a folder being emptied, gathered before anything in the folder is removed.
struct FolderEntry {
    Text path;
    bool isFolder = false;
    bool isLink = false;  // a junction or symbolic link: removed itself, never descended into
};

void ListFolderEntries(const char* folder, GrowingTable<FolderEntry>& entries) {
    // The backslash goes in even when the folder already ends in one.
    Text pattern = JoinText(folder, "\\*.*");
    WIN32_FIND_DATAA found;
    FindHandle search{FindFirstFileA(pattern.c_str(), &found)};
    if (!search)
        return;  // missing, a file, or unreadable: nothing to list
    Text prefix = JoinText(folder, "\\");
    do {
        // Passes over "." and "..", and every other name that begins with a full stop.
        if (found.cFileName[0] == '.')
            continue;
        FolderEntry entry;
        entry.path = JoinText(prefix.c_str(), found.cFileName);
        entry.isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.isLink = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        entries.Append(std::move(entry));
    } while (FindNextFileA(search.get(), &found));
}

void (*folderHeldHook)(const char* folder) = nullptr;

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Opens the folder at `path` itself (never what a link there points at) and keeps it open while it is
// emptied: sharing read and write but not delete, so that nobody can rename it and put a link to
// another tree in its place between the listing and the removal of its entries by path. Answers no
// handle when the folder cannot be held, or when what is there is no plain folder (a file, or a
// junction, symbolic link or mount point that took the folder's place since it was listed): such a
// folder is not emptied.
FileHandle HoldPlainFolder(const char* path) {
    FileHandle held{CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
    BY_HANDLE_FILE_INFORMATION information;
    if (!held || !GetFileInformationByHandle(held.get(), &information) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || IsLink(information.dwFileAttributes))
        return FileHandle{};
    // The path is looked at too, now that nothing can take its place: Wine opens the target of a Unix
    // symbolic link whatever the flags say, and reports the link only on the path.
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || IsLink(attributes))
        return FileHandle{};
    if (folderHeldHook)
        folderHeldHook(path);
    return held;
}

// Empties a folder its caller holds. Depth first: each plain subfolder is held, emptied, let go and
// then removed; a link is removed as an entry, its target left as it is. A failure on one entry does
// not stop the others, and nothing is restored.
void EmptyHeldFolder(const char* folder) {
    GrowingTable<FolderEntry> entries;
    ListFolderEntries(folder, entries);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const FolderEntry& entry = entries[i];
        if (!entry.isFolder) {
            DeleteFileA(entry.path.c_str());
            continue;
        }
        if (!entry.isLink) {
            if (FileHandle held = HoldPlainFolder(entry.path.c_str()))
                EmptyHeldFolder(entry.path.c_str());
        }
        // Removed by path once let go: were a link in the folder's place by now, the link would go.
        RemoveDirectoryA(entry.path.c_str());
    }
}

}  // namespace

Text LookUpSpecialFolder(std::int32_t id) {
    if (id < SpecialFolderId::Documents || id > SpecialFolderId::TempFolder)
        return Text();
    wchar_t wide[MAX_PATH];
    if (!FetchWide(id, wide))
        return Text();
    // One byte more than the fetched path, for the appended backslash.
    char path[MAX_PATH + 1];
    if (!SpellInAnsi(wide, path)) {
        // The short form of a long name is ASCII; it names the same folder.
        wchar_t shortForm[MAX_PATH];
        DWORD length = GetShortPathNameW(wide, shortForm, MAX_PATH);
        if (length == 0 || length >= MAX_PATH || !SpellInAnsi(shortForm, path))
            return Text();
    }
    std::size_t length = std::strlen(path);
    if (length == 0)
        return Text();
    // Only the last byte is tested: a trail byte 0x5C already counts as the separator.
    if (path[length - 1] != '\\')
        path[length++] = '\\';
    return Text::FromBytes(path, length);
}

bool CreateFolder(const char* path) { return CreateDirectoryA(path ? path : "", nullptr) != FALSE; }

bool RemoveFile(const char* path) { return DeleteFileA(path ? path : "") != FALSE; }

bool RemoveFolder(const char* path) {
    if (path == nullptr)
        return false;
    while (*path == ' ')  // spaces only; a tab is part of the path
        ++path;
    if (*path == '\0')
        return false;
    if (path[1] == ':' && (path[2] == '\0' || (path[2] == '\\' && path[3] == '\0')))
        return false;  // a bare drive or a drive root is never emptied
    // A folder that is itself a link is removed as a link: what it points at is not ours.
    if (FileHandle held = HoldPlainFolder(path))
        EmptyHeldFolder(path);
    return RemoveDirectoryA(path) != FALSE;
}

void SetFolderHeldHook(void (*hook)(const char* folder)) { folderHeldHook = hook; }
