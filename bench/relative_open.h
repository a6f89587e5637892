// bench/relative_open.h: how the limit programs open by name below a folder they hold: NtCreateFile
// relative to the folder's handle, with synchronous I/O and nothing else asked or checked, the
// fastest open the platform has. base/held_folder.cpp opens the same way and then checks what it
// opened, which is the product's cost that the limits leave out.
#pragma once
#include <windows.h>
#include <winternl.h>

#include <string>

// `name` in `parent`, with `access` and SYNCHRONIZE; null when the system refuses.
inline HANDLE OpenRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                           ULONG options, ULONG attributes = 0) {
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<wchar_t*>(name.c_str());
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &objectName, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE handle = nullptr;
    const NTSTATUS result = NtCreateFile(&handle, access | SYNCHRONIZE, &object, &status, nullptr, attributes, share,
                                         disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return result < 0 ? nullptr : handle;
}
