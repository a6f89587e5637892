// tools/payload_rules.h: what the launcher can install on a user's machine, checked on the build
// machine before a payload is built: names the launcher's extraction refuses, names the ANSI code page
// 936 cannot spell, install paths that reach the system's 260-byte limit under a long user name, names
// that differ only in case, a name shaped like a short (8.3) name beside a long one, an entry below a
// file, files of 4 GiB or more, more entries than an archive without ZIP64 holds, entries outside the
// application's folder and a missing main executable. Also the code-page conversions the packer needs.
// Built for the build machine (iconv, towupper) and for Windows (its own code page 936 and case tables).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace payloadrules {

// The application's folder in the payload and its main executable.
constexpr char kTopFolder[] = "Velkar/";
constexpr char kMainExecutable[] = "Velkar/Velkar.exe";

// The install folder under the longest user name Windows allows (20 characters), where every entry of
// the payload lands: the launcher writes to <AppData>\Kestrelworks\ of the user who starts it.
constexpr char kLongestInstallRoot[] = "C:\\Users\\UUUUUUUUUUUUUUUUUUUU\\AppData\\Roaming\\Kestrelworks\\";
constexpr std::size_t kPathLimit = 260;                // MAX_PATH, the terminator included
constexpr std::size_t kFolderPathLimit = 248;          // CreateDirectoryA's limit (room left for an 8.3 name)
constexpr std::size_t kMaxEntries = 65535;             // the end record's 16-bit count (no ZIP64)
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;  // 32-bit sizes (no ZIP64): 4 GiB is refused
// The largest archive the launcher takes: it holds the archive twice in its 32-bit address space (its
// image and the copy it writes out), each in one unbroken range. On 32-bit Windows a program has 2 GB
// (the large-address-aware flag gives 4 GB only on 64-bit Windows), of which the system's libraries
// and the heap take their share: two ranges of 512 MiB fit with room to spare. Emulated Wine, where
// the tests run, cannot map an image above about 106 MiB (scripts/bench-payload-size.sh, README "How
// large an application fits"); that bound is the emulator's and is not applied to users.
constexpr std::uint64_t kMaxPayloadBytes = 512ull << 20;

// One entry of a payload as the checks see it.
struct Item {
    std::string name;  // UTF-8, "/" separators, a folder's name ends in "/"
    std::string ansi;  // the name as stored: code page 936 bytes (empty when it cannot be spelled)
    bool folder = false;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;  // the CRC-32 an archive records (a listed archive's only; the report shows it)
    bool spellable = true;  // false: `ansi` is missing because code page 936 cannot spell `name`
    bool utf8 = true;       // false: `name` came from the disk and is no UTF-8 (so cannot be spelled)
};

struct Refusal {
    std::string name;  // the entry (UTF-8) or the file on disk the rule is about
    std::string rule;  // what is wrong, in words the packager understands
};

// UTF-8 to code page 936 bytes; nothing when a character has no 936 spelling or the bytes are not UTF-8.
std::optional<std::string> Utf8ToAnsi(const std::string& utf8);
// Code page 936 bytes to UTF-8; nothing when the bytes are not valid in code page 936.
std::optional<std::string> AnsiToUtf8(const std::string& ansi);

// The install path of an entry under kLongestInstallRoot, in code page 936 bytes with backslashes; a
// folder's path keeps its trailing backslash, as extraction makes it.
std::string InstallPath(const std::string& ansiName);

// True when `bytes` is well-formed UTF-8.
bool IsUtf8(const std::string& bytes);

// A name as a terminal can show it, in refusals and read-backs alike: control bytes, and bytes that are
// no part of a UTF-8 character (a name on disk in another encoding), as \xNN.
std::string ShownName(const std::string& name);

// Every refusal of the payload's items, in their order; empty when the payload can be installed.
// `items` holds every entry, the top folder included. `appDir` is the folder they were read from, for
// the hints; empty for an archive made elsewhere.
std::vector<Refusal> Check(const std::vector<Item>& items, const std::string& appDir = "");

// Why the launcher's extraction refuses the name (code page 936 bytes, "/" separators), or nothing when it
// takes it.
std::optional<std::string> LauncherRefusesName(const std::string& ansiName);

}  // namespace payloadrules
