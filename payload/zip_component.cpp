// payload/zip_component.cpp: ZipComponent's Extract: the walk over the entries below a held folder.
#include "payload/zip_component.h"

#include <cstring>
#include <cwchar>
#include <utility>

#include "base/held_folder.h"
#include "base/owners.h"
#include "base/paths.h"
#include "base/services.h"
#include "base/text.h"
#include "payload/archive_reader.h"

namespace {

// The state of one Extract call.
struct ZipExtractor {
    HWND owner = nullptr;  // the component's carrier window, or null when the component was not found
    std::int32_t windowId = 0;
    std::int32_t componentId = 0;
    bool stopFlag = false;
    std::int32_t totalEntries = 0;
    std::int32_t doneEntries = 0;
    const ArchiveEntry* current = nullptr;  // the entry being extracted, for the trace of a failure
    ExtractFailure* failure = nullptr;      // the caller's record of a failure, where it asked for one
};

// Raises ExtractProgress with the percentage done; a handler that answers false sets stopFlag.
void ReportProgress(ZipExtractor& extractor) {
    if (!extractor.owner)
        return;
    std::int32_t percentage = 0;
    const auto total = static_cast<std::uint32_t>(extractor.totalEntries);
    if (total != 0) {
        // Extended precision (a 64-bit mantissa) makes done/total*100 land on the whole numbers
        // where a double would fall just short of them (49/50*100 would give 97).
        const long double share =
            static_cast<long double>(static_cast<std::uint32_t>(extractor.doneEntries)) / total * 100.0L;
        percentage = static_cast<std::int32_t>(share);
    }
    if (!IsWindow(extractor.owner))
        return;
    EventCall call;
    call.windowId = extractor.windowId;
    call.componentId = extractor.componentId;
    call.eventIndex = kExtractProgressEvent;
    call.argumentCount = 1;
    call.arguments[0] = percentage;
    if (RaiseEventThroughFrame(call) && call.resultPresent == 1 && call.result == 0 && IsWindow(extractor.owner))
        extractor.stopFlag = true;
}

// The text with a backslash after it unless its last character (a double-byte one counts as one)
// already is one.
Text EnsureTrailingBackslash(const char* path) {
    const char* last = LastChar(path);
    if (last && last[0] == '\\' && last[1] == '\0')
        return Text::Copy(path);
    return JoinText(path, "\\");
}

// Creates every missing folder of the path, as the folder it names; folders made before a failure stay.
[[nodiscard]] bool CreateFolderChain(const char* path) {
    return CreateFolderRecursive(EnsureTrailingBackslash(path).c_str());
}

// True when the file starts with a local file header whose bytes 24 to 27 (the upper half of the
// uncompressed size and the name length, read together as they stand) hold at least 1. Read through
// the handle the archive is then read through, and put back at its start for the reader.
bool HasZipSignature(HANDLE file) {
    unsigned char block[32];
    DWORD read = 0;
    const bool whole = ReadFile(file, block, sizeof block, &read, nullptr) && read == sizeof block;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !whole)
        return false;
    if (block[0] != 0x50 || block[1] != 0x4B || block[2] != 0x03 || block[3] != 0x04)
        return false;
    const std::int32_t value = static_cast<std::int32_t>(block[24] | (block[25] << 8) | (block[26] << 16) |
                                                         (static_cast<std::uint32_t>(block[27]) << 24));
    return value >= 1;
}

std::int32_t CountEntries(OpenedArchive& archive) {
    ArchiveEntry entry;
    std::int32_t index = 0;
    while (ReadEntryInfo(archive, index, entry))
        ++index;
    return index;
}

// One line for support through OutputDebugStringA: the entry the extraction stopped at (its name,
// empty when its information could not be read) with the system's error code. Nothing else is kept.
void TraceFailedEntry(const ZipExtractor& extractor) {
    const DWORD error = GetLastError();
    if (extractor.failure) {
        extractor.failure->error = error;
        if (extractor.current)
            lstrcpynA(extractor.failure->entry, extractor.current->name, sizeof extractor.failure->entry);
    }
    if (!extractor.current)
        return;
    char line[400];
    wsprintfA(line, "Extract: entry \"%.300s\" failed (error %lu)\n", extractor.current->name, error);
    OutputDebugStringA(line);
}

// The failure exit: the final progress event; the archive, if it was opened, is closed by its owner.
std::int32_t FailureExit(ZipExtractor& extractor, std::int32_t result) {
    TraceFailedEntry(extractor);
    extractor.doneEntries = extractor.totalEntries;
    ReportProgress(extractor);
    return result;
}

// Writes the entry's data into a file made new at `name` in the held folder `folder`, then gives the
// file plain attributes, all through the handle that created it. What stood at the name goes first:
// a file is deleted, read-only or not, unless another name shares it (a read-only file an
// interrupted run left must not block the next install; one that shares its bytes with a file
// elsewhere is not ours to make writable), a link is removed as a link. A file that fails after its
// creation is discarded through its handle, so that nothing is left that looks complete. With `keep`,
// the written file is opened again for reading, shared for reading only, and handed back there once
// it is seen to be the file written (its id) holding the entry's data (its CRC-32): between the close
// and the new open nobody may have put another file at the name or written into this one.
bool ExtractFile(OpenedArchive& archive, const ArchiveEntry& entry, const HeldFolder& folder, const wchar_t* name,
                 ChildHandle* keep) {
    ChildHandle file = CreateFreshChildFile(folder, name, true, GENERIC_WRITE, 0, entry.attributes);
    if (!file)
        return false;
    if (!ExtractEntryData(archive, entry.index, file.get())) {
        const DWORD error = GetLastError();
        // Created read-only for the payload's entries: the mark goes first, as Windows deletes no
        // read-only file.
        (void)SetAttributesThroughHandle(file.get(), FILE_ATTRIBUTE_NORMAL);
        (void)DeleteThroughHandle(file.get());
        SetLastError(error);
        return false;
    }
    (void)SetAttributesThroughHandle(file.get(), FILE_ATTRIBUTE_NORMAL);
    FileFacts written;
    if (keep && !ReadFileFacts(file.get(), written))
        return false;
    if (!file.close())
        return false;
    if (!keep)
        return true;
    AtDiskStep(DiskStep::FileWritten, folder.get(), name);
    ChildHandle reopened = OpenChildFile(folder, name, GENERIC_READ, FILE_SHARE_READ);
    if (!reopened || !IsHeldFile(reopened.get(), written))
        return false;
    if (!FileHoldsEntryData(reopened.get(), entry))
        return false;
    *keep = std::move(reopened);
    return true;
}

// True when the two names are one on Windows: the same without regard to case.
bool SameName(const wchar_t* a, const wchar_t* b) { return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL; }

// The folder `name` at the top of the way, when it is the folder the caller asked to keep: the one kept
// already, or held (created new with the caller's security, where it gives one) and kept now.
const HeldFolder* ReachKeptFolder(HeldWay& way, const HeldFolder& destination, const wchar_t* name, KeptEntries& kept) {
    const wchar_t* heldName = way.NameAt(0);
    if (heldName && std::wcscmp(heldName, name) == 0)
        return way.Reach(0, destination, name);
    HeldFolder held;
    if (kept.folder) {
        held = kept.folder.Duplicate();
        if (!held)
            return nullptr;
    } else {
        held = kept.folderSecurity ? CreateChildFolder(destination, name, kept.folderSecurity)
                                   : HoldChildFolder(destination, name, true);
        if (!held)
            return nullptr;
        AtDiskStep(DiskStep::WayFolderHeld, held.get(), name);
        kept.folder = held.Duplicate();
        if (!kept.folder)
            return nullptr;
    }
    return way.Adopt(0, name, std::move(held));
}

// Makes one entry below the held destination: every folder on its way is opened, or created,
// relative to its held parent (or is still held from the entry before), and a link there (or a
// file where a folder belongs) fails the entry;
// a folder entry ends there, a file entry's file is made in its held folder. False when the entry
// fails. The name is read in UTF-16, converted from the code page once, so that a trail byte 0x5C of
// a double-byte character is never taken for a separator.
bool ExtractOne(OpenedArchive& archive, const ArchiveEntry& entry, const HeldFolder& destination, std::size_t rootBytes,
                HeldWay& way, KeptEntries* kept) {
    // A name that climbs out of the destination, names a device, or that Windows would store under
    // another name fails its entry: nothing is written for it, and a refused entry is not a success.
    if (!EntryNameIsSafe(entry)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // The entry's whole path, as the system's ANSI services would name it, stays below 260 bytes.
    if (rootBytes + entry.nameLength >= kPathBufferSize) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    const bool folder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!folder && entry.encrypted) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    const WideText wide = WideFromAnsi(entry.name);
    if (wide.absent() || wide.size() >= kPathBufferSize) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }
    wchar_t parts[kPathBufferSize];
    std::memcpy(parts, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));

    const HeldFolder* at = &destination;
    std::size_t depth = 0;  // folders of the entry's way reached so far
    bool inKeptFolder = false;
    for (wchar_t* component = parts;;) {
        wchar_t* end = component;
        while (*end && *end != L'/' && *end != L'\\')
            ++end;
        const bool last = *end == L'\0';
        *end = L'\0';
        if (*component != L'\0') {  // "a//b" joins its separators, and a name ending in one is a folder
            if (last && !folder) {
                const bool keepIt = inKeptFolder && depth == 1 && kept->fileName && SameName(component, kept->fileName);
                ChildHandle* keep = keepIt ? &kept->file : nullptr;
                // A second entry of the kept file's name finds the first one held, and fails.
                return ExtractFile(archive, entry, *at, component, keep);
            }
            const bool keptFolder = depth == 0 && kept && kept->folderName && SameName(component, kept->folderName);
            at = keptFolder ? ReachKeptFolder(way, *at, component, *kept) : way.Reach(depth, *at, component);
            inKeptFolder = keptFolder || (inKeptFolder && depth > 0);
            ++depth;
            if (!at)
                return false;
        }
        if (last)
            return true;
        component = end + 1;
    }
}

// The walk over the entries, common to both entry points: `archive` is open for reading at its
// start and `destination` held. `rootBytes` is the length of the destination's path with its
// separator, for the limit of an entry's whole path (0: the names' own limit alone).
std::int32_t ExtractThroughHandles(ZipExtractor& extractor, FileHandle archiveFile, const HeldFolder& destination,
                                   std::size_t rootBytes, KeptEntries* kept) {
    if (!HasZipSignature(archiveFile.get()))
        return FailureExit(extractor, kExtractFailed);
    const ArchiveHandle owner = OpenArchive(std::move(archiveFile));
    if (!owner)
        return FailureExit(extractor, kExtractFailed);
    OpenedArchive& archive = *owner.get();
    extractor.totalEntries = CountEntries(archive);
    // The end record's count: kExtractDone means every one of these entries was extracted.
    ArchiveEntry count;
    const std::int32_t recorded = ReadEntryInfo(archive, -1, count) ? count.index : 0;

    HeldWay way;
    for (std::int32_t index = 0; index < recorded; ++index) {
        ArchiveEntry entry;
        // A central directory that breaks off, or an entry whose headers cannot be read or disagree,
        // leaves the rest of the archive unread: the install is incomplete, not a success.
        extractor.current = &entry;
        if (!ReadEntryInfo(archive, index, entry) || !ExtractOne(archive, entry, destination, rootBytes, way, kept))
            return FailureExit(extractor, kExtractFailed);
        extractor.current = nullptr;
        extractor.doneEntries = index;
        ReportProgress(extractor);
        if (extractor.stopFlag)
            return kExtractDone;
    }
    extractor.doneEntries = extractor.totalEntries;
    ReportProgress(extractor);
    return kExtractDone;
}

// The bytes of the held folder's path, as the system names it, in the ANSI code page, with the
// separator an entry's name follows; 0 when the system cannot name it (only the names' own limit
// applies then), and the limit itself for a path too long for any entry.
std::size_t HeldPathBytes(HANDLE folder) {
    WideText path;
    if (!FinalPathOf(folder, path))
        return GetLastError() == ERROR_FILENAME_EXCED_RANGE ? kPathBufferSize : 0;
    const Text spelled = AnsiFromWide(path.c_str(), Unspellable::BecomesMark);
    if (spelled.empty())
        return 0;
    const bool separated = path.c_str()[path.size() - 1] == L'\\';
    return spelled.size() + (separated ? 0 : 1);
}

ZipExtractor StartExtractor(std::int32_t windowId, std::int32_t componentId) {
    ZipExtractor extractor;
    extractor.windowId = windowId;
    extractor.componentId = componentId;
    extractor.owner = FindComponentWindowThroughFrame(windowId, componentId);
    return extractor;
}

// The one extraction, below the held `destination`, for both entry points: the archive is rewound (a
// caller's handle may stand anywhere in the file it was just written through), and an entry's whole
// path counts from the held folder's path as the system names it.
std::int32_t ExtractHeld(ZipExtractor& extractor, FileHandle archive, const HeldFolder& destination,
                         KeptEntries* kept) {
    if (SetFilePointer(archive.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return FailureExit(extractor, kExtractFailed);
    return ExtractThroughHandles(extractor, std::move(archive), destination, HeldPathBytes(destination.get()), kept);
}

}  // namespace

std::int32_t Extract(std::int32_t windowId, std::int32_t componentId, const char* archivePath,
                     const char* destination) {
    if (!archivePath || !destination)
        return kExtractBadArguments;
    ZipExtractor extractor = StartExtractor(windowId, componentId);
    if (!*destination)
        return FailureExit(extractor, kExtractBadArguments);
    // Opened once, and read through this handle alone; what the path shows is asked only when the
    // open failed, to tell a missing archive from one that cannot be read.
    FileHandle archive{CreateFileA(archivePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!archive && !PathExists(archivePath))
        return FailureExit(extractor, kExtractBadArguments);
    if (!PathExists(destination) && !CreateFolderChain(destination))
        return FailureExit(extractor, kExtractFailed);
    // The destination itself must be a plain folder (a link there fails); links above it are
    // followed, as users move their application-data folder that way.
    const WideText wideDestination = WideFromAnsi(destination);
    const HeldFolder held = wideDestination.absent() ? HeldFolder{} : HoldFolderPath(wideDestination.c_str());
    if (!held || !archive)
        return FailureExit(extractor, kExtractFailed);
    return ExtractHeld(extractor, std::move(archive), held, nullptr);
}

std::int32_t ExtractInto(std::int32_t windowId, std::int32_t componentId, FileHandle archive,
                         const HeldFolder& destination, KeptEntries* kept, ExtractFailure* failure) {
    if (!archive || !destination)
        return kExtractBadArguments;
    ZipExtractor extractor = StartExtractor(windowId, componentId);
    extractor.failure = failure;
    return ExtractHeld(extractor, std::move(archive), destination, kept);
}
