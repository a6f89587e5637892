// base/held_folder.h: folders held open, and what lies below them reached through their handles.
//
// Below the install folder any program of the user can change anything between two of our calls,
// and an elevated launcher must not let it steer a write, a delete or a start. So a folder is held
// open, and below it nothing is addressed by a full path again: each child is opened by its one name
// relative to its parent's handle, a link there (junction, symbolic link, mount point) is opened as
// itself and never followed, and what a file becomes (attributes, times, deletion) is set through the
// handle that made or opened it. Names are UTF-16 as they are on disk; an ANSI name crosses to UTF-16
// once, where it enters (WideFromAnsi). Every operation answers through its result, with GetLastError
// meaningful after a failure; none shows anything or ends the program.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "base/growing_table.h"
#include "base/owners.h"

#ifndef ERROR_REPARSE_POINT_ENCOUNTERED
// A link stands where a plain file or folder must (Windows 8's winerror.h).
#define ERROR_REPARSE_POINT_ENCOUNTERED 4395L
#endif

// A UTF-16 text from the allocator, zero-terminated, of exactly its length. Absent reads as L"".
class WideText {
public:
    WideText() = default;
    ~WideText();
    WideText(WideText&& other) noexcept;
    WideText& operator=(WideText&& other) noexcept;
    WideText(const WideText&) = delete;
    WideText& operator=(const WideText&) = delete;

    static WideText FromChars(const wchar_t* chars, std::size_t length);
    const wchar_t* c_str() const { return chars_ ? chars_ : L""; }  // never null
    std::size_t size() const { return length_; }
    [[nodiscard]] bool absent() const { return chars_ == nullptr; }

private:
    wchar_t* chars_ = nullptr;
    std::size_t length_ = 0;
};

// `ansi` in the system's ANSI code page as UTF-16; absent when it is no valid text of the code page
// (a lead byte without its trail byte). Null and "" give an empty, present text.
WideText WideFromAnsi(const char* ansi);
// `wide` spelt in the ANSI code page for a trace line: characters the code page cannot spell come out
// as "?" (never as a best-fit look-alike such as "\" for a fullwidth backslash).
void AnsiForTrace(const wchar_t* wide, char* into, std::size_t size);

// A held folder: open with list-directory and traverse access, sharing read and write but not delete,
// so that nobody can rename or delete it (and put a link in its place) while it is held. Windows
// applies sharing only to opens that ask for data access, so list access is what makes the hold hold.
using HeldFolder = FileHandle;
// A file, folder or link opened by its name below a held folder.
using ChildHandle = FileHandle;

// Holds the folder at the full path `path`. Links on the way to it are followed (users move their
// application-data folder that way), but the folder itself must be a plain folder: a link there, a
// file or nothing gives no handle (ERROR_REPARSE_POINT_ENCOUNTERED for a link, ERROR_DIRECTORY for a
// file). With `followLink`, a link at the path itself is followed too and its target held: for a
// folder above the ones the program works in, which its caller names and answers for.
[[nodiscard]] HeldFolder HoldFolderPath(const wchar_t* path, bool followLink = false);

// Holds the child folder `name` of `parent`; with `create`, makes it first when nothing stands there
// (`*created` says whether it did). No handle when what stands there is no plain folder.
[[nodiscard]] HeldFolder HoldChildFolder(HANDLE parent, const wchar_t* name, bool create, bool* created = nullptr);

// Creates the file `name` in `parent` with `attributes`; fails when anything stands there already
// (ERROR_FILE_EXISTS). The handle has `access` and DELETE and FILE_WRITE_ATTRIBUTES besides, so that
// its creator can finish the file or discard it through it.
[[nodiscard]] ChildHandle CreateChildFile(HANDLE parent, const wchar_t* name, DWORD access, DWORD share,
                                          DWORD attributes);

// Opens the existing plain file `name` of `parent`; a folder or a link there gives no handle.
[[nodiscard]] ChildHandle OpenChildFile(HANDLE parent, const wchar_t* name, DWORD access, DWORD share);

// Opens whatever stands at `name` in `parent` as itself (a link as the link), for `access`.
[[nodiscard]] ChildHandle OpenChildAsItself(HANDLE parent, const wchar_t* name, DWORD access, DWORD share);

// What one entry of a folder listing says of itself, its name as stored on disk.
struct FolderEntry {
    WideText name;
    DWORD attributes = 0;      // FILE_ATTRIBUTE_REPARSE_POINT marks a link, whatever it points at
    std::uint64_t fileId = 0;  // the file system's id of the entry, 0 where it keeps none
};

// Every entry of the held folder but "." and "..", in the file system's order. False when the folder
// cannot be listed; `entries` then holds what was listed before the failure.
[[nodiscard]] bool ListEntries(HANDLE folder, GrowingTable<FolderEntry>& entries);

// What the listing of `parent` says of the entry `name` (attributes and id). False when no entry of
// that name is listed.
[[nodiscard]] bool LookUpEntry(HANDLE parent, const wchar_t* name, FolderEntry& entry);

// Removes what stands at `name` in `parent`: a file, an empty folder, or a link as a link (its target
// is left as it is). A read-only file stays unless `evenReadOnly`, and even then when another name
// shares it (its attributes are the other name's too). True when it is gone or nothing was there.
[[nodiscard]] bool RemoveChild(HANDLE parent, const wchar_t* name, bool evenReadOnly);

// Marks the file or empty folder open through `handle` (opened with DELETE access) for deletion: it
// goes when the last handle to it closes.
[[nodiscard]] bool DeleteThroughHandle(HANDLE handle);
// Sets the attributes of what `handle` is open on (with FILE_WRITE_ATTRIBUTES access).
[[nodiscard]] bool SetAttributesThroughHandle(HANDLE handle, DWORD attributes);
// The attributes of what `handle` is open on, and its link count; false when they cannot be read.
[[nodiscard]] bool QueryHandle(HANDLE handle, DWORD& attributes, DWORD& links, std::uint64_t& fileId);

// True when `name` is one component a held folder can hold: not empty, not "." or "..", and free of
// "\" and "/" (which would reach past the folder) and of ":" (a stream or a drive).
[[nodiscard]] bool IsSingleName(const wchar_t* name);
