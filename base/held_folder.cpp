#include "base/held_folder.h"

#include <winternl.h>

#include <cwchar>
#include <utility>

#include "base/memory.h"

// Not declared by the toolchain's headers; exported by ntdll since the first Windows NT.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE folder, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                                               PIO_STATUS_BLOCK status, PVOID buffer, ULONG length,
                                               ULONG informationClass, BOOLEAN singleEntry, PUNICODE_STRING mask,
                                               BOOLEAN restartScan);

namespace {

constexpr ULONG kFileIdBothDirectoryInformation = 37;
constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
constexpr NTSTATUS kStatusNoSuchFile = static_cast<NTSTATUS>(0xC000000FL);
constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000034L);  // STATUS_OBJECT_NAME_NOT_FOUND
constexpr ULONG_PTR kFileCreated = 2;                                     // FILE_CREATED, in the status block

// What a held folder is opened with: list-directory makes the open take part in sharing.
constexpr ACCESS_MASK kHoldAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kHoldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool Failed(NTSTATUS status) {
    if (status >= 0)
        return false;
    SetLastError(RtlNtStatusToDosError(status));
    return true;
}

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// NtCreateFile on `name` relative to `parent`, with synchronous I/O (so ReadFile and WriteFile work on
// the handle as on any other) and never through a link: FILE_OPEN_REPARSE_POINT opens a junction or
// symbolic link as itself. The name is compared without regard to case, as everywhere on Windows.
ChildHandle OpenRelative(HANDLE parent, const wchar_t* name, ACCESS_MASK access, ULONG share, ULONG disposition,
                         ULONG options, ULONG attributes, ULONG_PTR* information = nullptr,
                         PSECURITY_DESCRIPTOR security = nullptr) {
    const std::size_t length = std::wcslen(name);
    if (length * sizeof(wchar_t) > 0xFFFE) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return ChildHandle{};
    }
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<wchar_t*>(name);
    objectName.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &objectName, OBJ_CASE_INSENSITIVE, parent, security);
    IO_STATUS_BLOCK status{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS result =
        NtCreateFile(&handle, access | SYNCHRONIZE, &object, &status, nullptr, attributes, share, disposition,
                     options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (Failed(result))
        return ChildHandle{};
    if (information)
        *information = status.Information;
    return ChildHandle{handle};
}

bool IdKnown(std::uint64_t id) { return id != 0 && id != ~std::uint64_t{0}; }

// Keeps `handle` only when it is open on a plain folder (or, with `folder` false, a plain file) that
// the parent's listing shows as such at exactly `name`.
ChildHandle KeepIfPlain(ChildHandle handle, const HeldFolder* parent, const wchar_t* name, bool folder) {
    FileFacts facts;
    if (!ReadFileFacts(handle.get(), facts))
        return ChildHandle{};
    if (IsLink(facts.attributes)) {
        SetLastError(ERROR_REPARSE_POINT_ENCOUNTERED);
        return ChildHandle{};
    }
    if (((facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
        SetLastError(folder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
        return ChildHandle{};
    }
    if (parent && !IsOpenOnListedEntry(*parent, name, facts.attributes, facts.fileId, 0))
        return ChildHandle{};
    return handle;
}

// Calls `each` with every entry NtQueryDirectoryFile gives for `folder` (only those matching `mask`
// when it is not null), until `each` answers false or the list ends. False when the listing failed.
template <typename Each>
bool WalkListing(HANDLE folder, const UNICODE_STRING* mask, Each each) {
    constexpr ULONG kBufferSize = 64 * 1024;
    auto* buffer = static_cast<unsigned char*>(Allocate(kBufferSize));
    bool ok = true;
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        IO_STATUS_BLOCK status{};
        const NTSTATUS result =
            NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &status, buffer, kBufferSize,
                                 kFileIdBothDirectoryInformation, FALSE, const_cast<UNICODE_STRING*>(mask), restart);
        if (result == kStatusNoMoreFiles || result == kStatusNoSuchFile)
            break;
        if (Failed(result)) {
            ok = false;
            break;
        }
        bool more = true;
        for (ULONG offset = 0; more;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
            more = each(*info);
            if (info->NextEntryOffset == 0)
                break;
            offset += info->NextEntryOffset;
        }
        if (!more)
            break;
    }
    Release(buffer);
    return ok;
}

FolderEntry EntryOf(const FILE_ID_BOTH_DIR_INFO& info) {
    FolderEntry entry;
    entry.name = WideText::FromChars(info.FileName, info.FileNameLength / sizeof(wchar_t));
    entry.attributes = info.FileAttributes;
    entry.fileId = static_cast<std::uint64_t>(info.FileId.QuadPart);
    return entry;
}

bool IsDotOrDotDot(const wchar_t* name, std::size_t length) {
    return (length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.');
}

}  // namespace

bool IsSingleName(const wchar_t* name) {
    if (name == nullptr || *name == L'\0')
        return false;
    const std::size_t length = std::wcslen(name);
    if (IsDotOrDotDot(name, length))
        return false;
    for (const wchar_t* p = name; *p; ++p)
        if (*p == L'\\' || *p == L'/' || *p == L':')
            return false;
    return true;
}

bool ReadFileFacts(HANDLE handle, FileFacts& facts) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information))
        return false;
    facts.attributes = information.dwFileAttributes;
    facts.links = information.nNumberOfLinks;
    facts.volumeSerial = information.dwVolumeSerialNumber;
    facts.fileId = (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

bool IsHeldFile(HANDLE again, const FileFacts& held) {
    FileFacts seen;
    if (!ReadFileFacts(again, seen))
        return false;
    if (IsLink(seen.attributes) || IsLink(held.attributes) || !IdKnown(held.fileId) || seen.fileId != held.fileId ||
        seen.volumeSerial != held.volumeSerial) {
        SetLastError(ERROR_FILE_INVALID);
        return false;
    }
    return true;
}

bool PathNamesHeldFile(const wchar_t* path, HANDLE held) {
    FileFacts heldFacts;
    if (!ReadFileFacts(held, heldFacts))
        return false;
    FileHandle atPath{CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr)};
    return atPath && IsHeldFile(atPath.get(), heldFacts);
}

bool ReadAttributesAndId(HANDLE handle, FileFacts& facts) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag))
        return false;
    IO_STATUS_BLOCK status{};
    LARGE_INTEGER index;
    if (Failed(NtQueryInformationFile(handle, &status, &index, sizeof index, FileInternalInformation)))
        return false;
    facts.attributes = tag.FileAttributes;
    facts.fileId = static_cast<std::uint64_t>(index.QuadPart);
    facts.links = 0;
    return true;
}

HeldFolder HeldFolder::Duplicate() const {
    HANDLE copy = nullptr;
    if (!handle_ || !DuplicateHandle(GetCurrentProcess(), handle_.get(), GetCurrentProcess(), &copy, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS))
        return HeldFolder{};
    return HeldFolder{FileHandle{copy}};
}

HeldFolder HoldFolderPath(const wchar_t* path, bool followLink) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    FileHandle opened{CreateFileW(path, kHoldAccess, kHoldSharing, nullptr, OPEN_EXISTING, flags, nullptr)};
    if (!opened)
        return HeldFolder{};
    FileFacts facts;
    if (!ReadFileFacts(opened.get(), facts) || !(facts.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_DIRECTORY);
        return HeldFolder{};
    }
    // Wine opens a Unix symbolic link's target whatever the flags and shows the link only on its path.
    // The folder is held by now, so what the path shows is what is held.
    if (!followLink && (IsLink(facts.attributes) || IsLink(GetFileAttributesW(path)))) {
        SetLastError(ERROR_REPARSE_POINT_ENCOUNTERED);
        return HeldFolder{};
    }
    return HeldFolder{std::move(opened)};
}

HeldFolder HoldChildFolder(const HeldFolder& parent, const wchar_t* name, bool create, bool* created) {
    if (created)
        *created = false;
    if (!IsSingleName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return HeldFolder{};
    }
    ULONG_PTR information = 0;
    ChildHandle opened = OpenRelative(parent.get(), name, kHoldAccess, kHoldSharing, create ? FILE_OPEN_IF : FILE_OPEN,
                                      FILE_DIRECTORY_FILE, FILE_ATTRIBUTE_NORMAL, &information);
    if (!opened)
        return HeldFolder{};
    if (created)
        *created = information == kFileCreated;
    return HeldFolder{KeepIfPlain(std::move(opened), &parent, name, true)};
}

ChildHandle CreateChildFile(const HeldFolder& parent, const wchar_t* name, DWORD access, DWORD share,
                            DWORD attributes) {
    if (!IsSingleName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return ChildHandle{};
    }
    ChildHandle file = OpenRelative(parent.get(), name, access | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    share, FILE_CREATE, FILE_NON_DIRECTORY_FILE, attributes);
    if (!file && GetLastError() == ERROR_ALREADY_EXISTS)
        SetLastError(ERROR_FILE_EXISTS);  // as CreateFile with CREATE_NEW says it
    return file;
}

ChildHandle OpenChildFile(const HeldFolder& parent, const wchar_t* name, DWORD access, DWORD share) {
    if (!IsSingleName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return ChildHandle{};
    }
    ChildHandle file =
        OpenRelative(parent.get(), name, access | FILE_READ_ATTRIBUTES, share, FILE_OPEN, FILE_NON_DIRECTORY_FILE, 0);
    if (!file)
        return file;
    return KeepIfPlain(std::move(file), &parent, name, false);
}

ChildHandle OpenChildAsItself(const HeldFolder& parent, const wchar_t* name, DWORD access, DWORD share) {
    if (!IsSingleName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return ChildHandle{};
    }
    return OpenRelative(parent.get(), name, access | FILE_READ_ATTRIBUTES, share, FILE_OPEN, 0, 0);
}

bool ListEntries(const HeldFolder& folder, GrowingTable<FolderEntry>& entries) {
    return WalkListing(folder.get(), nullptr, [&](const FILE_ID_BOTH_DIR_INFO& info) {
        if (!IsDotOrDotDot(info.FileName, info.FileNameLength / sizeof(wchar_t)))
            entries.Append(EntryOf(info));
        return true;
    });
}

bool LookUpEntry(const HeldFolder& parent, const wchar_t* name, FolderEntry& entry) {
    if (!IsSingleName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // A listing with a name mask keeps that mask for the life of its handle, so the parent is opened
    // afresh for this one question (by an empty name relative to itself, which opens the same folder).
    ChildHandle listing =
        OpenRelative(parent.get(), L"", FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     FILE_OPEN, FILE_DIRECTORY_FILE, 0);
    if (!listing)
        return false;
    const std::size_t length = std::wcslen(name);
    UNICODE_STRING mask;
    mask.Buffer = const_cast<wchar_t*>(name);
    mask.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    mask.MaximumLength = mask.Length;
    bool found = false;
    // A name holding "*", "?", "<", ">" or a double quote is a pattern to the listing: only an entry
    // of exactly this name (in any case) counts.
    const bool listed = WalkListing(listing.get(), &mask, [&](const FILE_ID_BOTH_DIR_INFO& info) {
        const int nameLength = static_cast<int>(info.FileNameLength / sizeof(wchar_t));
        if (CompareStringOrdinal(info.FileName, nameLength, name, static_cast<int>(length), TRUE) != CSTR_EQUAL)
            return true;
        entry = EntryOf(info);
        found = true;
        return false;
    });
    if (listed && !found)
        SetLastError(ERROR_FILE_NOT_FOUND);
    return found;
}

namespace {

// Deletion with POSIX semantics (Windows 10 1709): the name goes when the marking handle closes, even
// while another program (a scanner, the indexer) holds the file open with delete sharing, so that its
// folder can go too. Beyond the headers' Windows 7 target, so spelt here. Not
// FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE: a read-only file stays, as with the older way.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
struct DispositionInfoEx {
    DWORD flags;
};

SetInformationRoutine setInformation = SetFileInformationByHandle;
// Set once the system has answered that it has no such deletion: every later one takes the older way
// at once instead of asking again for each entry of a tree.
bool posixDeletionMissing = false;

// How a system without the class (Windows before 10 1709: ERROR_INVALID_PARAMETER; Wine 8:
// STATUS_NOT_IMPLEMENTED through the native call, ERROR_INVALID_PARAMETER through the Win32 one) or a
// file system without POSIX semantics (FAT, some network redirectors) answers. Any other answer is
// about the file itself (in use as a program image, read-only, a folder not empty), and the older way
// would refuse it just the same.
bool SaysPosixDeletionIsMissing(DWORD error) {
    return error == ERROR_INVALID_PARAMETER || error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_FUNCTION;
}

}  // namespace

bool DeleteThroughHandle(HANDLE handle) {
    if (!posixDeletionMissing) {
        DispositionInfoEx posix{kDispositionDelete | kDispositionPosixSemantics};
        if (setInformation(handle, kFileDispositionInfoEx, &posix, sizeof posix))
            return true;
        if (!SaysPosixDeletionIsMissing(GetLastError()))
            return false;
        posixDeletionMissing = true;
    }
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return setInformation(handle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

bool DeleteChildFile(const HeldFolder& parent, const wchar_t* name) {
    if (!IsSingleName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // Opened as itself (OpenRelative never follows a link), so the delete takes the name and never
    // what a link leads to. FILE_NON_DIRECTORY_FILE leaves a folder swapped in where the file was.
    const bool onClose = posixDeletionMissing;
    ChildHandle file = OpenRelative(parent.get(), name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    FILE_OPEN, FILE_NON_DIRECTORY_FILE | (onClose ? FILE_DELETE_ON_CLOSE : 0), 0);
    if (!file)
        return false;  // a read-only file refuses delete on close: STATUS_CANNOT_DELETE, ERROR_ACCESS_DENIED
    if (!onClose && !DeleteThroughHandle(file.get()))
        return false;
    return file.close();
}

void SetDeletionSeam(SetInformationRoutine seam) {
    setInformation = seam ? seam : SetFileInformationByHandle;
    posixDeletionMissing = false;
}

bool SetAttributesThroughHandle(HANDLE handle, DWORD attributes) {
    FILE_BASIC_INFO basic{};  // times of zero are left as they are
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

bool IsOpenOnListedEntry(const HeldFolder& parent, const wchar_t* name, DWORD attributes, std::uint64_t fileId,
                         std::uint64_t listedId) {
    if (!IsLink(attributes) && IdKnown(listedId) && fileId == listedId)
        return true;
    FolderEntry listed;
    if (!LookUpEntry(parent, name, listed)) {
        // The open found something the listing has no entry of this exact name for: an alias.
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    const bool idsDiffer = IdKnown(listed.fileId) && fileId != 0 && listed.fileId != fileId;
    if (IsLink(listed.attributes) != IsLink(attributes) || idsDiffer) {
        SetLastError(ERROR_REPARSE_POINT_ENCOUNTERED);
        return false;
    }
    return true;
}

bool FinalPathOf(HANDLE handle, WideText& path) {
    path = WideText{};
    wchar_t buffer[1024];  // "\\?\" and a path below the 260-byte limit of the ANSI names, with room
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer, 1024, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= 1024) {
        if (length >= 1024)
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    const wchar_t* from = buffer;
    if (std::wcsncmp(buffer, L"\\\\?\\UNC\\", 8) == 0) {
        buffer[6] = L'\\';  // "\\?\UNC\server" names "\\server"
        from = buffer + 6;
    } else if (std::wcsncmp(buffer, L"\\\\?\\", 4) == 0) {
        from = buffer + 4;
    }
    path = WideText::FromChars(from, static_cast<std::size_t>(buffer + length - from));
    return true;
}

namespace {

// Clears the read-only mark of the file open through `child`. Windows grants FILE_WRITE_ATTRIBUTES on
// a read-only file, so `child` normally has it and the mark goes through the handle. Wine 8 refuses
// that access on a read-only file: there the mark is cleared by the path the handle is open on, once
// that path is seen to name the very file held (its id), and the handle must show the mark gone. A
// mark is never put back by path: by then the path may show another file.
bool ClearReadOnly(HANDLE child, bool canWriteAttributes, DWORD attributes) {
    const DWORD cleared = attributes & ~FILE_ATTRIBUTE_READONLY;
    if (canWriteAttributes)
        return SetAttributesThroughHandle(child, cleared);
    WideText path;
    if (!FinalPathOf(child, path))
        return false;
    if (!PathNamesHeldFile(path.c_str(), child)) {
        SetLastError(ERROR_REPARSE_POINT_ENCOUNTERED);
        return false;
    }
    if (!SetFileAttributesW(path.c_str(), cleared ? cleared : FILE_ATTRIBUTE_NORMAL))
        return false;
    FileFacts now;
    if (ReadFileFacts(child, now) && !(now.attributes & FILE_ATTRIBUTE_READONLY))
        return true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

void (*diskSeam)(DiskStep step, HANDLE folder, const wchar_t* name) = nullptr;

}  // namespace

bool RemoveNamedChild(const HeldFolder& parent, const wchar_t* name, bool evenReadOnly) {
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    bool canWriteAttributes = true;
    ChildHandle child = OpenChildAsItself(parent, name, DELETE | FILE_WRITE_ATTRIBUTES, kShareAll);
    if (!child && GetLastError() == ERROR_ACCESS_DENIED) {
        canWriteAttributes = false;
        child = OpenChildAsItself(parent, name, DELETE, kShareAll);
    }
    if (!child)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    FileFacts facts;
    if (!ReadFileFacts(child.get(), facts))
        return false;
    // Only the entry the listing shows at exactly this name, as itself: not a link's target (which Wine
    // opens for a Unix symbolic link), not another entry reached through a short alias.
    if (!IsOpenOnListedEntry(parent, name, facts.attributes, facts.fileId, 0))
        return false;
    const DWORD attributes = facts.attributes;
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) && !IsLink(attributes);
    if (readOnly) {
        // Another name of the same file would lose its read-only mark too: leave such a file alone.
        if (!evenReadOnly || facts.links > 1) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        if (!ClearReadOnly(child.get(), canWriteAttributes, attributes))
            return false;
    }
    if (!DeleteThroughHandle(child.get())) {
        if (readOnly && canWriteAttributes) {  // what stays keeps its mark, put back through the handle
            const DWORD error = GetLastError();
            (void)SetAttributesThroughHandle(child.get(), attributes);
            SetLastError(error);
        }
        return false;
    }
    return child.close();
}

HeldFolder CreateChildFolder(const HeldFolder& parent, const wchar_t* name, PSECURITY_DESCRIPTOR security) {
    if (!IsSingleName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return HeldFolder{};
    }
    ChildHandle made = OpenRelative(parent.get(), name, kHoldAccess, kHoldSharing, FILE_CREATE, FILE_DIRECTORY_FILE,
                                    FILE_ATTRIBUTE_NORMAL, nullptr, security);
    if (!made)
        return HeldFolder{};
    return HeldFolder{KeepIfPlain(std::move(made), &parent, name, true)};
}

ChildHandle CreateFreshChildFile(const HeldFolder& folder, const wchar_t* name, bool evenReadOnly, DWORD access,
                                 DWORD share, DWORD attributes) {
    if (!RemoveNamedChild(folder, name, evenReadOnly))
        return ChildHandle{};
    AtDiskStep(DiskStep::NameCleared, folder.get(), name);
    return CreateChildFile(folder, name, access, share, attributes);
}

ChildHandle OpenChildExclusively(const HeldFolder& parent, const wchar_t* name) {
    if (!IsSingleName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return ChildHandle{};
    }
    // No FILE_DELETE_ON_CLOSE at the open: what stands at the name is looked at first, and a link (which
    // Wine opens through to its target) or a file another listing shows there must not be deleted.
    ChildHandle file = OpenRelative(parent.get(), name, DELETE | FILE_READ_ATTRIBUTES, 0, FILE_OPEN_IF,
                                    FILE_NON_DIRECTORY_FILE, FILE_ATTRIBUTE_NORMAL);
    if (!file)
        return file;
    file = KeepIfPlain(std::move(file), &parent, name, false);
    if (!file)
        return file;
    // A read-only file refuses the mark and stays after the handle closes; it is a lock all the same.
    (void)DeleteThroughHandle(file.get());
    return file;
}

void SetDiskSeam(void (*seam)(DiskStep step, HANDLE folder, const wchar_t* name)) { diskSeam = seam; }

void AtDiskStep(DiskStep step, HANDLE folder, const wchar_t* name) {
    if (diskSeam)
        diskSeam(step, folder, name);
}
