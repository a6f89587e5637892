#include "sysops/folders.h"

#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>

#include "base/growing_table.h"
#include "base/held_folder.h"
#include "base/owners.h"

namespace {

// The shell folder behind ids 1 to 8; 0 for the rest.
int ShellFolderOf(std::int32_t id) {
    // clang-format off
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
    // clang-format on
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

void (*folderHeldHook)(HANDLE folder, const wchar_t* name) = nullptr;
void (*entryListedHook)(HANDLE folder, const wchar_t* entry) = nullptr;

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Removes the entry `name` of the held `folder` through a handle opened on it as itself: a link as a
// link, whatever it leads to; otherwise only when it still is what the listing said (`wasFolder`: an
// emptied folder; else a file) and is not read-only. Something else found at the name (a link, a
// file or a folder swapped in since the listing) stays where it is. `listedId` is the id the walk's
// listing gave the entry (0: none known). True when it is gone.
bool RemoveEntry(HANDLE folder, const wchar_t* name, bool wasFolder, std::uint64_t listedId) {
    ChildHandle entry = OpenChildAsItself(folder, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!entry)
        return false;
    DWORD attributes = 0, links = 0;
    std::uint64_t id = 0;
    if (!QueryHandle(entry.get(), attributes, links, id))
        return false;
    // Windows opens a link as itself, and the handle says so. Wine 8 opens a Unix symbolic link's
    // target whatever the flags and shows the link only in listings (0x410). So a handle that shows no
    // link must be on the very object the walk listed as a plain entry (the same id); otherwise the
    // folder's listing is asked now: a link there, or another id than the handle's (swapped since the
    // open), and the handle is on something that is not this entry: deleting through it could delete
    // a link's target.
    if (!IsLink(attributes) && (listedId == 0 || id != listedId)) {
        FolderEntry listed;
        if (!LookUpEntry(folder, name, listed))
            return false;
        if (IsLink(listed.attributes) || (listed.fileId != 0 && id != 0 && listed.fileId != id)) {
            SetLastError(ERROR_REPARSE_POINT_ENCOUNTERED);
            return false;
        }
    }
    if (!IsLink(attributes)) {
        if (IsFolder(attributes) != wasFolder) {
            SetLastError(wasFolder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
            return false;
        }
        if (attributes & FILE_ATTRIBUTE_READONLY) {  // kept, as the removal has always kept it
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
    }
    // A folder that is not empty refuses (STATUS_DIRECTORY_NOT_EMPTY) and stays.
    if (!DeleteThroughHandle(entry.get()))
        return false;
    return entry.close();
}

// One held folder of the walk, with its entries as listed before any of them is touched.
struct Level {
    HeldFolder folder;
    WideText name;               // its name in the folder above
    std::uint64_t listedId = 0;  // its id in the listing of the folder above (0: none known)
    GrowingTable<FolderEntry> entries;
    std::size_t next = 0;  // the entry to take next
};

void Enter(GrowingTable<Level>& walk, HeldFolder held, const wchar_t* name, std::uint64_t listedId) {
    if (folderHeldHook)
        folderHeldHook(held.get(), name);
    Level level;
    level.folder = std::move(held);
    level.listedId = listedId;
    level.name = WideText::FromChars(name, std::wcslen(name));
    // A listing that fails part way leaves what it got; what it missed keeps the folder from going.
    (void)ListEntries(level.folder.get(), level.entries);
    walk.Append(std::move(level));
}

// Empties the folder `top` (held, named `name`) depth first: each plain subfolder is held, listed,
// emptied, let go and then removed from its parent; a link is removed as an entry, never entered. The
// walk keeps its own stack of held folders, so that no depth of folders can exhaust the thread's
// stack. A failure on one entry does not stop the others, and nothing is restored.
void EmptyHeldFolder(HeldFolder top, const wchar_t* name) {
    GrowingTable<Level> walk;
    Enter(walk, std::move(top), name, 0);
    while (!walk.empty()) {
        const std::size_t depth = walk.size() - 1;
        if (walk[depth].next == walk[depth].entries.size()) {
            WideText done = std::move(walk[depth].name);
            const std::uint64_t doneId = walk[depth].listedId;
            walk.RemoveAt(depth);  // lets the folder go: it cannot be deleted while held
            if (depth > 0)
                (void)RemoveEntry(walk[depth - 1].folder.get(), done.c_str(), true, doneId);
            continue;
        }
        const FolderEntry& entry = walk[depth].entries[walk[depth].next++];
        const wchar_t* entryName = entry.name.c_str();
        // Passes over every name that begins with a full stop, as the removal always has.
        if (entryName[0] == L'.')
            continue;
        HANDLE folder = walk[depth].folder.get();
        if (entryListedHook)
            entryListedHook(folder, entryName);
        const bool isFolder = IsFolder(entry.attributes);
        if (isFolder && !IsLink(entry.attributes)) {
            // Held only when it still is a plain folder: a link or a file swapped in stays unentered.
            if (HeldFolder held = HoldChildFolder(folder, entryName, false)) {
                // `entry` may move in memory now: not used again.
                Enter(walk, std::move(held), entryName, entry.fileId);
                continue;
            }
        }
        (void)RemoveEntry(folder, entryName, isFolder, entry.fileId);
    }
}

// The bounds of the last component of `path` by the double-byte rules (a trail byte 0x5C is no
// separator; "\\" and "/" are), with separators after it and the dots and spaces that end it left out,
// as Windows leaves them out of a path's last component.
void LastComponent(const char* path, const char*& start, const char*& end) {
    start = path;
    end = path;
    bool afterSeparator = true;
    for (const char* p = path; *p; p = NextChar(p)) {
        if (*p == '\\' || *p == '/') {
            afterSeparator = true;
            continue;
        }
        if (afterSeparator) {
            start = p;
            end = p;
            afterSeparator = false;
        }
        if (*p != '.' && *p != ' ')
            end = NextChar(p);
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
    // The last character, not the last byte: the trail byte 0x5C of a double-byte character ("\xD5\x5C",
    // 誠) is part of that character and no separator.
    if (*LastChar(path) != '\\')
        path[length++] = '\\';
    return Text::FromBytes(path, length);
}

bool CreateFolder(const char* path) { return CreateDirectoryA(path ? path : "", nullptr) != FALSE; }

bool RemoveFile(const char* path) { return DeleteFileA(path ? path : "") != FALSE; }

bool RemoveFolderBelow(HANDLE parent, const wchar_t* name) {
    if (!IsSingleName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // Not held (a link, a file, or nothing there): not emptied, and removed only when it is a link.
    if (HeldFolder held = HoldChildFolder(parent, name, false))
        EmptyHeldFolder(std::move(held), name);
    return RemoveEntry(parent, name, true, 0);
}

bool RemoveFolder(const char* path) {
    if (path == nullptr)
        return false;
    while (*path == ' ')  // spaces only; a tab is part of the path
        ++path;
    if (*path == '\0')
        return false;
    if (path[1] == ':' && (path[2] == '\0' || (path[2] == '\\' && path[3] == '\0')))
        return false;  // a bare drive or a drive root is never emptied
    // "C:x" names x in drive C's current folder: the drive is no part of the components.
    const bool driveRelative = path[1] == ':' && path[2] != '\\' && path[2] != '/';
    const char* from = driveRelative ? path + 2 : path;
    const char* start = nullptr;
    const char* end = nullptr;
    LastComponent(from, start, end);
    if (end == start)
        return false;  // nothing but separators, dots and spaces: no folder of its own
    Text name = Text::FromBytes(start, static_cast<std::size_t>(end - start));
    // The folder above: up to the separator before the name, which stays when it is the root's
    // ("\\x", "C:\\x"); the current folder (of the drive, for "C:x") when there is no separator.
    Text above;
    if (start == from)
        above = driveRelative ? JoinText(Text::FromBytes(path, 2).c_str(), ".") : Text::Copy(".");
    else if (start - 1 == path || start[-2] == ':')
        above = Text::FromBytes(path, static_cast<std::size_t>(start - path));
    else
        above = Text::FromBytes(path, static_cast<std::size_t>(start - 1 - path));
    // Each crosses to UTF-16 once, here; an unfinished double-byte character names nothing.
    WideText wideAbove = WideFromAnsi(above.c_str());
    WideText wideName = WideFromAnsi(name.c_str());
    if (wideAbove.absent() || wideName.absent())
        return false;
    // What lies above the named folder is the caller's, links and all.
    HeldFolder parent = HoldFolderPath(wideAbove.c_str(), true);
    return parent && RemoveFolderBelow(parent.get(), wideName.c_str());
}

void SetFolderHeldHook(void (*held)(HANDLE folder, const wchar_t* name)) { folderHeldHook = held; }

void SetEntryListedHook(void (*listed)(HANDLE folder, const wchar_t* entry)) { entryListedHook = listed; }
