// payload/zip_component.h: ZipComponent, the ZIP component of the launcher window: its hidden
// carrier window and Extract, which unpacks a ZIP file from disk into a folder and reports its
// progress through the component's ExtractProgress event. Answers through its result only.
#pragma once
#include <windows.h>

#include <cstdint>

// ExtractProgress is event 1 of the component, with the percentage done as its one argument.
constexpr std::int32_t kExtractProgressEvent = 1;

// Unpacks the archive at `archivePath` into `destination` in central-directory order. Null stands
// for an absent text. 1: every entry of the end record's count was extracted, or a handler asked to
// stop; 0: the destination cannot be created, the file is not a ZIP archive or cannot be read, the
// central directory breaks off or an entry's information cannot be read, or an entry cannot be
// written (a corrupt one, a name refused by payload/entry_names.h or one the code page cannot spell,
// a link in the tree on the entry's way, something at a file's path that cannot be removed); -1: an
// absent text, an empty destination, or nothing at the archive path. The component is looked up by
// its ids at each call; when it is not found the extraction still runs, without events. Nothing
// written is rolled back.
std::int32_t Extract(std::int32_t windowId, std::int32_t componentId, const char* archivePath,
                     const char* destination);

// The component's hidden carrier window, as the window host creates each ZIP component: a child of
// `parent` with WS_CHILD, WS_CLIPSIBLINGS and WS_BORDER added to `style`. When it is destroyed the
// component tells the window host that it is gone. Null when the window cannot be made.
HWND CreateZipCarrier(HWND parent, int left, int top, int width, int height, DWORD style, std::int32_t windowId,
                      std::int32_t componentId);
