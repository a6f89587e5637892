// inflate_limit ARCHIVE DEST: the least an extraction must do on this machine: read each entry's
// compressed bytes, inflate them with the same zlib and write them in 16,384-byte pieces, making
// the folders. It does the file work Extract must do too, the way Extract does it: each name turned
// into UTF-16 once, DEST held and every folder and file created by its name relative to its held
// parent (NtCreateFile), the folders of one entry's way kept open for the next entry; the CRC-32
// check of each entry's data, each file created with its archive attributes, its times set from the
// DOS date and time and its attributes made plain through the handle that created it. Nothing else
// is checked (no link, id or name check, nothing removed first); prints time and peak working set.
#include <windows.h>
#include <psapi.h>
#include <winternl.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/owners.h"
#include "bench/relative_open.h"

namespace {

std::uint32_t U16(const unsigned char* p) { return p[0] | (p[1] << 8); }
std::uint32_t U32(const unsigned char* p) { return U16(p) | (U16(p + 2) << 16); }

// The Windows attributes Extract creates an entry's file with (0xA1 for the payload's entries).
DWORD CreationAttributes(std::uint32_t a) {
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (a & 0x20u)
        attributes |= FILE_ATTRIBUTE_ARCHIVE;
    if (a & 0x02u)
        attributes |= FILE_ATTRIBUTE_HIDDEN;
    if (!(a & 0x00800000u) || (a & 0x01u))
        attributes |= FILE_ATTRIBUTE_READONLY;
    if (a & 0x04u)
        attributes |= FILE_ATTRIBUTE_SYSTEM;
    return attributes;
}

// `name` opened or created relative to `parent`, with synchronous I/O as Extract opens its files.
FileHandle CreateRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                          ULONG options, ULONG attributes) {
    HANDLE handle = OpenRelative(parent, name, access, share, disposition, options, attributes);
    return handle ? FileHandle{handle} : FileHandle{};
}

// The folders of the last entry's way, held open: an entry in the same folder reuses them.
struct Way {
    std::vector<std::pair<std::wstring, FileHandle>> folders;
    // The folder of `components` (all of them), created where missing; null when one cannot be made.
    HANDLE Reach(HANDLE top, const std::vector<std::wstring>& components) {
        std::size_t depth = 0;
        while (depth < components.size() && depth < folders.size() && folders[depth].first == components[depth])
            ++depth;
        folders.resize(depth);
        for (; depth < components.size(); ++depth) {
            HANDLE parent = depth ? folders[depth - 1].second.get() : top;
            FileHandle folder =
                CreateRelative(parent, components[depth], FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, FILE_DIRECTORY_FILE, 0);
            if (!folder)
                return nullptr;
            folders.emplace_back(components[depth], std::move(folder));
        }
        return folders.empty() ? top : folders.back().second.get();
    }
};

// The entry's name in UTF-16 cut at its separators; `folder` says whether it ended in one.
std::vector<std::wstring> Components(const std::string& name, bool& folder) {
    std::wstring wide(name.size(), L'\0');
    wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()),
                                                             wide.data(), static_cast<int>(wide.size()))));
    std::vector<std::wstring> components(1);
    for (wchar_t c : wide) {
        if (c == L'/' || c == L'\\')
            components.emplace_back();
        else
            components.back() += c;
    }
    folder = components.back().empty();
    if (folder)
        components.pop_back();
    return components;
}

bool ReadAt(HANDLE file, std::uint32_t offset, void* buffer, DWORD size) {
    DWORD read = 0;
    return SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           ReadFile(file, buffer, size, &read, nullptr) && read == size;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: inflate_limit ARCHIVE DEST\n");
        return 2;
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    FileHandle archive{CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
    if (!archive)
        return 1;
    const DWORD size = GetFileSize(archive.get(), nullptr);
    unsigned char end22[22];
    if (!ReadAt(archive.get(), size - 22, end22, 22))
        return 1;
    const std::uint32_t count = U16(end22 + 10), centralSize = U32(end22 + 12), centralOffset = U32(end22 + 16);
    std::vector<unsigned char> central(centralSize);
    if (!ReadAt(archive.get(), centralOffset, central.data(), centralSize))
        return 1;
    CreateDirectoryA(argv[2], nullptr);
    const FileHandle destination{CreateFileA(argv[2], FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (!destination)
        return 1;
    Way way;
    std::vector<unsigned char> compressed;
    static unsigned char out[16384];
    const unsigned char* p = central.data();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t method = U16(p + 10), dosTime = U16(p + 12), dosDate = U16(p + 14), crc = U32(p + 16);
        const std::uint32_t packed = U32(p + 20), nameLength = U16(p + 28);
        const std::uint32_t extraLength = U16(p + 30), commentLength = U16(p + 32), external = U32(p + 38);
        const std::uint32_t local = U32(p + 42);
        const std::string name(reinterpret_cast<const char*>(p + 46), nameLength);
        p += 46 + nameLength + extraLength + commentLength;
        bool isFolder = false;
        std::vector<std::wstring> components = Components(name, isFolder);
        const std::wstring fileName = isFolder ? std::wstring() : std::move(components.back());
        if (!isFolder)
            components.pop_back();
        HANDLE folder = way.Reach(destination.get(), components);
        if (!folder)
            return 1;
        if (isFolder)
            continue;
        unsigned char header[30];
        if (!ReadAt(archive.get(), local, header, 30))
            return 1;
        compressed.resize(packed);
        if (packed &&
            !ReadAt(archive.get(), local + 30 + U16(header + 26) + U16(header + 28), compressed.data(), packed))
            return 1;
        FileHandle file = CreateRelative(folder, fileName, GENERIC_WRITE, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE,
                                         CreationAttributes(external));
        if (!file)
            return 1;
        DWORD written;
        uLong check = crc32(0, nullptr, 0);
        if (method == 0) {
            for (std::uint32_t at = 0; at < packed; at += sizeof out) {
                const DWORD piece = packed - at < sizeof out ? packed - at : sizeof out;
                check = crc32(check, compressed.data() + at, piece);
                WriteFile(file.get(), compressed.data() + at, piece, &written, nullptr);
            }
        } else {
            z_stream stream{};
            inflateInit2(&stream, -MAX_WBITS);
            stream.next_in = compressed.data();
            stream.avail_in = packed;
            int status = Z_OK;
            while (status == Z_OK) {
                stream.next_out = out;
                stream.avail_out = sizeof out;
                status = inflate(&stream, Z_NO_FLUSH);
                const DWORD produced = static_cast<DWORD>(sizeof out - stream.avail_out);
                if (produced) {
                    check = crc32(check, out, produced);
                    WriteFile(file.get(), out, produced, &written, nullptr);
                }
            }
            inflateEnd(&stream);
        }
        FILETIME time;
        DosDateTimeToFileTime(static_cast<WORD>(dosDate), static_cast<WORD>(dosTime), &time);
        SetFileTime(file.get(), &time, &time, &time);
        FILE_BASIC_INFO plain{};  // times of zero are left as they are
        plain.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(file.get(), FileBasicInfo, &plain, sizeof plain);
        (void)file.close();
        if (check != crc) {
            std::fprintf(stderr, "CRC-32 mismatch: %s\n", name.c_str());
            return 1;
        }
    }
    (void)archive.close();
    QueryPerformanceCounter(&end);
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::printf("ms %.1f peak_kb %lu\n", 1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart,
                static_cast<unsigned long>(memory.PeakWorkingSetSize / 1024));
    return 0;
}
