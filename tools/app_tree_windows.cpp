// tools/app_tree_windows.cpp: an application's folder read for packing on Windows (tools/app_tree.h),
// with the results the Linux reader gives for the same tree: the same entries in the same order, the
// same names and times, the same refusals.
//
// Another program may change the tree while it is read. What defends against each change:
// - A folder swapped for a link after its parent was listed: every child is opened relative to the
//   held parent (NtCreateFile with the parent as root directory) with FILE_OPEN_REPARSE_POINT, so the
//   open lands on the link itself, and the handle's own attributes refuse it (OpenChild, Refused).
// - A link already there when the folder is listed: refused by the listing's attributes too. Wine
//   shows a Unix link to a folder as a reparse point in listings, yet opens its target even with
//   FILE_OPEN_REPARSE_POINT; the listing is what tells it there.
// - A file changed for a folder, or a folder for a file, between the listing and the open: the open
//   asks for the kind the listing showed (FILE_NON_DIRECTORY_FILE, FILE_DIRECTORY_FILE) and its
//   refusal is reported as the change it is.
// - A file written while it is read: its bytes are read through the handle that was opened and
//   measured, and a size that differs from what was read is refused (ReadThrough).
// - A folder renamed or removed while its children are read: it is held open from its listing to the
//   end of its subtree, so its children are always its own.
// Not every reparse point is a link: a OneDrive file or folder, a deduplicated or compressed (WOF)
// file carries one too, and its bytes are only right when read through its file system filter. Those
// are opened once more without FILE_OPEN_REPARSE_POINT and read only when that open is the same file
// (IsLinkReparse, OpenChecked).
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <new>
#include <optional>
#include <utility>

#include "base/owners.h"
#include "tools/app_tree.h"
#include "tools/app_tree_windows.h"
#include "tools/wide_names.h"
#include "tools/windows_paths.h"

namespace apptree {
namespace {

using payloadrules::Item;
using payloadrules::Refusal;
using zipwriter::Entry;

constexpr char kMainFile[] = "Velkar.exe";
constexpr char kLink[] = "a symbolic link (the payload holds files and folders only)";
constexpr char kChanged[] = "changed while it was read: pack again once nothing writes to it";
constexpr char kSwapped[] = "changed while it was packed (another file or a link stands at its name now): pack again";
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103L);
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A folder is listed and its children opened through it; a file is read.
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK kFileAccess = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

std::string Grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t i = digits.size(); i > 3; i -= 3)
        digits.insert(i - 3, ",");
    return digits;
}

bool SameAsciiText(const std::string& a, const char* b) {
    const std::string other = b;
    if (a.size() != other.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(other[i]))
            return false;
    }
    return true;
}

// FILETIME (100 ns since 1601) as st_mtime gives it: whole seconds since 1970, rounded down.
std::int64_t UnixSeconds(const FILETIME& time) {
    const std::int64_t ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    const std::int64_t since1970 = ticks - 116444736000000000LL;
    const std::int64_t seconds = since1970 / 10000000;
    return since1970 % 10000000 < 0 ? seconds - 1 : seconds;
}

// One entry of a folder's listing: its name as on disk and what the listing says of it.
struct Listed {
    std::wstring wide;
    std::string name;  // UTF-8 (a lone surrogate as its three bytes: no UTF-8, as the checks see it)
    DWORD attributes = 0;
    DWORD tag = 0;             // the reparse tag, where the attributes mark a reparse point
    std::uint64_t fileId = 0;  // the file system's id of the entry, 0 where the listing gives none
};

// Every entry of the folder open through `folder` but "." and "..", in the file system's order.
// FileIdBothDirectoryInfo where the file system has it, FileFullDirectoryInfo where it refuses that
// class (some network file systems do): the two differ only in what this reader does not use.
bool ListFolder(HANDLE folder, std::vector<Listed>& listed, DWORD& error) {
    std::vector<std::uint64_t> buffer(8192);  // 64 KiB, aligned as the records need
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof buffer[0]);
    bool full = false;
    bool first = true;
    for (;;) {
        const FILE_INFO_BY_HANDLE_CLASS kind = full
                                                   ? (first ? FileFullDirectoryRestartInfo : FileFullDirectoryInfo)
                                                   : (first ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo);
        if (!GetFileInformationByHandleEx(folder, kind, buffer.data(), size)) {
            const DWORD code = GetLastError();
            if (code == ERROR_NO_MORE_FILES)
                return true;
            if (first && !full &&
                (code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED)) {
                full = true;
                continue;
            }
            error = code;
            return false;
        }
        first = false;
        const auto* at = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            DWORD next = 0, attributes = 0, nameBytes = 0, tag = 0;
            std::uint64_t fileId = 0;
            const wchar_t* name = nullptr;
            if (full) {
                const auto* record = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
                next = record->NextEntryOffset;
                attributes = record->FileAttributes;
                tag = record->EaSize;  // a reparse point's tag stands where the EA size would
                nameBytes = record->FileNameLength;
                name = record->FileName;
            } else {
                const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
                next = record->NextEntryOffset;
                attributes = record->FileAttributes;
                tag = record->EaSize;
                nameBytes = record->FileNameLength;
                name = record->FileName;
                fileId = static_cast<std::uint64_t>(record->FileId.QuadPart);
            }
            std::wstring wide(name, nameBytes / sizeof(wchar_t));
            if (wide != L"." && wide != L"..") {
                Listed entry;
                entry.name = widenames::Utf8FromWide(wide);
                entry.wide = std::move(wide);
                entry.attributes = attributes;
                entry.tag = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? tag : 0;
                entry.fileId = fileId;
                listed.push_back(std::move(entry));
            }
            if (next == 0)
                break;
            at += next;
        }
    }
}

// Opens `name` relative to the folder held by `parent`, for `access`, as the kind `options` asks
// (FILE_DIRECTORY_FILE or FILE_NON_DIRECTORY_FILE). A checked read opens a link as itself
// (FILE_OPEN_REPARSE_POINT), never what it names. The NT status, with the handle on success.
NTSTATUS OpenChild(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG options, bool checked,
                   FileHandle& child) {
    if (name.size() * sizeof(wchar_t) > 0xFFFE)
        return static_cast<NTSTATUS>(0xC0000106L);  // STATUS_NAME_TOO_LONG
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<wchar_t*>(name.c_str());
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES object;
    // The name exactly as listed: in a case-sensitive folder "a.txt" and "A.txt" are two files, and each
    // must be read as itself (elsewhere the system compares without regard to case anyway).
    InitializeObjectAttributes(&object, &objectName, 0, parent, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS result =
        NtCreateFile(&handle, access, &object, &status, nullptr, 0, kShareAll, FILE_OPEN,
                     options | FILE_SYNCHRONOUS_IO_NONALERT | (checked ? FILE_OPEN_REPARSE_POINT : 0), nullptr, 0);
    if (result >= 0)
        child.reset(handle);
    return result;
}

bool IdKnown(std::uint64_t id) { return id != 0 && id != ~std::uint64_t{0}; }

// Whether the handle is open on another file than the one the listing showed at its name: the name was
// swapped in between. Wine opens a link to a folder as its target whatever the flags, and shows a link
// to a file as that file, so there the ids are what tells.
bool OtherThanListed(const BY_HANDLE_FILE_INFORMATION& facts, std::uint64_t listedId) {
    const std::uint64_t id = (static_cast<std::uint64_t>(facts.nFileIndexHigh) << 32) | facts.nFileIndexLow;
    return IdKnown(listedId) && IdKnown(id) && id != listedId;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

enum class Opened { kOpen, kLink, kChanged, kFailed };

// Opens `name` as OpenChild does and tells what it is by the handle: a link (kLink), the file or folder
// itself with its facts (kOpen), something else by now (kChanged), or an open that failed (kFailed, with
// `status`). A reparse point that is no link is opened again through its filter, the same file or none.
Opened OpenChecked(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG options, bool checked,
                   FileHandle& child, BY_HANDLE_FILE_INFORMATION& facts, NTSTATUS& status) {
    status = OpenChild(parent, name, access, options, checked, child);
    if (status < 0)
        return Opened::kFailed;
    if (!GetFileInformationByHandle(child.get(), &facts)) {
        status = static_cast<NTSTATUS>(0xC0000001L);  // STATUS_UNSUCCESSFUL; GetLastError says why
        return Opened::kFailed;
    }
    if (!checked || !(facts.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return Opened::kOpen;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(child.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
        status = static_cast<NTSTATUS>(0xC0000001L);
        return Opened::kFailed;
    }
    if (IsLinkReparse(tag.FileAttributes, tag.ReparseTag))
        return Opened::kLink;
    FileHandle through;
    BY_HANDLE_FILE_INFORMATION throughFacts{};
    status = OpenChild(parent, name, access, options, false, through);
    if (status < 0)
        return Opened::kFailed;
    if (!GetFileInformationByHandle(through.get(), &throughFacts) || !SameFile(facts, throughFacts))
        return Opened::kChanged;
    child = std::move(through);
    facts = throughFacts;
    return Opened::kOpen;
}

// Reads a file's `size` bytes through its handle. A file that grows or shrinks meanwhile is reported:
// what was measured would not be what is packed.
bool ReadThrough(HANDLE file, std::uint64_t size, std::string& data, bool& changed, DWORD& error) {
    // A 32-bit program holds no file near 4 GiB; the payload's own limit is far below that.
    if (size > 0x7FFFFFFFull) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    try {
        data.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t left = data.size() - done;
        DWORD got = 0;
        if (!ReadFile(file, data.data() + done, left > (1u << 24) ? (1u << 24) : static_cast<DWORD>(left), &got,
                      nullptr)) {
            error = GetLastError();
            return false;
        }
        if (got == 0)
            break;
        done += got;
    }
    char more = 0;
    DWORD extra = 0;
    if (!ReadFile(file, &more, 1, &extra, nullptr)) {
        error = GetLastError();
        return false;
    }
    changed = done != data.size() || extra > 0;
    return true;
}

// The Win32 error of a failed open: the NT status's, or the last error where a Win32 call failed.
DWORD Reason(NTSTATUS status) {
    return status == static_cast<NTSTATUS>(0xC0000001L) ? GetLastError() : RtlNtStatusToDosError(status);
}

struct Reader {
    const Options& options;
    Tree& tree;
    std::time_t lastShown = std::time(nullptr);
    bool readingShown = false;

    void SetTimes(Entry& e, const BY_HANDLE_FILE_INFORMATION& facts) const {
        // One time for all three: the access time changes whenever a file is read, so it would make
        // every build different.
        zipwriter::SetEntryTime(e, options.fixedTime ? options.time : UnixSeconds(facts.ftLastWriteTime));
    }

    // Adds the entry of `e.name` (UTF-8) and what the checks need to know of it; a checked read stores
    // the name in code page 936.
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

    // The test seam of a swap, as the Linux reader has it: PACK_PAYLOAD_TEST_SEAM, where set, is a command
    // line (a program and its arguments, no shell) started and waited for after a folder has been listed
    // and its names sorted, before any of them is opened, with PACK_PAYLOAD_FOLDER set to the folder's
    // payload name. A test swaps a file or a folder for a link there.
    static void Seam(const std::string& prefix) {
        wchar_t probe[1];
        const DWORD size = GetEnvironmentVariableW(L"PACK_PAYLOAD_TEST_SEAM", probe, 1);
        if (size == 0)
            return;
        std::wstring line(size, L'\0');
        line.resize(GetEnvironmentVariableW(L"PACK_PAYLOAD_TEST_SEAM", line.data(), size));
        std::wstring folder;
        if (!widenames::WideFromUtf8(prefix, folder) ||
            !SetEnvironmentVariableW(L"PACK_PAYLOAD_FOLDER", folder.c_str()))
            return;
        STARTUPINFOW start{};
        start.cb = sizeof start;
        PROCESS_INFORMATION started{};
        DWORD code = 1;
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &started)) {
            const KernelHandle process{started.hProcess};
            const KernelHandle thread{started.hThread};
            WaitForSingleObject(process.get(), INFINITE);
            GetExitCodeProcess(process.get(), &code);
        }
        if (code != 0)
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

    static bool CannotRead(const std::string& disk, const std::string& name, DWORD code) {
        std::cerr << "pack-payload: cannot read " << disk << "\\" << name << ": " << hostfiles::ErrorText(code) << "\n";
        return false;
    }

    // Adds a folder's entries, the folder held by `folder`; `disk` is its path for messages.
    bool AddFolder(HANDLE folder, const std::string& disk, const std::string& prefix) {
        std::vector<Listed> listed;
        DWORD error = 0;
        if (!ListFolder(folder, listed, error)) {
            std::cerr << "pack-payload: cannot list " << disk << ": " << hostfiles::ErrorText(error) << "\n";
            return false;
        }
        // The kind as the listing shows it, for the order only (files first, then folders): what is
        // packed is decided below, by the handle.
        std::vector<Listed> files, folders;
        for (Listed& entry : listed) {
            if (options.checked && IsLinkReparse(entry.attributes, entry.tag))
                tree.refusals.push_back({prefix + entry.name, kLink});
            else if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY)
                folders.push_back(std::move(entry));
            else
                files.push_back(std::move(entry));
        }
        // Byte order of the UTF-8 names, as the Linux reader sorts the names it lists.
        const auto byName = [](const Listed& a, const Listed& b) { return a.name < b.name; };
        std::sort(files.begin(), files.end(), byName);
        std::sort(folders.begin(), folders.end(), byName);
        // The main executable right after its folder, whatever the other names sort as.
        if (prefix == payloadrules::kTopFolder) {
            const auto main = std::find_if(files.begin(), files.end(),
                                           [](const Listed& entry) { return SameAsciiText(entry.name, kMainFile); });
            if (main != files.end())
                std::rotate(files.begin(), main, main + 1);
        }
        Seam(prefix);

        for (const Listed& listedFile : files) {
            FileHandle file;
            BY_HANDLE_FILE_INFORMATION facts{};
            NTSTATUS status = 0;
            const Opened opened =
                OpenChecked(folder, listedFile.wide, kFileAccess, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY,
                            options.checked, file, facts, status);
            if (opened == Opened::kFailed && status == kStatusFileIsADirectory) {
                if (options.checked)
                    tree.refusals.push_back(
                        {prefix + listedFile.name, "changed from a file to a folder while it was packed: pack again"});
                continue;
            }
            if (opened == Opened::kFailed && !options.checked && (listedFile.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                continue;  // a link that leads nowhere holds nothing to pack
            if (opened == Opened::kFailed)
                return CannotRead(disk, listedFile.name, Reason(status));
            if (opened == Opened::kLink) {
                tree.refusals.push_back({prefix + listedFile.name, kLink});
                continue;
            }
            if (opened == Opened::kChanged || (options.checked && OtherThanListed(facts, listedFile.fileId))) {
                tree.refusals.push_back({prefix + listedFile.name, kSwapped});
                continue;
            }
            Entry e;
            e.name = prefix + listedFile.name;
            SetTimes(e, facts);
            const std::uint64_t size = (static_cast<std::uint64_t>(facts.nFileSizeHigh) << 32) | facts.nFileSizeLow;
            // A file the payload cannot hold is refused by its size, not read.
            if (size <= payloadrules::kMaxFileSize) {
                bool changed = false;
                if (!ReadThrough(file.get(), size, e.data, changed, error))
                    return CannotRead(disk, listedFile.name, error);
                if (changed && options.checked)
                    tree.refusals.push_back({prefix + listedFile.name, kChanged});
                tree.bytesRead += e.data.size();
            }
            Add(std::move(e), size);
            ShowReading(false);
        }
        for (const Listed& listedFolder : folders) {
            FileHandle child;
            BY_HANDLE_FILE_INFORMATION facts{};
            NTSTATUS status = 0;
            const Opened opened = OpenChecked(folder, listedFolder.wide, kFolderAccess, FILE_DIRECTORY_FILE,
                                              options.checked, child, facts, status);
            if ((opened == Opened::kFailed && status == kStatusNotADirectory) || opened == Opened::kChanged ||
                (opened == Opened::kOpen && options.checked && OtherThanListed(facts, listedFolder.fileId))) {
                if (options.checked)
                    tree.refusals.push_back({prefix + listedFolder.name,
                                             "changed from a folder to something else while it was packed: "
                                             "pack again"});
                continue;
            }
            if (opened == Opened::kFailed && !options.checked &&
                (listedFolder.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                continue;
            if (opened == Opened::kFailed)
                return CannotRead(disk, listedFolder.name, Reason(status));
            // A junction or a link to a folder swapped in after the listing: opened as itself, it says so.
            if (opened == Opened::kLink) {
                tree.refusals.push_back({prefix + listedFolder.name, kLink});
                continue;
            }
            Entry e;
            e.name = prefix + listedFolder.name + "/";
            e.folder = true;
            SetTimes(e, facts);
            Add(std::move(e), 0);
            if (!AddFolder(child.get(), disk + "\\" + listedFolder.name, prefix + listedFolder.name + "/"))
                return false;
        }
        return true;
    }
};

}  // namespace

bool IsLinkReparse(DWORD attributes, DWORD tag) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    // A name surrogate (symbolic link, junction, mount point, a WSL link) names another file; an app
    // execution alias starts another program. Wine lists a Unix link to a folder with no tag at all.
    return tag == 0 || IsReparseTagNameSurrogate(tag) || tag == kAppExecutionAlias;
}

bool ReadTree(const std::string& path, const std::string& prefix, bool withTop, const Options& options, Tree& tree) {
    std::wstring wide;
    std::string error;
    if (!hostfiles::SystemPath(path, wide, error)) {
        std::cerr << "pack-payload: " << path << " is not a folder\n";
        return false;
    }
    // The top folder is followed if it is a link: the caller named it.
    const FileHandle top{CreateFileW(wide.c_str(), kFolderAccess, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    BY_HANDLE_FILE_INFORMATION facts{};
    if (!top || !GetFileInformationByHandle(top.get(), &facts) ||
        !(facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        std::cerr << "pack-payload: " << path << " is not a folder\n";
        return false;
    }
    Reader reader{options, tree};
    if (withTop) {
        Entry e;
        e.name = prefix;
        e.folder = true;
        reader.SetTimes(e, facts);
        reader.Add(std::move(e), 0);
    }
    const bool done = reader.AddFolder(top.get(), path, prefix);
    reader.ShowReading(true);
    return done;
}

}  // namespace apptree
