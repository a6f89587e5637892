// fuzz/checks.cpp: the fuzzer's checks of the destination and the sandbox around it.
#include "fuzz/checks.h"

#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/held_folder.h"
#include "base/owners.h"
#include "base/value.h"
#include "fuzz/case_parts.h"
#include "fuzz/cases.h"
#include "harness/harness.h"
#include "payload/bytes.h"
#include "payload/zip_component.h"
#include "sysops/folders.h"

namespace fuzz {
namespace {

constexpr char kArchiveName[] = "case.zip";

// A field as minizip reads it: a byte past the end of the file reads as "success" with the value of
// the byte before it in the same field (0 for the field's first byte), because its end-of-file code
// equals its success code.
std::uint32_t Field(const std::string& b, std::size_t at, int width) {
    std::uint32_t value = 0;
    unsigned last = 0;
    for (int i = 0; i < width; ++i) {
        if (at + i < b.size())
            last = static_cast<unsigned char>(b[at + i]);
        value |= last << (8 * i);
    }
    return value;
}

// The path in its verbatim form ("\\?\C:\..."), which the system takes as it stands. Wine creates
// files whose names end in a space or a dot, which the ordinary form of the path cannot reach again.
std::string Verbatim(const std::string& path) { return path.size() > 2 && path[1] == ':' ? "\\\\?\\" + path : path; }

// Entry names as the system resolves the path they make.
std::string Resolved(const std::string& name) {
    std::string result, component;
    auto flush = [&] {
        while (!component.empty() && (component.back() == '.' || component.back() == ' '))
            component.pop_back();
        if (!component.empty()) {
            if (!result.empty())
                result.push_back('\\');
            result += component;
        }
        component.clear();
    };
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (IsDBCSLeadByte(c) && i + 1 < name.size()) {  // a trail byte 0x5C is no separator
            component.push_back(name[i]);
            component.push_back(name[++i]);
        } else if (c == '/' || c == '\\') {
            flush();
        } else {
            component.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
        }
    }
    flush();
    return result;
}

struct Found {
    std::string name;
    DWORD attributes;
};

// The entries of a folder with the attributes the listing gives: a name that ends in a space or a
// dot cannot be asked about again by its ordinary path.
std::vector<Found> List(const std::string& folder, const std::string& pattern = "*") {
    std::vector<Found> found;
    WIN32_FIND_DATAA entry;
    FindHandle search{FindFirstFileA((folder + "\\" + pattern).c_str(), &entry)};
    if (!search)
        return found;
    do {
        const std::string name = entry.cFileName;
        if (name != "." && name != "..")
            found.push_back({name, entry.dwFileAttributes});
    } while (FindNextFileA(search.get(), &entry));
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.name < b.name; });
    return found;
}

std::vector<std::string> Names(const std::string& folder, const std::string& pattern = "*") {
    std::vector<std::string> names;
    for (const Found& found : List(folder, pattern))
        names.push_back(found.name);
    return names;
}

void CollectFiles(const std::string& folder, const std::string& relative, std::vector<std::string>& files) {
    for (const Found& found : List(folder)) {
        const std::string inner = relative.empty() ? found.name : relative + "\\" + found.name;
        if (found.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            continue;  // a planted link: what lies behind it is a canary, checked as such
        if (found.attributes & FILE_ATTRIBUTE_DIRECTORY)
            CollectFiles(folder + "\\" + found.name, inner, files);
        else
            files.push_back(inner);
    }
}

// Anything in `folder` but `allowed` is reported and removed.
void OnlyThese(const std::string& folder, const std::vector<std::string>& allowed, std::string& problems) {
    for (const std::string& name : Names(folder)) {
        if (std::find(allowed.begin(), allowed.end(), name) != allowed.end())
            continue;
        problems += "found " + folder + "\\" + name + "; ";
        RemoveVerbatim(folder + "\\" + name);
    }
}

void NoMarker(const std::string& folder, std::string& problems) {
    for (const std::string& name : Names(folder, std::string(kEscapeMarker) + "*")) {
        problems += "found " + folder + "\\" + name + "; ";
        RemoveVerbatim(folder + "\\" + name);
    }
}

// The size minizip takes from a central header's ZIP64 field (0x0001) when the header's own reads
// 0xFFFFFFFF, walking the extra field as it does: it steps over other blocks by their size, and reads a
// ZIP64 block's sizes in place without stepping over the block; 0xFFFFFFFF when there is none.
std::uint64_t Zip64Size(const std::string& b, std::uint64_t extra, std::uint64_t length, bool compressedToo) {
    std::uint64_t size = 0xFFFFFFFF;
    for (std::uint64_t acc = 0, at = extra; acc < length;) {
        const std::uint32_t id = Field(b, at, 2), dataSize = Field(b, at + 2, 2);
        at += 4;
        if (id == 0x0001) {
            if (size == 0xFFFFFFFF) {
                size = Field(b, at, 4) | (static_cast<std::uint64_t>(Field(b, at + 4, 4)) << 32);
                at += 8;
                if (compressedToo)
                    at += 8;
            }
        } else {
            at += dataSize;
        }
        acc += 4 + dataSize;
    }
    return size;
}

}  // namespace

bool RemoveVerbatim(const std::string& path) {
    // The verbatim form does not lift the ANSI calls' 260-byte limit: use it only for what the
    // ordinary form leaves.
    return harness::RemoveTree(path) || harness::RemoveTree(Verbatim(path));
}

std::string FailureNames(unsigned failures) {
    static const char* const kNames[] = {"bad result", "mismatch", "escape", "leftover", "crash", "hang"};
    std::string names;
    for (int bit = 0; bit < 6; ++bit)
        if (failures & (1u << bit))
            names += std::string(names.empty() ? "" : ", ") + kNames[bit];
    return names.empty() ? "none" : names;
}

std::vector<CentralRecord> ReadCentralDirectory(const std::string& b) {
    std::vector<CentralRecord> records;
    if (b.size() < 4)
        return records;
    // minizip looks for the signature alone, from the end back over at most 65,535 bytes, and reads
    // the fields after it even where the file ends first.
    const std::size_t lowest = b.size() > 0xFFFF ? b.size() - 0xFFFF : 0;
    std::size_t end = std::string::npos;
    for (std::size_t at = b.size() - 4 + 1; at-- > lowest;) {
        if (GetField(b, at, 4) == 0x06054B50u) {
            end = at;
            break;
        }
    }
    if (end == std::string::npos)
        return records;
    const std::uint32_t count = Field(b, end + 10, 2);
    const std::uint64_t size = Field(b, end + 12, 4), offset = Field(b, end + 16, 4);
    if (end < offset + size)
        return records;
    std::uint64_t at = end - size;  // where the directory starts, whatever its stored offset says
    for (std::uint32_t i = 0; i < count; ++i) {
        if (at + 46 > b.size() || GetField(b, at, 4) != 0x02014B50u)
            break;
        CentralRecord record;
        record.crc = GetField(b, at + 16, 4);
        record.size = GetField(b, at + 24, 4);
        const std::uint32_t nameLength = GetField(b, at + 28, 2);
        if (record.size == 0xFFFFFFFF)
            record.size =
                Zip64Size(b, at + 46 + nameLength, GetField(b, at + 30, 2), GetField(b, at + 20, 4) == 0xFFFFFFFF);
        record.name = b.substr(at + 46, std::min<std::uint64_t>(nameLength, b.size() - (at + 46)));
        records.push_back(record);
        at += 46 + nameLength + GetField(b, at + 30, 2) + GetField(b, at + 32, 2);
    }
    return records;
}

Sandbox SandboxIn(const std::string& parent) {
    Sandbox sandbox;
    sandbox.parent = parent;
    sandbox.box = parent + "\\box";
    sandbox.archive = sandbox.box + "\\" + kArchiveName;
    sandbox.destination = sandbox.box + "\\a\\b\\dest";
    sandbox.canary = parent + "\\canary";
    return sandbox;
}

bool MakeSandbox(const Sandbox& sandbox) {
    for (const std::string& folder : {sandbox.parent, sandbox.box, sandbox.box + "\\a", sandbox.box + "\\a\\b",
                                      sandbox.canary, sandbox.canary + "\\linked"})
        if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    return PlaceCanaries(sandbox);
}

std::int32_t ExtractAsTheLauncher(const Sandbox& sandbox, const std::string& bytes, bool* written) {
    if (!CreateDirectoryA(sandbox.destination.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return kExtractBadArguments;  // no folder to extract into, as ExtractInto answers without one
    const WideText box = WideFromAnsi(sandbox.box.c_str());
    const WideText destination = WideFromAnsi(sandbox.destination.c_str());
    const HeldFolder boxFolder = HoldFolderPath(box.c_str());
    const HeldFolder destinationFolder = HoldFolderPath(destination.c_str());
    ByteArray array;
    if (!bytes.empty()) {
        array = ByteArray::Allocate(static_cast<std::int32_t>(bytes.size()));
        std::memcpy(array.bytes(), bytes.data(), bytes.size());
    }
    const WideText name = WideFromAnsi(kArchiveName);
    ChildHandle archive = WriteBytesToChild(boxFolder, name.c_str(), {array.image()});
    if (written)
        *written = bool(archive);
    return ExtractInto(kFuzzWindowId, kFuzzComponentId, std::move(archive), destinationFolder);
}

namespace {

using harness::Quoted;

struct Canary {
    std::string path;
    const char* bytes;
    bool readOnly;
};

std::vector<Canary> Canaries(const Sandbox& sandbox) {
    return {{sandbox.canary + "\\keep.txt", "canary: keep", false},
            {sandbox.canary + "\\readonly.txt", "canary: read-only", true},
            {sandbox.canary + "\\hard.txt", "canary: target of planted hard links", false},
            {sandbox.canary + "\\linked\\inner.txt", "canary: behind planted folder links", false},
            {sandbox.box + "\\canary.txt", "canary: box", false},
            {sandbox.box + "\\a\\canary.txt", "canary: a", true},
            {sandbox.box + "\\a\\b\\canary.txt", "canary: beside the destination", false}};
}

// Unix tools started through Wine give no handle to wait on: poll for what they did.
bool Eventually(const std::string& path, bool present) {
    for (int i = 0; i < 200; ++i) {
        if (harness::Exists(path) == present)
            return true;
        Sleep(10);
    }
    return false;
}

// The offsets of the backslashes of a path, found character by character: a trail byte 0x5C
// ("\xD5\x5C") is none.
std::vector<std::size_t> Separators(const std::string& path) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (IsDBCSLeadByte(static_cast<unsigned char>(path[i])))
            ++i;
        else if (path[i] == '\\')
            found.push_back(i);
    }
    return found;
}

// Makes `root` and every folder of `relative` below it.
bool MakeFolders(const std::string& root, const std::string& relative) {
    std::vector<std::string> folders{root};
    for (std::size_t split : Separators(relative))
        folders.push_back(root + "\\" + relative.substr(0, split));
    if (!relative.empty())
        folders.push_back(root + "\\" + relative);
    for (const std::string& folder : folders)
        if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    return true;
}

bool IsPlainFolder(const Found& found) {
    return (found.attributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// True when the relative path `inner` lies below the folder `outer`.
bool Below(const std::string& inner, const std::string& outer) {
    return inner.compare(0, outer.size() + 1, outer + "\\") == 0;
}

// True when a component of the relative path begins with a full stop: the clean-up passes over such a
// name by design, and over everything below it. The components are found with the double-byte rules,
// so a trail byte 0x5C ("\xD5\x5C", one character) splits nothing.
bool PassedOverByName(const std::string& relative) {
    std::size_t start = 0;
    for (std::size_t split : Separators(relative)) {
        if (relative[start] == '.')
            return true;
        start = split + 1;
    }
    return start < relative.size() && relative[start] == '.';
}

void CollectLeft(const std::string& folder, const std::string& relative, std::vector<Found>& left) {
    for (const Found& found : List(folder)) {
        const std::string inner = relative.empty() ? found.name : relative + "\\" + found.name;
        left.push_back({inner, found.attributes});
        if ((found.attributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            CollectLeft(folder + "\\" + found.name, inner, left);
    }
}

}  // namespace

bool PlaceCanaries(const Sandbox& sandbox) {
    bool placed = true;
    for (const Canary& canary : Canaries(sandbox)) {
        SetFileAttributesA(canary.path.c_str(), FILE_ATTRIBUTE_NORMAL);
        placed = harness::WriteWholeFile(canary.path, canary.bytes) && placed;
        if (canary.readOnly)
            placed = SetFileAttributesA(canary.path.c_str(), FILE_ATTRIBUTE_READONLY) && placed;
    }
    return placed;
}

std::string CheckCanaries(const Sandbox& sandbox) {
    std::string problems;
    for (const Canary& canary : Canaries(sandbox)) {
        std::string bytes;
        if (!harness::ReadWholeFile(canary.path, bytes) || bytes != canary.bytes)
            problems += "canary " + canary.path + " changed; ";
        const DWORD attributes = harness::AttributesOf(canary.path);
        if (attributes != INVALID_FILE_ATTRIBUTES && ((attributes & FILE_ATTRIBUTE_READONLY) != 0) != canary.readOnly)
            problems += "canary " + canary.path + " changed its read-only attribute; ";
    }
    OnlyThese(sandbox.canary, {"hard.txt", "keep.txt", "linked", "readonly.txt"}, problems);
    OnlyThese(sandbox.canary + "\\linked", {"inner.txt"}, problems);
    if (!problems.empty()) {
        MakeSandbox(sandbox);
    }
    return problems;
}

std::string PlantTree(const Sandbox& sandbox, const std::vector<Plant>& plants) {
    std::string problems;
    if (plants.empty())
        return problems;
    if (!CreateDirectoryA(sandbox.destination.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return "the destination cannot be made; ";
    for (const Plant& plant : plants) {
        const std::string path = sandbox.destination + "\\" + plant.path;
        const std::vector<std::size_t> separators = Separators(plant.path);
        const std::string folder = separators.empty() ? "" : plant.path.substr(0, separators.back());
        if (!MakeFolders(sandbox.destination, folder)) {
            problems += "cannot make the folders of " + plant.path + "; ";
            continue;
        }
        bool made = false;
        switch (plant.kind) {
        case Plant::kFile:
        case Plant::kReadOnlyFile:
            made = harness::WriteWholeFile(path, plant.bytes) &&
                   (plant.kind == Plant::kFile || SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
            break;
        case Plant::kHardLink:
            made = CreateHardLinkA(path.c_str(), (sandbox.canary + "\\hard.txt").c_str(), nullptr) != FALSE;
            break;
        case Plant::kFolderLink:
            made = harness::RunUnix("Z:\\bin\\ln -s " + Quoted(harness::UnixPath(sandbox.canary + "\\linked")) + " " +
                                    Quoted(harness::UnixPath(path))) &&
                   Eventually(path, true);
            break;
        }
        if (!made)
            problems += "cannot plant " + plant.path + "; ";
    }
    return problems;
}

std::vector<CentralRecord> PlantedRecords(const std::vector<Plant>& plants) {
    std::vector<CentralRecord> records;
    for (const Plant& plant : plants) {
        if (plant.kind == Plant::kFolderLink)
            continue;
        const std::string bytes = plant.kind == Plant::kHardLink ? "canary: target of planted hard links" : plant.bytes;
        CentralRecord record;
        record.name = plant.path;
        record.crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
        record.size = static_cast<std::uint32_t>(bytes.size());
        records.push_back(record);
    }
    return records;
}

std::string CheckRemoval(const Sandbox& sandbox, const std::vector<Plant>& plants) {
    std::string problems;
    if (!RemoveFolder(sandbox.destination.c_str()) && harness::Exists(sandbox.destination)) {
        std::vector<Found> left;
        CollectLeft(sandbox.destination, "", left);
        for (const Found& found : left) {
            // Kept by design: a planted read-only file nobody made writable (the clean-up keeps
            // read-only files), a folder link (Wine cannot remove one), a name beginning with a full
            // stop and what lies below it, and the folders holding any of them.
            bool kept = PassedOverByName(found.name);
            for (const Found& other : left)
                kept = kept || (IsPlainFolder(found) && Below(other.name, found.name) && PassedOverByName(other.name));
            for (const Plant& plant : plants) {
                const bool keepable = plant.kind == Plant::kFolderLink || plant.kind == Plant::kReadOnlyFile;
                const bool itself = found.name == plant.path &&
                                    (plant.kind == Plant::kFolderLink || (found.attributes & FILE_ATTRIBUTE_READONLY));
                const bool holder = IsPlainFolder(found) && Below(plant.path, found.name);
                kept = kept || (keepable && (itself || holder));
            }
            if (!kept)
                problems += "the clean-up left " + found.name + "; ";
        }
    }
    for (const Plant& plant : plants) {
        const std::string path = sandbox.destination + "\\" + plant.path;
        if (plant.kind == Plant::kFolderLink && harness::Exists(path) && !RemoveDirectoryA(path.c_str())) {
            harness::RunUnix("Z:\\bin\\rm -f " + Quoted(harness::UnixPath(path)));
            Eventually(path, false);
        }
    }
    if (!RemoveVerbatim(sandbox.destination))
        problems += "the destination cannot be removed; ";
    return problems;
}

std::string CheckTree(const std::string& destination, const std::vector<CentralRecord>& records) {
    std::vector<std::string> files;
    CollectFiles(destination, "", files);
    std::string problems;
    for (const std::string& file : files) {
        std::string bytes;
        const std::string path = destination + "\\" + file;
        if (!harness::ReadWholeFile(path, bytes) && !harness::ReadWholeFile(Verbatim(path), bytes)) {
            problems += file + ": unreadable; ";
            continue;
        }
        const std::uint32_t crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
        const std::uint64_t size = bytes.size();
        const std::string name = Resolved(file);
        bool named = false, matched = false;
        for (const CentralRecord& record : records) {
            if (Resolved(record.name) != name)
                continue;
            named = true;
            matched = matched || (record.crc == crc && record.size == size);
        }
        if (!named)
            for (const CentralRecord& record : records)
                matched = matched || (record.crc == crc && record.size == size);
        if (!matched)
            problems += file + (named ? ": differs from its entry" : ": matches no entry") + " (size " +
                        std::to_string(size) + "); ";
    }
    return problems;
}

std::string CheckSandbox(const Sandbox& sandbox) {
    std::string problems;
    OnlyThese(sandbox.parent, {"box", "canary"}, problems);
    OnlyThese(sandbox.box, {"a", "canary.txt", "case.zip"}, problems);
    OnlyThese(sandbox.box + "\\a", {"b", "canary.txt"}, problems);
    OnlyThese(sandbox.box + "\\a\\b", {"canary.txt", "dest"}, problems);
    char temp[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, temp);
    if (length > 0 && length < MAX_PATH) {
        std::string folder(temp, length);
        if (folder.back() == '\\')
            folder.pop_back();
        NoMarker(folder, problems);
        const std::string::size_type split = folder.rfind('\\');
        if (split != std::string::npos)
            NoMarker(folder.substr(0, split), problems);
    }
    for (const char* folder : {"C:", "Z:", "Z:\\tmp"})
        NoMarker(folder, problems);
    return problems;
}

}  // namespace fuzz
