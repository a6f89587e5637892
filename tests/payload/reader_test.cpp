// The archive entry reader: attributes, times, one entry into a file, and the two path services.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/payload/extract_fixture.h"
#include "base/owners.h"
#include "payload/archive_reader.h"

using payloadtest::File;
using payloadtest::Folder;
using payloadtest::ListTree;
using payloadtest::WriteArchive;

namespace {

FILETIME DosTimeOf(const zipwriter::Entry& e) {
    FILETIME time{};
    DosDateTimeToFileTime(e.dosDate, e.dosTime, &time);
    return time;
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// The reader takes over a handle its caller opened; here the archive is opened by path, as Extract does.
ArchiveHandle OpenByPath(const std::string& path) {
    return OpenArchive(FileHandle{CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr)});
}

// The entry's data written into a file made at `path`, as extraction hands the reader the handle it
// created.
bool WriteEntryTo(OpenedArchive& archive, std::int32_t index, const std::string& path) {
    FileHandle file{
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    return file && ExtractEntryData(archive, index, file.get());
}

FILETIME FromUnix(std::int64_t seconds) {
    const std::uint64_t value = zipwriter::FileTimeFromUnixTime(seconds);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

TEST(EntryAttributes, DerivesWindowsBitsFromTheExternalAttributes) {
    EXPECT_EQ(EntryAttributes(0x20), 0xA1u);        // archive; no owner-write bit: read-only
    EXPECT_EQ(EntryAttributes(0x10), 0x91u);        // MS-DOS folder
    EXPECT_EQ(EntryAttributes(0x81A40000), 0x80u);  // Unix regular file, owner may write
    EXPECT_EQ(EntryAttributes(0x41ED0000), 0x90u);  // Unix folder, owner may write
    EXPECT_EQ(EntryAttributes(0x00800026), 0xA6u);  // archive, hidden, system, writable
    EXPECT_EQ(EntryAttributes(0x00800001), 0x81u);  // the read-only bit wins over owner-write
}

class ReaderTest : public ::testing::Test {
protected:
    test::TempFolder folder{"reader"};
    std::string archivePath = folder / "a.zip";
};

TEST_F(ReaderTest, ReadsEntriesInOrderWithDosTimeAsUtcAndTheCountRequest) {
    zipwriter::Entry file = File("Velkar/app.exe", std::string(5000, 'x'));
    ASSERT_TRUE(WriteArchive(archivePath, {Folder("Velkar/"), file, File("Velkar/b.txt", "b")}));
    const ArchiveHandle owner = OpenByPath(archivePath);
    ASSERT_TRUE(owner);
    OpenedArchive& archive = *owner.get();
    ArchiveEntry entry;
    ASSERT_TRUE(ReadEntryInfo(archive, -1, entry));
    EXPECT_EQ(entry.index, 3);
    EXPECT_STREQ(entry.name, "");
    // Forward, backwards (restart from the first) and the same index again (the cache).
    for (int index : {1, 2, 0, 1, 1}) {
        ASSERT_TRUE(ReadEntryInfo(archive, index, entry)) << index;
        EXPECT_EQ(entry.index, index);
    }
    EXPECT_STREQ(entry.name, "Velkar/app.exe");
    EXPECT_EQ(entry.attributes, 0xA1u);
    EXPECT_EQ(entry.uncompressedSize, 5000u);
    EXPECT_LT(entry.compressedSize, 5000u);
    EXPECT_TRUE(SameTime(entry.writeTime, DosTimeOf(file)));
    EXPECT_TRUE(SameTime(entry.accessTime, DosTimeOf(file)));
    EXPECT_TRUE(SameTime(entry.creationTime, DosTimeOf(file)));
    EXPECT_TRUE(SameTime(entry.writeTime, FromUnix(1600000000)));  // DOS time read as UTC, even seconds
    EXPECT_FALSE(ReadEntryInfo(archive, 3, entry));
    EXPECT_FALSE(ReadEntryInfo(archive, -2, entry));
    EXPECT_TRUE(ReadEntryInfo(archive, 2, entry));  // still usable
}

// The reader reads the archive ahead in a 4 KB window for headers and a 256 KB one for data. Here a
// central directory of more than 4 KB, local headers at ever-changing offsets in those windows and
// data spanning several 256 KB reads are taken last entry first, so that every entry is a jump.
TEST_F(ReaderTest, ExtractsEveryEntryWhateverItsPlaceInTheReadAheadWindows) {
    std::uint32_t seed = 12345;
    auto noise = [&seed](std::size_t size) {  // incompressible bytes: deflated data stays as long
        std::string bytes(size, '\0');
        for (char& c : bytes) {
            seed = seed * 1103515245u + 12345u;
            c = static_cast<char>(seed >> 24);
        }
        return bytes;
    };
    std::vector<zipwriter::Entry> entries;
    for (int i = 0; i < 200; ++i) {
        entries.push_back(File("entries/entry-" + std::to_string(i) + ".bin", noise(1 + (i * 397) % 3001)));
        entries.back().storeData = i % 2 == 0;
    }
    entries.push_back(File("big-stored.bin", noise(700000)));
    entries.back().storeData = true;
    entries.push_back(File("big-deflated.bin", noise(600000)));
    entries.push_back(File("last.txt", "last"));
    ASSERT_TRUE(WriteArchive(archivePath, entries));
    const ArchiveHandle owner = OpenByPath(archivePath);
    ASSERT_TRUE(owner);
    OpenedArchive& archive = *owner.get();
    for (int index = static_cast<int>(entries.size()) - 1; index >= 0; --index) {
        ArchiveEntry entry;
        ASSERT_TRUE(ReadEntryInfo(archive, index, entry)) << index;
        ASSERT_EQ(entry.name, entries[index].name);
        const std::string path = folder / ("out-" + std::to_string(index));
        ASSERT_TRUE(WriteEntryTo(archive, index, path)) << entry.name;
        std::string written;
        ASSERT_TRUE(test::ReadWholeFile(path, written));
        ASSERT_TRUE(written == entries[index].data) << entry.name;
    }
}

TEST_F(ReaderTest, TakesTheLastWriteTimeOfAnExtendedTimestampBlock) {
    zipwriter::Entry file = File("t.txt", "t");
    // An unrelated block first, then "UT" with flags 0x01, then a second "UT" that must be ignored.
    file.localExtra = {0x99, 0x99, 2, 0, 0xAA, 0xBB};
    const zipwriter::Bytes ut = zipwriter::ExtendedTimestampBlock(0x01, {1234567890});
    const zipwriter::Bytes later = zipwriter::ExtendedTimestampBlock(0x07, {1, 2, 3});
    file.localExtra.insert(file.localExtra.end(), ut.begin(), ut.end());
    file.localExtra.insert(file.localExtra.end(), later.begin(), later.end());
    ASSERT_TRUE(WriteArchive(archivePath, {file}));
    const ArchiveHandle owner = OpenByPath(archivePath);
    ASSERT_TRUE(owner);
    OpenedArchive& archive = *owner.get();
    ArchiveEntry entry;
    ASSERT_TRUE(ReadEntryInfo(archive, 0, entry));
    EXPECT_TRUE(SameTime(entry.writeTime, FromUnix(1234567890)));
    EXPECT_TRUE(SameTime(entry.accessTime, DosTimeOf(file)));
    EXPECT_TRUE(SameTime(entry.creationTime, DosTimeOf(file)));
}

TEST_F(ReaderTest, PassesOverATimestampBlockShorterThanItsFlagsSay) {
    zipwriter::Entry file = File("t.txt", "t");
    file.localExtra = {0x55, 0x54, 5, 0, 0x07, 0x10, 0x20, 0x30, 0x40};  // flags ask for three values, one fits
    ASSERT_TRUE(WriteArchive(archivePath, {file}));
    const ArchiveHandle owner = OpenByPath(archivePath);
    ASSERT_TRUE(owner);
    OpenedArchive& archive = *owner.get();
    ArchiveEntry entry;
    ASSERT_TRUE(ReadEntryInfo(archive, 0, entry));
    EXPECT_TRUE(SameTime(entry.writeTime, FromUnix(0x40302010)));
    EXPECT_TRUE(SameTime(entry.accessTime, DosTimeOf(file)));
}

TEST_F(ReaderTest, RefusesAnEntryWhoseLocalHeaderDisagreesAndStaysUsable) {
    zipwriter::Entry bad = File("b.txt", "bbbb");
    bad.localCrc = 0x12345678;
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "a"), bad, File("c.txt", "c")}));
    const ArchiveHandle owner = OpenByPath(archivePath);
    ASSERT_TRUE(owner);
    OpenedArchive& archive = *owner.get();
    ArchiveEntry entry;
    EXPECT_FALSE(ReadEntryInfo(archive, 1, entry));
    EXPECT_TRUE(ReadEntryInfo(archive, 2, entry));
    EXPECT_TRUE(ReadEntryInfo(archive, 0, entry));
}

TEST_F(ReaderTest, RefusesToOpenWithoutEndRecordOrFile) {
    ASSERT_TRUE(test::WriteWholeFile(archivePath, std::string(100, 'z')));
    EXPECT_FALSE(OpenByPath(archivePath));
    EXPECT_FALSE(OpenArchive(FileHandle{}));
    EXPECT_FALSE(OpenByPath(folder / "missing.zip"));
    // Nothing stays open: the file can be replaced at once.
    EXPECT_TRUE(DeleteFileA(archivePath.c_str()));
}

// minizip reads a ZIP64 end record when it finds one and then cuts its 64-bit count to 32 bits; the
// reader's count is a signed 32-bit one. Such an archive is refused whatever its count. An archive
// whose bytes merely hold a locator's signature, pointing at no ZIP64 record, is read as minizip
// reads it: through its ordinary end record.
TEST_F(ReaderTest, RefusesAZip64EndRecordAndReadsPastAStrayLocator) {
    zipwriter::Options zip64;
    zip64.zip64EntryCount = 1;
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "a")}, zip64));
    EXPECT_FALSE(OpenByPath(archivePath));

    // A stray locator signature in a file's data, near the end, pointing at nothing of ZIP64.
    std::string stray =
        std::string("PK\x06\x07", 4) + std::string(4, '\0') + std::string(8, '\x01') + std::string("\x01\0\0\0", 4);
    zipwriter::Entry last = File("b.bin", stray);
    last.storeData = true;
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "a"), last}));
    const ArchiveHandle owner = OpenByPath(archivePath);
    ASSERT_TRUE(owner);
    OpenedArchive& archive = *owner.get();
    ArchiveEntry entry;
    EXPECT_TRUE(ReadEntryInfo(archive, -1, entry));
    EXPECT_EQ(entry.index, 2);
    EXPECT_TRUE(WriteEntryTo(archive, 1, folder / "b.bin"));
}

// minizip takes an entry's size from a ZIP64 extra field (0x0001) where the header's field reads
// 0xFFFFFFFF, with or without a ZIP64 end record. The reader compared that size cut to 32 bits: an entry
// recorded as 4 GiB + 5 bytes was written as its 5 bytes and passed, its CRC-32 never checked (minizip
// checks it only once the whole recorded size was delivered). Boundaries: 4 GiB less a byte is read, 4
// GiB is refused.
TEST_F(ReaderTest, TakesSizesFromAZip64FieldAndRefusesAnEntryOf4GiBOrMore) {
    struct Row {
        std::uint64_t size;
        bool taken;
    };
    for (const Row row :
         {Row{5, true}, Row{0xFFFFFFFFull, true}, Row{0x100000000ull, false}, Row{0x100000005ull, false}}) {
        zipwriter::Entry entry = File("x.txt", "hello");
        entry.storeData = true;
        entry.crc = 0x0BADC0DE;  // extracting it must fail; only the unchecked bytes would pass
        entry.centralExtra = zipwriter::Bytes{0x01, 0x00, 8, 0};
        for (int i = 0; i < 8; ++i)
            entry.centralExtra->push_back(static_cast<unsigned char>(row.size >> (8 * i)));
        std::string bytes = zipwriter::BuildArchive({entry});
        const std::size_t central = bytes.find(std::string("PK\x01\x02", 4));
        ASSERT_NE(central, std::string::npos);
        bytes.replace(central + 24, 4, std::string(4, '\xFF'));  // "see the ZIP64 field"
        bytes.replace(22, 4, std::string(4, '\xFF'));            // in the local header too
        ASSERT_TRUE(test::WriteWholeFile(archivePath, bytes));
        const ArchiveHandle owner = OpenByPath(archivePath);
        ASSERT_TRUE(owner);
        ArchiveEntry read;
        EXPECT_EQ(ReadEntryInfo(*owner.get(), 0, read), row.taken) << row.size;
        if (row.taken) {
            EXPECT_EQ(read.uncompressedSize, row.size);
        }
        EXPECT_FALSE(WriteEntryTo(*owner.get(), 0, folder / "x.txt")) << row.size;
    }
}

TEST_F(ReaderTest, WritesAnEntrysDataAndTimesIntoTheFileItIsGiven) {
    const std::string data(70000, 'q');
    ASSERT_TRUE(WriteArchive(archivePath, {File("x/y.bin", data)}));
    const ArchiveHandle owner = OpenByPath(archivePath);
    ASSERT_TRUE(owner);
    OpenedArchive& archive = *owner.get();
    const std::string target = folder / "y.bin";
    ASSERT_TRUE(WriteEntryTo(archive, 0, target));
    std::string back;
    ASSERT_TRUE(test::ReadWholeFile(target, back));
    EXPECT_EQ(back, data);
    WIN32_FILE_ATTRIBUTE_DATA info;
    ASSERT_TRUE(GetFileAttributesExA(target.c_str(), GetFileExInfoStandard, &info));
    EXPECT_TRUE(SameTime(info.ftLastWriteTime, FromUnix(1600000000)));
    EXPECT_TRUE(SameTime(info.ftCreationTime, FromUnix(1600000000)));
}

// Data that is not the entry's (cut short, or not matching its CRC-32) fails, and so does an
// encrypted entry, for which nothing is written; the file is its creator's to discard.
TEST_F(ReaderTest, FailsATruncatedAMismatchedAndAnEncryptedEntry) {
    zipwriter::Entry truncated = File("t.bin", std::string(100000, 'x') + std::string(100000, 'y'));
    truncated.truncateBy = 50;
    zipwriter::Entry wrongCrc = File("c.bin", "some data");
    wrongCrc.crc = 0xDEADBEEF;
    zipwriter::Entry encrypted = File("e.bin", "secret");
    encrypted.flags = 1;
    ASSERT_TRUE(WriteArchive(archivePath, {truncated, wrongCrc, encrypted, File("ok.txt", "ok")}));
    const ArchiveHandle owner = OpenByPath(archivePath);
    ASSERT_TRUE(owner);
    OpenedArchive& archive = *owner.get();
    for (int index = 0; index < 3; ++index)
        EXPECT_FALSE(WriteEntryTo(archive, index, folder / ("out" + std::to_string(index)))) << index;
    std::string written;
    EXPECT_TRUE(test::ReadWholeFile(folder / "out2", written) && written.empty()) << "nothing of an encrypted entry";
    EXPECT_TRUE(WriteEntryTo(archive, 3, folder / "ok.txt")) << "the reader stays usable";
}

TEST(CreateFolderRecursive, AnswersTrueForABareDriveAndAnExistingFolder) {
    EXPECT_TRUE(CreateFolderRecursive("Q:"));  // no system call: the drive need not exist
    test::TempFolder folder{"mk"};
    EXPECT_TRUE(CreateFolderRecursive(folder.path().c_str()));
    EXPECT_TRUE(CreateFolderRecursive((folder.path() + "\\").c_str()));
    EXPECT_FALSE(CreateFolderRecursive(""));
}

TEST(CreateFolderRecursive, MakesAThreeLevelMissingChain) {
    test::TempFolder folder{"mk"};
    const std::string leaf = folder / "a\\b\\c";
    EXPECT_TRUE(CreateFolderRecursive(leaf.c_str()));
    EXPECT_TRUE(test::IsFolder(leaf));
    EXPECT_TRUE(CreateFolderRecursive((folder / "d\\e\\f\\").c_str()));  // trailing backslash
    EXPECT_TRUE(test::IsFolder(folder / "d\\e\\f"));
}

// 誠 is D5 5C in GBK, the tests' code page: its trail byte is a backslash. A parent split off inside the
// last 誠 of "a\誠誠\" would be "a\誠" and a lead byte, which makes a folder "a\誠" that nobody asked
// for (Wine drops the lone lead byte) or fails; a path that goes on below 誠 splits before "c".
TEST(CreateFolderRecursive, SplitsAtRealSeparatorsOnlyWhereATrailByteIs0x5C) {
    test::TempFolder folder{"mk"};
    EXPECT_TRUE(CreateFolderRecursive((folder / "a\\\xD5\x5C\xD5\x5C\\").c_str()));
    EXPECT_TRUE(CreateFolderRecursive((folder / "b\\\xD5\x5C\\c").c_str()));
    EXPECT_EQ(ListTree(folder.path()),
              (std::vector<std::string>{"a\\", "a\\\xD5\x5C\xD5\x5C\\", "b\\", "b\\\xD5\x5C\\", "b\\\xD5\x5C\\c\\"}));
}

TEST(CreateFolderRecursive, RefusesAPathOf260Bytes) {
    test::TempFolder folder{"mk"};
    const std::string base = folder.path() + "\\";
    EXPECT_FALSE(CreateFolderRecursive((base + std::string(260 - base.size(), 'x')).c_str()));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILENAME_EXCED_RANGE});
}

struct NameRow {
    const char* name;
    bool safe;
};

class EntryNames : public ::testing::TestWithParam<NameRow> {};

// The reader applies the shared name rules in the system's code page (GBK under the tests' Wine).
TEST_P(EntryNames, AreRefusedWhenTheyLeaveTheDestinationOrWindowsCannotKeepThem) {
    ArchiveEntry entry;
    std::strcpy(entry.name, GetParam().name);
    entry.nameLength = std::strlen(entry.name);
    EXPECT_EQ(EntryNameIsSafe(entry), GetParam().safe) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, EntryNames,
    ::testing::Values(NameRow{"Velkar/Velkar.exe", true}, NameRow{"Velkar/", true}, NameRow{"a..b/..c/d", true},
                      NameRow{"a..b/..c/d..", false}, NameRow{"CONFIG.SYS", true}, NameRow{"COM10", true},
                      NameRow{"LPT0.txt", false}, NameRow{"Velkar/Velkar.exe.", false}, NameRow{"\xD5\x5C", true},
                      NameRow{"../x", false}, NameRow{"a/../../x", false}, NameRow{"a\\..\\x", false},
                      NameRow{"..", false}, NameRow{"/x", false}, NameRow{"\\x", false}, NameRow{"C:/x", false},
                      NameRow{"C:x", false}, NameRow{"x.txt:stream", false}, NameRow{"CON", false},
                      NameRow{"nul.txt", false}, NameRow{"a/Aux/b", false}, NameRow{"com1", false},
                      NameRow{"sub/LPT9.log", false}, NameRow{"prn .txt", false}, NameRow{"", false},
                      NameRow{"Velkar//lib.dll", false}));

}  // namespace
