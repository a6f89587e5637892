// base/paths.h: what the layers ask of a path on disk itself, whatever lies there.
#pragma once
#include <windows.h>

// True when the system finds something at `path`: a file, a folder or a link. A path the caller
// may not look at (access denied) reads as absent, as it does to every later operation on it.
inline bool PathExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }
