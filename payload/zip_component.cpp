// payload/zip_component.cpp: ZipComponent's carrier window and Extract.
#include "payload/zip_component.h"

#include <cstring>

#include "base/memory.h"
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
    EventCall frame;
    frame.windowId = extractor.windowId;
    frame.componentId = extractor.componentId;
    frame.eventIndex = kExtractProgressEvent;
    frame.argumentCount = 1;
    frame.arguments[0] = percentage;
    if (RaiseEventThroughFrame(frame) && frame.resultPresent == 1 && frame.result == 0 &&
        IsWindow(extractor.owner))
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

// Creates every missing folder of the path from its root down; folders made before a failure stay.
bool CreateFolderChain(const char* path) {
    Text chain = EnsureTrailingBackslash(path);
    if (chain.size() >= kPathBufferSize)
        return false;
    char prefix[kPathBufferSize];
    for (const char* p = chain.c_str(); *p; p = NextChar(p)) {
        if (*p != '\\')
            continue;
        const std::size_t length = static_cast<std::size_t>(p - chain.c_str()) + 1;
        std::memcpy(prefix, chain.c_str(), length);
        prefix[length] = '\0';
        if (!PathExists(prefix) && !CreateFolderRecursive(prefix))
            return false;
    }
    return true;
}

// True when the file starts with a local file header whose bytes 24 to 27 (the upper half of the
// uncompressed size and the name length, read together as they stand) hold at least 1.
bool HasZipSignature(const char* path) {
    FileHandle file{CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file)
        return false;
    unsigned char block[32];
    DWORD read = 0;
    if (!ReadFile(file.get(), block, sizeof block, &read, nullptr) || read != sizeof block)
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

// The entry's path under the destination: every "/" of the name becomes a backslash. Empty when the
// whole path would not fit the system's 260-byte limit.
Text EntryPath(const Text& root, const char* name) {
    const std::size_t nameLength = std::strlen(name);
    if (root.size() + nameLength >= kPathBufferSize)
        return Text();
    Text path = JoinText(root.c_str(), name);
    for (char* p = path.data() + root.size(); *p; ++p)
        if (*p == '/')
            *p = '\\';
    return path;
}

// True when each folder of the entry's path below the destination that exists already is a plain
// folder (and, with `itself`, what stands at the path too). The tree stays on disk between runs and
// any program of the user can plant a link in it: a junction, symbolic link or mount point there
// would carry the entry's folders and bytes to wherever it points. The destination itself and what
// lies above it may be links (users move their application-data folder that way).
bool OnlyPlainFoldersBelow(const Text& root, const Text& path, bool itself) {
    char prefix[kPathBufferSize];
    const char* begin = path.c_str();
    for (const char* p = begin + root.size();; p = NextChar(p)) {
        const bool end = *p == '\0';
        if (!end && *p != '\\')
            continue;
        if (!end || itself) {
            const auto length = static_cast<std::size_t>(p - begin);
            std::memcpy(prefix, begin, length);
            prefix[length] = '\0';
            const DWORD attributes = GetFileAttributesA(prefix);
            if (attributes == INVALID_FILE_ATTRIBUTES)
                return true;  // nothing deeper can exist either
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
                return false;
        }
        if (end)
            return true;
    }
}

// One line for support through OutputDebugStringA: the entry the extraction stopped at (its name,
// empty when its information could not be read) with the system's error code. Nothing else is kept.
void TraceFailedEntry(const ZipExtractor& extractor) {
    if (!extractor.current)
        return;
    const DWORD error = GetLastError();
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

// Creates one entry at its path: a folder entry's folder unless something is there, a file entry's
// file, made writable once written. False when the entry fails.
bool ExtractOne(OpenedArchive& archive, const ArchiveEntry& entry, const Text& root) {
    // A name that climbs out of the destination, names a device, or that Windows would store under
    // another name fails its entry: nothing is written for it, and a refused entry is not a success.
    if (!EntryNameIsSafe(entry))
        return false;
    const Text path = EntryPath(root, entry.name);
    if (path.empty())
        return false;
    const bool folder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!OnlyPlainFoldersBelow(root, path, folder))
        return false;
    if (folder)
        return PathExists(path.c_str()) || CreateFolderChain(path.c_str());
    if (!ExtractEntryToFile(archive, entry.index, path.c_str()))
        return false;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return true;
}

}  // namespace

std::int32_t Extract(std::int32_t windowId, std::int32_t componentId, const char* archivePath,
                     const char* destination) {
    if (!archivePath || !destination)
        return -1;
    ZipExtractor extractor;
    extractor.windowId = windowId;
    extractor.componentId = componentId;
    extractor.owner = FindComponentWindowThroughFrame(windowId, componentId);

    if (!*destination || !PathExists(archivePath))
        return FailureExit(extractor, -1);
    if (!PathExists(destination) && !CreateFolderChain(destination))
        return FailureExit(extractor, 0);
    if (!HasZipSignature(archivePath))
        return FailureExit(extractor, 0);
    const ArchiveHandle archive{OpenArchive(archivePath, destination)};
    if (!archive)
        return FailureExit(extractor, 0);
    extractor.totalEntries = CountEntries(*archive.get());
    // The end record's count: 1 means every one of these entries was extracted.
    ArchiveEntry count;
    const std::int32_t recorded = ReadEntryInfo(*archive.get(), -1, count) ? count.index : 0;

    const Text root = EnsureTrailingBackslash(destination);
    for (std::int32_t index = 0; index < recorded; ++index) {
        ArchiveEntry entry;
        // A central directory that breaks off, or an entry whose headers cannot be read or disagree,
        // leaves the rest of the archive unread: the install is incomplete, not a success.
        extractor.current = &entry;
        if (!ReadEntryInfo(*archive.get(), index, entry) || !ExtractOne(*archive.get(), entry, root))
            return FailureExit(extractor, 0);
        extractor.doneEntries = index;
        ReportProgress(extractor);
        if (extractor.stopFlag)
            return 1;
    }
    extractor.doneEntries = extractor.totalEntries;
    ReportProgress(extractor);
    return 1;
}

namespace {

const char kCarrierClass[] = "KestrelZipCarrier";

struct CarrierIds : AllocatedObject {
    std::int32_t windowId;
    std::int32_t componentId;
    bool live;  // set once CreateWindowExA has returned the window
};

LRESULT CALLBACK CarrierProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    } else if (message == WM_NCDESTROY) {
        auto* ids = reinterpret_cast<CarrierIds*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        // A window whose creation failed half-way was never a component: CreateZipCarrier
        // releases its ids and nobody is told.
        if (ids && ids->live) {
            ComponentGoneThroughFrame(ids->windowId, ids->componentId);
            delete ids;
        }
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool RegisterCarrierClass() {
    static bool registered = false;
    if (registered)
        return true;
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = CarrierProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kCarrierClass;
    registered = RegisterClassExA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    return registered;
}

}  // namespace

HWND CreateZipCarrier(HWND parent, int left, int top, int width, int height, DWORD style, std::int32_t windowId,
                      std::int32_t componentId) {
    if (!RegisterCarrierClass())
        return nullptr;
    auto* ids = new CarrierIds{{}, windowId, componentId, false};
    HWND window = CreateWindowExA(0, kCarrierClass, "", style | WS_CHILD | WS_CLIPSIBLINGS | WS_BORDER, left, top,
                                  width, height, parent, nullptr, GetModuleHandleA(nullptr), ids);
    if (!window) {
        delete ids;
        return nullptr;
    }
    ids->live = true;
    return window;
}
