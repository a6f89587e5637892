// tools/app_tree_posix.cpp: an application's folder read for packing, on Linux. Each folder is held by a
// descriptor and its children opened relative to it (openat); a checked read opens with O_NOFOLLOW, takes
// the entry's kind from fstat on the open descriptor and reads the bytes through that descriptor, so a
// name swapped for a link between the listing and the open is refused, never read through.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include "tools/app_tree.h"

namespace apptree {
namespace {

using payloadrules::Item;
using zipwriter::Entry;

constexpr char kMainFile[] = "Velkar.exe";

std::string Grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t i = digits.size(); i > 3; i -= 3)
        digits.insert(i - 3, ",");
    return digits;
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

struct Reader {
    const Options& options;
    Tree& tree;
    std::time_t lastShown = std::time(nullptr);
    bool readingShown = false;

    void SetTimes(Entry& e, const struct stat& info) const {
        // One time for all three: the access time changes whenever a file is read, so it would make
        // every build different.
        zipwriter::SetEntryTime(e, options.fixedTime ? options.time : static_cast<std::int64_t>(info.st_mtime));
    }

    // Adds the entry of `name` (as on disk, UTF-8 when well formed) and what the checks need to know of it.
    void Add(Entry e, std::uint64_t size) {
        Item item;
        item.name = e.name;
        item.folder = e.folder;
        item.size = size;
        if (options.checked) {
            item.utf8 = payloadrules::IsUtf8(e.name);
            const std::optional<std::string> ansi = payloadrules::Utf8ToAnsi(e.name);
            item.spellable = ansi.has_value();
            item.ansi = ansi.value_or("");
            e.name = item.ansi;
        } else {
            item.ansi = e.name;
        }
        tree.items.push_back(std::move(item));
        tree.entries.push_back(std::move(e));
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
        if (!options.progress || (now == lastShown && !(last && readingShown)))
            return;
        lastShown = now;
        readingShown = true;
        std::cerr << "  reading:     " << Grouped(tree.entries.size()) << " entries, " << Grouped(tree.bytesRead >> 20)
                  << " MiB\n";
    }

    // Opens `name` in the folder held by `folder`: a checked walk never follows a link (O_NOFOLLOW: a
    // link fails with ELOOP), and never blocks on a pipe. What the descriptor's fstat says is the
    // entry's kind; the file's bytes are read through that same descriptor.
    int OpenIn(int folder, const std::string& name, int extra) const {
        return openat(folder, name.c_str(),
                      O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extra | (options.checked ? O_NOFOLLOW : 0));
    }

    // Adds a folder's entries, the folder held by `folder`; `disk` is its path for messages.
    bool AddFolder(int folder, const std::string& disk, const std::string& prefix) {
        const bool checked = options.checked;
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
                    tree.refusals.push_back({prefix + name, KindOf(info.st_mode)});
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
                tree.refusals.push_back({prefix + name, KindOf(S_IFLNK)});
                continue;
            }
            if (file.fd < 0 || fstat(file.fd, &info) != 0) {
                std::cerr << "pack-payload: cannot read " << disk << "/" << name << ": " << std::strerror(errno)
                          << "\n";
                return false;
            }
            if (!S_ISREG(info.st_mode)) {
                if (checked)
                    tree.refusals.push_back(
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
                    tree.refusals.push_back(
                        {prefix + name, "changed while it was read: pack again once nothing writes to it"});
                tree.bytesRead += e.data.size();
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
                tree.refusals.push_back({prefix + name, link ? KindOf(S_IFLNK)
                                                             : "changed from a folder to something else while it was "
                                                               "packed: pack again"});
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
};

}  // namespace

bool ReadTree(const std::string& path, const std::string& prefix, bool withTop, const Options& options, Tree& tree) {
    Reader reader{options, tree};
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
        reader.SetTimes(e, info);
        reader.Add(std::move(e), 0);
    }
    const bool done = reader.AddFolder(top.fd, path, prefix);
    reader.ShowReading(true);
    return done;
}

}  // namespace apptree
