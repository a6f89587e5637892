// base/paths.h: what the layers ask of a path on disk itself, whatever lies there.
#pragma once
#include <windows.h>

// True when the system reports attributes for `path`: a file, a folder or a link is there.
[[nodiscard]] inline bool PathExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }
