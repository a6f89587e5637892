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
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>
#include <span>
#include <string_view>
#include <tuple>

#include "tools/app_tree.h"
#include "tools/archive_check.h"
#include "tools/host_files.h"
#include "tools/launcher_image.h"
#include "tools/launcher_verify.h"
#include "tools/packer_checks.h"
#include "tools/payload_rules.h"
#include "tools/sha256.h"
#include "tools/signing.h"
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

// A refusal as the packager finds the file: packing a folder, its path on disk relative to APP_DIR
// beside the path it would install at; checking an archive, the entry's name.
std::string Where(const std::string& name, bool fromDisk) {
    const std::string top = payloadrules::kTopFolder;
    if (!fromDisk || name.compare(0, top.size(), top) != 0 || name.size() == top.size())
        return payloadrules::ShownName(name);
    std::string install = name;
    std::replace(install.begin(), install.end(), '/', '\\');
    return payloadrules::ShownName(name.substr(top.size())) + " (installs as " + payloadrules::ShownName(install) + ")";
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
// Lists and checks an archive's bytes as the launcher reads them: true when it can be judged, with
// `refusals` empty when it passes; false with `error` when it cannot be read at all.
bool JudgeArchive(const std::string& zip, std::vector<Item>& items, std::vector<Refusal>& refusals,
                  std::string& error) {
    if (const auto large = TooLarge(zip.size()))
        refusals.push_back(*large);
    const archivecheck::Listing listing = archivecheck::ListArchive(zip, items, refusals, error);
    if (listing == archivecheck::Listing::kUnreadable)
        return false;
    // The rules judge the entries; a directory that is itself refused has none to judge.
    if (listing == archivecheck::Listing::kListed)
        for (Refusal& r : payloadrules::Check(items))
            refusals.push_back(std::move(r));
    return true;
}

int CheckArchive(const char* path, bool list, const char* jsonPath) {
    std::string zip, error;
    if (!hostfiles::ReadWhole(path, zip, error)) {
        std::cerr << "pack-payload: cannot read " << error << "\n";
        return 1;
    }
    std::vector<Item> items;
    std::vector<Refusal> refusals;
    if (!JudgeArchive(zip, items, refusals, error)) {
        std::cerr << "pack-payload: " << error << "\n";
        return 1;
    }
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

// ---- The packaging command: pack-payload APP_DIR OUT.exe, --zip, --verify ----------------------------

// How the packager ran this program: "pack-payload", or the command of a wrapper that hands its command
// line on (KESTREL_PACKER_AS, which scripts/package.sh sets), so that every message and the usage name
// the command the packager typed.
struct Name {
    std::string command = "pack-payload";  // in the usage and the hints
    std::string prefix = "pack-payload";   // before each message
};
Name TheName() {
    Name name;
    if (const char* as = std::getenv("KESTREL_PACKER_AS"); as && *as) {
        name.command = as;
        const std::size_t slash = name.command.find_last_of("/ ");
        name.prefix = slash == std::string::npos ? name.command : name.command.substr(slash + 1);
    }
    return name;
}

std::string HelpText(const Name& n) {
    const std::string c = n.command;
    const std::string pad(c.size(), ' ');
    return "usage: " + c + " APP_DIR OUT.exe [OPTIONS]\n       " + c + " --zip FILE.zip OUT.exe [OPTIONS]\n       " +
           c + " --verify LAUNCHER.exe [--ca ROOT.pem] [--signer SHA256] [--require-signature]\n       " + pad +
           "          [--report FILE.json]\n";
}

std::string Help(const Name& n) {
    return HelpText(n) + R"(
Packs APP_DIR (the folder that holds Velkar.exe at its top; it becomes Velkar\ on the user's machine), or
checks an archive made elsewhere (--zip), and writes OUT.exe: the prebuilt launcher with the archive, the
icon and the version block. Everything is checked first: what the launcher could not install is refused,
naming each file and the rule, and nothing is written.

Options:
  --zip FILE.zip           embed this archive (its entries under Velkar/) instead of packing a folder;
                           it is checked by the same rules
  --launcher FILE          the prebuilt launcher to pack (default: launcher-prebuilt.exe beside this program)
  --sign CERT.pfx          sign OUT.exe with Authenticode (a PKCS#12 file with the certificate and key;
                           one exported the old way, RC2-40 encrypted, is read too). Linux: through
                           osslsigncode. Windows: refused, with the signtool command that signs OUT.exe
  --password-file FILE     the PKCS#12 file's password (its first line, without its line end, CR LF
                           included); goes with --sign; leave it out for a file without a password
  --timestamp-url URL      ask this time-stamp server to counter-sign (none is asked otherwise, and a
                           signature without a time stamp is said)
  --version A.B.C.D        the file and product version numbers (default 1.0.0.0)
  --product-version TEXT   the product version as a text, such as 1.2.3-beta (default: A.B.C.D)
  --company TEXT           the version block's company (default: none)
  --product-name TEXT      its product name (default: 檀溪舟楫)
  --description TEXT       its file description (default: 檀溪舟楫)
  --copyright TEXT         its copyright (default: none)
                           Each text: one line of at most 256 characters (the product version 64), no
                           control characters, no space at either end, only characters code page 936
                           spells (the code page Windows reads them in: no ©, write (C))
  --icon FILE.ico          the launcher's icon, the application's own (checked first: a whole .ico file)
  --report FILE.json       also write what was made as JSON: the inputs, every entry, the sizes, the
                           SHA-256s, the signature and each step's time (fields: the README)
  --help                   this text
No output may be, or lie inside, the application's folder or an input, and the two outputs differ: each
is compared by what it is on disk (links followed), not by how it is spelt.

Checking a launcher made before, without running it:
  --verify LAUNCHER.exe    the program, its version block, icon and manifest, the embedded archive (by the
                           packer's rules) and the signature (digest, signer, time stamp); each failing
                           point is named
  --ca ROOT.pem            check the signer's chain against this root
  --signer SHA256          the signer's certificate must be this one: its SHA-256 fingerprint, as
                           openssl x509 -noout -fingerprint -sha256 -in CERT.pem prints it (colons and
                           case do not matter). Without --ca or --signer a signature is "present, signer
                           not verified": anybody can make a certificate of any name
  --require-signature      a launcher fails unless it is signed by a signer --ca or --signer vouches for
                           (an unsigned one is said, and holds, otherwise)
  --report FILE.json       the same as JSON

Environment:
  SOURCE_DATE_EPOCH        seconds since 1970: the time of every entry and of the signature, so the same
                           input gives the same bytes on every system

Exit codes:
  0  OUT.exe built; with --verify: all holds
  1  refused or failed: no OUT.exe and no report is left, not even one from an earlier run; with
     --verify: a point failed (each is named)
  2  a mistake on the command line (an empty value, a value of the wrong form, a file that is not there,
     an output that overlaps an input): nothing is touched
)";
}

// What the command line gave; an option left out is "".
struct CommandLine {
    std::vector<std::string> positional;
    std::string zip, cert, passwordFile, timestampUrl, version, icon, report, verify, ca, signer, launcher;
    std::string company, productName, description, copyright, productVersion;
    bool requireSignature = false;
    bool help = false;
};

// Where a path is, as the file system knows it, for "is this output one of the inputs": the identity of
// the file where it exists, else of its folder with its name beside it. Links are followed first, a
// dangling one to the name it points at, so two spellings of one file give the same place.
struct Place {
    hostfiles::Identity identity;
    std::string name;  // "" when the path itself exists
    bool known = false;
    friend bool operator==(const Place&, const Place&) = default;
};

// The packer's UTF-8 text as a path and back. On Windows std::filesystem reads a plain narrow string
// byte by byte as Latin-1 and writes one as UTF-8, so "中" would come back as six bytes: the text goes
// in as UTF-8 explicitly there.
std::filesystem::path PathOf(const std::string& utf8) {
#ifdef _WIN32
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
#else
    return std::filesystem::path(utf8);
#endif
}

std::string TextOf(const std::filesystem::path& path) {
#ifdef _WIN32
    const std::u8string utf8 = path.u8string();
    return std::string(utf8.begin(), utf8.end());
#else
    return path.string();
#endif
}

// The path with every link resolved, as far as the components exist; the rest is joined as spelt.
std::filesystem::path Resolved(const std::string& text) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path pending = fs::absolute(PathOf(text), error).lexically_normal();
    fs::path at = pending.root_path();
    std::vector<fs::path> rest(std::next(pending.begin()), pending.end());
    for (int links = 0; !rest.empty();) {
        const fs::path part = rest.front();
        rest.erase(rest.begin());
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            at = at.parent_path();
            continue;
        }
        const fs::path next = at / part;
        if (links < 40 && fs::is_symlink(fs::symlink_status(next, error))) {
            ++links;
            const fs::path target = fs::read_symlink(next, error);
            std::vector<fs::path> parts;
            for (const fs::path& p : target.relative_path())
                parts.push_back(p);
            rest.insert(rest.begin(), parts.begin(), parts.end());
            if (target.is_absolute())
                at = target.root_path();
            continue;
        }
        at = next;
    }
    return at;
}

Place PlaceOf(const std::string& path) {
    const std::filesystem::path resolved = Resolved(path);
    Place place;
    hostfiles::Kind kind{};
    std::string error;
    if (hostfiles::Look(TextOf(resolved), kind, place.identity, error) && kind != hostfiles::Kind::Missing) {
        place.known = true;
        return place;
    }
    place.name = TextOf(resolved.filename());
    place.known = hostfiles::Look(TextOf(resolved.parent_path()), kind, place.identity, error) &&
                  kind != hostfiles::Kind::Missing;
    return place;
}

// Whether `path` is the folder `folder` or lies anywhere below it, compared folder by folder upwards.
bool InsideFolder(const std::string& path, const std::string& folder) {
    hostfiles::Kind kind{};
    hostfiles::Identity top, here;
    std::string error;
    if (!hostfiles::Look(folder, kind, top, error) || kind != hostfiles::Kind::Folder)
        return false;
    for (std::filesystem::path at = Resolved(path);; at = at.parent_path()) {
        if (hostfiles::Look(TextOf(at), kind, here, error) && kind != hostfiles::Kind::Missing && here == top)
            return true;
        if (at == at.parent_path())
            return false;
    }
}

hostfiles::Kind KindOf(const std::string& path) {
    hostfiles::Kind kind = hostfiles::Kind::Missing;
    hostfiles::Identity ignored;
    std::string error;
    return hostfiles::Look(path, kind, ignored, error) ? kind : hostfiles::Kind::Other;
}

std::string FolderOf(const std::string& path) {
    const std::string folder = TextOf(PathOf(path).parent_path());
    return folder.empty() ? "." : folder;
}

// A fresh name beside `path` for a file written whole and then moved into place: unguessable, so that
// nothing can be planted at it beforehand, and created new (WriteNew refuses a name that exists).
std::string FreshName(const std::string& path, const std::string& kind) {
    static std::mt19937_64 random{
        std::random_device{}() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    const std::string folder = FolderOf(path);
    return (folder == "." ? std::string() : folder + "/") + "." + kind + "-" + suffix + ".part";
}

// The bytes of a file read whole, copied in one move rather than element by element: the archive is
// the bulk of what packing touches.
peimage::Bytes AsBytes(const std::string& data) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(data.data());
    return peimage::Bytes(begin, begin + data.size());
}

// A JSON value for the report's inputs: null for an option left out.
std::string JsonInput(const std::string& value) { return value.empty() ? "null" : JsonText(value); }

struct Packaging {
    Name name;
    CommandLine line;
    // What was written under fresh names, removed unless moved into place; and the outputs an earlier run
    // left, removed when this one fails after its command line was taken.
    std::vector<std::string> parts;
    bool outputsAtStake = false;
    std::string out, report;
    std::chrono::steady_clock::time_point stepStart = std::chrono::steady_clock::now();
    std::vector<std::pair<std::string, double>> steps;

    int Usage(const std::string& message) const {
        if (!message.empty())
            std::cerr << name.prefix << ": " << message << "\n";
        std::cerr << HelpText(name) << "(" << name.command << " --help tells more)\n";
        return 2;
    }
    int Fail(const std::string& message) {
        std::cerr << name.prefix << ": " << message << "\n";
        CleanUp(false);
        return 1;
    }
    void StepDone(const std::string& step) {
        const auto now = std::chrono::steady_clock::now();
        steps.emplace_back(step, std::round(std::chrono::duration<double>(now - stepStart).count() * 1000) / 1000);
        stepStart = now;
    }
    void CleanUp(bool finished) {
        std::string error;
        for (const std::string& part : parts)
            (void)hostfiles::RemoveFile(part, error);
        parts.clear();
        if (finished || !outputsAtStake)
            return;
        for (const std::string& output : {out, report}) {
            if (output.empty())
                continue;
            std::error_code ignored;
            if (std::filesystem::symlink_status(PathOf(output), ignored).type() ==
                std::filesystem::file_type::not_found)
                continue;
            if (hostfiles::RemoveFile(output, error))
                std::cerr << name.prefix << ": removed the earlier " << output << " (a failed run leaves none)\n";
        }
    }

    // An output named by `option` that is a folder, whose folder is missing, or that is an input (pairs of
    // what and path), which writing it would destroy, is a slip of the command line: "" when it is none.
    std::string CheckOutput(const std::string& path, const std::string& option,
                            const std::vector<std::pair<std::string, std::string>>& inputs) const {
        if (KindOf(path) == hostfiles::Kind::Folder)
            return path + " is a folder (" + option + "): name the file to write";
        if (KindOf(FolderOf(path)) != hostfiles::Kind::Folder)
            return FolderOf(path) + " is not a folder (" + option + ")";
        for (const auto& [what, input] : inputs) {
            if (input.empty())
                continue;
            if (what == "the application's folder") {
                if (InsideFolder(path, input))
                    return path + " lies inside the application's folder " + input + " (" + option +
                           "): it would overwrite the application's files or be packed into the next package; "
                           "write it outside";
            } else if (KindOf(input) != hostfiles::Kind::Missing && PlaceOf(path) == PlaceOf(input)) {
                return path + " is the same file as " + what + " " + input + " (" + option +
                       "): writing it would destroy that file; name another";
            }
        }
        return "";
    }

    int Parse(const std::vector<std::string>& args);
    int Run();
    int RunVerify();
};

int Packaging::Parse(const std::vector<std::string>& args) {
    const std::vector<std::pair<std::string, std::string*>> valued{{"--zip", &line.zip},
                                                                   {"--sign", &line.cert},
                                                                   {"--password-file", &line.passwordFile},
                                                                   {"--timestamp-url", &line.timestampUrl},
                                                                   {"--version", &line.version},
                                                                   {"--icon", &line.icon},
                                                                   {"--report", &line.report},
                                                                   {"--verify", &line.verify},
                                                                   {"--ca", &line.ca},
                                                                   {"--company", &line.company},
                                                                   {"--product-name", &line.productName},
                                                                   {"--description", &line.description},
                                                                   {"--copyright", &line.copyright},
                                                                   {"--product-version", &line.productVersion},
                                                                   {"--signer", &line.signer},
                                                                   {"--launcher", &line.launcher}};
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            line.help = true;
            return 0;
        }
        if (a == "--require-signature") {
            line.requireSignature = true;
            continue;
        }
        if (a == "--") {
            line.positional.insert(line.positional.end(), args.begin() + long(i) + 1, args.end());
            break;
        }
        const auto option = std::find_if(valued.begin(), valued.end(), [&](const auto& o) { return o.first == a; });
        if (option != valued.end()) {
            if (i + 1 >= args.size())
                return Usage(a + " needs a value");
            // An empty value is a slip (an unset variable, say), never a way to leave a feature out.
            if (args[i + 1].empty())
                return Usage(a + " needs a value, not an empty one: leave " + a + " out to go without it");
            *option->second = args[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage("unknown option '" + a + "'");
        } else {
            line.positional.push_back(a);
        }
    }
    return 0;
}

int Packaging::RunVerify() {
    const CommandLine& l = line;
    if (!l.positional.empty())
        return Usage("--verify LAUNCHER.exe takes no APP_DIR or OUT.exe");
    for (const std::string* option :
         {&l.zip, &l.cert, &l.passwordFile, &l.timestampUrl, &l.version, &l.icon, &l.company, &l.productName,
          &l.description, &l.copyright, &l.productVersion, &l.launcher})
        if (!option->empty())
            return Usage("--verify takes --ca, --signer, --require-signature and --report only");
    if (KindOf(l.verify) != hostfiles::Kind::File) {
        std::cerr << name.prefix << ": " << l.verify << ": no such file\n";
        return 1;
    }
    if (!l.report.empty()) {
        const std::string said =
            CheckOutput(l.report, "--report", {{"the launcher", l.verify}, {"the root certificate", l.ca}});
        if (!said.empty())
            return Usage(said);
    }
    std::string pin = l.signer;
    const std::string label = "sha256 fingerprint=";
    const std::size_t start = pin.find_first_not_of(' ');
    pin = start == std::string::npos ? "" : pin.substr(start);
    if (pin.size() >= label.size()) {
        std::string head = pin.substr(0, label.size());
        std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        if (head == label)
            pin = pin.substr(label.size());
    }
    pin.erase(std::remove(pin.begin(), pin.end(), ':'), pin.end());
    if (!l.signer.empty() && (pin.size() != 64 || pin.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos))
        return Usage(
            "--signer takes a certificate's SHA-256 fingerprint (64 hexadecimal digits, colons allowed), "
            "as openssl x509 -noout -fingerprint -sha256 prints it");
    if (!l.ca.empty() && KindOf(l.ca) != hostfiles::Kind::File) {
        std::cerr << name.prefix << ": " << l.ca << ": no such file (--ca)\n";
        return 1;
    }
    launcherverify::Request request;
    request.launcher = l.verify;
    if (!l.ca.empty())
        request.caFiles.push_back(l.ca);
    if (!l.signer.empty())
        request.signers.push_back(l.signer);
    request.requireSignature = l.requireSignature;
    request.reportPath = l.report;
    request.toolName = name.command;
    request.toolVersion = KESTREL_TOOL_VERSION;
    request.inputs = {{"launcher", JsonInput(l.verify)},
                      {"ca", JsonInput(l.ca)},
                      {"signer", JsonInput(l.signer)},
                      {"require_signature", l.requireSignature ? JsonText("yes") : "null"}};
    return launcherverify::Verify(request);
}

int Packaging::Run() {
    CommandLine& l = line;
    if (l.help) {
        std::cout << Help(name);
        return 0;
    }
    if (!l.report.empty()) {
        const std::string said = CheckOutput(l.report, "--report", {});
        if (!said.empty())
            return Usage(said);
    }
    if (!l.verify.empty())
        return RunVerify();
    if (!l.ca.empty() || !l.signer.empty() || l.requireSignature)
        return Usage("--ca, --signer and --require-signature go with --verify");
    const std::string version = l.version.empty() ? "1.0.0.0" : l.version;

    std::string app;
    if (!l.zip.empty()) {
        if (l.positional.size() != 1)
            return Usage("--zip FILE.zip takes OUT.exe alone (no APP_DIR)");
        out = l.positional[0];
        if (KindOf(l.zip) != hostfiles::Kind::File)
            return Usage(l.zip + ": no such archive (--zip)");
    } else {
        if (l.positional.size() != 2)
            return Usage("APP_DIR and OUT.exe are needed");
        app = l.positional[0];
        out = l.positional[1];
        if (app.empty())
            return Usage("APP_DIR is empty: name the application's folder");
        if (KindOf(app) != hostfiles::Kind::Folder)
            return Usage(app + " is not a folder (APP_DIR)");
    }
    if (out.empty())
        return Usage("OUT.exe is empty: name the launcher to write");
    const std::string extension = out.size() >= 4 ? out.substr(out.size() - 4) : "";
    if (extension != ".exe" && extension != ".EXE")
        return Usage(out + ": the output is an .exe (OUT.exe)");
    launcherimage::Settings settings;
    std::string said;
    if (!packerchecks::ParseVersion(version, "--version", settings.version, said))
        return Usage(said);
    if (!l.passwordFile.empty() && l.cert.empty())
        return Usage("--password-file goes with --sign");
    if (!l.cert.empty()) {
        if (KindOf(l.cert) != hostfiles::Kind::File)
            return Usage(l.cert + ": no such certificate file (--sign)");
        if (!l.passwordFile.empty() && KindOf(l.passwordFile) != hostfiles::Kind::File)
            return Usage(l.passwordFile + ": no such password file");
    }
    if (!l.timestampUrl.empty() && l.cert.empty())
        return Usage("--timestamp-url needs --sign");
    if (!l.icon.empty() && KindOf(l.icon) != hostfiles::Kind::File)
        return Usage(l.icon + ": no such icon file (--icon)");
    for (const auto& [option, value, key] : {std::tuple{"--company", &l.company, "CompanyName"},
                                             std::tuple{"--product-name", &l.productName, "ProductName"},
                                             std::tuple{"--description", &l.description, "FileDescription"},
                                             std::tuple{"--copyright", &l.copyright, "LegalCopyright"},
                                             std::tuple{"--product-version", &l.productVersion, "ProductVersion"}}) {
        if (value->empty())
            continue;
        if (!packerchecks::CheckVersionText(option, *value, said))
            return Usage(said);
        settings.texts.emplace_back(key, *value);
    }
    // The prebuilt launcher is an input too, the one beside the packer included.
    const std::string launcher =
        l.launcher.empty() ? hostfiles::ProgramFolder() + "/launcher-prebuilt.exe" : l.launcher;
    const std::vector<std::pair<std::string, std::string>> inputs{{"the application's folder", app},
                                                                  {"the archive", l.zip},
                                                                  {"the icon", l.icon},
                                                                  {"the certificate", l.cert},
                                                                  {"the password file", l.passwordFile},
                                                                  {"the launcher", launcher}};
    if (!(said = CheckOutput(out, "OUT.exe", inputs)).empty())
        return Usage(said);
    report = l.report;
    if (!report.empty()) {
        if (!(said = CheckOutput(report, "--report", inputs)).empty())
            return Usage(said);
        // The two outputs, by identity too; neither need exist yet.
        if (PlaceOf(report) == PlaceOf(out))
            return Usage(report + " is the same file as OUT.exe " + out +
                         " (--report): the report would replace the launcher; name another file");
    }
    if (!l.launcher.empty() && KindOf(l.launcher) != hostfiles::Kind::File)
        return Usage(l.launcher + ": no such file (--launcher)");
    apptree::Options treeOptions;
    treeOptions.checked = true;
    treeOptions.progress = true;
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    const std::string sourceDateEpoch = epoch ? epoch : "";
    if (!sourceDateEpoch.empty()) {
        if (sourceDateEpoch.find_first_not_of("0123456789") != std::string::npos ||
            !ParseTime(sourceDateEpoch.c_str(), treeOptions.time)) {
            std::cerr << name.prefix << ": SOURCE_DATE_EPOCH must be seconds since 1970, not '" << sourceDateEpoch
                      << "'\n";
            return 1;
        }
        treeOptions.fixedTime = true;
    }
    // From here on a failed run leaves no OUT.exe and no report, not even ones from an earlier run that
    // could be shipped by mistake. (A mistyped command line above leaves everything as it was.)
    outputsAtStake = true;
#ifdef _WIN32
    if (!l.cert.empty())
        return Fail("--sign is for Linux, where osslsigncode signs; on Windows, leave --sign out and sign " + out +
                    " afterwards with signtool:\n  " +
                    signing::SigntoolCommand(l.cert, !l.passwordFile.empty(), l.timestampUrl, out) + "\n" +
                    name.prefix + ": then " + name.command + " --verify " + out + " checks the signature");
#endif

    // The certificate is read now, with its password, so that a wrong one stops the run before anything long.
    signing::Certificate certificate;
    struct Forgotten {
        signing::Certificate& c;
        ~Forgotten() { signing::Forget(c); }
    } forgotten{certificate};
    if (!l.cert.empty()) {
        std::error_code ignored;
        const std::string scratch = FreshName(TextOf(std::filesystem::temp_directory_path(ignored) / "x"), "pack");
        if (!signing::ReadCertificate(l.cert, l.passwordFile, scratch, certificate, said))
            return Fail(said);
    }
    std::string data;
    if (!l.icon.empty()) {
        std::vector<packerchecks::IconFacts> facts;
        if (!hostfiles::ReadWhole(l.icon, data, said))
            return Fail(l.icon + ": cannot read it: " + said + " (--icon)");
        if (!packerchecks::CheckIcon(data, facts, said))
            return Fail(l.icon + ": " + said + " (--icon)");
        std::vector<resources::IconImage> images;
        if (!resources::ReadIconFile(peimage::Bytes(data.begin(), data.end()), images, said))
            return Fail(l.icon + ": " + said + " (--icon)");
        settings.icon = std::move(images);
        std::cout << packerchecks::DescribeIcon(l.icon, facts);
    }
    std::string prebuilt;
    if (!hostfiles::ReadWhole(launcher, prebuilt, said))
        return Fail(l.launcher.empty()
                        ? "no prebuilt launcher beside the packer (" + said + "): name one with --launcher FILE"
                        : "cannot read the prebuilt launcher " + said);
    StepDone("checks");

    std::string archive;
    std::vector<Item> items;
    if (!l.zip.empty()) {
        std::cout << "[1/4] Checking " << l.zip << std::endl;
        // Read once: the bytes checked are the bytes packed.
        if (!hostfiles::ReadWhole(l.zip, archive, said))
            return Fail("cannot read " + said);
        std::vector<Refusal> refusals;
        if (!JudgeArchive(archive, items, refusals, said))
            return Fail(said);
        if (!refusals.empty()) {
            (void)Refuse(refusals);
            const std::string hint = packerchecks::ArchiveHint(refusals, name.command);
            if (!hint.empty())
                std::cerr << hint << "\n";
            return Fail("nothing was built: " + l.zip + " is refused (the lines above name each entry and the rule)");
        }
        std::cout << "Checked " << l.zip << ": the launcher can install it\n";
        PrintSummary(items, archive.size());
    } else {
        std::cout << "[1/4] Reading, checking and packing " << app << std::endl;
        if (!PackFolder(app, treeOptions, archive, items))
            return Fail("nothing was built: mend what is refused above and run again");
        std::cout << "Packed " << app << " as " << payloadrules::kTopFolder << "\n";
        PrintSummary(items, archive.size());
    }
    StepDone("payload");

    std::cout << "[2/4] Packing the launcher (version " << version << ")" << std::endl;
    peimage::Bytes packed;
    launcherimage::Place place;
    const std::span<const std::uint8_t> archiveBytes(reinterpret_cast<const std::uint8_t*>(archive.data()),
                                                     archive.size());
    if (!launcherimage::Pack(AsBytes(prebuilt), archiveBytes, settings, packed, place, said))
        return Fail(launcher + " cannot be packed: " + said);
    // The bytes written and hashed below: the packed image itself, or the signed one read back.
    std::string signedImage;
    std::string_view image(reinterpret_cast<const char*>(packed.data()), packed.size());
    StepDone("launcher");

    // Each output is written under a fresh name beside it, created new, and moved into place only once
    // both are whole and the exe holds; the move replaces whatever stands at the name as a name.
    std::string part = FreshName(out, "package");
    if (!l.cert.empty()) {
        std::cout << "[3/4] Signing with " << l.cert << std::endl;
        const std::string unsigned_ = FreshName(out, "package");
        parts.push_back(unsigned_);
        if (!hostfiles::WriteNew(unsigned_, image, said))
            return Fail("cannot write " + said);
        parts.push_back(part);
        if (!signing::Sign(certificate, unsigned_, part, l.timestampUrl, sourceDateEpoch, said)) {
            std::cerr << name.prefix << ": " << said << "\n";
            return Fail("nothing was built");
        }
        if (!hostfiles::ReadWhole(part, signedImage, said))
            return Fail("cannot read " + said);
        image = signedImage;
        if (l.timestampUrl.empty())
            std::cerr << name.prefix << ": warning: the signature has no time stamp: Windows holds it valid only "
                      << "until the certificate expires (" << certificate.notAfter
                      << "); --timestamp-url URL has a time-stamp server counter-sign it\n";
    } else {
        std::cout << "[3/4] Not signed (--sign CERT.pfx [--password-file FILE] signs)" << std::endl;
        parts.push_back(part);
        if (!hostfiles::WriteNew(part, image, said))
            return Fail("cannot write " + said);
    }
    StepDone("signing");

    std::cout << "[4/4] Writing " << out << std::endl;
    // The report reads the exe as --verify does: an exe that does not hold fails the run and is not kept.
    std::string reportPart;
    if (!report.empty()) {
        reportPart = FreshName(report, "package-report");
        parts.push_back(reportPart);
        launcherverify::Request request;
        request.launcher = part;
        request.shownAs = out;
        if (!certificate.sha256.empty())
            request.signers.push_back(certificate.sha256);  // the signature read back must be this one's
        request.reportPath = reportPart;
        request.toolName = name.command;
        request.toolVersion = KESTREL_TOOL_VERSION;
        std::error_code ignored;
        request.inputs = {
            {"folder",
             JsonInput(app.empty() ? "" : TextOf(std::filesystem::absolute(PathOf(app), ignored).lexically_normal()))},
            {"archive", JsonInput(l.zip)},
            {"version", JsonInput(version)},
            {"icon", JsonInput(l.icon)},
            {"certificate_subject", JsonInput(certificate.subject)},
            {"source_date_epoch", JsonInput(sourceDateEpoch)},
            {"product_version_text", JsonInput(l.productVersion)},
            {"company", JsonInput(l.company)},
            {"product_name", JsonInput(l.productName)},
            {"description", JsonInput(l.description)},
            {"copyright", JsonInput(l.copyright)}};
        request.steps = steps;
        if (launcherverify::Verify(request) != 0)
            return Fail(
                "the exe made does not hold as --verify checks it (the lines above): neither it nor a "
                "report is kept");
        if (!hostfiles::Replace(reportPart, report, said))
            return Fail("cannot write " + said);
        std::erase(parts, reportPart);
    }
    if (!hostfiles::Replace(part, out, said))
        return Fail("cannot write " + said);
    std::erase(parts, part);
    CleanUp(true);  // the unsigned image signing started from
    std::cout << "Built " << out << "\n"
              << "  size:          " << Grouped(image.size()) << " bytes\n"
              << "  SHA-256:       " << sha256::HexHash(image.data(), image.size()) << "\n"
              << "  version:       " << version << "\n";
    if (!l.cert.empty())
        std::cout << "  signed by:     " << certificate.subject << "\n";
    if (!report.empty())
        std::cout << "  report:        " << report << "\n";
    return 0;
}

int Package(const std::vector<std::string>& args) {
    Packaging packaging;
    packaging.name = TheName();
    if (const int code = packaging.Parse(args))
        return code;
    return packaging.Run();
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
    // The build's own mode, OUT.zip SRC_DIR [--time S]; every other command line is the packager's.
    std::string first = args.size() > 1 ? args[1] : "";
    std::transform(first.begin(), first.end(), first.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    const bool buildMode = (args.size() == 3 || (args.size() == 5 && args[3] == "--time")) && first.size() > 4 &&
                           first[0] != '-' && first.compare(first.size() - 4, 4, ".zip") == 0;
    if (!buildMode)
        return Package(args);
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
