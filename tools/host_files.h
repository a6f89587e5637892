// tools/host_files.h: what the packer needs of the file system, for Linux and for Windows from one
// interface. Paths and names are UTF-8 text here on both systems (UTF-16 for the Windows calls), with '/'
// as the separator the packer writes; a name that is not UTF-8 on Linux passes through as its bytes.
// A folder is read through a held handle, its children opened relative to it, never through a link.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hostfiles {

// The program's arguments as UTF-8 (on Windows from the UTF-16 command line, whatever the code page; there
// a console that standard output or error goes to is also made to show the program's UTF-8 as text).
std::vector<std::string> Arguments(int argc, char** argv);

// The folder of the running program's own file (the prebuilt launcher is looked for there).
std::string ProgramFolder();

// A file's identity (device or volume serial, and inode or file id), links followed; for "is this output
// one of the inputs" checks, by file and not by spelling.
struct Identity {
    std::uint64_t volume = 0, file = 0;
    friend bool operator==(const Identity&, const Identity&) = default;
};
enum class Kind { Missing, File, Folder, Other };
// The kind and identity of what `path` names, links followed. False with `error` when it cannot be told
// (a missing path is not an error: kind Missing).
[[nodiscard]] bool Look(const std::string& path, Kind& kind, Identity& identity, std::string& error);

// A whole file, read through one open handle.
[[nodiscard]] bool ReadWhole(const std::string& path, std::string& data, std::string& error);

// Writes `data` as a new file `path` (refusing one that exists), flushed to disk.
[[nodiscard]] bool WriteNew(const std::string& path, std::string_view data, std::string& error);

// The same, readable by its owner alone: the certificate's password handed to openssl and osslsigncode.
// Linux only (signing on Windows is signtool's).
[[nodiscard]] bool WriteNewPrivate(const std::string& path, std::string_view data, std::string& error);

// Renames `from` to `to`, replacing a file there, in one step.
[[nodiscard]] bool Replace(const std::string& from, const std::string& to, std::string& error);

// Removes the file `path`; a missing one is no error.
[[nodiscard]] bool RemoveFile(const std::string& path, std::string& error);

// Runs a program with arguments (no shell), its output shown; its exit code, or -1 when it cannot start.
// For osslsigncode and openssl on Linux.
int RunProgram(const std::vector<std::string>& command);
// The same, its standard output (and error, when `withErrors`) returned in `output`.
int RunProgramCapture(const std::vector<std::string>& command, std::string& output, bool withErrors);

}  // namespace hostfiles
