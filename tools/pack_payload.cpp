// tools/pack_payload.cpp: the packer, run on the build machine.
//   pack-payload OUT.zip SRC_DIR [--time UNIX_SECONDS]
//       Packs the contents of SRC_DIR as they are: SRC_DIR/Velkar/... gives "Velkar/", "Velkar/Velkar.exe",
//       ... Used for the demo and for the tests' own (sometimes deliberately odd) trees; nothing is checked.
//   pack-payload --app APP_DIR OUT.zip [--time UNIX_SECONDS] [--progress]
//       Packs an application's folder as "Velkar/" after checking that the launcher can install it on a
//       user's machine (tools/payload_rules.h), and prints what was packed. Names are stored in code
//       page 936, the launcher's ANSI code page, with the UTF-8 flag clear.
//   pack-payload --check ZIP
//       Checks an archive made elsewhere by the same rules and prints the same summary.
// A refusal names the file and the rule and exits with 1 before anything is written.
// Each folder comes before its contents; inside a folder the files come first, then the subfolders, each
// group in byte order of the names, except that Velkar/Velkar.exe always comes right after Velkar/. So the
// same tree always gives the same archive. --time gives every entry that time (reproducible builds);
// without it the files' own modification times are used.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/payload_rules.h"
#include "tools/zip_writer.h"

namespace fs = std::filesystem;
using payloadrules::Item;
using payloadrules::Refusal;
using zipwriter::Entry;

namespace {

constexpr char kMainFile[] = "Velkar.exe";

std::string Grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t i = digits.size(); i > 3; i -= 3)
        digits.insert(i - 3, ",");
    return digits;
}

bool ReadFile(const fs::path& path, std::string& data) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();  // an empty file fails the copy into `bytes`, so only `in` tells
    if (!in)
        return false;
    data = bytes.str();
    return true;
}

struct Packer {
    bool fixedTime = false;
    std::int64_t time = 0;
    bool checked = false;  // --app: names become code page 936 bytes and the walk notes what it refuses
    std::vector<Entry> entries;
    std::vector<Item> items;  // what the checks see, one per entry
    std::vector<Refusal> refusals;
    std::vector<fs::path> sources;  // --app: each entry's file on disk, read once the checks have passed

    // Reads the files of a checked tree into their entries.
    bool ReadSources() {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (!entries[i].folder && !ReadFile(sources[i], entries[i].data)) {
                std::cerr << "pack-payload: cannot read " << sources[i] << "\n";
                return false;
            }
        }
        return true;
    }

    void SetTimes(Entry& e, const struct stat& info) const {
        // One time for all three: the access time changes whenever a file is read, so it would make
        // every build different.
        zipwriter::SetEntryTime(e, fixedTime ? time : static_cast<std::int64_t>(info.st_mtime));
    }

    // Adds the entry of `name` (UTF-8, as on disk) and what the checks need to know of it.
    void Add(Entry e, std::uint64_t size, const fs::path& source = {}) {
        Item item;
        item.name = e.name;
        item.folder = e.folder;
        item.size = size;
        if (checked) {
            const std::optional<std::string> ansi = payloadrules::Utf8ToAnsi(e.name);
            item.spellable = ansi.has_value();
            item.ansi = ansi.value_or("");
            e.name = item.ansi;
        } else {
            item.ansi = e.name;
        }
        items.push_back(std::move(item));
        entries.push_back(std::move(e));
        sources.push_back(source);
    }

    bool AddFolder(const fs::path& folder, const std::string& prefix) {
        std::vector<std::string> files, folders;
        std::error_code error;
        for (const fs::directory_entry& item : fs::directory_iterator(folder, error)) {
            const std::string name = item.path().filename().string();
            struct stat info {};
            if (lstat(item.path().c_str(), &info) != 0) {
                std::cerr << "pack-payload: cannot read " << item.path() << "\n";
                return false;
            }
            if (S_ISDIR(info.st_mode))
                folders.push_back(name);
            else if (S_ISREG(info.st_mode))
                files.push_back(name);
            else if (checked)
                refusals.push_back({prefix + name, S_ISLNK(info.st_mode)    ? "a symbolic link (the payload holds files and folders only)"
                                                   : S_ISSOCK(info.st_mode) ? "a socket (the payload holds files and folders only)"
                                                   : S_ISFIFO(info.st_mode) ? "a named pipe (the payload holds files and folders only)"
                                                                            : "a device (the payload holds files and folders only)"});
            else if (item.is_directory())  // unchecked trees follow links, as they always have
                folders.push_back(name);
            else if (item.is_regular_file())
                files.push_back(name);
        }
        if (error) {
            std::cerr << "pack-payload: cannot list " << folder << ": " << error.message() << "\n";
            return false;
        }
        std::sort(files.begin(), files.end());
        std::sort(folders.begin(), folders.end());
        // The main executable right after its folder, whatever the other names sort as.
        if (prefix == payloadrules::kTopFolder) {
            const auto main = std::find_if(files.begin(), files.end(),
                                           [](const std::string& name) { return strcasecmp(name.c_str(), kMainFile) == 0; });
            if (main != files.end())
                std::rotate(files.begin(), main, main + 1);
        }
        for (const std::string& name : files) {
            const fs::path path = folder / name;
            struct stat info {};
            if (stat(path.c_str(), &info) != 0) {
                std::cerr << "pack-payload: cannot read " << path << "\n";
                return false;
            }
            Entry e;
            e.name = prefix + name;
            SetTimes(e, info);
            // A checked tree is read only once nothing in it is refused.
            if (!checked && !ReadFile(path, e.data)) {
                std::cerr << "pack-payload: cannot read " << path << "\n";
                return false;
            }
            Add(std::move(e), static_cast<std::uint64_t>(info.st_size), path);
        }
        for (const std::string& name : folders) {
            const fs::path path = folder / name;
            struct stat info {};
            if (stat(path.c_str(), &info) != 0) {
                std::cerr << "pack-payload: cannot read " << path << "\n";
                return false;
            }
            Entry e;
            e.name = prefix + name + "/";
            e.folder = true;
            SetTimes(e, info);
            Add(std::move(e), 0);
            if (!AddFolder(path, prefix + name + "/"))
                return false;
        }
        return true;
    }
};

// Prints what a payload holds: entry counts, sizes and the longest install path.
void PrintSummary(const std::vector<Item>& items, std::uint64_t archiveBytes) {
    std::size_t folders = 0;
    std::uint64_t bytesIn = 0;
    std::string longest;
    for (const Item& item : items) {
        folders += item.folder ? 1 : 0;
        bytesIn += item.size;
        const std::string path = payloadrules::InstallPath(item.ansi);
        if (path.size() > longest.size())
            longest = path;
    }
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.1f%%", bytesIn ? 100.0 * static_cast<double>(archiveBytes) / bytesIn : 100.0);
    std::cout << "  entries:       " << Grouped(items.size()) << " (" << Grouped(folders) << " folders, "
              << Grouped(items.size() - folders) << " files)\n"
              << "  bytes in:      " << Grouped(bytesIn) << " (the files)\n"
              << "  bytes out:     " << Grouped(archiveBytes) << " (the archive, " << ratio << " of the files)\n"
              << "  longest path:  " << Grouped(longest.size()) << " of " << payloadrules::kPathLimit - 1
              << " bytes, under a 20-character user name:\n"
              << "                 " << payloadrules::AnsiToUtf8(longest).value_or(longest) << "\n";
}

// A name as the terminal can show it: control bytes as \xNN.
std::string Shown(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += c < 0x20 || c == 0x7F ? std::string(hex) : std::string(1, static_cast<char>(c));
    }
    return out;
}

int Refuse(const std::vector<Refusal>& refusals) {
    constexpr std::size_t kShown = 50;
    for (std::size_t i = 0; i < refusals.size() && i < kShown; ++i)
        std::cerr << "refused: " << Shown(refusals[i].name) << ": " << refusals[i].rule << "\n";
    if (refusals.size() > kShown)
        std::cerr << "refused: ... and " << Grouped(refusals.size() - kShown) << " more\n";
    std::cerr << "pack-payload: " << Grouped(refusals.size())
              << (refusals.size() == 1 ? " refusal" : " refusals") << "; nothing was written\n";
    return 1;
}

bool WriteFile(const fs::path& out, const std::string& bytes) {
    // Written beside the target and renamed, so that a failed run never leaves a half archive that
    // looks up to date to the build.
    const fs::path temporary = out.string() + ".part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        file.close();
        if (!file) {
            std::cerr << "pack-payload: cannot write " << temporary << "\n";
            std::remove(temporary.c_str());
            return false;
        }
    }
    std::error_code error;
    fs::rename(temporary, out, error);
    if (error) {
        std::cerr << "pack-payload: cannot write " << out << ": " << error.message() << "\n";
        return false;
    }
    return true;
}

// Shows the compression's progress at most once a second on standard error.
zipwriter::Options ProgressOptions(std::size_t entryCount, std::uint64_t totalBytes) {
    zipwriter::Options options;
    // A job that ends within its first second prints nothing; a longer one a line a second and its end.
    options.progress = [entryCount, totalBytes, last = std::time(nullptr), shown = false](std::size_t done,
                                                                                       std::uint64_t bytes) mutable {
        const std::time_t now = std::time(nullptr);
        if (now == last && !(done == entryCount && shown))
            return;
        last = now;
        shown = true;
        std::cerr << "  compressing: " << Grouped(done) << " of " << Grouped(entryCount) << " entries, "
                  << Grouped(bytes >> 20) << " of " << Grouped(totalBytes >> 20) << " MiB\n";
    };
    return options;
}

std::uint32_t Read16(const std::string& b, std::size_t at) {
    return static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8);
}
std::uint32_t Read32(const std::string& b, std::size_t at) { return Read16(b, at) | (Read16(b, at + 2) << 16); }

// The name an extractor installs: a UTF-8 name where the entry marks one (the general-purpose flag bit 11,
// or an Info-ZIP Unicode Path field whose CRC-32 matches the stored name), else the stored bytes in code
// page 936.
Item ItemOfEntry(const std::string& raw, std::uint32_t flags, const std::string& extra) {
    Item item;
    std::optional<std::string> utf8;
    if (flags & 0x800)
        utf8 = raw;
    for (std::size_t at = 0; !utf8 && at + 4 <= extra.size();) {
        const std::uint32_t id = Read16(extra, at), size = Read16(extra, at + 2);
        if (at + 4 + size > extra.size())
            break;
        if (id == 0x7075 && size >= 5 && extra[at + 4] == 1 &&
            Read32(extra, at + 5) == crc32(0, reinterpret_cast<const Bytef*>(raw.data()), static_cast<uInt>(raw.size())))
            utf8 = extra.substr(at + 9, size - 5);
        at += 4 + size;
    }
    if (utf8) {
        item.name = *utf8;
        const std::optional<std::string> ansi = payloadrules::Utf8ToAnsi(*utf8);
        item.spellable = ansi.has_value();
        item.ansi = ansi.value_or("");
    } else {
        item.ansi = raw;
        const std::optional<std::string> shown = payloadrules::AnsiToUtf8(raw);
        item.spellable = shown.has_value();
        item.name = shown.value_or(raw);
    }
    return item;
}

// Lists the entries of a ZIP file for the checks; refusals for what the launcher's reader cannot take.
bool ListArchive(const std::string& zip, std::vector<Item>& items, std::vector<Refusal>& refusals) {
    const std::size_t kEndSize = 22;
    std::size_t end = std::string::npos;
    for (std::size_t at = zip.size() >= kEndSize ? zip.size() - kEndSize + 1 : 0; at-- > 0;) {
        if (zip.size() - at > kEndSize + 0xFFFF)
            break;
        if (Read32(zip, at) == 0x06054B50) {
            end = at;
            break;
        }
    }
    if (end == std::string::npos) {
        std::cerr << "pack-payload: not a ZIP archive (no end-of-central-directory record)\n";
        return false;
    }
    const std::uint32_t count = Read16(zip, end + 10), size = Read32(zip, end + 12), offset = Read32(zip, end + 16);
    if (count == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF) {
        refusals.push_back({"(the archive)", "ZIP64 records; the launcher reads archives without ZIP64 only"});
        return true;
    }
    std::size_t at = offset;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (at + 46 > zip.size() || Read32(zip, at) != 0x02014B50) {
            std::cerr << "pack-payload: the central directory breaks off at entry " << i + 1 << "\n";
            return false;
        }
        const std::uint32_t flags = Read16(zip, at + 8), method = Read16(zip, at + 10);
        const std::uint32_t compressed = Read32(zip, at + 20), uncompressed = Read32(zip, at + 24);
        const std::uint32_t nameLength = Read16(zip, at + 28), extraLength = Read16(zip, at + 30),
                            commentLength = Read16(zip, at + 32), attributes = Read32(zip, at + 38);
        if (at + 46 + nameLength + extraLength + commentLength > zip.size()) {
            std::cerr << "pack-payload: the central directory breaks off at entry " << i + 1 << "\n";
            return false;
        }
        Item item = ItemOfEntry(zip.substr(at + 46, nameLength), flags, zip.substr(at + 46 + nameLength, extraLength));
        item.folder = (!item.name.empty() && item.name.back() == '/') || (attributes & 0x10);
        item.size = uncompressed;
        if (flags & 1)
            refusals.push_back({item.name, "encrypted; the launcher extracts plain entries only"});
        if (method != 0 && method != 8)
            refusals.push_back({item.name, "compression method " + std::to_string(method) +
                                               "; the launcher takes stored (0) and deflate (8) only"});
        if (compressed == 0xFFFFFFFF || uncompressed == 0xFFFFFFFF)
            refusals.push_back({item.name, "ZIP64 sizes; the launcher reads archives without ZIP64 only"});
        items.push_back(std::move(item));
        at += 46 + nameLength + extraLength + commentLength;
    }
    return true;
}

int Usage() {
    std::cerr << "usage: pack-payload OUT.zip SRC_DIR [--time UNIX_SECONDS]\n"
                 "       pack-payload --app APP_DIR OUT.zip [--time UNIX_SECONDS] [--progress]\n"
                 "       pack-payload --check ZIP\n";
    return 2;
}

bool ParseTime(const char* text, std::int64_t& time) {
    char* end = nullptr;
    time = std::strtoll(text, &end, 10);
    return end != text && *end == '\0';
}

int CheckArchive(const char* path) {
    std::string zip;
    if (!ReadFile(path, zip)) {
        std::cerr << "pack-payload: cannot read " << path << "\n";
        return 1;
    }
    std::vector<Item> items;
    std::vector<Refusal> refusals;
    if (!ListArchive(zip, items, refusals))
        return 1;
    for (Refusal& r : payloadrules::Check(items))
        refusals.push_back(std::move(r));
    if (!refusals.empty())
        return Refuse(refusals);
    std::cout << "Checked " << path << ": the launcher can install it\n";
    PrintSummary(items, zip.size());
    return 0;
}

int PackApplication(int argc, char** argv) {
    // --app APP_DIR OUT.zip [--time S] [--progress]
    Packer packer;
    packer.checked = true;
    bool progress = false;
    for (int i = 4; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--time" && i + 1 < argc && ParseTime(argv[i + 1], packer.time)) {
            packer.fixedTime = true;
            ++i;
        } else if (option == "--progress") {
            progress = true;
        } else {
            return Usage();
        }
    }
    const fs::path app = argv[2], out = argv[3];
    struct stat info {};
    if (stat(app.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        std::cerr << "pack-payload: " << app << " is not a folder\n";
        return 1;
    }
    Entry top;
    top.name = payloadrules::kTopFolder;
    top.folder = true;
    packer.SetTimes(top, info);
    packer.Add(std::move(top), 0);
    if (!packer.AddFolder(app, payloadrules::kTopFolder))
        return 1;
    for (Refusal& r : payloadrules::Check(packer.items))
        packer.refusals.push_back(std::move(r));
    if (!packer.refusals.empty())
        return Refuse(packer.refusals);
    if (!packer.ReadSources())
        return 1;

    std::uint64_t totalBytes = 0;
    for (const Item& item : packer.items)
        totalBytes += item.size;
    const std::string archive = zipwriter::BuildArchive(
        packer.entries, progress ? ProgressOptions(packer.entries.size(), totalBytes) : zipwriter::Options{});
    if (archive.size() > payloadrules::kMaxFileSize)
        return Refuse({{"(the payload)", "the archive passes 4 GiB (the payload has no ZIP64)"}});
    if (!WriteFile(out, archive))
        return 1;
    std::cout << "Packed " << app.string() << " as " << payloadrules::kTopFolder << "\n";
    PrintSummary(packer.items, archive.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--check")
        return CheckArchive(argv[2]);
    if (argc >= 4 && std::string(argv[1]) == "--app")
        return PackApplication(argc, argv);
    if (argc != 3 && argc != 5)
        return Usage();
    Packer packer;
    if (argc == 5) {
        if (std::string(argv[3]) != "--time" || !ParseTime(argv[4], packer.time))
            return Usage();
        packer.fixedTime = true;
    }
    const fs::path out = argv[1];
    if (!fs::is_directory(argv[2])) {
        std::cerr << "pack-payload: " << argv[2] << " is not a folder\n";
        return 1;
    }
    if (!packer.AddFolder(argv[2], ""))
        return 1;
    return WriteFile(out, zipwriter::BuildArchive(packer.entries)) ? 0 : 1;
}
