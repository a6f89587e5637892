// payload/bytes.h: byte arrays from values, and byte arrays into a file: how the launcher turns the
// embedded archive into the archive file on disk.
// Both answer through their result; neither shows anything or ends the program (running out of memory
// for a copy is the allocator's fatal report).
#pragma once
#include <windows.h>

#include <initializer_list>

#include "base/held_folder.h"
#include "base/value.h"

// A fresh heap copy of the value's bytes, owned by the caller; never a reference into the argument.
//   byte array          its bytes
//   text                its bytes without the terminating zero
//   integers, floats    their own little-endian bytes (1, 2, 4 or 8); a boolean its 4 bytes,
//                       a date-time its 8 bytes
//   numeric array       its elements' bytes in index order
//   anything else       absent
// An empty result (length 0, empty text, no elements) is the absent array.
ByteArray ToByteArray(const Value& value);

// Creates `path` (or truncates it), writes the arrays back to back in order and closes it. Answers true
// only when the open, every write and the close succeeded. An empty path touches nothing. The file is
// opened for writing only, shared with nobody while open, through an inheritable handle; each non-empty
// array goes out in one WriteFile call. After a failed write or close the file stays as far as it got.
// A null entry in `arrays` counts as the empty array.
[[nodiscard]] bool WriteBytesToFile(const char* path, const ByteArrayImage* const* arrays, int count);
[[nodiscard]] bool WriteBytesToFile(const char* path, std::initializer_list<const ByteArrayImage*> arrays);

// Makes the file `name` new in the held folder `folder`, writes the arrays into it as WriteBytesToFile
// does, through the handle that created it, and hands that handle back: open for reading and writing,
// shared for reading only, positioned after the last byte. What stood at the name is removed as a name
// first (CreateFreshChildFile): a hard link loses only this name and the file it shared keeps its bytes,
// a link is removed as a link, a read-only file (an interrupted run's leftover) is replaced. An
// existing file is never written into, and one held open by another program stays and fails the
// write. No handle after any failure (a folder not held, an empty name included); the new file then stays
// as far as it got.
[[nodiscard]] ChildHandle WriteBytesToChild(const HeldFolder& folder, const wchar_t* name,
                                            const ByteArrayImage* const* arrays, int count);
[[nodiscard]] ChildHandle WriteBytesToChild(const HeldFolder& folder, const wchar_t* name,
                                            std::initializer_list<const ByteArrayImage*> arrays);
