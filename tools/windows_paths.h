// tools/windows_paths.h: what the packer's two Windows files share: the packer's UTF-8 paths as the
// system's UTF-16 ones, and a system error in words. Windows only.
#pragma once
#include <windows.h>

#include <string>

namespace hostfiles {

// The UTF-16 path the system calls take for the UTF-8 `path` ('/' or '\' separators): made full against
// the current folder and given the "\\?\" prefix (or "\\?\UNC\" for a share), so that a path of any
// length opens. False, with `error`, for text that names no path.
[[nodiscard]] bool SystemPath(const std::string& path, std::wstring& wide, std::string& error);

// The system's English words for a Win32 error code, with the code: "Access is denied (error 5)".
std::string ErrorText(DWORD code);

}  // namespace hostfiles
