// payload/zip_component.h: ZipComponent, the ZIP component of the launcher window: its hidden
// carrier window and Extract, which unpacks a ZIP file from disk into a folder and reports its
// progress through the component's ExtractProgress event. Answers through its result only.
#pragma once
#include <windows.h>

#include <cstdint>

// ExtractProgress is event 1 of the component, with the percentage done as its one argument.
constexpr std::int32_t kExtractProgressEvent = 1;

// Unpacks the archive at `archivePath` into `destination` in central-directory order. Null stands
// for an absent text. 1: the walk reached the end of the entries (or one whose information cannot be
// read), or a handler asked to stop; 0: the destination cannot be created, the file is not a ZIP
// archive or cannot be read, or an entry cannot be written (including a corrupt one and a name that
// would leave the destination or reach a device); -1: an absent text, an empty destination, or
// nothing at the archive path. The component is looked up by its ids at each call; when it is not
// found the extraction still runs, without events. Nothing written is rolled back.
std::int32_t Extract(std::int32_t windowId, std::int32_t componentId, const char* archivePath,
                     const char* destination);

// The component's hidden carrier window, as the window host creates each ZIP component: a child of
// `parent` with WS_CHILD, WS_CLIPSIBLINGS and WS_BORDER added to `style`. When it is destroyed the
// component tells the window host that it is gone. Null when the window cannot be made.
HWND CreateZipCarrier(HWND parent, int left, int top, int width, int height, DWORD style, std::int32_t windowId,
                      std::int32_t componentId);
