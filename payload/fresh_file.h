// payload/fresh_file.h: a file made new at its name below a held folder, never written into: how
// the archive file and every extracted file are made.
//
// Truncating a file in place carries the new bytes into every other name of a hard-linked file, and
// opening by a name where a link stands writes behind the link. So what stands at the name is
// removed as a name first (a hard link loses only this name, a link goes as a link and its target
// stays as it is), and the file is then created where nothing stands: whatever appears at the name
// in between makes the creation fail instead of being written through.
#pragma once
#include <windows.h>

#include "base/held_folder.h"

// Removes what stands at `name` in the held `folder` (RemoveChild; a read-only file stays unless
// `evenReadOnly`, and even then when another name shares it), then creates the file there with
// `access` (and DELETE and FILE_WRITE_ATTRIBUTES besides, so that its creator can finish or discard
// it through the handle), shared with nobody, with `attributes`. No handle when something stays at
// the name or appears there meanwhile (ERROR_FILE_EXISTS); nothing has been written then.
[[nodiscard]] ChildHandle CreateFreshChildFile(HANDLE folder, const wchar_t* name, bool evenReadOnly, DWORD access,
                                               DWORD attributes);

// For tests: `hook` is called with the name once what stood there is gone and before the file is
// created (null: nothing is called). It lets a test plant something at that moment.
void SetNameClearedHook(void (*hook)(const wchar_t* name));
