#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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

std::string ConstantBytes() {
    return std::string(reinterpret_cast<const char*>(PayloadArchive.bytes()), PayloadArchive.length);
}

TEST(PayloadArchive, IsTheBuildInputBehindAByteArrayHeader) {
    std::string input = BuildInput();
    ASSERT_FALSE(input.empty());
    EXPECT_EQ(PayloadArchive.dimensions, 1);
    ASSERT_EQ(PayloadArchive.length, static_cast<std::int32_t>(input.size()));
    EXPECT_TRUE(ConstantBytes() == input);
}

TEST(PayloadArchive, LiesInTheConstantDataSoReleasingItDoesNothing) {
    ASSERT_GT(PayloadArchive.length, 0);
    EXPECT_TRUE(InConstantRange(&PayloadArchive));
    EXPECT_TRUE(InConstantRange(PayloadArchive.bytes() + PayloadArchive.length - 1));
    Release(&PayloadArchive);
    EXPECT_EQ(PayloadArchive.dimensions, 1);
}

TEST(PayloadArchive, WrittenAsTheLauncherDoesIsByteForByteTheArchive) {
    test::TempFolder folder{"pa"};
    std::string path = folder / "\xCC\xB4\xCF\xAA\xD6\xDB\xE9\xAE.zip";  // 檀溪舟楫.zip in GBK
    {
        ByteArray copy = ToByteArray(Value::OfBytes(&PayloadArchive));
        ASSERT_EQ(copy.size(), PayloadArchive.length);
        EXPECT_NE(copy.image(), &PayloadArchive);  // a fresh copy, released at the end of this scope
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

}  // namespace
