// base/held_tree.cpp: a tree below a held folder, made on the way down (HeldWay) and removed on the way
// up (RemoveFolderBelow), every folder held while it is worked in.
#include "base/held_folder.h"

#include <winternl.h>

#include <cwchar>
#include <utility>

#include "base/growing_table.h"

namespace {

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Removes one entry the walk listed, `name` of the held `folder`, through a handle opened on it as
// itself: a link as a link, whatever it leads to; otherwise only when it still is what the listing said (`wasFolder`: an
// emptied folder; else a file) and is not read-only. Something else found at the name (a link, a file
// or a folder swapped in since the listing) stays where it is. `listedId` is the id the walk's listing
// gave the entry as no link (0: none known, or listed as a link). True when it is gone.
bool RemoveListedEntry(const HeldFolder& folder, const wchar_t* name, bool wasFolder, std::uint64_t listedId,
                       bool evenReadOnly) {
    ChildHandle entry = OpenChildAsItself(folder, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!entry)
        return false;
    FileFacts facts;
    if (!ReadAttributesAndId(entry.get(), facts) ||
        !IsOpenOnListedEntry(folder, name, facts.attributes, facts.fileId, listedId))
        return false;
    const DWORD attributes = facts.attributes;
    if (!IsLink(attributes)) {
        if (IsFolder(attributes) != wasFolder) {
            SetLastError(wasFolder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
            return false;
        }
        // The clean-up keeps a read-only file: the mark says its owner wants it kept. A tree being
        // replaced loses it too (an interrupted extraction leaves its entries read-only), through
        // RemoveNamedChild, which clears the mark only on the file it holds.
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            if (evenReadOnly && !wasFolder) {
                entry.reset();
                return RemoveNamedChild(folder, name, true);
            }
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

// False when the folder could not be listed to its end: the walk still takes what the listing got,
// and what it missed keeps the folder from going.
bool Enter(GrowingTable<Level>& walk, HeldFolder held, const wchar_t* name, std::uint64_t listedId) {
    AtDiskStep(DiskStep::RemovalFolderHeld, held.get(), name);
    Level level;
    level.folder = std::move(held);
    level.listedId = listedId;
    level.name = WideText::FromChars(name, std::wcslen(name));
    const bool listed = ListEntries(level.folder, level.entries);
    walk.Append(std::move(level));
    return listed;
}

// What a walk that empties a folder met: the first failure (0: none), as the style of results asks
// of a routine that goes on past one, and whether anything stays (a failure, or a name passed over).
struct Emptying {
    DWORD firstError = 0;
    bool left = false;
    bool timedOut = false;

    // Notes a failure that GetLastError tells; the first one is kept.
    void Failed() {
        const DWORD error = GetLastError();
        if (firstError == 0)
            firstError = error != 0 ? error : ERROR_DIR_NOT_EMPTY;
        left = true;
    }
};

// Empties the folder `top` (held, named `name`) depth first: each plain subfolder is held, listed,
// emptied, let go and then removed from its parent; a link is removed as an entry, never entered. The
// walk keeps its own stack of held folders, so that no depth of folders can exhaust the thread's
// stack. A failure on one entry does not stop the others, and nothing is restored; the first one is
// kept. Once `withinMilliseconds` has run out the walk lets go of everything where it stands.
Emptying EmptyHeldFolder(HeldFolder top, const wchar_t* name, bool evenReadOnly, DWORD withinMilliseconds) {
    const DWORD began = GetTickCount();
    Emptying result;
    GrowingTable<Level> walk;
    if (!Enter(walk, std::move(top), name, 0))
        result.Failed();
    while (!walk.empty()) {
        if (withinMilliseconds != INFINITE && GetTickCount() - began >= withinMilliseconds) {
            result.timedOut = true;
            result.left = true;
            return result;
        }
        const std::size_t depth = walk.size() - 1;
        if (walk[depth].next == walk[depth].entries.size()) {
            WideText done = std::move(walk[depth].name);
            const std::uint64_t doneId = walk[depth].listedId;
            walk.RemoveAt(depth);  // lets the folder go: it cannot be deleted while held
            if (depth > 0 && !RemoveListedEntry(walk[depth - 1].folder, done.c_str(), true, doneId, evenReadOnly))
                result.Failed();
            continue;
        }
        const FolderEntry& entry = walk[depth].entries[walk[depth].next++];
        const wchar_t* entryName = entry.name.c_str();
        // The clean-up passes over every name that begins with a full stop: such names are the
        // user's or the system's own (".git", ".DS_Store"), not the application's. Not a failure.
        if (entryName[0] == L'.') {
            result.left = true;
            continue;
        }
        // Not used once a subfolder is entered: the table may move its levels then.
        const HeldFolder& folder = walk[depth].folder;
        AtDiskStep(DiskStep::RemovalEntryListed, folder.get(), entryName);
        const bool isFolder = IsFolder(entry.attributes);
        if (!isFolder && !IsLink(entry.attributes)) {
            // A plain file is removed without a check: whatever stands at its name now lies in the
            // tree, opened as itself (a link as the link), and a folder swapped in stays. The checks
            // would cost two queries an entry and change nothing that is removed. A read-only file
            // stays unless the tree is being replaced.
            if (DeleteChildFile(folder, entryName))
                continue;
            if (GetLastError() == ERROR_ACCESS_DENIED && evenReadOnly && RemoveNamedChild(folder, entryName, true))
                continue;
            result.Failed();
            continue;
        }
        const std::uint64_t plainId = IsLink(entry.attributes) ? 0 : entry.fileId;
        if (isFolder && !IsLink(entry.attributes)) {
            // Held only when it still is a plain folder: a link or a file swapped in stays unentered.
            if (HeldFolder held = HoldListedFolder(folder, entryName, plainId)) {
                // `entry` may move in memory now: not used again.
                if (!Enter(walk, std::move(held), entryName, plainId))
                    result.Failed();
                continue;
            }
        }
        if (!RemoveListedEntry(folder, entryName, isFolder, plainId, evenReadOnly))
            result.Failed();
    }
    return result;
}

// The end of a removal: true when the folder went; else false, with the walk's first failure where
// it met one before the folder's own.
bool Answer(const Emptying& emptying, bool removed) {
    if (emptying.timedOut) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    if (removed)
        return true;
    if (emptying.firstError != 0)
        SetLastError(emptying.firstError);
    return false;
}

}  // namespace

HeldFolder HoldListedFolder(const HeldFolder& parent, const wchar_t* name, std::uint64_t listedId) {
    ChildHandle opened =
        OpenChildAsItself(parent, name, FILE_LIST_DIRECTORY | FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    FileFacts facts;
    if (!opened || !ReadAttributesAndId(opened.get(), facts))
        return HeldFolder{};
    if (IsLink(facts.attributes) || !IsFolder(facts.attributes)) {
        SetLastError(IsLink(facts.attributes) ? ERROR_REPARSE_POINT_ENCOUNTERED : ERROR_DIRECTORY);
        return HeldFolder{};
    }
    if (!IsOpenOnListedEntry(parent, name, facts.attributes, facts.fileId, listedId))
        return HeldFolder{};
    return HeldFolder{std::move(opened)};
}

const HeldFolder* HeldWay::Reach(std::size_t depth, const HeldFolder& parent, const wchar_t* name) {
    if (depth < depth_ && std::wcscmp(names_[depth].c_str(), name) == 0)
        return &folders_[depth];
    LetGoFrom(depth);
    if (depth >= kDeepest) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    HeldFolder held = HoldChildFolder(parent, name, true);
    if (!held)
        return nullptr;
    AtDiskStep(DiskStep::WayFolderHeld, held.get(), name);
    return Adopt(depth, name, std::move(held));
}

const HeldFolder* HeldWay::Adopt(std::size_t depth, const wchar_t* name, HeldFolder held) {
    LetGoFrom(depth);
    if (depth >= kDeepest) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    names_[depth] = WideText::FromChars(name, std::wcslen(name));
    folders_[depth] = std::move(held);
    depth_ = depth + 1;
    return &folders_[depth];
}

const wchar_t* HeldWay::NameAt(std::size_t depth) const { return depth < depth_ ? names_[depth].c_str() : nullptr; }

void HeldWay::LetGoFrom(std::size_t depth) {
    while (depth_ > depth) {
        --depth_;
        folders_[depth_].reset();
        names_[depth_] = WideText{};
    }
}

bool RemoveFolderBelow(const HeldFolder& parent, const wchar_t* name, bool evenReadOnly, DWORD withinMilliseconds) {
    if (!IsSingleName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // Not held (a link, a file, or nothing there): not emptied, and removed only when it is a link.
    Emptying emptying;
    if (HeldFolder held = HoldChildFolder(parent, name, false))
        emptying = EmptyHeldFolder(std::move(held), name, evenReadOnly, withinMilliseconds);
    if (emptying.timedOut)
        return Answer(emptying, false);
    return Answer(emptying, RemoveListedEntry(parent, name, true, 0, evenReadOnly));
}

bool RemoveHeldFolder(const HeldFolder& parent, const wchar_t* name, HeldFolder& held, bool evenReadOnly,
                      DWORD withinMilliseconds) {
    if (!held)
        return RemoveFolderBelow(parent, name, evenReadOnly, withinMilliseconds);
    if (!IsSingleName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    FileFacts heldFacts;
    HeldFolder walked = held.Duplicate();
    if (!walked || !ReadAttributesAndId(held.get(), heldFacts))
        return false;
    const Emptying emptying = EmptyHeldFolder(std::move(walked), name, evenReadOnly, withinMilliseconds);
    if (emptying.left)
        return Answer(emptying, false);
    // Emptied: the hold goes now, as a folder held without delete sharing cannot be opened for its
    // deletion, and the name goes only while it still names the folder held (a folder renamed in at it
    // meanwhile is another's, and stays). Another program's hold of it refuses the open.
    held.reset();
    ChildHandle entry = OpenChildAsItself(parent, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    FileFacts facts;
    if (!entry || !ReadAttributesAndId(entry.get(), facts))
        return false;
    if (facts.fileId != heldFacts.fileId || IsLink(facts.attributes)) {
        SetLastError(ERROR_FILE_INVALID);
        return false;
    }
    // A folder that is not empty (something put in since the walk) refuses and stays.
    return DeleteThroughHandle(entry.get()) && entry.close();
}
