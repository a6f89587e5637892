// Extract: the result table, the progress events, destination paths and the mended faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "tests/payload/extract_fixture.h"
#include "base/services.h"
#include "payload/zip_component.h"

using payloadtest::ConnectedComponent;
using payloadtest::File;
using payloadtest::Folder;
using payloadtest::kComponentId;
using payloadtest::kWindowId;
using payloadtest::ListTree;
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
    EXPECT_EQ(Run(), 1);
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
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Read("deep\\er\\f.txt"), "f");
}

TEST_F(ExtractTest, CreatesAMissingDestinationWithItsParents) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("f.txt", "f")}));
    const std::string deep = folder / "x\\y\\z";
    EXPECT_EQ(Run(deep), 1);
    EXPECT_TRUE(test::Exists(deep + "\\f.txt"));
}

TEST_F(ExtractTest, JoinsNamesToADestinationEndingInASlash) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("f.txt", "f")}));
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    EXPECT_EQ(Run(destination + "/"), 1);  // becomes "out/\f.txt"
    EXPECT_EQ(Read("f.txt"), "f");
}

TEST_F(ExtractTest, RefusesAbsentArgumentsWithoutAnEvent) {
    EXPECT_EQ(Extract(kWindowId, kComponentId, nullptr, destination.c_str()), -1);
    EXPECT_EQ(Extract(kWindowId, kComponentId, archivePath.c_str(), nullptr), -1);
    EXPECT_TRUE(component.percentages.empty());
}

TEST_F(ExtractTest, RefusesAnEmptyDestinationOrAMissingArchiveWithOneEventAtZero) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("f.txt", "f")}));
    EXPECT_EQ(Run(""), -1);
    EXPECT_EQ(component.percentages, (std::vector<int>{0}));
    archivePath = folder / "missing.zip";
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(component.percentages, (std::vector<int>{0, 0}));
    EXPECT_FALSE(test::Exists(destination));
}

TEST_F(ExtractTest, RunsWithoutEventsWhenTheComponentIsNotFound) {
    component.found = false;
    ASSERT_TRUE(WriteArchive(archivePath, {File("f.txt", "f")}));
    EXPECT_EQ(Run(), 1);
    EXPECT_TRUE(component.percentages.empty());
    EXPECT_EQ(Read("f.txt"), "f");
}

TEST_F(ExtractTest, StopsAfterTheFirstEntryWhenTheHandlerAnswersFalse) {
    component.stopAfter = 1;
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "a"), File("b.txt", "b"), File("c.txt", "c")}));
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(ListTree(destination), (Names{"a.txt"}));
    EXPECT_EQ(component.percentages, (std::vector<int>{0}));
}

TEST_F(ExtractTest, EndsTheWalkWithOneAtAnEntryWhoseLocalHeaderDisagrees) {
    zipwriter::Entry bad = File("b.txt", "b");
    bad.localMethod = 0;
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "a"), bad, File("c.txt", "c")}));
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(ListTree(destination), (Names{"a.txt"}));
    EXPECT_EQ(component.percentages, (std::vector<int>{0, 100}));
}

TEST_F(ExtractTest, ReplacesFilesOfAnEarlierRun) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "new")}));
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(destination + "\\a.txt", "old and longer"));
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Read("a.txt"), "new");
}

// The table of archives refused before or while walking. Each row: what is wrong, the archive's
// entries and options, and what must be on disk in the destination afterwards.
struct BadArchive {
    const char* fault;
    std::vector<zipwriter::Entry> entries;
    zipwriter::Options options;
    Names left;
    std::vector<int> events;
};

std::vector<BadArchive> MakeBadArchives() {
    std::vector<BadArchive> rows;
    rows.push_back({"FirstHeaderBytes24To27Zero", {File("", "abc"), File("b.txt", "b")}, {}, {}, {0}});
    zipwriter::Options stub;
    stub.stub = std::string(512, 'M');
    rows.push_back({"StubInFront", {File("a.txt", "a")}, stub, {}, {0}});
    zipwriter::Entry truncated = File("big.bin", std::string(300000, 'x') + std::string(300000, 'y'));
    truncated.truncateBy = 100;
    rows.push_back({"TruncatedDeflateStream", {File("a.txt", "a"), truncated, File("c.txt", "c")}, {},
                    {"a.txt"}, {0, 100}});
    zipwriter::Entry wrongCrc = File("w.bin", std::string(20000, 'w'));
    wrongCrc.crc = 0x01020304;
    rows.push_back({"WrongCrc", {File("a.txt", "a"), wrongCrc}, {}, {"a.txt"}, {0, 100}});
    zipwriter::Entry encrypted = File("e.bin", "secret");
    encrypted.flags = 1;
    rows.push_back({"EncryptedEntry", {encrypted, File("b.txt", "b")}, {}, {}, {100}});
    for (const char* name : {"../escaped.txt", "sub/../../escaped.txt", "sub\\..\\..\\escaped.txt",
                             "/escaped.txt", "Z:/escaped.txt", "a.txt:stream", "CON", "nul.txt",
                             "sub/COM1.log", "LPT9"})
        rows.push_back({name, {File("first.txt", "1"), File(name, "evil"), File("last.txt", "z")}, {},
                        {"first.txt"}, {0, 100}});
    return rows;
}

class BadArchives : public ExtractTest, public ::testing::WithParamInterface<BadArchive> {};

TEST_P(BadArchives, GiveZeroAndWriteNothingOutsideTheDestination) {
    const BadArchive& row = GetParam();
    ASSERT_TRUE(WriteArchive(archivePath, row.entries, row.options));
    // The destination sits two levels down so that a name climbing out would land inside the
    // test's own folder, where the listing below would see it.
    destination = folder / "one\\out";
    EXPECT_EQ(Run(), 0);
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
                             std::string name;
                             for (const char* p = info.param.fault; *p; ++p)
                                 name += (std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
                             return name + "_" + std::to_string(info.index);
                         });

TEST_F(ExtractTest, RefusesAFolderAsTheArchive) {
    archivePath = folder / "sub";
    ASSERT_TRUE(CreateDirectoryA(archivePath.c_str(), nullptr));
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(component.percentages, (std::vector<int>{0}));
}

TEST_F(ExtractTest, RefusesAFileShorterThan32Bytes) {
    ASSERT_TRUE(test::WriteWholeFile(archivePath, std::string("PK\x03\x04", 4) + std::string(27, '\x01')));
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(test::IsFolder(destination));  // the destination was made before the test
}

TEST_F(ExtractTest, FailsAnEntryWhosePathWouldReach260Bytes) {
    const std::string base = destination + "\\";
    const std::string fits(259 - base.size(), 'f');
    const std::string tooLong(260 - base.size(), 'g');
    ASSERT_TRUE(WriteArchive(archivePath, {File(fits, "fits"), File(tooLong, "long"), File("after.txt", "a")}));
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(ListTree(destination), (Names{fits}));
}

TEST_F(ExtractTest, FailsAnEntryNameOf260BytesWithoutUsingItCut) {
    const std::string name(300, 'n');
    ASSERT_TRUE(WriteArchive(archivePath, {File(name, "x")}));
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(ListTree(destination).empty());
}

// A read-only file that an earlier run left would block the entry; since no partial file is left
// any more, only a file someone else made read-only does, and that is a failure, not a success.
// An interrupted run leaves its partial files read-only (they are created with the archive's
// attributes); the next extraction must still replace them, or the application could never be
// installed again.
TEST_F(ExtractTest, ReplacesAReadOnlyFileLeftAtAnEntrysPath) {
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "new")}));
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    const std::string existing = destination + "\\a.txt";
    ASSERT_TRUE(test::WriteWholeFile(existing, "old"));
    SetFileAttributesA(existing.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Read("a.txt"), "new");
    EXPECT_FALSE(test::AttributesOf(existing) & FILE_ATTRIBUTE_READONLY);
}

TEST(ZipCarrier, TellsTheHostWhenItsWindowIsDestroyed) {
    static std::vector<std::pair<std::int32_t, std::int32_t>> gone;
    gone.clear();
    ServiceEntry entry;
    entry.componentGone = [](std::int32_t w, std::int32_t c) { gone.emplace_back(w, c); };
    ConnectServices(entry);
    HWND parent = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND carrier = CreateZipCarrier(parent, 1, 2, 3, 4, 0, 7, 9);
    ASSERT_NE(carrier, nullptr);
    const LONG style = GetWindowLongA(carrier, GWL_STYLE);
    EXPECT_EQ(style & (WS_CHILD | WS_CLIPSIBLINGS | WS_BORDER), WS_CHILD | WS_CLIPSIBLINGS | WS_BORDER);
    EXPECT_FALSE(style & WS_VISIBLE);
    char className[64];
    GetClassNameA(carrier, className, sizeof className);
    WNDCLASSA windowClass;
    ASSERT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), className, &windowClass));
    EXPECT_EQ(windowClass.style, UINT{CS_DBLCLKS});
    EXPECT_EQ(windowClass.hCursor, nullptr);
    EXPECT_EQ(windowClass.hbrBackground, nullptr);
    EXPECT_EQ(windowClass.hIcon, nullptr);
    DestroyWindow(parent);
    ConnectServices(ServiceEntry{});
    EXPECT_EQ(gone, (std::vector<std::pair<std::int32_t, std::int32_t>>{{7, 9}}));
}

}  // namespace
