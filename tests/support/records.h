// tests/support/records.h: the files through which the stand-in applications the tests pack as
// "Velkar.exe" (recording_app.exe, fault_app.exe) talk to their tests. Header only, so that those
// programs stay small and import nothing beyond what a plain application does.
#pragma once
#include <windows.h>

#include <string>

#include "base/owners.h"

namespace records {

// The first bytes (at most 31) of a small file the test wrote, or `missing` when there is none.
inline std::string ReadSetting(const std::string& path, const std::string& missing) {
    FileHandle file{CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
    if (!file)
        return missing;
    char text[32] = "";
    DWORD got = 0;
    ReadFile(file.get(), text, sizeof text - 1, &got, nullptr);
    return std::string(text, got);
}

// Written whole under a temporary name and then renamed, so the test never reads half a record.
inline void Write(const std::string& path, const std::string& text) {
    const std::string part = path + ".part";
    FileHandle file{
        CreateFileA(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file)
        return;
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    (void)file.close();
    MoveFileExA(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace records
