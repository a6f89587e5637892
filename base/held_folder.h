// base/held_folder.h: the work on disk below a held folder, in one place: folders held open, what
// lies below them reached through their handles, files made new, a tree made on the way down and
// removed on the way up.
//
// Below the install folder any program of the user can change anything between two of our calls,
// and an elevated launcher must not let it steer a write, a delete or a start. Each race, and what
// defends against it:
// - A folder renamed, and a link put in its place, while we work in it: every folder we work in is
//   held (HoldFolderPath, HoldChildFolder, HeldWay) with list access and no delete sharing, so the
//   rename fails; below it nothing is named by a full path again.
// - A link at a name we open (junction, symbolic link, mount point): every open is relative to the
//   held parent with FILE_OPEN_REPARSE_POINT, and the one link check (IsOpenOnListedEntry: the handle
//   and the parent's listing agree on the entry, its id and that it is no link) keeps what is opened
//   through a link from being used as a plain file or folder.
// - A name swapped between a listing and the open that acts on it: the same check compares the open
//   handle's file id with the listing's (RemoveNamedChild; RemoveFolderBelow for folders and links, which
//   it enters or removes as links: a file at a listed file's name lies in the tree whatever it is, and
//   is deleted as itself, DeleteChildFile).
// - A short (8.3) alias that opens another entry than the one named: the check matches the exact
//   name as listed (RemoveNamedChild).
// - A hard link, or a file kept open, at a name we write: nothing is written into an existing file;
//   what stands there is removed as a name first and the file is created where nothing stands, so
//   anything that appears in between fails the creation (CreateFreshChildFile).
// - A file written, then changed before it is used: what was written is used through the handle that
//   wrote it, or through one opened again and checked to be the same file (its volume and id:
//   IsHeldFile, PathNamesHeldFile; its content by the caller) and held without write or delete sharing
//   until its use is over.
// - A held folder's name pointed elsewhere between its emptying and its removal: the folder is
//   emptied through the handle that holds it, and its name removed only while it still names that
//   folder (RemoveHeldFolder).
// - A read-only mark cleared by path (only where the platform refuses it through the handle): the
//   path is checked again to be the held file first, and no mark is ever put back by path
//   (ClearReadOnly, inside RemoveNamedChild).
// - A file another program holds open with delete sharing (a scanner, the search indexer) while we
//   remove it: with the older deletion its name, and so its folder, stays until that program closes
//   it; deleted with POSIX semantics where the system has them, the name goes at once
//   (DeleteThroughHandle).
// Names are UTF-16 as they are on disk; an ANSI name crosses to UTF-16 once, where it enters
// (WideFromAnsi, base/text.h). Every operation answers through its result, with GetLastError
// meaningful after a failure; none shows anything or ends the program.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "base/growing_table.h"
#include "base/owners.h"
#include "base/text.h"

#ifndef ERROR_REPARSE_POINT_ENCOUNTERED
// A link stands where a plain file or folder must (Windows 8's winerror.h).
#define ERROR_REPARSE_POINT_ENCOUNTERED 4395L
#endif

// A held folder: open with list-directory and traverse access, sharing read and write but not delete,
// so that nobody can rename or delete it (and put a link in its place) while it is held. Windows
// applies sharing only to opens that ask for data access, so list access is what makes the hold hold.
// Only the functions that hold a folder make one, so that a handle opened another way (on a file, or
// without the hold's access and sharing) cannot stand where a held folder must.
class HeldFolder {
public:
    HeldFolder() = default;  // holds nothing
    [[nodiscard]] HANDLE get() const { return handle_.get(); }
    explicit operator bool() const { return static_cast<bool>(handle_); }
    void reset() { handle_.reset(); }  // lets the folder go
    // A second handle on the same folder, held as this one is; none when the system refuses one.
    [[nodiscard]] HeldFolder Duplicate() const;

private:
    explicit HeldFolder(FileHandle handle) : handle_(std::move(handle)) {}
    friend HeldFolder HoldFolderPath(const wchar_t* path, bool followLink);
    friend HeldFolder HoldChildFolder(const HeldFolder& parent, const wchar_t* name, bool create, bool* created);
    friend HeldFolder HoldListedFolder(const HeldFolder& parent, const wchar_t* name, std::uint64_t listedId);
    friend HeldFolder CreateChildFolder(const HeldFolder& parent, const wchar_t* name, PSECURITY_DESCRIPTOR security);
    FileHandle handle_;
};
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
[[nodiscard]] HeldFolder HoldChildFolder(const HeldFolder& parent, const wchar_t* name, bool create,
                                         bool* created = nullptr);

// Holds the subfolder `name` of `parent` that the caller's own listing showed as a plain folder with
// the id `listedId` (0: none known), as HoldChildFolder holds one, without creating it. With the id
// the listing gave, the link check needs no second listing of `parent` (it asks one where the ids
// differ or are unknown, or where the handle is on a link). For a walk that has listed the folder.
[[nodiscard]] HeldFolder HoldListedFolder(const HeldFolder& parent, const wchar_t* name, std::uint64_t listedId);

// Creates the file `name` in `parent` with `attributes`; fails when anything stands there already
// (ERROR_FILE_EXISTS). The handle has `access` and DELETE and FILE_WRITE_ATTRIBUTES besides, so that
// its creator can finish the file or discard it through it.
[[nodiscard]] ChildHandle CreateChildFile(const HeldFolder& parent, const wchar_t* name, DWORD access, DWORD share,
                                          DWORD attributes);

// Opens the existing plain file `name` of `parent`; a folder or a link there gives no handle.
[[nodiscard]] ChildHandle OpenChildFile(const HeldFolder& parent, const wchar_t* name, DWORD access, DWORD share);

// Opens whatever stands at `name` in `parent` as itself (a link as the link), for `access`.
[[nodiscard]] ChildHandle OpenChildAsItself(const HeldFolder& parent, const wchar_t* name, DWORD access, DWORD share);

// What one entry of a folder listing says of itself, its name as stored on disk.
struct FolderEntry {
    WideText name;
    DWORD attributes = 0;      // FILE_ATTRIBUTE_REPARSE_POINT marks a link, whatever it points at
    std::uint64_t fileId = 0;  // the file system's id of the entry, 0 where it keeps none
};

// Every entry of the folder open through `folder` (with list access) but "." and "..", in the file
// system's order. False when the folder cannot be listed; `entries` then holds what was listed before
// the failure. Listing acts on nothing, so any folder handle will do; what acts on an entry afterwards
// works below a held folder.
[[nodiscard]] bool ListEntries(const HeldFolder& folder, GrowingTable<FolderEntry>& entries);

// What the listing of `parent` says of the entry `name` (attributes and id). False when no entry of
// that name is listed.
[[nodiscard]] bool LookUpEntry(const HeldFolder& parent, const wchar_t* name, FolderEntry& entry);

// Removes whatever stands at `name` in `parent` (no listing of the caller's is asked): a file, an empty
// folder, or a link as a link (its target is left as it is). A read-only file stays unless
// `evenReadOnly`, and even then when another name shares it (its attributes are the other name's too).
// True when it is gone or nothing was there.
[[nodiscard]] bool RemoveNamedChild(const HeldFolder& parent, const wchar_t* name, bool evenReadOnly);

// Marks the file or empty folder open through `handle` (opened with DELETE access) for deletion. With
// POSIX semantics where the system has them (Windows 10 1709 and later): its name goes when `handle`
// closes, even while another program holds it open with delete sharing. Elsewhere the older way: it goes
// when the last handle to it closes. A read-only file is refused either way.
[[nodiscard]] bool DeleteThroughHandle(HANDLE handle);
// Deletes the file at `name` in `parent` as it stands now, a link as the link (its target is left as it
// is), in as few calls as the system allows: where POSIX semantics were found missing, one open that
// asks for delete on close; elsewhere an open and DeleteThroughHandle. A folder there stays (the open
// asks for a file), and so does a read-only file (ERROR_ACCESS_DENIED). For a tree's clean-up, where
// whatever stands at a listed file's name is the tree's to remove.
[[nodiscard]] bool DeleteChildFile(const HeldFolder& parent, const wchar_t* name);
// Sets the attributes of what `handle` is open on (with FILE_WRITE_ATTRIBUTES access).
[[nodiscard]] bool SetAttributesThroughHandle(HANDLE handle, DWORD attributes);
// What a handle says of the file, folder or link it is open on.
struct FileFacts {
    DWORD attributes = 0;      // FILE_ATTRIBUTE_REPARSE_POINT marks a link
    std::uint64_t fileId = 0;  // the file system's id of it, as a listing gives it; 0 where it keeps none
    DWORD links = 0;           // how many names the file has: read by ReadFileFacts only
    DWORD volumeSerial = 0;    // the serial number of its volume: read by ReadFileFacts only
};
// Attributes, id, link count and volume serial number, through GetFileInformationByHandle; false when
// they cannot be read.
[[nodiscard]] bool ReadFileFacts(HANDLE handle, FileFacts& facts);
// The one check behind every "opened again: is it still the file we hold?". What a name or a path
// shows can change between two opens (a file swapped in, a link above re-pointed); a file's id on its
// volume cannot. True when `again`, opened since on what should be the file `held` describes (read
// by ReadFileFacts through a handle on it), is open on that very file: the same volume serial number
// and file id, the id known, and neither a link. ERROR_FILE_INVALID when it is another file.
[[nodiscard]] bool IsHeldFile(HANDLE again, const FileFacts& held);
// `path` opened again as itself (a link at the path is not followed), for its attributes only and
// sharing everything, and IsHeldFile of it against the file `held` is open on.
[[nodiscard]] bool PathNamesHeldFile(const wchar_t* path, HANDLE held);
// Attributes and id only (`links` stays 0), through two light queries: what a walk checks of every
// entry of a tree. GetFileInformationByHandle asks for the volume's serial number too, which Wine 8
// answers through its mount manager in another process; at 21,112 entries that took a third of the
// removal's time, four times these two (scripts/bench-cleanup.sh).
[[nodiscard]] bool ReadAttributesAndId(HANDLE handle, FileFacts& facts);

// The one link check. `attributes` and `fileId` were read from a handle opened on `name` in `parent` as
// itself (FILE_OPEN_REPARSE_POINT). True when that handle is on the entry the parent's listing shows at
// exactly `name` (not on another entry a short alias opens): the same id where both are known, and a
// link on both sides or on neither. Windows opens a link as itself and the handle shows it; Wine 8
// opens a Unix symbolic link's target whatever the flags and shows the link only in the listing
// (0x410), so the listing is asked, unless `listedId` (the id the caller's own listing of the parent
// gave this name, listed as no link) equals the handle's: that listing has answered already.
// ERROR_REPARSE_POINT_ENCOUNTERED when they disagree, ERROR_INVALID_NAME when no entry has the name.
[[nodiscard]] bool IsOpenOnListedEntry(const HeldFolder& parent, const wchar_t* name, DWORD attributes,
                                       std::uint64_t fileId, std::uint64_t listedId);

// True when `name` is one component a held folder can hold: not empty, not "." or "..", and free of
// "\" and "/" (which would reach past the folder) and of ":" (a stream or a drive).
[[nodiscard]] bool IsSingleName(const wchar_t* name);

// The path the system gives for what `handle` is open on, without the "\\?\" prefix (and with
// "\\?\UNC\server" given back as "\\server"): the form process image paths take. Empty and false when
// the system cannot name it.
[[nodiscard]] bool FinalPathOf(HANDLE handle, WideText& path);

// Creates the folder `name` in `parent` where nothing stands, with `security` (null: inherited from
// the parent) and holds it. No handle when anything stands there already (ERROR_ALREADY_EXISTS).
[[nodiscard]] HeldFolder CreateChildFolder(const HeldFolder& parent, const wchar_t* name,
                                           PSECURITY_DESCRIPTOR security);

// Removes what stands at `name` in the held `folder` (RemoveNamedChild; a read-only file stays unless
// `evenReadOnly`, and even then when another name shares it), then creates the file there with
// `access` (and DELETE and FILE_WRITE_ATTRIBUTES besides, so that its creator can finish or discard
// it through the handle), shared as `share` says, with `attributes`. No handle when something stays
// at the name or appears there meanwhile (ERROR_FILE_EXISTS); nothing has been written then.
[[nodiscard]] ChildHandle CreateFreshChildFile(const HeldFolder& folder, const wchar_t* name, bool evenReadOnly,
                                               DWORD access, DWORD share, DWORD attributes);

// The folders on one path's way down from a held folder, kept held from one path to the next, so that
// paths that come folder by folder (an archive's entries) reuse what their way shares instead of
// opening each folder again. Held, none of them can be renamed or replaced meanwhile.
class HeldWay {
public:
    // The folder `name` at `depth` of the way, a child of `parent` (the folder at depth - 1, or the
    // top): the one already held when the way so far is the same, else held (and created when missing)
    // now, and the deeper ones let go. Null when it cannot be held as a plain folder.
    const HeldFolder* Reach(std::size_t depth, const HeldFolder& parent, const wchar_t* name);
    // Takes `held` as the folder `name` at `depth`, in place of whatever the way held there and below.
    const HeldFolder* Adopt(std::size_t depth, const wchar_t* name, HeldFolder held);
    // The name held at `depth`, or null when the way is not that deep.
    [[nodiscard]] const wchar_t* NameAt(std::size_t depth) const;

    // A path of at most 259 bytes has at most 130 components, one byte and a separator each.
    static constexpr std::size_t kDeepest = 131;

private:
    void LetGoFrom(std::size_t depth);
    HeldFolder folders_[kDeepest];
    WideText names_[kDeepest];
    std::size_t depth_ = 0;
};

// Opens the plain file `name` of `parent`, creating it where nothing stands, shared with nobody, and
// marks it to be deleted when the handle closes (where the system lets it: a read-only file stays).
// While the handle is open no other open of the file, for any access but its attributes, succeeds
// (ERROR_SHARING_VIOLATION; ERROR_ACCESS_DENIED while one just closed is going): a lock that belongs
// to the folder itself, whatever path reached it. A link at the name gives no handle
// (ERROR_REPARSE_POINT_ENCOUNTERED), nor does a folder (ERROR_ACCESS_DENIED).
[[nodiscard]] ChildHandle OpenChildExclusively(const HeldFolder& parent, const wchar_t* name);

// Removes the folder `name` of the held folder `parent` with everything in it; true only when the
// folder itself is gone at the end. With `withinMilliseconds`, the walk stops taking entries once that
// long has passed, leaves the rest as it is and answers false (ERROR_TIMEOUT). Below `parent` nothing is addressed by path: each folder is held
// (so that nobody can rename it and put a link in its place while it is emptied), listed with its
// UTF-16 names, and each of its entries is opened by name relative to it, as itself, and deleted
// through that handle: a folder or a link when it still is what the listing said, a file as whatever
// stands at its name (DeleteChildFile). Subfolders are emptied depth first,
// with no limit of depth or path length. A link (junction, symbolic link, mount point) is never
// entered: it is removed as a link, or left where the platform cannot remove it (Wine). Read-only
// files stay (the clean-up keeps what was marked so) unless `evenReadOnly` (for a tree being replaced),
// and so do names that begin with a full stop (the clean-up's rule); with them stay the folders above
// them. With `withinMilliseconds`, the walk stops where it stands once that time has passed (false,
// ERROR_TIMEOUT).
// The walk goes on past an entry it cannot remove; when the folder stays, GetLastError gives the first
// failure it met (a file held without delete sharing: ERROR_SHARING_VIOLATION; a read-only file:
// ERROR_ACCESS_DENIED), not the last (the folder not empty); ERROR_DIR_NOT_EMPTY when only names that
// begin with a full stop kept it.
[[nodiscard]] bool RemoveFolderBelow(const HeldFolder& parent, const wchar_t* name, bool evenReadOnly = false,
                                     DWORD withinMilliseconds = INFINITE);

// RemoveFolderBelow for a folder the caller holds as `held` (the folder `name` of `parent`): emptied
// through `held` itself, so that a folder renamed in at the name meanwhile is never what is emptied,
// and `held` let go (reset) only once nothing stays in it, just before the name is removed, and only
// while the name still is that folder (its id; ERROR_FILE_INVALID when another stands there). While
// anything stays, `held` stays held. True only when the folder is gone; the first failure as
// RemoveFolderBelow gives it. A `held` that holds nothing is RemoveFolderBelow itself.
[[nodiscard]] bool RemoveHeldFolder(const HeldFolder& parent, const wchar_t* name, HeldFolder& held,
                                    bool evenReadOnly = false, DWORD withinMilliseconds = INFINITE);

// The moments a test can act at from outside, through the one seam below.
enum class DiskStep {
    NameCleared,         // CreateFreshChildFile: what stood at the name is gone, the file not made yet
    WayFolderHeld,       // HeldWay: a folder of the way is held, before anything is made in it
    RemovalFolderHeld,   // RemoveFolderBelow: a folder is held, before it is listed
    RemovalEntryListed,  // RemoveFolderBelow: an entry was listed, before it is opened
    FileWritten,         // a written file was closed, before it is opened again to be checked
};
// For tests: `seam` is called at each of those moments with the folder and the name concerned (null:
// nothing is called).
void SetDiskSeam(void (*seam)(DiskStep step, HANDLE folder, const wchar_t* name));
// Calls the seam, where one is set; for the layers above that have a moment of their own to offer.
void AtDiskStep(DiskStep step, HANDLE folder, const wchar_t* name);

// For tests: `seam` stands in for SetFileInformationByHandle where DeleteThroughHandle marks a file
// (null: the system's own), and what the system was found to lack is forgotten.
using SetInformationRoutine = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
void SetDeletionSeam(SetInformationRoutine seam);
