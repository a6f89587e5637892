#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "base/owners.h"
#include "base/value.h"
#include "payload/bytes.h"
#include "tests/support/test_support.h"

namespace {

ByteArray ArrayOf(const std::string& bytes) {
    ByteArray array = ByteArray::Allocate(static_cast<std::int32_t>(bytes.size()));
    std::memcpy(array.bytes(), bytes.data(), bytes.size());
    return array;
}

std::string Contents(const std::string& path) {
    std::string bytes;
    EXPECT_TRUE(test::ReadWholeFile(path, bytes)) << path;
    return bytes;
}

class WriteBytesToFileTest : public ::testing::Test {
protected:
    test::TempFolder folder{"wb"};
};

TEST_F(WriteBytesToFileTest, EmptyPathAnswersFalseAndTouchesNothing) {
    ByteArray data = ArrayOf("abc");
    EXPECT_FALSE(WriteBytesToFile("", {data.image()}));
    EXPECT_FALSE(WriteBytesToFile(nullptr, {data.image()}));
}

TEST_F(WriteBytesToFileTest, EmptyArrayAloneCreatesOrTruncatesToZeroBytes) {
    std::string path = folder / "empty.bin";
    EXPECT_TRUE(WriteBytesToFile(path.c_str(), {&EmptyByteArray}));
    EXPECT_EQ(Contents(path), "");

    ASSERT_TRUE(test::WriteWholeFile(path, std::string(1000, 'x')));
    EXPECT_TRUE(WriteBytesToFile(path.c_str(), {&EmptyByteArray}));
    EXPECT_EQ(Contents(path), "");
}

TEST_F(WriteBytesToFileTest, WritesSeveralArraysBackToBackAndSkipsEmptyOnes) {
    std::string path = folder / "joined.bin";
    ASSERT_TRUE(test::WriteWholeFile(path, std::string(100, 'o')));  // longer than what follows
    ByteArray first = ArrayOf(std::string("ab\0c", 4));
    ByteArray absent;
    ByteArray second = ArrayOf("XYZ");
    const ByteArrayImage* arrays[] = {first.image(), &EmptyByteArray, absent.image(), nullptr, second.image()};
    EXPECT_TRUE(WriteBytesToFile(path.c_str(), arrays, 5));
    EXPECT_EQ(Contents(path), std::string("ab\0cXYZ", 7));
}

TEST_F(WriteBytesToFileTest, LeavesTheFileClosedAndWithNormalAttributes) {
    std::string path = folder / "closed.bin";
    ByteArray data = ArrayOf("payload");
    ASSERT_TRUE(WriteBytesToFile(path.c_str(), {data.image()}));
    // Opening without sharing succeeds only when no handle to the file is left open.
    FileHandle again{CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr)};
    EXPECT_TRUE(again) << GetLastError();
    again.reset();
    // Compared with a file made the ordinary way, since Wine reports NORMAL as ARCHIVE (0x20).
    std::string reference = folder / "reference.bin";
    ASSERT_TRUE(test::WriteWholeFile(reference, "r"));
    ASSERT_TRUE(SetFileAttributesA(reference.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(test::AttributesOf(path), test::AttributesOf(reference));
}

TEST_F(WriteBytesToFileTest, AnswersFalseForAMissingFolderOrAFolderPath) {
    ByteArray data = ArrayOf("abc");
    std::string missing = folder / "no such folder\\file.bin";
    EXPECT_FALSE(WriteBytesToFile(missing.c_str(), {data.image()}));
    EXPECT_FALSE(test::Exists(folder / "no such folder"));
    EXPECT_FALSE(WriteBytesToFile(folder.path().c_str(), {data.image()}));
    EXPECT_TRUE(test::IsFolder(folder.path()));
}

TEST_F(WriteBytesToFileTest, ReadOnlyFileAnswersFalseAndStaysAsItWas) {
    // Wine runs the tests as an unprivileged user, so the read-only attribute is enforced as on Windows.
    std::string path = folder / "readonly.bin";
    ASSERT_TRUE(test::WriteWholeFile(path, "keep me"));
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    ByteArray data = ArrayOf("overwritten");
    EXPECT_FALSE(WriteBytesToFile(path.c_str(), {data.image()}));
    EXPECT_FALSE(WriteBytesToFile(path.c_str(), {&EmptyByteArray}));
    EXPECT_EQ(Contents(path), "keep me");
}

TEST_F(WriteBytesToFileTest, FileHeldOpenWithoutSharingAnswersFalseAndStaysAsItWas) {
    std::string path = folder / "held.bin";
    ASSERT_TRUE(test::WriteWholeFile(path, "held open"));
    FileHandle holder{CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr)};
    ASSERT_TRUE(holder);
    ByteArray data = ArrayOf("overwritten");
    EXPECT_FALSE(WriteBytesToFile(path.c_str(), {data.image()}));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    holder.reset();
    EXPECT_EQ(Contents(path), "held open");
}

}  // namespace
