// tools/pack_payload.cpp: the packer, run on the build machine.
//   pack-payload OUT.zip SRC_DIR [--time UNIX_SECONDS]
//       Packs the contents of SRC_DIR as they are: SRC_DIR/Velkar/... gives "Velkar/", "Velkar/Velkar.exe",
//       ... Used for the demo and for the tests' own (sometimes deliberately odd) trees; nothing is checked.
//   pack-payload --app APP_DIR OUT.zip [--time UNIX_SECONDS] [--progress]
//       Packs an application's folder as "Velkar/" after checking that the launcher can install it on a
//       user's machine (tools/payload_rules.h), and prints what was packed. Names are stored in code
//       page 936, the launcher's ANSI code page, with the UTF-8 flag clear.
//   pack-payload --check ZIP [--list] [--json LISTING.json]
//       Checks an archive made elsewhere by the same rules and prints the same summary; it reads the archive
//       as the launcher's reader does (tools/archive_check.h). --list adds one line per entry; --json also
//       writes every entry (install path, size, CRC-32) and the summary's numbers, for the packaging report.
//   pack-payload --limit
//       Prints the largest archive the launcher installs and starts, in bytes.
// A refusal names the file and the rule and exits with 1 before anything is written.
// Each folder comes before its contents; inside a folder the files come first, then the subfolders, each
// group in byte order of the names, except that Velkar/Velkar.exe always comes right after Velkar/. So the
// same tree always gives the same archive. --time gives every entry that time (reproducible builds);
// without it the files' own modification times are used.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/archive_check.h"
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

// A descriptor closed when it goes.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int d) : fd(d) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0)
            close(fd);
    }
};

// Reads a regular file's `size` bytes through its descriptor. A file that grows or shrinks meanwhile
// is reported: what was measured would not be what is packed.
bool ReadDescriptor(int fd, std::uint64_t size, std::string& data, bool& changed) {
    data.resize(size);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t got = read(fd, data.data() + done, data.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    char more = 0;
    ssize_t extra = 0;
    while ((extra = read(fd, &more, 1)) < 0 && errno == EINTR) {
    }
    changed = done != data.size() || extra > 0;
    return extra >= 0;
}

const char* KindOf(mode_t mode) {
    return S_ISLNK(mode)    ? "a symbolic link (the payload holds files and folders only)"
           : S_ISSOCK(mode) ? "a socket (the payload holds files and folders only)"
           : S_ISFIFO(mode) ? "a named pipe (the payload holds files and folders only)"
                            : "a device (the payload holds files and folders only)";
}

struct Packer {
    bool fixedTime = false;
    std::int64_t time = 0;
    bool checked = false;  // --app: names become code page 936 bytes, links are refused, not followed
    bool progress = false;
    std::vector<Entry> entries;
    std::vector<Item> items;  // what the checks see, one per entry
    std::vector<Refusal> refusals;
    std::uint64_t bytesRead = 0;
    std::time_t lastShown = std::time(nullptr);
    bool readingShown = false;

    void SetTimes(Entry& e, const struct stat& info) const {
        // One time for all three: the access time changes whenever a file is read, so it would make
        // every build different.
        zipwriter::SetEntryTime(e, fixedTime ? time : static_cast<std::int64_t>(info.st_mtime));
    }

    // Adds the entry of `name` (as on disk, UTF-8 when well formed) and what the checks need to know of it.
    void Add(Entry e, std::uint64_t size) {
        Item item;
        item.name = e.name;
        item.folder = e.folder;
        item.size = size;
        if (checked) {
            item.utf8 = payloadrules::IsUtf8(e.name);
            const std::optional<std::string> ansi = payloadrules::Utf8ToAnsi(e.name);
            item.spellable = ansi.has_value();
            item.ansi = ansi.value_or("");
            e.name = item.ansi;
        } else {
            item.ansi = e.name;
        }
        items.push_back(std::move(item));
        entries.push_back(std::move(e));
    }

    // The test seam of a swap: PACK_PAYLOAD_TEST_SEAM, where set, is a shell command run after a folder
    // has been listed and its names sorted, before any of them is opened, with PACK_PAYLOAD_FOLDER set
    // to the folder's payload name. A test swaps a file for a link there, which is exactly the moment
    // a walk that checks names by path and reads them later would be fooled.
    static void Seam(const std::string& prefix) {
        const char* command = std::getenv("PACK_PAYLOAD_TEST_SEAM");
        if (!command)
            return;
        setenv("PACK_PAYLOAD_FOLDER", prefix.c_str(), 1);
        if (std::system(command) != 0)
            std::cerr << "pack-payload: the test seam's command failed\n";
    }

    // At most a line a second while the tree is read; the end only after such a line.
    void ShowReading(bool last) {
        const std::time_t now = std::time(nullptr);
        if (!progress || (now == lastShown && !(last && readingShown)))
            return;
        lastShown = now;
        readingShown = true;
        std::cerr << "  reading:     " << Grouped(entries.size()) << " entries, " << Grouped(bytesRead >> 20)
                  << " MiB\n";
    }

    // Opens `name` in the folder held by `folder`: a checked walk never follows a link (O_NOFOLLOW: a
    // link fails with ELOOP), and never blocks on a pipe. What the descriptor's fstat says is the
    // entry's kind; the file's bytes are read through that same descriptor, so a name swapped after
    // the folder was listed can only be refused, never read through.
    int OpenIn(int folder, const std::string& name, int extra) const {
        return openat(folder, name.c_str(),
                      O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extra | (checked ? O_NOFOLLOW : 0));
    }

    // Adds a folder's entries, the folder held by `folder`; `disk` is its path for messages.
    bool AddFolder(int folder, const std::string& disk, const std::string& prefix) {
        std::vector<std::string> files, folders;
        {
            const int listing = dup(folder);
            DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
            if (!dir) {
                if (listing >= 0)
                    close(listing);
                std::cerr << "pack-payload: cannot list " << disk << ": " << std::strerror(errno) << "\n";
                return false;
            }
            errno = 0;
            while (const dirent* d = readdir(dir)) {
                const std::string name = d->d_name;
                if (name == "." || name == "..")
                    continue;
                // The kind as the name shows it now, for the order only (files first, then folders)
                // and so that a device or a pipe is never opened: what is packed is decided below, by
                // the descriptor.
                struct stat info {};
                if (fstatat(folder, name.c_str(), &info, checked ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
                    if (!checked)
                        continue;  // a link that leads nowhere holds nothing to pack
                    std::cerr << "pack-payload: cannot read " << disk << "/" << name << ": " << std::strerror(errno)
                              << "\n";
                    closedir(dir);
                    return false;
                }
                if (S_ISDIR(info.st_mode))
                    folders.push_back(name);
                else if (S_ISREG(info.st_mode))
                    files.push_back(name);
                else if (checked)
                    refusals.push_back({prefix + name, KindOf(info.st_mode)});
            }
            const int error = errno;
            closedir(dir);
            if (error) {
                std::cerr << "pack-payload: cannot list " << disk << ": " << std::strerror(error) << "\n";
                return false;
            }
        }
        std::sort(files.begin(), files.end());
        std::sort(folders.begin(), folders.end());
        // The main executable right after its folder, whatever the other names sort as.
        if (prefix == payloadrules::kTopFolder) {
            const auto main = std::find_if(files.begin(), files.end(), [](const std::string& name) {
                return strcasecmp(name.c_str(), kMainFile) == 0;
            });
            if (main != files.end())
                std::rotate(files.begin(), main, main + 1);
        }
        Seam(prefix);

        for (const std::string& name : files) {
            const Descriptor file(OpenIn(folder, name, 0));
            struct stat info {};
            if (file.fd < 0 && errno == ELOOP && checked) {
                refusals.push_back({prefix + name, KindOf(S_IFLNK)});
                continue;
            }
            if (file.fd < 0 || fstat(file.fd, &info) != 0) {
                std::cerr << "pack-payload: cannot read " << disk << "/" << name << ": " << std::strerror(errno)
                          << "\n";
                return false;
            }
            if (!S_ISREG(info.st_mode)) {
                if (checked)
                    refusals.push_back(
                        {prefix + name, S_ISDIR(info.st_mode)
                                            ? "changed from a file to a folder while it was packed: pack again"
                                            : KindOf(info.st_mode)});
                continue;
            }
            Entry e;
            e.name = prefix + name;
            SetTimes(e, info);
            const auto size = static_cast<std::uint64_t>(info.st_size);
            // A file the payload cannot hold is refused by its size, not read.
            if (size <= payloadrules::kMaxFileSize) {
                bool changed = false;
                if (!ReadDescriptor(file.fd, size, e.data, changed)) {
                    std::cerr << "pack-payload: cannot read " << disk << "/" << name << ": " << std::strerror(errno)
                              << "\n";
                    return false;
                }
                if (changed && checked)
                    refusals.push_back(
                        {prefix + name, "changed while it was read: pack again once nothing writes to it"});
                bytesRead += e.data.size();
            }
            Add(std::move(e), size);
            ShowReading(false);
        }
        for (const std::string& name : folders) {
            const Descriptor child(OpenIn(folder, name, O_DIRECTORY));
            struct stat info {};
            if (child.fd < 0 && (errno == ELOOP || errno == ENOTDIR) && checked) {
                // O_NOFOLLOW | O_DIRECTORY on a link gives ELOOP or ENOTDIR; a file there gives ENOTDIR.
                struct stat now {};
                const bool link = fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(now.st_mode);
                refusals.push_back({prefix + name, link
                                                       ? KindOf(S_IFLNK)
                                                       : "changed from a folder to something else while it was packed: "
                                                         "pack again"});
                continue;
            }
            if (child.fd < 0 || fstat(child.fd, &info) != 0) {
                std::cerr << "pack-payload: cannot read " << disk << "/" << name << ": " << std::strerror(errno)
                          << "\n";
                return false;
            }
            Entry e;
            e.name = prefix + name + "/";
            e.folder = true;
            SetTimes(e, info);
            Add(std::move(e), 0);
            if (!AddFolder(child.fd, disk + "/" + name, prefix + name + "/"))
                return false;
        }
        return true;
    }

    // Adds the tree of the folder at `path` (followed if it is a link: the caller named it).
    bool AddTree(const std::string& path, const std::string& prefix, bool withTop) {
        const Descriptor top(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat info {};
        if (top.fd < 0 || fstat(top.fd, &info) != 0) {
            std::cerr << "pack-payload: " << path << " is not a folder\n";
            return false;
        }
        if (withTop) {
            Entry e;
            e.name = prefix;
            e.folder = true;
            SetTimes(e, info);
            Add(std::move(e), 0);
        }
        const bool done = AddFolder(top.fd, path, prefix);
        ShowReading(true);
        return done;
    }
};

// What a payload holds, for the summary and the listing.
struct Summary {
    std::size_t folders = 0;
    std::uint64_t bytesIn = 0;
    std::string longest;  // the longest install path, code page 936 bytes
};

Summary Summarise(const std::vector<Item>& items) {
    Summary summary;
    for (const Item& item : items) {
        summary.folders += item.folder ? 1 : 0;
        summary.bytesIn += item.size;
        const std::string path = payloadrules::InstallPath(item.ansi);
        if (path.size() > summary.longest.size())
            summary.longest = path;
    }
    return summary;
}

// Prints what a payload holds: entry counts, sizes and the longest install path.
void PrintSummary(const std::vector<Item>& items, std::uint64_t archiveBytes) {
    const Summary s = Summarise(items);
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.1f%%",
                  s.bytesIn ? 100.0 * static_cast<double>(archiveBytes) / s.bytesIn : 100.0);
    std::cout << "  entries:       " << Grouped(items.size()) << " (" << Grouped(s.folders) << " folders, "
              << Grouped(items.size() - s.folders) << " files)\n"
              << "  bytes in:      " << Grouped(s.bytesIn) << " (the files)\n"
              << "  bytes out:     " << Grouped(archiveBytes) << " (the archive, " << ratio << " of the files)\n"
              << "  longest path:  " << Grouped(s.longest.size()) << " of " << payloadrules::kPathLimit - 1
              << " bytes, under a 20-character user name:\n"
              << "                 " << payloadrules::AnsiToUtf8(s.longest).value_or(s.longest) << "\n";
}

// A JSON string of UTF-8 text.
std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The listing of a checked archive as one JSON object (the packaging report's "archive" part; its
// fields are documented in the README): every entry as it installs, and the summary's numbers.
std::string JsonListing(const std::vector<Item>& items, std::uint64_t archiveBytes) {
    const Summary s = Summarise(items);
    std::ostringstream out;
    out << "{\n  \"bytes\": " << archiveBytes << ",\n  \"folders\": " << s.folders
        << ",\n  \"files\": " << items.size() - s.folders << ",\n  \"bytes_in\": " << s.bytesIn
        << ",\n  \"longest_install_path\": {\"bytes\": " << s.longest.size()
        << ", \"limit\": " << payloadrules::kPathLimit - 1
        << ", \"path\": " << JsonText(payloadrules::AnsiToUtf8(s.longest).value_or("")) << "},\n  \"entries\": [";
    const std::size_t rootSize = std::string(payloadrules::kLongestInstallRoot).size();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string path = payloadrules::InstallPath(items[i].ansi).substr(rootSize);
        out << (i ? "," : "") << "\n    {\"path\": " << JsonText(payloadrules::AnsiToUtf8(path).value_or(""))
            << ", \"folder\": " << (items[i].folder ? "true" : "false") << ", \"size\": " << items[i].size
            << ", \"crc32\": " << items[i].crc << "}";
    }
    out << "\n  ]\n}\n";
    return out.str();
}

// A name as the terminal can show it: control bytes as \xNN.
std::string Shown(const std::string& name) {
    // Control bytes, and bytes that are no part of a UTF-8 character (a name on disk in another
    // encoding), as \xNN.
    std::string out;
    for (std::size_t i = 0; i < name.size();) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        std::size_t length = c < 0x80                 ? 1
                             : c >= 0xC2 && c <= 0xDF ? 2
                             : c >= 0xE0 && c <= 0xEF ? 3
                             : c >= 0xF0 && c <= 0xF4 ? 4
                                                      : 0;
        if (length > 1 && !(i + length <= name.size() && payloadrules::IsUtf8(name.substr(i, length))))
            length = 0;
        if (length == 0 || c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
            ++i;
            continue;
        }
        out.append(name, i, length);
        i += length;
    }
    return out;
}

// A refusal as the packager finds the file: packing a folder, its path on disk relative to APP_DIR
// beside the path it would install at; checking an archive, the entry's name.
std::string Where(const std::string& name, bool fromDisk) {
    const std::string top = payloadrules::kTopFolder;
    if (!fromDisk || name.compare(0, top.size(), top) != 0 || name.size() == top.size())
        return Shown(name);
    std::string install = name;
    std::replace(install.begin(), install.end(), '/', '\\');
    return Shown(name.substr(top.size())) + " (installs as " + Shown(install) + ")";
}

int Refuse(const std::vector<Refusal>& refusals, bool fromDisk = false) {
    constexpr std::size_t kShown = 50;
    for (std::size_t i = 0; i < refusals.size() && i < kShown; ++i)
        std::cerr << "refused: " << Where(refusals[i].name, fromDisk) << ": " << refusals[i].rule << "\n";
    if (refusals.size() > kShown)
        std::cerr << "refused: ... and " << Grouped(refusals.size() - kShown) << " more\n";
    std::cerr << "pack-payload: " << Grouped(refusals.size()) << (refusals.size() == 1 ? " refusal" : " refusals")
              << "; nothing was written\n";
    return 1;
}

bool WriteFile(const fs::path& out, const std::string& bytes) {
    // Written beside the target and renamed, so that a failed run never leaves a half archive that
    // looks up to date to the build. The temporary file is created new (O_EXCL, O_NOFOLLOW): whatever
    // stands at its name, a link planted there or a file left by a run that was killed, is removed as
    // a name first (unlink never follows a link, and a hard link loses only this name), never written
    // through.
    const std::string temporary = out.string() + ".part";
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(temporary.c_str(), flags, 0666);
    if (fd < 0 && errno == EEXIST && unlink(temporary.c_str()) == 0)
        fd = open(temporary.c_str(), flags, 0666);
    if (fd < 0) {
        std::cerr << "pack-payload: cannot create " << temporary << ": " << std::strerror(errno) << "\n";
        return false;
    }
    bool written = true;
    for (std::size_t done = 0; written && done < bytes.size();) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        written = put > 0;
        done += written ? static_cast<std::size_t>(put) : 0;
    }
    written = close(fd) == 0 && written;
    if (!written) {
        std::cerr << "pack-payload: cannot write " << temporary << ": " << std::strerror(errno) << "\n";
        unlink(temporary.c_str());
        return false;
    }
    // rename replaces whatever stands at `out` as a name, a link included.
    if (rename(temporary.c_str(), out.c_str()) != 0) {
        std::cerr << "pack-payload: cannot write " << out << ": " << std::strerror(errno) << "\n";
        unlink(temporary.c_str());
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

int Usage() {
    std::cerr << "usage: pack-payload OUT.zip SRC_DIR [--time UNIX_SECONDS]\n"
                 "       pack-payload --app APP_DIR OUT.zip [--time UNIX_SECONDS] [--progress]\n"
                 "       pack-payload --check ZIP [--list] [--json LISTING.json]\n"
                 "       pack-payload --limit            (the largest archive the launcher installs, in bytes)\n";
    return 2;
}

bool ParseTime(const char* text, std::int64_t& time) {
    char* end = nullptr;
    time = std::strtoll(text, &end, 10);
    return end != text && *end == '\0';
}

// The refusal of an archive larger than the launcher can hold, or nothing.
std::optional<Refusal> TooLarge(std::uint64_t archiveBytes) {
    if (archiveBytes <= payloadrules::kMaxPayloadBytes)
        return std::nullopt;
    return Refusal{"(the payload)",
                   "the archive takes " + Grouped(archiveBytes) + " bytes; the launcher installs at most " +
                       Grouped(payloadrules::kMaxPayloadBytes) + " (" + Grouped(payloadrules::kMaxPayloadBytes >> 20) +
                       " MiB): it holds the archive twice in a 32-bit address space"};
}

// Checks an archive made elsewhere; with `list`, also prints each entry as the launcher installs it, one
// a line ("folder NAME/", "file SIZE NAME"), for the tests that compare the two readers; with `jsonPath`,
// writes the listing there, only when the archive passes.
int CheckArchive(const char* path, bool list, const char* jsonPath) {
    std::string zip;
    if (!ReadFile(path, zip)) {
        std::cerr << "pack-payload: cannot read " << path << "\n";
        return 1;
    }
    std::vector<Item> items;
    std::vector<Refusal> refusals;
    if (const auto large = TooLarge(zip.size()))
        refusals.push_back(*large);
    std::string error;
    const archivecheck::Listing listing = archivecheck::ListArchive(zip, items, refusals, error);
    if (listing == archivecheck::Listing::kUnreadable) {
        std::cerr << "pack-payload: " << error << "\n";
        return 1;
    }
    // The rules judge the entries; a directory that is itself refused has none to judge.
    if (listing == archivecheck::Listing::kListed)
        for (Refusal& r : payloadrules::Check(items))
            refusals.push_back(std::move(r));
    if (!refusals.empty())
        return Refuse(refusals);
    if (jsonPath && !WriteFile(jsonPath, JsonListing(items, zip.size())))
        return 1;
    std::cout << "Checked " << path << ": the launcher can install it\n";
    PrintSummary(items, zip.size());
    if (list)
        for (const Item& item : items) {
            if (item.folder)
                std::cout << "folder " << item.name << (!item.name.empty() && item.name.back() == '/' ? "" : "/")
                          << "\n";
            else
                std::cout << "file " << item.size << " " << item.name << "\n";
        }
    return 0;
}

int PackApplication(int argc, char** argv) {
    // --app APP_DIR OUT.zip [--time S] [--progress]
    Packer packer;
    packer.checked = true;
    for (int i = 4; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--time" && i + 1 < argc && ParseTime(argv[i + 1], packer.time)) {
            packer.fixedTime = true;
            ++i;
        } else if (option == "--progress") {
            packer.progress = true;
        } else {
            return Usage();
        }
    }
    const std::string app = argv[2];
    const fs::path out = argv[3];
    if (packer.progress)
        std::cout << "Reading the tree of " << app << std::endl;
    if (!packer.AddTree(app, payloadrules::kTopFolder, true))
        return 1;
    for (Refusal& r : payloadrules::Check(packer.items, app))
        packer.refusals.push_back(std::move(r));
    if (!packer.refusals.empty())
        return Refuse(packer.refusals, true);

    std::uint64_t totalBytes = 0;
    for (const Item& item : packer.items)
        totalBytes += item.size;
    if (packer.progress)
        std::cout << "Packing " << Grouped(packer.entries.size()) << " entries, " << Grouped(totalBytes) << " bytes"
                  << std::endl;
    const std::string archive = zipwriter::BuildArchive(
        packer.entries, packer.progress ? ProgressOptions(packer.entries.size(), totalBytes) : zipwriter::Options{});
    if (archive.size() > payloadrules::kMaxFileSize)
        return Refuse({{"(the payload)", "the archive passes 4 GiB (the payload has no ZIP64)"}});
    if (const auto large = TooLarge(archive.size()))
        return Refuse({*large});
    if (!WriteFile(out, archive))
        return 1;
    std::cout << "Packed " << app << " as " << payloadrules::kTopFolder << "\n";
    PrintSummary(packer.items, archive.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--limit") {
        std::cout << payloadrules::kMaxPayloadBytes << "\n";
        return 0;
    }
    if (argc >= 3 && std::string(argv[1]) == "--check") {
        bool list = false;
        const char* jsonPath = nullptr;
        for (int i = 3; i < argc; ++i) {
            const std::string option = argv[i];
            if (option == "--list")
                list = true;
            else if (option == "--json" && i + 1 < argc)
                jsonPath = argv[++i];
            else
                return Usage();
        }
        return CheckArchive(argv[2], list, jsonPath);
    }
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
    if (!packer.AddTree(argv[2], "", false))
        return 1;
    return WriteFile(out, zipwriter::BuildArchive(packer.entries)) ? 0 : 1;
}
