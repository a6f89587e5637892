#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/memory.h"
#include "payload/bytes.h"
#include "payload/embedded_payload.h"
#include "tests/support/test_support.h"

// PAYLOAD_ZIP_FILE: the build input embedded as PayloadArchive, as a Windows path (set by the build).

namespace {

std::uint32_t Little32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}
std::uint16_t Little16(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

std::string BuildInput() {
    std::string bytes;
    EXPECT_TRUE(test::ReadWholeFile(PAYLOAD_ZIP_FILE, bytes)) << PAYLOAD_ZIP_FILE;
    return bytes;
}

// The archive this program carries in its section .payload, found as the launcher finds its own.
const ByteArrayImage& PayloadArchive() {
    const ByteArrayImage* archive = EmbeddedArchive();
    EXPECT_NE(archive, nullptr);
    return archive ? *archive : EmptyByteArray;
}

std::string ConstantBytes() {
    return std::string(reinterpret_cast<const char*>(PayloadArchive().bytes()), PayloadArchive().length);
}

TEST(PayloadArchive, IsTheBuildInputBehindAByteArrayHeader) {
    std::string input = BuildInput();
    ASSERT_FALSE(input.empty());
    EXPECT_EQ(PayloadArchive().dimensions, 1);
    ASSERT_EQ(PayloadArchive().length, static_cast<std::int32_t>(input.size()));
    EXPECT_TRUE(ConstantBytes() == input);
}

TEST(PayloadArchive, LiesInTheConstantDataSoReleasingItDoesNothing) {
    ASSERT_GT(PayloadArchive().length, 0);
    EXPECT_TRUE(InConstantRange(&PayloadArchive()));
    EXPECT_TRUE(InConstantRange(PayloadArchive().bytes() + PayloadArchive().length - 1));
    Release(&PayloadArchive());
    EXPECT_EQ(PayloadArchive().dimensions, 1);
}

TEST(PayloadArchive, WrittenAsTheLauncherDoesIsByteForByteTheArchive) {
    test::TempFolder folder{"pa"};
    std::string path = folder / "\xCC\xB4\xCF\xAA\xD6\xDB\xE9\xAE.zip";  // 檀溪舟楫.zip in GBK
    {
        ByteArray copy = ToByteArray(Value::OfBytes(&PayloadArchive()));
        ASSERT_EQ(copy.size(), PayloadArchive().length);
        EXPECT_NE(copy.image(), &PayloadArchive());  // a fresh copy, released at the end of this scope
        ASSERT_TRUE(WriteBytesToFile(path.c_str(), {copy.image()}));
    }
    std::string written;
    ASSERT_TRUE(test::ReadWholeFile(path, written));
    EXPECT_TRUE(written == BuildInput());
    EXPECT_TRUE(ConstantBytes() == written);  // the constant is unchanged

    // The end-of-central-directory record sits 22 bytes before the end: no archive comment, and the
    // central directory ends where the record begins.
    ASSERT_GE(written.size(), 22u);
    std::size_t end = written.size() - 22;
    EXPECT_EQ(Little32(written, end), 0x06054B50u);
    EXPECT_EQ(Little16(written, end + 20), 0);
    std::uint16_t entries = Little16(written, end + 10);
    std::uint32_t directorySize = Little32(written, end + 12);
    std::uint32_t directoryOffset = Little32(written, end + 16);
    EXPECT_EQ(Little16(written, end + 8), entries);
    ASSERT_EQ(std::uint64_t{directoryOffset} + directorySize, end);
    EXPECT_EQ(Little32(written, 0), 0x04034B50u);  // nothing in front of the first local header

    // Every entry lies under the one top folder Velkar/, and the main program is among them.
    std::vector<std::string> names;
    std::size_t at = directoryOffset;
    for (unsigned i = 0; i < entries; ++i) {
        ASSERT_LE(at + 46, end);
        ASSERT_EQ(Little32(written, at), 0x02014B50u) << "central header " << i;
        std::size_t nameLength = Little16(written, at + 28);
        std::size_t extraLength = Little16(written, at + 30);
        std::size_t commentLength = Little16(written, at + 32);
        names.push_back(written.substr(at + 46, nameLength));
        at += 46 + nameLength + extraLength + commentLength;
    }
    EXPECT_EQ(at, end);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names[0], "Velkar/");
    bool mainProgram = false;
    for (const std::string& name : names) {
        EXPECT_EQ(name.compare(0, 7, "Velkar/"), 0) << name;
        mainProgram = mainProgram || name == "Velkar/Velkar.exe";
    }
    EXPECT_TRUE(mainProgram);
}

// An image as the loader maps it, made here: its headers, then one section at 0x1000 holding an
// archive of 100 bytes behind its header. Each row changes one thing; the lookup either finds the
// archive or answers null, and never reads outside the mapped image (the section is the buffer's end).
struct MappedImage {
    static constexpr DWORD kSectionAddress = 0x1000, kArchiveBytes = 100;
    alignas(16) unsigned char memory[kSectionAddress + 8 + kArchiveBytes] = {};
    IMAGE_NT_HEADERS* nt() { return reinterpret_cast<IMAGE_NT_HEADERS*>(memory + 0x80); }
    IMAGE_SECTION_HEADER* section() { return IMAGE_FIRST_SECTION(nt()); }
    ByteArrayImage* header() { return reinterpret_cast<ByteArrayImage*>(memory + kSectionAddress); }
    MappedImage() {
        reinterpret_cast<IMAGE_DOS_HEADER*>(memory)->e_magic = IMAGE_DOS_SIGNATURE;
        reinterpret_cast<IMAGE_DOS_HEADER*>(memory)->e_lfanew = 0x80;
        nt()->Signature = IMAGE_NT_SIGNATURE;
        nt()->FileHeader.NumberOfSections = 1;
        nt()->FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER);
        std::memcpy(section()->Name, ".payload", 8);
        section()->Misc.VirtualSize = 8 + kArchiveBytes;
        section()->VirtualAddress = kSectionAddress;
        section()->SizeOfRawData = 0x200;
        section()->Characteristics = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ;
        *header() = {1, std::int32_t(kArchiveBytes)};
    }
};

TEST(ArchiveInImage, FindsTheArchiveOnlyWhereItsHeaderFitsReadOnlyData) {
    struct Row {
        const char* what;
        std::function<void(MappedImage&)> change;
        bool found;
    };
    const Row rows[] = {
        {"as packed", [](MappedImage&) {}, true},
        {"the length one byte short of the section", [](MappedImage& m) { m.header()->length -= 1; }, true},
        {"the length one byte beyond the section", [](MappedImage& m) { m.header()->length += 1; }, false},
        {"a negative length", [](MappedImage& m) { m.header()->length = -1; }, false},
        {"length 0, the prebuilt launcher", [](MappedImage& m) { m.header()->length = 0; }, false},
        {"two dimensions", [](MappedImage& m) { m.header()->dimensions = 2; }, false},
        {"fewer bytes from the file than the length",
         [](MappedImage& m) { m.section()->SizeOfRawData = 8 + MappedImage::kArchiveBytes - 1; }, false},
        {"no room for the header", [](MappedImage& m) { m.section()->Misc.VirtualSize = 7; }, false},
        {"writable", [](MappedImage& m) { m.section()->Characteristics |= IMAGE_SCN_MEM_WRITE; }, false},
        {"code", [](MappedImage& m) { m.section()->Characteristics |= IMAGE_SCN_MEM_EXECUTE; }, false},
        {"no section of that name", [](MappedImage& m) { m.section()->Name[1] = 'q'; }, false},
        {"a shorter name", [](MappedImage& m) { m.section()->Name[7] = 0; }, false},
        {"no sections", [](MappedImage& m) { m.nt()->FileHeader.NumberOfSections = 0; }, false},
    };
    for (const Row& row : rows) {
        auto image = std::make_unique<MappedImage>();
        row.change(*image);
        const ByteArrayImage* archive = ArchiveInImage(image->memory);
        EXPECT_EQ(archive, row.found ? image->header() : nullptr) << row.what;
    }
}

TEST(ArchiveInImage, FindsThisProgramsOwnArchiveAsEmbeddedArchiveDoes) {
    EXPECT_EQ(ArchiveInImage(GetModuleHandleA(nullptr)), EmbeddedArchive());
    EXPECT_NE(EmbeddedArchive(), nullptr);
}

}  // namespace
