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
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>

#include "tools/app_tree.h"
#include "tools/archive_check.h"
#include "tools/host_files.h"
#include "tools/payload_rules.h"
#include "tools/zip_writer.h"

using payloadrules::Item;
using payloadrules::Refusal;
using zipwriter::Entry;

namespace {

std::string Grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t i = digits.size(); i > 3; i -= 3)
        digits.insert(i - 3, ",");
    return digits;
}

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

bool WriteFile(const std::string& out, const std::string& bytes) {
    // Written beside the target and renamed, so that a failed run never leaves a half archive that
    // looks up to date to the build. The temporary file is created new: whatever stands at its name, a
    // link planted there or a file left by a run that was killed, is removed as a name first (removing
    // never follows a link, and a hard link loses only this name), never written through.
    const std::string temporary = out + ".part";
    std::string error;
    if (!hostfiles::WriteNew(temporary, bytes, error) &&
        !(hostfiles::RemoveFile(temporary, error) && hostfiles::WriteNew(temporary, bytes, error))) {
        std::cerr << "pack-payload: cannot write " << error << "\n";
        return false;
    }
    // The rename replaces whatever stands at `out` as a name, a link included.
    if (!hostfiles::Replace(temporary, out, error)) {
        std::cerr << "pack-payload: cannot write " << error << "\n";
        std::string ignored;
        (void)hostfiles::RemoveFile(temporary, ignored);
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
    std::string zip, error;
    if (!hostfiles::ReadWhole(path, zip, error)) {
        std::cerr << "pack-payload: cannot read " << error << "\n";
        return 1;
    }
    std::vector<Item> items;
    std::vector<Refusal> refusals;
    if (const auto large = TooLarge(zip.size()))
        refusals.push_back(*large);
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

// Reads, checks and packs an application's folder as Velkar/: the archive's bytes, or false with the
// refusals or the failure already said.
bool PackFolder(const std::string& app, const apptree::Options& options, std::string& archive,
                std::vector<Item>& items) {
    if (options.progress)
        std::cout << "Reading the tree of " << app << std::endl;
    apptree::Tree tree;
    if (!apptree::ReadTree(app, payloadrules::kTopFolder, true, options, tree))
        return false;
    for (Refusal& r : payloadrules::Check(tree.items, app))
        tree.refusals.push_back(std::move(r));
    if (!tree.refusals.empty()) {
        (void)Refuse(tree.refusals, true);
        return false;
    }

    std::uint64_t totalBytes = 0;
    for (const Item& item : tree.items)
        totalBytes += item.size;
    if (options.progress)
        std::cout << "Packing " << Grouped(tree.entries.size()) << " entries, " << Grouped(totalBytes) << " bytes"
                  << std::endl;
    archive = zipwriter::BuildArchive(
        tree.entries, options.progress ? ProgressOptions(tree.entries.size(), totalBytes) : zipwriter::Options{});
    if (archive.size() > payloadrules::kMaxFileSize) {
        (void)Refuse({{"(the payload)", "the archive passes 4 GiB (the payload has no ZIP64)"}});
        return false;
    }
    if (const auto large = TooLarge(archive.size())) {
        (void)Refuse({*large});
        return false;
    }
    items = std::move(tree.items);
    return true;
}

int PackApplication(const std::vector<std::string>& args) {
    // --app APP_DIR OUT.zip [--time S] [--progress]
    apptree::Options options;
    options.checked = true;
    for (std::size_t i = 4; i < args.size(); ++i) {
        if (args[i] == "--time" && i + 1 < args.size() && ParseTime(args[i + 1].c_str(), options.time)) {
            options.fixedTime = true;
            ++i;
        } else if (args[i] == "--progress") {
            options.progress = true;
        } else {
            return Usage();
        }
    }
    const std::string& app = args[2];
    std::string archive;
    std::vector<Item> items;
    if (!PackFolder(app, options, archive, items) || !WriteFile(args[3], archive))
        return 1;
    std::cout << "Packed " << app << " as " << payloadrules::kTopFolder << "\n";
    PrintSummary(items, archive.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = hostfiles::Arguments(argc, argv);
    if (args.size() == 2 && args[1] == "--limit") {
        std::cout << payloadrules::kMaxPayloadBytes << "\n";
        return 0;
    }
    if (args.size() >= 3 && args[1] == "--check") {
        bool list = false;
        const char* jsonPath = nullptr;
        for (std::size_t i = 3; i < args.size(); ++i) {
            if (args[i] == "--list")
                list = true;
            else if (args[i] == "--json" && i + 1 < args.size())
                jsonPath = args[++i].c_str();
            else
                return Usage();
        }
        return CheckArchive(args[2].c_str(), list, jsonPath);
    }
    if (args.size() >= 4 && args[1] == "--app")
        return PackApplication(args);
    if (args.size() != 3 && args.size() != 5)
        return Usage();
    apptree::Options options;
    if (args.size() == 5) {
        if (args[3] != "--time" || !ParseTime(args[4].c_str(), options.time))
            return Usage();
        options.fixedTime = true;
    }
    apptree::Tree tree;
    if (!apptree::ReadTree(args[2], "", false, options, tree))
        return 1;
    return WriteFile(args[1], zipwriter::BuildArchive(tree.entries)) ? 0 : 1;
}
