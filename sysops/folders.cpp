#include "sysops/folders.h"

#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>

#include "base/held_folder.h"
#include "base/owners.h"
#include "base/text.h"

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

// `wide` spelt exactly in the ANSI code page, or absent when a character has no exact spelling (a
// best-fit look-alike would name another folder) or the spelling leaves no room for the trailing
// backslash within the 260 bytes of a path.
Text SpellInAnsi(const wchar_t* wide) {
    Text ansi = AnsiFromWide(wide, Unspellable::Fails);
    if (ansi.size() >= MAX_PATH)
        return Text{};
    return ansi;
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
    Text path = SpellInAnsi(wide);
    if (path.empty()) {
        // The short form of a long name is ASCII; it names the same folder.
        wchar_t shortForm[MAX_PATH];
        DWORD length = GetShortPathNameW(wide, shortForm, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return Text();
        path = SpellInAnsi(shortForm);
        if (path.empty())
            return Text();
    }
    // The last character, not the last byte: the trail byte 0x5C of a double-byte character ("\xD5\x5C",
    // 誠) is part of that character and no separator.
    if (*LastChar(path.c_str()) != '\\')
        path = JoinText(path.c_str(), "\\");
    return path;
}

bool LookUpSpecialFolderWide(std::int32_t id, WideText& folder) {
    folder = WideText{};
    wchar_t wide[MAX_PATH + 1];
    if (id < SpecialFolderId::Documents || id > SpecialFolderId::TempFolder ||
        !FetchWide(id, reinterpret_cast<wchar_t(&)[MAX_PATH]>(wide)))
        return false;
    std::size_t length = std::wcslen(wide);
    if (length == 0)
        return false;
    if (wide[length - 1] != L'\\')
        wide[length++] = L'\\';
    folder = WideText::FromChars(wide, length);
    return true;
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
    return parent && RemoveFolderBelow(parent, wideName.c_str());
}
