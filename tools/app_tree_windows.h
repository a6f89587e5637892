// tools/app_tree_windows.h: what the Windows reader of an application's folder (tools/app_tree.h) decides
// by itself, for its tests. Windows only.
#pragma once
#include <windows.h>

namespace apptree {

// IO_REPARSE_TAG_APPEXECLINK, which older headers lack.
inline constexpr DWORD kAppExecutionAlias = 0x8000001BUL;

// Whether an entry with these attributes and reparse tag is a link, refused as one: every name surrogate
// and an app execution alias are; a OneDrive placeholder, a deduplicated or a WOF-compressed file is
// the file itself, read through its file system filter.
bool IsLinkReparse(DWORD attributes, DWORD tag);

}  // namespace apptree
