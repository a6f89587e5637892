// Extract: the result table, the progress events, destination paths and the mended faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <zlib.h>

#include "tests/payload/extract_fixture.h"
#include "payload/zip_component.h"

using payloadtest::ConnectedComponent;
using payloadtest::File;
using payloadtest::Folder;
using payloadtest::kComponentId;
using payloadtest::kWindowId;
using payloadtest::ListTree;
using payloadtest::MakeFolderLink;
using payloadtest::RemoveFolderLink;
using payloadtest::WriteArchive;
using Names = std::vector<std::string>;

namespace {

class ExtractTest : public ::testing::Test {
protected:
    test::TempFolder folder{"extract"};
    std::string archivePath = folder / "a.zip";
    std::string destination = folder / "out";
    ConnectedComponent component;

    std::int32_t Run() { return Run(destination); }
    std::int32_t Run(const std::string& to) {
        return Extract(kWindowId, kComponentId, archivePath.c_str(), to.c_str());
    }
    std::string Read(const std::string& relative) {
        std::string bytes;
        EXPECT_TRUE(test::ReadWholeFile(destination + "\\" + relative, bytes)) << relative;
        return bytes;
    }
};

TEST_F(ExtractTest, UnpacksFoldersAndFilesInOrderWithPlainAttributes) {
    ASSERT_TRUE(WriteArchive(archivePath, {Folder("Velkar/"), File("Velkar/Velkar.exe", std::string(40000, 'v')),
                                           Folder("Velkar/res/"), File("Velkar/res/a.ini", "[a]")}));
    EXPECT_EQ(Run(), kExtractDone);
    EXPECT_EQ(ListTree(destination), (Names{"Velkar\\", "Velkar\\Velkar.exe", "Velkar\\res\\", "Velkar\\res\\a.ini"}));
    EXPECT_EQ(Read("Velkar\\Velkar.exe"), std::string(40000, 'v'));
    // Wine reports a file set to FILE_ATTRIBUTE_NORMAL as 0x20: compare with a file set here.
    const std::string probe = folder / "probe";
    ASSERT_TRUE(test::WriteWholeFile(probe, "p"));
    SetFileAttributesA(probe.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(test::AttributesOf(destination + "\\Velkar\\res\\a.ini"), test::AttributesOf(probe));
    EXPECT_EQ(component.percentages, (std::vector<int>{0, 25, 50, 75, 100}));
}

TEST_F(ExtractTest, WritesAFileWhoseFolderEntriesAreMissing) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("deep/er/f.txt", "f")}));
    EXPECT_EQ(Run(), kExtractDone);
    EXPECT_EQ(Read("deep\\er\\f.txt"), "f");
}

TEST_F(ExtractTest, CreatesAMissingDestinationWithItsParents) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("f.txt", "f")}));
    const std::string deep = folder / "x\\y\\z";
    EXPECT_EQ(Run(deep), kExtractDone);
    EXPECT_TRUE(test::Exists(deep + "\\f.txt"));
}

TEST_F(ExtractTest, JoinsNamesToADestinationEndingInASlash) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("f.txt", "f")}));
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    EXPECT_EQ(Run(destination + "/"), kExtractDone);  // becomes "out/\f.txt"
    EXPECT_EQ(Read("f.txt"), "f");
}

TEST_F(ExtractTest, RefusesAbsentArgumentsWithoutAnEvent) {
    EXPECT_EQ(Extract(kWindowId, kComponentId, nullptr, destination.c_str()), kExtractBadArguments);
    EXPECT_EQ(Extract(kWindowId, kComponentId, archivePath.c_str(), nullptr), kExtractBadArguments);
    EXPECT_TRUE(component.percentages.empty());
}

TEST_F(ExtractTest, RefusesAnEmptyDestinationOrAMissingArchiveWithOneEventAtZero) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("f.txt", "f")}));
    EXPECT_EQ(Run(""), kExtractBadArguments);
    EXPECT_EQ(component.percentages, (std::vector<int>{0}));
    archivePath = folder / "missing.zip";
    EXPECT_EQ(Run(), kExtractBadArguments);
    EXPECT_EQ(component.percentages, (std::vector<int>{0, 0}));
    EXPECT_FALSE(test::Exists(destination));
}

TEST_F(ExtractTest, RunsWithoutEventsWhenTheComponentIsNotFound) {
    component.found = false;
    ASSERT_TRUE(WriteArchive(archivePath, {File("f.txt", "f")}));
    EXPECT_EQ(Run(), kExtractDone);
    EXPECT_TRUE(component.percentages.empty());
    EXPECT_EQ(Read("f.txt"), "f");
}

TEST_F(ExtractTest, StopsAfterTheFirstEntryWhenTheHandlerAnswersFalse) {
    component.stopAfter = 1;
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "a"), File("b.txt", "b"), File("c.txt", "c")}));
    EXPECT_EQ(Run(), kExtractDone);
    EXPECT_EQ(ListTree(destination), (Names{"a.txt"}));
    EXPECT_EQ(component.percentages, (std::vector<int>{0}));
}

// An archive of no entries at all has nothing left out: every entry of its count (none) is there.
TEST_F(ExtractTest, GivesOneForAnArchiveWhoseEndRecordCountsNoEntries) {
    std::string bytes = zipwriter::BuildArchive({File("a.txt", "a")});
    // The end record's two counts (bytes 8 to 11 of its 22) set to 0: the directory holds nothing.
    bytes.replace(bytes.size() - 22 + 8, 4, std::string(4, '\0'));
    ASSERT_TRUE(test::WriteWholeFile(archivePath, bytes));
    EXPECT_EQ(Run(), kExtractDone);
    EXPECT_TRUE(ListTree(destination).empty());
}

// A file an earlier run left at an entry's path is replaced. An interrupted run leaves its partial
// files read-only (they are created with the archive's attributes): the next extraction must still
// replace them, or the application could never be installed again.
class EarlierFiles : public ExtractTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(EarlierFiles, AreReplacedWhateverTheirAttributes) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "new")}));
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    const std::string existing = destination + "\\a.txt";
    ASSERT_TRUE(test::WriteWholeFile(existing, "old and longer"));
    ASSERT_TRUE(SetFileAttributesA(existing.c_str(), GetParam()));
    EXPECT_EQ(Run(), kExtractDone);
    EXPECT_EQ(Read("a.txt"), "new");
    EXPECT_FALSE(test::AttributesOf(existing) & FILE_ATTRIBUTE_READONLY);
}

INSTANTIATE_TEST_SUITE_P(Attributes, EarlierFiles, ::testing::Values(FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_READONLY));

// The archive's bytes with the signature of its `which`-th central record spoilt, so that minizip
// cannot reach that record: at the first one its open goes on with no entry to stand on, further on
// its walk breaks off there.
std::string WithCentralRecordSpoilt(const std::vector<zipwriter::Entry>& entries, int which) {
    std::string bytes = zipwriter::BuildArchive(entries);
    const std::string signature("PK\x01\x02", 4);
    std::string::size_type at = bytes.find(signature);
    for (int i = 0; i < which && at != std::string::npos; ++i)
        at = bytes.find(signature, at + 4);
    if (at != std::string::npos)
        bytes[at + 3] = '\x09';
    return bytes;
}

zipwriter::Entry FlaggedUtf8(const char* name) {
    zipwriter::Entry flagged = File(name, "x");
    flagged.flags = 0x0800;
    return flagged;
}

// The table of archives refused before or while walking. Each row: what is wrong, the archive's
// bytes, what must be on disk in the destination afterwards and the percentages of the events. An
// entry that cannot be read or written ends the walk: the entries after it are never installed, so
// the result is a failure.
struct BadArchive {
    const char* fault;
    std::string bytes;
    Names left;
    std::vector<int> events;
};

BadArchive Row(const char* fault, const std::vector<zipwriter::Entry>& entries, Names left, std::vector<int> events,
               const zipwriter::Options& options = {}) {
    return {fault, zipwriter::BuildArchive(entries, options), std::move(left), std::move(events)};
}

std::vector<BadArchive> MakeBadArchives() {
    std::vector<BadArchive> rows;
    rows.push_back(Row("FirstHeaderBytes24To27Zero", {File("", "abc"), File("b.txt", "b")}, {}, {0}));
    zipwriter::Options stub;
    stub.stub = std::string(512, 'M');
    rows.push_back(Row("StubInFront", {File("a.txt", "a")}, {}, {0}, stub));
    rows.push_back({"ShorterThan32Bytes", std::string("PK\x03\x04", 4) + std::string(27, '\x01'), {}, {0}});
    // Nothing could be counted: the one event reads 0 %.
    rows.push_back({"CentralDirectoryUnreadableAtItsFirstRecord",
                    WithCentralRecordSpoilt({File("a.txt", "a"), File("b.txt", "b")}, 0),
                    {},
                    {0}});
    rows.push_back({"CentralDirectoryBreaksOffInTheMiddle",
                    WithCentralRecordSpoilt({File("a.txt", "a"), File("b.txt", "b"), File("c.txt", "c")}, 2),
                    {"a.txt", "b.txt"},
                    {0, 50, 100}});
    zipwriter::Entry disagreeing = File("b.txt", "b");
    disagreeing.localMethod = 0;
    rows.push_back(
        Row("LocalHeaderDisagrees", {File("a.txt", "a"), disagreeing, File("c.txt", "c")}, {"a.txt"}, {0, 100}));
    zipwriter::Entry truncated = File("big.bin", std::string(300000, 'x') + std::string(300000, 'y'));
    truncated.truncateBy = 100;
    rows.push_back(
        Row("TruncatedDeflateStream", {File("a.txt", "a"), truncated, File("c.txt", "c")}, {"a.txt"}, {0, 100}));
    zipwriter::Entry wrongCrc = File("w.bin", std::string(20000, 'w'));
    wrongCrc.crc = 0x01020304;
    rows.push_back(Row("WrongCrc", {File("a.txt", "a"), wrongCrc}, {"a.txt"}, {0, 100}));
    zipwriter::Entry encrypted = File("e.bin", "secret");
    encrypted.flags = 1;
    rows.push_back(Row("EncryptedEntry", {encrypted, File("b.txt", "b")}, {}, {100}));
    // A name is never used cut to the buffer that holds it.
    rows.push_back(Row("NameOf300Bytes", {File(std::string(300, 'n'), "x")}, {}, {100}));
    // The name rules themselves are entry_names_test.cpp's table; one name that climbs out shows
    // that extraction applies them.
    rows.push_back(Row("NameClimbingOut",
                       {File("first.txt", "1"), File("sub/../../escaped.txt", "evil"), File("last.txt", "z")},
                       {"first.txt"}, {0, 100}));
    // Two separators in a row would land on the file of the same name with one, and replace it.
    rows.push_back(Row("TwoSeparatorsInARow",
                       {File("sub/lib.dll", "good"), File("sub//lib.dll", "EVIL"), File("last.txt", "z")},
                       {"sub\\", "sub\\lib.dll"}, {0, 100}));
    // minizip compares the names' lengths only: a local name of the same length but other bytes.
    zipwriter::Entry renamed = File("b.txt", "b");
    renamed.localName = "c.txt";
    rows.push_back(Row("LocalNameDiffersFromTheDirectorys", {File("a.txt", "a"), renamed, File("c.txt", "c")},
                       {"a.txt"}, {0, 100}));
    // Thai "ก" (E0 B8 81) has no spelling in GBK; "\xD5\x5C" is no UTF-8.
    rows.push_back(Row("Utf8NameTheCodePageCannotSpell",
                       {File("first.txt", "1"), FlaggedUtf8("a\xE0\xB8\x81.txt"), File("last.txt", "z")}, {"first.txt"},
                       {0, 100}));
    rows.push_back(Row("FlaggedNameThatIsNoUtf8",
                       {File("first.txt", "1"), FlaggedUtf8("\xD5\x5C.txt"), File("last.txt", "z")}, {"first.txt"},
                       {0, 100}));
    return rows;
}

class BadArchives : public ExtractTest, public ::testing::WithParamInterface<BadArchive> {};

TEST_P(BadArchives, GiveZeroAndWriteNothingOutsideTheDestination) {
    const BadArchive& row = GetParam();
    ASSERT_TRUE(test::WriteWholeFile(archivePath, row.bytes));
    // The destination sits two levels down so that a name climbing out would land inside the
    // test's own folder, where the listing below would see it.
    destination = folder / "one\\out";
    EXPECT_EQ(Run(), kExtractFailed);
    EXPECT_EQ(ListTree(destination), row.left);
    Names outside = ListTree(folder.path());
    Names expected{"a.zip", "one\\", "one\\out\\"};
    for (const std::string& name : row.left)
        expected.push_back("one\\out\\" + name);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(outside, expected);
    EXPECT_FALSE(test::Exists("Z:\\escaped.txt"));
    EXPECT_EQ(component.percentages, row.events);
}

INSTANTIATE_TEST_SUITE_P(Table, BadArchives, ::testing::ValuesIn(MakeBadArchives()),
                         [](const ::testing::TestParamInfo<BadArchive>& info) {
                             return std::string(info.param.fault);
                         });

TEST_F(ExtractTest, RefusesAFolderAsTheArchive) {
    archivePath = folder / "sub";
    ASSERT_TRUE(CreateDirectoryA(archivePath.c_str(), nullptr));
    EXPECT_EQ(Run(), kExtractFailed);
    EXPECT_EQ(component.percentages, (std::vector<int>{0}));
}

TEST_F(ExtractTest, FailsAnEntryWhosePathWouldReach260Bytes) {
    const std::string base = destination + "\\";
    const std::string fits(259 - base.size(), 'f');
    const std::string tooLong(260 - base.size(), 'g');
    ASSERT_TRUE(WriteArchive(archivePath, {File(fits, "fits"), File(tooLong, "long"), File("after.txt", "a")}));
    EXPECT_EQ(Run(), kExtractFailed);
    EXPECT_EQ(ListTree(destination), (Names{fits}));
}

// A name of double-byte characters whose trail byte is 0x5C: "\xD5\x5C" (誠) is one character, not a
// folder "\xD5" and a separator. The name is read in UTF-16 before it is split.
TEST_F(ExtractTest, DoesNotSplitANameAtATrailByteBackslash) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("\xD5\x5C/\xD5\x5C.txt", "x")}));
    EXPECT_EQ(Run(), kExtractDone);
    // Listed rather than probed: Wine drops a lone lead byte at the end of a path, so asking for a
    // folder "\xD5" would ask for the destination itself.
    EXPECT_EQ(ListTree(destination), (Names{"\xD5\x5C\\", "\xD5\x5C\\\xD5\x5C.txt"}));
}

// The folders of one entry's way stay held for the next; a way that parts from it at some folder
// must not go on into the deeper folders of the last one.
TEST_F(ExtractTest, PutsEachEntryInItsOwnFolderWhateverTheWayBeforeIt) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("a/b/1.txt", "1"), File("c/b/2.txt", "2"), File("a/3.txt", "3"),
                                           File("a/b/4.txt", "4"), File("A/B/5.txt", "5"), File("a/b/c/6.txt", "6")}));
    EXPECT_EQ(Run(), kExtractDone);
    EXPECT_EQ(ListTree(destination), (Names{"a\\", "a\\3.txt", "a\\b\\", "a\\b\\1.txt", "a\\b\\4.txt", "a\\b\\5.txt",
                                            "a\\b\\c\\", "a\\b\\c\\6.txt", "c\\", "c\\b\\", "c\\b\\2.txt"}));
}

// Every folder on an entry's way is held as a folder: a file standing where one belongs fails the
// folder entry itself, and the entries below it are never reached.
TEST_F(ExtractTest, FailsAFolderEntryWhereAFileStands) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "a"), Folder("sub/"), File("sub/b.txt", "b")}));
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(destination + "\\sub", "a file"));
    EXPECT_EQ(Run(), kExtractFailed);
    EXPECT_EQ(ListTree(destination), (Names{"a.txt", "sub"}));
    EXPECT_EQ(component.percentages, (std::vector<int>{0, 100}));
}

// --- Names marked as UTF-8 -------------------------------------------------------------------------
// "docs/说明.txt": 说明 is E8 AF B4 E6 98 8E in UTF-8 and CB B5 C3 F7 in GBK, the tests' code page.
const char kUtf8Name[] = "docs/\xE8\xAF\xB4\xE6\x98\x8E.txt";
const char kGbkName[] = "docs\\\xCB\xB5\xC3\xF7.txt";

// Info-ZIP's Unicode Path field: version 1, the CRC-32 of the stored name, the UTF-8 name.
zipwriter::Bytes UnicodePathField(const std::string& storedName, const std::string& utf8, bool rightCrc) {
    std::uint32_t crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(storedName.data()), static_cast<uInt>(storedName.size())));
    if (!rightCrc)
        crc ^= 1;
    const std::size_t size = 5 + utf8.size();
    zipwriter::Bytes field{0x75, 0x70, static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8), 1};
    for (int shift = 0; shift < 32; shift += 8)
        field.push_back(static_cast<unsigned char>(crc >> shift));
    field.insert(field.end(), utf8.begin(), utf8.end());
    return field;
}

TEST_F(ExtractTest, SpellsANameFlaggedAsUtf8InTheCodePage) {
    zipwriter::Entry flagged = File(kUtf8Name, "readme");
    flagged.flags = 0x0800;
    ASSERT_TRUE(WriteArchive(archivePath, {flagged}));
    EXPECT_EQ(Run(), kExtractDone);
    EXPECT_EQ(ListTree(destination), (Names{"docs\\", kGbkName}));
    EXPECT_EQ(Read(kGbkName), "readme");
}

TEST_F(ExtractTest, TakesAUnicodePathFieldOnlyWhenItsCrcMatchesTheStoredName) {
    zipwriter::Entry matching = File("docs/x1.txt", "1");
    matching.centralExtra = UnicodePathField("docs/x1.txt", kUtf8Name, true);
    zipwriter::Entry stale = File("docs/x2.txt", "2");
    stale.centralExtra = UnicodePathField("docs/x2.txt", "docs/other.txt", false);
    ASSERT_TRUE(WriteArchive(archivePath, {matching, stale}));
    EXPECT_EQ(Run(), kExtractDone);
    EXPECT_EQ(ListTree(destination), (Names{"docs\\", "docs\\x2.txt", kGbkName}));
    EXPECT_EQ(Read(kGbkName), "1");
}

// --- Links planted in the tree ----------------------------------------------------------------------
class PlantedLinks : public ExtractTest {
protected:
    test::TempFolder outside{"outside"};
    std::vector<zipwriter::Entry> Application() {
        return {Folder("Velkar/"), File("Velkar/Velkar.exe", "application"), Folder("Velkar/data/"),
                File("Velkar/data/settings.ini", "new settings"), File("Velkar/data/more.txt", "more")};
    }
    std::string OutsideFile(const std::string& name) {
        std::string bytes;
        EXPECT_TRUE(test::ReadWholeFile(outside / name, bytes)) << name;
        return bytes;
    }
};

// A folder link at a folder the archive writes into, pointing outside: the entries that would go
// through it fail, nothing is written behind it, and the entries before it (the application) are in
// place.
TEST_F(PlantedLinks, AFolderLinkOnAnEntrysWayFailsTheEntryAndNothingIsWrittenThroughIt) {
    ASSERT_TRUE(test::WriteWholeFile(outside / "settings.ini", "outside settings"));
    ASSERT_TRUE(WriteArchive(archivePath, Application()));
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((destination + "\\Velkar").c_str(), nullptr));
    const std::string link = destination + "\\Velkar\\data";
    ASSERT_TRUE(MakeFolderLink(outside.path(), link));
    const std::int32_t result = Run();
    RemoveFolderLink(link);
    EXPECT_EQ(result, kExtractFailed);
    EXPECT_EQ(OutsideFile("settings.ini"), "outside settings");
    EXPECT_EQ(ListTree(outside.path()), (Names{"settings.ini"}));
    EXPECT_EQ(Read("Velkar\\Velkar.exe"), "application");
}

// The same link deeper down the entry's path, under a folder the archive does not list.
TEST_F(PlantedLinks, AFolderLinkAnywhereBelowTheDestinationOrAtItIsRefusedButOneAboveItIsFollowed) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("a/b/c/deep.txt", "deep")}));
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((destination + "\\a").c_str(), nullptr));
    const std::string link = destination + "\\a\\b";
    ASSERT_TRUE(MakeFolderLink(outside.path(), link));
    const std::int32_t refused = Run();
    RemoveFolderLink(link);
    EXPECT_EQ(refused, kExtractFailed);
    EXPECT_TRUE(ListTree(outside.path()).empty());

    // The destination itself must be a plain folder: a link there would let whoever planted it
    // choose where the application goes (and, in the launcher, what the clean-up removes).
    const std::string linkedDestination = folder / "linked";
    ASSERT_TRUE(MakeFolderLink(outside.path(), linkedDestination));
    const std::int32_t atDestination = Run(linkedDestination);
    // A link above the destination is the user's choice (a moved application-data folder).
    const std::int32_t below = Run(linkedDestination + "\\inner");
    RemoveFolderLink(linkedDestination);
    EXPECT_EQ(atDestination, kExtractFailed);
    EXPECT_EQ(below, kExtractDone);
    std::string bytes;
    EXPECT_TRUE(test::ReadWholeFile(outside / "inner\\a\\b\\c\\deep.txt", bytes) && bytes == "deep");
    EXPECT_EQ(ListTree(outside.path()),
              (Names{"inner\\", "inner\\a\\", "inner\\a\\b\\", "inner\\a\\b\\c\\", "inner\\a\\b\\c\\deep.txt"}));
}

// A hard link at a file's path to a file outside: the link is deleted and the file made anew, so the
// outside file keeps its bytes (truncating in place would have written the entry into it).
TEST_F(PlantedLinks, AHardLinkAtAFilesPathIsReplacedAndTheOtherFileKeepsItsBytes) {
    ASSERT_TRUE(test::WriteWholeFile(outside / "victim.exe", "outside program"));
    ASSERT_TRUE(WriteArchive(archivePath, Application()));
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((destination + "\\Velkar").c_str(), nullptr));
    const std::string planted = destination + "\\Velkar\\Velkar.exe";
    ASSERT_TRUE(CreateHardLinkA(planted.c_str(), (outside / "victim.exe").c_str(), nullptr)) << GetLastError();
    EXPECT_EQ(Run(), kExtractDone);
    EXPECT_EQ(OutsideFile("victim.exe"), "outside program");
    EXPECT_EQ(Read("Velkar\\Velkar.exe"), "application");
}

// A read-only file that shares its bytes with another name is not ours to make writable: the entry
// fails rather than change the other file's attributes, and both keep their bytes.
TEST_F(PlantedLinks, AReadOnlyHardLinkFailsTheEntryAndLeavesTheOtherFileAsItWas) {
    ASSERT_TRUE(test::WriteWholeFile(outside / "victim.txt", "outside"));
    ASSERT_TRUE(SetFileAttributesA((outside / "victim.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "new")}));
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkA((destination + "\\a.txt").c_str(), (outside / "victim.txt").c_str(), nullptr));
    EXPECT_EQ(Run(), kExtractFailed);
    EXPECT_EQ(OutsideFile("victim.txt"), "outside");
    EXPECT_TRUE(test::AttributesOf(outside / "victim.txt") & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA((outside / "victim.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A folder link where the archive puts a file: removed as a link where the system opens the link
// itself (Windows), its target untouched either way. Wine opens the target of a Unix link even when
// asked for the link, and its RemoveDirectoryA on such a link removes an empty target folder: there
// the link stays and the entry fails. Both an empty and a full target are tried.
TEST_F(PlantedLinks, AFolderLinkAtAFilesPathIsRemovedAsALinkOrFailsTheEntry) {
    ASSERT_TRUE(test::WriteWholeFile(outside / "keep.txt", "keep"));
    ASSERT_TRUE(CreateDirectoryA((outside / "empty").c_str(), nullptr));
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "new"), File("b.txt", "new")}));
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    const std::string full = destination + "\\a.txt", empty = destination + "\\b.txt";
    ASSERT_TRUE(MakeFolderLink(outside.path(), full));
    ASSERT_TRUE(MakeFolderLink(outside / "empty", empty));
    const std::int32_t result = Run();
    const bool linksStayed = test::Exists(full) || test::Exists(empty);
    RemoveFolderLink(full);
    RemoveFolderLink(empty);
    EXPECT_EQ(result, linksStayed ? kExtractFailed : kExtractDone);
    EXPECT_EQ(ListTree(outside.path()), (Names{"empty\\", "keep.txt"}));
    EXPECT_EQ(OutsideFile("keep.txt"), "keep");
}

}  // namespace
