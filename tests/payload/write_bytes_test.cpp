#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <string>

#include "base/held_folder.h"
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
    FileHandle holder{
        CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    ASSERT_TRUE(holder);
    ByteArray data = ArrayOf("overwritten");
    EXPECT_FALSE(WriteBytesToFile(path.c_str(), {data.image()}));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    holder.reset();
    EXPECT_EQ(Contents(path), "held open");
}

// --- WriteBytesToChild ---------------------------------------------------------------------------
// What stands at the name is removed as a name, and the file is made new: never written into.
// Wine 8 cannot show two things here (see also tests/payload/extract_held_test.cpp): it opens the
// target of a Unix folder link even with FILE_OPEN_REPARSE_POINT, so the link cannot be removed and
// the write fails, where Windows opens the link itself and deletes it as a link ("the reparse point
// is opened as itself", NtCreateFile); and a Unix link to a file is invisible to it (deleting it
// deletes the target), so none is planted here. On Windows RemoveNamedChild opens a file symbolic link as
// itself and deletes the link.

using test::Wide;

class WriteBytesToChildTest : public ::testing::Test {
protected:
    void SetUp() override {
        held = HoldFolderPath(Wide(folder.path()).c_str());
        ASSERT_TRUE(held) << GetLastError();
        ASSERT_TRUE(test::WriteWholeFile(outside / "victim.bin", "outside bytes"));
    }
    test::TempFolder folder{"wbc"};
    test::TempFolder outside{"wbc-outside"};
    HeldFolder held;
    ByteArray data = ArrayOf("payload");
};

TEST_F(WriteBytesToChildTest, WritesTheArraysIntoANewFileInPlaceOfAnOldOne) {
    // 檀溪舟楫.zip, the launcher's archive name, in UTF-16.
    const wchar_t* name = L"\x6A80\x6EAA\x821F\x696B.zip";
    const std::string path = folder / "\xCC\xB4\xCF\xAA\xD6\xDB\xE9\xAE.zip";
    ASSERT_TRUE(test::WriteWholeFile(path, std::string(100, 'o')));
    ByteArray second = ArrayOf("XYZ");
    {
        ChildHandle written = WriteBytesToChild(held, name, {data.image(), &EmptyByteArray, nullptr, second.image()});
        ASSERT_TRUE(written) << GetLastError();
        // Read back through the writing handle; while it is open nobody else may write the file.
        char back[16] = {};
        DWORD got = 0;
        ASSERT_NE(SetFilePointer(written.get(), 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        EXPECT_TRUE(ReadFile(written.get(), back, sizeof back, &got, nullptr));
        EXPECT_EQ(std::string(back, got), "payloadXYZ");
        FileHandle writer{CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
        EXPECT_FALSE(writer);
    }
    EXPECT_EQ(Contents(path), "payloadXYZ");
    EXPECT_FALSE(WriteBytesToChild(held, L"", {data.image()}));
    EXPECT_FALSE(WriteBytesToChild(HeldFolder{}, L"x.bin", {data.image()}));
    EXPECT_FALSE(WriteBytesToChild(held, L"sub\\x.bin", {data.image()}));
    EXPECT_FALSE(test::Exists(folder / "x.bin"));
}

// The archive's name, planted as a hard link to a file elsewhere: only this name goes; the file
// elsewhere keeps its bytes (CREATE_ALWAYS would have truncated it and written the payload into it).
TEST_F(WriteBytesToChildTest, AHardLinkAtTheNameLosesOnlyThisName) {
    ASSERT_TRUE(CreateHardLinkA((folder / "a.zip").c_str(), (outside / "victim.bin").c_str(), nullptr));
    EXPECT_TRUE(WriteBytesToChild(held, L"a.zip", {data.image()}).close());
    EXPECT_EQ(Contents(folder / "a.zip"), "payload");
    EXPECT_EQ(Contents(outside / "victim.bin"), "outside bytes");
}

TEST_F(WriteBytesToChildTest, AFolderLinkAtTheNameIsRemovedAsALinkOrTheWriteFails) {
    const std::string link = folder / "a.zip";
    ASSERT_TRUE(test::RunUnix("Z:\\bin\\ln -s " + test::Quoted(test::UnixPath(outside.path())) + " " +
                              test::Quoted(test::UnixPath(link))));
    ASSERT_TRUE(test::WaitUntil([&] { return test::Exists(link + "\\victim.bin"); }, 5000));
    const bool written = bool(WriteBytesToChild(held, L"a.zip", {data.image()}));
    const bool linkStayed = test::Exists(link + "\\victim.bin");
    test::RunUnix("Z:\\bin\\rm -f " + test::Quoted(test::UnixPath(link)));
    test::WaitUntil([&] { return !test::Exists(link); }, 5000);
    EXPECT_EQ(written, !linkStayed);
    EXPECT_EQ(Contents(outside / "victim.bin"), "outside bytes");
    EXPECT_FALSE(test::Exists(outside / "a.zip"));
}

// A read-only file at the name (another run's leftover, or a planted archive) is replaced like any
// other: the launcher must never go on with an archive it did not write.
TEST_F(WriteBytesToChildTest, AReadOnlyFileAtTheNameIsReplaced) {
    const std::string path = folder / "a.zip";
    ASSERT_TRUE(test::WriteWholeFile(path, "planted archive"));
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(WriteBytesToChild(held, L"a.zip", {data.image()}).close());
    EXPECT_EQ(Contents(path), "payload");
    EXPECT_EQ(test::AttributesOf(path) & FILE_ATTRIBUTE_READONLY, 0u);
}

// A file another program holds open (sharing it for reading) cannot be removed: the write fails and
// the file keeps its bytes.
TEST_F(WriteBytesToChildTest, AFileHeldOpenByAnotherProgramStaysAndTheWriteFails) {
    const std::string path = folder / "a.zip";
    ASSERT_TRUE(test::WriteWholeFile(path, "planted archive"));
    FileHandle holder{CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr)};
    ASSERT_TRUE(holder);
    EXPECT_FALSE(WriteBytesToChild(held, L"a.zip", {data.image()}));
    holder.reset();
    EXPECT_EQ(Contents(path), "planted archive");
}

std::function<void()> whenCleared;
void CallWhenCleared(DiskStep step, HANDLE, const wchar_t*) {
    if (step == DiskStep::NameCleared)
        whenCleared();
}

// A hard link planted between the removal and the creation makes the creation fail: nothing is
// written through it.
TEST_F(WriteBytesToChildTest, AHardLinkPlantedAfterTheNameWasClearedFailsTheWrite) {
    whenCleared = [&] {
        EXPECT_TRUE(CreateHardLinkA((folder / "a.zip").c_str(), (outside / "victim.bin").c_str(), nullptr));
    };
    SetDiskSeam(CallWhenCleared);
    const bool written = bool(WriteBytesToChild(held, L"a.zip", {data.image()}));
    SetDiskSeam(nullptr);
    EXPECT_FALSE(written);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(Contents(outside / "victim.bin"), "outside bytes");
}

}  // namespace
