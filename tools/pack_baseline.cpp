// tools/pack_baseline.cpp: pack-baseline ARCHIVE.zip LAUNCHER.exe OUT
// The work packing an archive cannot avoid, for the packing benchmark (scripts/bench-package.sh): every
// entry read once, inflated and its CRC-32 checked against the central directory, then the launcher's
// bytes and the archive written to OUT in one file, flushed to disk. No check beyond the CRC-32s, no
// image rewritten: the packer's time over this one is what its own checks and writing cost.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <zlib.h>

#include "tools/archive_check.h"

namespace {

using archivecheck::Read16;
using archivecheck::Read32;

bool Fail(const char* what) {
    std::fprintf(stderr, "pack-baseline: %s\n", what);
    return false;
}

// Inflates (or takes, for a stored entry) each entry's data and compares its CRC-32 with the directory's.
bool CheckEntries(const std::string& zip) {
    if (zip.size() < 22 || Read32(zip, zip.size() - 22) != 0x06054b50)
        return Fail("no end record where the packer writes it (no comment)");
    const std::size_t count = Read16(zip, zip.size() - 12);
    std::size_t at = Read32(zip, zip.size() - 6);
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (at + 46 > zip.size() || Read32(zip, at) != 0x02014b50)
            return Fail("a damaged central directory");
        const std::uint32_t method = Read16(zip, at + 10), crc = Read32(zip, at + 16);
        const std::uint32_t packed = Read32(zip, at + 20), size = Read32(zip, at + 24);
        const std::size_t local = Read32(zip, at + 42);
        at += 46 + Read16(zip, at + 28) + Read16(zip, at + 30) + Read16(zip, at + 32);
        if (local + 30 > zip.size())
            return Fail("a local header outside the archive");
        const std::size_t data = local + 30 + Read16(zip, local + 26) + Read16(zip, local + 28);
        if (data + packed > zip.size())
            return Fail("an entry's data outside the archive");
        const auto* in = reinterpret_cast<const Bytef*>(zip.data() + data);
        uLong sum = crc32(0, nullptr, 0);
        if (method == 0) {
            sum = crc32(sum, in, packed);
        } else {
            out.resize(size ? size : 1);
            z_stream z{};
            if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
                return Fail("zlib could not start");
            z.next_in = const_cast<Bytef*>(in);
            z.avail_in = packed;
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = size;
            const int result = inflate(&z, Z_FINISH);
            inflateEnd(&z);
            if (result != Z_STREAM_END || z.total_out != size)
                return Fail("an entry does not inflate to its size");
            sum = crc32(sum, reinterpret_cast<const Bytef*>(out.data()), size);
        }
        if (sum != crc)
            return Fail("an entry's CRC-32 differs");
    }
    return true;
}

// A whole file in one read of its size: the packer reads its inputs so, and a slower read here would
// flatter the ratio.
bool ReadWhole(const char* path, std::string& data) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat facts {};
    if (fd < 0 || fstat(fd, &facts) != 0) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    data.resize(std::size_t(facts.st_size));
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = read(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    close(fd);
    return done == data.size();
}

// Writes every part in order, without joining them first.
bool WriteAll(int fd, const std::string& part) {
    for (std::size_t done = 0; done < part.size();) {
        const ssize_t n = write(fd, part.data() + done, part.size() - done);
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: pack-baseline ARCHIVE.zip LAUNCHER.exe OUT\n");
        return 2;
    }
    std::string zip, launcher;
    if (!ReadWhole(argv[1], zip) || !ReadWhole(argv[2], launcher) || zip.empty() || launcher.empty()) {
        Fail("cannot read the archive or the launcher");
        return 1;
    }
    if (!CheckEntries(zip))
        return 1;
    const int fd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool written = fd >= 0 && WriteAll(fd, launcher) && WriteAll(fd, zip) && fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    if (!written)
        Fail("cannot write the output");
    return written ? 0 : 1;
}
