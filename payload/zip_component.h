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
// stop; 0: the destination cannot be created or is itself a link (links above it are followed), the
// file is not a ZIP archive or cannot be read, its end record is a ZIP64 one, the central directory
// breaks off or an entry's information cannot be read, or an entry cannot be written (a corrupt one,
// a name refused by payload/entry_names.h or one the code page cannot spell, a link or a file on the
// entry's way, something at a file's name that cannot be removed); -1: an absent text, an empty
// destination, or nothing at the archive path. The destination's missing folders are made by path;
// then it is held, and everything below it is reached relative to it (ExtractInto). The component
// is looked up by its ids at each call; when it is not found the extraction still runs, without
// events. Nothing written is rolled back.
std::int32_t Extract(std::int32_t windowId, std::int32_t componentId, const char* archivePath, const char* destination);

// Extract's walk, with its results and events, below the held folder `destination` (base/held_folder.h),
// the archive being the plain file `archiveName` of the held folder `archiveFolder`, opened relative
// to it and shared for reading only. Every folder on an entry's way is opened or created relative to
// its held parent, never through a link; every file is made new (payload/fresh_file.h), written, given
// its times and plain attributes through the handle that created it, and discarded through that
// handle when it fails. -1 for a null name or folder handle, an empty name or nothing at it; 0 for a
// link, a folder or anything else that is no readable plain file there. An entry's whole path counts
// from the held folder's path as the system names it, for the 260-byte limit.
std::int32_t ExtractInto(std::int32_t windowId, std::int32_t componentId, HANDLE archiveFolder,
                         const wchar_t* archiveName, HANDLE destination);

// For tests: `hook` is called with a folder's name each time extraction holds a folder on an entry's
// way, before it reaches into it (null: nothing is called). With SetNameClearedHook
// (payload/fresh_file.h) it lets a test act from outside between two steps.
void SetEntryFolderHeldHook(void (*hook)(const wchar_t* name));

// The component's hidden carrier window, as the window host creates each ZIP component: a child of
// `parent` with WS_CHILD, WS_CLIPSIBLINGS and WS_BORDER added to `style`. When it is destroyed the
// component tells the window host that it is gone. Null when the window cannot be made.
[[nodiscard]] HWND CreateZipCarrier(HWND parent, int left, int top, int width, int height, DWORD style,
                                    std::int32_t windowId, std::int32_t componentId);
