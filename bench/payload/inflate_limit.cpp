// inflate_limit ARCHIVE DEST: the least an extraction must do on this machine: read each entry's
// compressed bytes, inflate them with the same zlib and write them in 16,384-byte pieces, making
// the folders. It does the file work Extract must do too: the CRC-32 check of each entry's data,
// each file created with its archive attributes, its times set from the DOS date and time, and its
// attributes made plain afterwards. Nothing else is checked; prints time and peak working set.
#include <windows.h>
#include <psapi.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/owners.h"

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
    const std::string root = std::string(argv[2]) + "\\";
    CreateDirectoryA(argv[2], nullptr);
    std::vector<unsigned char> compressed;
    static unsigned char out[16384];
    const unsigned char* p = central.data();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t method = U16(p + 10), dosTime = U16(p + 12), dosDate = U16(p + 14), crc = U32(p + 16);
        const std::uint32_t packed = U32(p + 20), nameLength = U16(p + 28);
        const std::uint32_t extraLength = U16(p + 30), commentLength = U16(p + 32), external = U32(p + 38);
        const std::uint32_t local = U32(p + 42);
        std::string name(reinterpret_cast<const char*>(p + 46), nameLength);
        p += 46 + nameLength + extraLength + commentLength;
        for (char& c : name)
            if (c == '/')
                c = '\\';
        const std::string path = root + name;
        if (!name.empty() && name.back() == '\\') {
            CreateDirectoryA(path.c_str(), nullptr);
            continue;
        }
        unsigned char header[30];
        if (!ReadAt(archive.get(), local, header, 30))
            return 1;
        compressed.resize(packed);
        if (packed &&
            !ReadAt(archive.get(), local + 30 + U16(header + 26) + U16(header + 28), compressed.data(), packed))
            return 1;
        FileHandle file{
            CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, CreationAttributes(external), nullptr)};
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
        (void)file.close();
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (check != crc) {
            std::fprintf(stderr, "CRC-32 mismatch: %s\n", path.c_str());
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
