// payload/zip_component.cpp: ZipComponent's carrier window and Extract.
#include "payload/zip_component.h"

#include <cstring>
#include <new>

#include "base/owners.h"
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
    const char* currentName = nullptr;  // the entry being extracted, for the trace of a failure
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
    EventFrame frame;
    frame.windowId = extractor.windowId;
    frame.componentId = extractor.componentId;
    frame.eventIndex = kExtractProgressEvent;
    frame.argumentCount = 1;
    frame.arguments[0] = percentage;
    if (RaiseEventThroughFrame(frame) && frame.resultPresent == 1 && frame.result == 0 &&
        IsWindow(extractor.owner))
        extractor.stopFlag = true;
}

bool Exists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
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
        if (!Exists(prefix) && !CreateFolderRecursive(prefix))
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

// A file an interrupted run left behind may still be read-only (entries are created with their
// archive attributes and made normal only once written), and CREATE_ALWAYS refuses to replace a
// read-only file: the next run could then never install. Only a plain file inside the destination
// is touched; a folder or a link keeps its attributes.
void AllowReplacing(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return;
    const DWORD rest = attributes & ~FILE_ATTRIBUTE_READONLY;
    SetFileAttributesA(path, rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL);
}

// One line for support through OutputDebugStringA: the entry the extraction stopped at, with the
// system's error code. Nothing is written to disk or shown.
void TraceFailedEntry(const ZipExtractor& extractor) {
    if (!extractor.currentName)
        return;
    const DWORD error = GetLastError();
    char line[400];
    wsprintfA(line, "Extract: entry \"%.300s\" failed (error %lu)\n", extractor.currentName, error);
    OutputDebugStringA(line);
}

std::int32_t FailureExit(ZipExtractor& extractor, OpenedArchive* archive, std::int32_t result) {
    TraceFailedEntry(extractor);
    extractor.doneEntries = extractor.totalEntries;
    ReportProgress(extractor);
    CloseArchive(archive);
    return result;
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

    if (!*destination || !Exists(archivePath))
        return FailureExit(extractor, nullptr, -1);
    if (!Exists(destination) && !CreateFolderChain(destination))
        return FailureExit(extractor, nullptr, 0);
    if (!HasZipSignature(archivePath))
        return FailureExit(extractor, nullptr, 0);
    OpenedArchive* archive = OpenArchive(archivePath, destination);
    if (!archive)
        return FailureExit(extractor, nullptr, 0);
    extractor.totalEntries = CountEntries(*archive);

    const Text root = EnsureTrailingBackslash(destination);
    for (std::int32_t index = 0;; ++index) {
        ArchiveEntry entry;
        if (!ReadEntryInfo(*archive, index, entry)) {
            extractor.doneEntries = extractor.totalEntries;
            ReportProgress(extractor);
            CloseArchive(archive);
            return 1;
        }
        extractor.currentName = entry.name;
        // A name that climbs out of the destination or names a device fails its entry: nothing is
        // written outside the destination, and a refused entry is not a success.
        if (!EntryNameIsSafe(entry))
            return FailureExit(extractor, archive, 0);
        const Text path = EntryPath(root, entry.name);
        if (path.empty())
            return FailureExit(extractor, archive, 0);
        if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!Exists(path.c_str()) && !CreateFolderChain(path.c_str()))
                return FailureExit(extractor, archive, 0);
        } else {
            AllowReplacing(path.c_str());
            if (!ExtractEntryToFile(*archive, index, path.c_str()))
                return FailureExit(extractor, archive, 0);
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        extractor.doneEntries = index;
        ReportProgress(extractor);
        if (extractor.stopFlag) {
            CloseArchive(archive);
            return 1;
        }
    }
}

namespace {

const char kCarrierClass[] = "KestrelZipCarrier";

struct CarrierIds {
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
    auto* ids = new (std::nothrow) CarrierIds{windowId, componentId, false};
    if (!ids)
        return nullptr;
    HWND window = CreateWindowExA(0, kCarrierClass, "", style | WS_CHILD | WS_CLIPSIBLINGS | WS_BORDER, left, top,
                                  width, height, parent, nullptr, GetModuleHandleA(nullptr), ids);
    if (!window) {
        delete ids;
        return nullptr;
    }
    ids->live = true;
    return window;
}
