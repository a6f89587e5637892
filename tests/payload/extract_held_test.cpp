// ExtractInto, and what extraction holds: the archive and the destination reached through held
// folders, things planted between two steps of an entry through the test seams, ZIP64 end records.
//
// What Wine 8 cannot show here, and what Windows does by Microsoft's documentation:
// - Wine opens the target of a Unix symbolic link to a folder even with FILE_OPEN_REPARSE_POINT;
//   only listings and GetFileAttributes show the link (0x410). The extraction takes the listing's
//   word, so a link on an entry's way fails the entry under Wine too. On Windows the open gets the
//   link itself ("If FILE_OPEN_REPARSE_POINT is specified, the reparse point is opened as itself",
//   NtCreateFile), which the handle shows with FILE_ATTRIBUTE_REPARSE_POINT, and RemoveChild deletes
//   such a link where a file belongs: the tests accept both outcomes where they differ, and in both
//   nothing behind the link changes.
// - A held folder cannot be renamed, so no link can take its place while an entry is made in it:
//   the hold shares read and write but not delete, and a rename opens its source for delete access
//   ("If this flag [FILE_SHARE_DELETE] is not specified, but the file has been opened for delete
//   access, the function fails", CreateFile). Windows applies sharing only to opens that ask for
//   data access, which list-directory is for a folder. Measured here, Wine 8 refuses that rename
//   too (ERROR_SHARING_VIOLATION), although it keeps no sharing for a folder opened for its
//   attributes alone: TheHeldFolderCannotBeRenamedWhileAnEntryIsMadeInIt shows it.
// - A Unix symbolic link to a file is invisible to Wine (listed as a plain file with the target's id;
//   deleting it deletes the target), so no test plants one: on Windows a file symbolic link is opened
//   as itself under FILE_OPEN_REPARSE_POINT and deleted as a link.
// - Wine makes no junctions; a Unix folder link stands in for both kinds of folder link.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "base/held_folder.h"
#include "payload/fresh_file.h"
#include "payload/zip_component.h"
#include "tests/payload/extract_fixture.h"

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

std::wstring Wide(const std::string& ansi) {
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide, MAX_PATH);
    return wide;
}

std::string Contents(const std::string& path) {
    std::string bytes;
    EXPECT_TRUE(test::ReadWholeFile(path, bytes)) << path;
    return bytes;
}

class HeldExtractTest : public ::testing::Test {
protected:
    test::TempFolder folder{"held-extract"};
    test::TempFolder outside{"outside"};
    std::string archivePath = folder / "a.zip";
    std::string destination = folder / "out";
    ConnectedComponent component;
    std::vector<std::string> links;

    void TearDown() override {
        for (const std::string& link : links)
            RemoveFolderLink(link);
    }
    HeldFolder Hold(const std::string& path) {
        HeldFolder held = HoldFolderPath(Wide(path).c_str());
        EXPECT_TRUE(held) << path << " " << GetLastError();
        return held;
    }
    bool PlantLink(const std::string& at) {
        links.push_back(at);
        return MakeFolderLink(outside.path(), at);
    }
    std::vector<zipwriter::Entry> Application() {
        return {Folder("Velkar/"), File("Velkar/Velkar.exe", "application"), Folder("Velkar/data/"),
                File("Velkar/data/settings.ini", "new settings")};
    }
};

// --- ExtractInto ----------------------------------------------------------------------------------

TEST_F(HeldExtractTest, ExtractIntoUnpacksBelowTheHeldFolderFromAnArchiveItHolds) {
    const std::string archiveName = "\xCC\xB4\xCF\xAA.zip";  // 檀溪.zip
    ASSERT_TRUE(WriteArchive(folder / archiveName, Application()));
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    HeldFolder archiveFolder = Hold(folder.path());
    HeldFolder held = Hold(destination);
    EXPECT_EQ(ExtractInto(kWindowId, kComponentId, archiveFolder.get(), Wide(archiveName).c_str(), held.get()), 1);
    EXPECT_EQ(ListTree(destination),
              (Names{"Velkar\\", "Velkar\\Velkar.exe", "Velkar\\data\\", "Velkar\\data\\settings.ini"}));
    EXPECT_EQ(Contents(destination + "\\Velkar\\data\\settings.ini"), "new settings");
    EXPECT_EQ(component.percentages, (std::vector<int>{0, 25, 50, 75, 100}));
    // The archive was shared for reading only while it was read, and is closed now.
    EXPECT_TRUE(DeleteFileA((folder / archiveName).c_str()));
}

TEST_F(HeldExtractTest, ExtractIntoTellsAMissingArchiveFromOneThatIsNoPlainFile) {
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((folder / "sub.zip").c_str(), nullptr));
    ASSERT_TRUE(WriteArchive(outside / "a.zip", {File("a.txt", "outside")}));
    ASSERT_TRUE(PlantLink(folder / "link.zip"));
    HeldFolder archiveFolder = Hold(folder.path());
    HeldFolder held = Hold(destination);
    auto run = [&](const wchar_t* name) {
        return ExtractInto(kWindowId, kComponentId, archiveFolder.get(), name, held.get());
    };
    EXPECT_EQ(ExtractInto(kWindowId, kComponentId, nullptr, L"a.zip", held.get()), -1);
    EXPECT_EQ(ExtractInto(kWindowId, kComponentId, archiveFolder.get(), L"a.zip", INVALID_HANDLE_VALUE), -1);
    EXPECT_EQ(run(nullptr), -1);
    EXPECT_TRUE(component.percentages.empty());
    EXPECT_EQ(run(L""), -1);
    EXPECT_EQ(run(L"missing.zip"), -1);
    EXPECT_EQ(run(L"sub.zip"), 0);
    EXPECT_EQ(run(L"link.zip"), 0);
    EXPECT_EQ(run(L"..\\out\\a.zip"), 0) << "one name, relative to the held folder";
    EXPECT_EQ(component.percentages, (std::vector<int>(5, 0)));
    EXPECT_TRUE(ListTree(destination).empty());
}

// The 260-byte limit of an entry's whole path counts from the held folder's path as the system
// names it, as Extract counts from the destination's path.
TEST_F(HeldExtractTest, ExtractIntoFailsAnEntryWhosePathWouldReach260Bytes) {
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    const std::string base = destination + "\\";
    const std::string fits(259 - base.size(), 'f');
    const std::string tooLong(260 - base.size(), 'g');
    ASSERT_TRUE(WriteArchive(archivePath, {File(fits, "fits"), File(tooLong, "long"), File("after.txt", "a")}));
    HeldFolder archiveFolder = Hold(folder.path());
    HeldFolder held = Hold(destination);
    EXPECT_EQ(ExtractInto(kWindowId, kComponentId, archiveFolder.get(), L"a.zip", held.get()), 0);
    EXPECT_EQ(ListTree(destination), (Names{fits}));
}

// --- ZIP64 end records ---------------------------------------------------------------------------
// minizip takes a ZIP64 end record where it finds one and cuts its 64-bit count to 32 bits: a count
// of 2^32 + 1 read as 1, and one of 2^31 read as a negative count, which extracted nothing and gave 1.

class Zip64EndRecords : public HeldExtractTest, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(Zip64EndRecords, GiveZeroAndWriteNothing) {
    zipwriter::Options options;
    options.zip64EntryCount = GetParam();
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "a")}, options));
    EXPECT_EQ(Extract(kWindowId, kComponentId, archivePath.c_str(), destination.c_str()), 0);
    EXPECT_TRUE(ListTree(destination).empty());
    EXPECT_EQ(component.percentages, (std::vector<int>{0}));
}

INSTANTIATE_TEST_SUITE_P(Counts, Zip64EndRecords,
                         ::testing::Values(1u, 0x7FFFFFFFu, 0x80000000u, 0x100000001u, 0xFFFFFFFFFFFFFFFFu));

// --- Things planted between two steps of an entry --------------------------------------------------

enum class Plant { HardLinkToOutside, FolderLinkToOutside, PlainFile };

std::string PlantName(const ::testing::TestParamInfo<Plant>& info) {
    switch (info.param) {
    case Plant::HardLinkToOutside:
        return "HardLinkToOutside";
    case Plant::FolderLinkToOutside:
        return "FolderLinkToOutside";
    default:
        return "PlainFile";
    }
}

std::function<void(const std::wstring&)> onNameCleared;
std::function<void(const std::wstring&)> onFolderHeld;
void CallOnNameCleared(const wchar_t* name) {
    if (onNameCleared)
        onNameCleared(name);
}
void CallOnFolderHeld(const wchar_t* name) {
    if (onFolderHeld)
        onFolderHeld(name);
}

class Planted : public HeldExtractTest, public ::testing::WithParamInterface<Plant> {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::WriteWholeFile(outside / "victim.txt", "outside bytes"));
        ASSERT_TRUE(WriteArchive(archivePath, Application()));
        SetNameClearedHook(CallOnNameCleared);
        SetEntryFolderHeldHook(CallOnFolderHeld);
    }
    void TearDown() override {
        SetNameClearedHook(nullptr);
        SetEntryFolderHeldHook(nullptr);
        onNameCleared = nullptr;
        onFolderHeld = nullptr;
        HeldExtractTest::TearDown();
    }
    // Plants the parameter's kind of thing at `path`, once; answers whether it is there.
    void PlantAt(const std::string& path) {
        if (planted_)
            return;
        planted_ = true;
        switch (GetParam()) {
        case Plant::HardLinkToOutside:
            EXPECT_TRUE(CreateHardLinkA(path.c_str(), (outside / "victim.txt").c_str(), nullptr)) << GetLastError();
            break;
        case Plant::FolderLinkToOutside:
            EXPECT_TRUE(PlantLink(path));
            break;
        case Plant::PlainFile:
            EXPECT_TRUE(test::WriteWholeFile(path, "planted"));
            break;
        }
    }
    std::int32_t Run() { return Extract(kWindowId, kComponentId, archivePath.c_str(), destination.c_str()); }
    // Nothing outside changed: the victim keeps its bytes and nothing was added beside it.
    void ExpectOutsideUntouched() {
        EXPECT_EQ(Contents(outside / "victim.txt"), "outside bytes");
        EXPECT_EQ(ListTree(outside.path()), (Names{"victim.txt"}));
    }
    bool planted_ = false;
};

// Between the removal of what stood at a file's name and the creation of the file, whatever appears
// there makes the creation fail (the file is created only where nothing stands): the entry fails
// and nothing is written into or through what was planted.
TEST_P(Planted, AfterTheNameWasClearedFailsTheEntry) {
    const std::string at = destination + "\\Velkar\\data\\settings.ini";
    onNameCleared = [&](const std::wstring& name) {
        if (name == L"settings.ini")
            PlantAt(at);
    };
    EXPECT_EQ(Run(), 0);
    ExpectOutsideUntouched();
    if (GetParam() == Plant::PlainFile) {
        EXPECT_EQ(Contents(at), "planted");
    }
    EXPECT_EQ(Contents(destination + "\\Velkar\\Velkar.exe"), "application");
}

// Inside a held folder, a file's name taken by a hard link or a file is cleared as a name and the
// file made new (1), the file elsewhere keeping its bytes. A folder link there is removed as a link
// where the system opens it as itself (Windows); Wine opens its target, so there it stays and the
// entry fails. Either way nothing behind it changes.
TEST_P(Planted, InTheHeldFolderAtAFilesNameIsClearedAsAName) {
    const std::string at = destination + "\\Velkar\\data\\settings.ini";
    onFolderHeld = [&](const std::wstring& name) {
        if (name == L"data")
            PlantAt(at);
    };
    const std::int32_t result = Run();
    const bool linkStayed = GetParam() == Plant::FolderLinkToOutside && test::Exists(at + "\\victim.txt");
    EXPECT_EQ(result, linkStayed ? 0 : 1);
    ExpectOutsideUntouched();
    if (!linkStayed) {
        EXPECT_EQ(Contents(at), "new settings");
    }
}

// Where a folder belongs, anything planted (a file, a hard link, a link to a folder elsewhere)
// fails the entry, and nothing goes behind it.
TEST_P(Planted, InTheHeldFolderAtAFoldersNameFailsTheEntry) {
    const std::string at = destination + "\\Velkar\\data";
    onFolderHeld = [&](const std::wstring& name) {
        if (name == L"Velkar")
            PlantAt(at);
    };
    EXPECT_EQ(Run(), 0);
    ExpectOutsideUntouched();
}

INSTANTIATE_TEST_SUITE_P(Kinds, Planted,
                         ::testing::Values(Plant::HardLinkToOutside, Plant::FolderLinkToOutside, Plant::PlainFile),
                         PlantName);

// The folder an entry is made in is held while it is used: renaming it away (to put a link in its
// place) is refused, and the entry's file goes into it. Were the rename let through, the file would
// still go into the held folder wherever it went, never through a link at its old name.
TEST_F(HeldExtractTest, TheHeldFolderCannotBeRenamedWhileAnEntryIsMadeInIt) {
    // One entry: the folder is held for that entry's steps alone.
    ASSERT_TRUE(WriteArchive(archivePath, {File("Velkar/data/settings.ini", "new settings")}));
    const std::string data = destination + "\\Velkar\\data", moved = destination + "\\moved";
    // A folder beside it, not held, can be renamed at the same moment: the refusal is the hold's.
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((destination + "\\Velkar").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((destination + "\\Velkar\\other").c_str(), nullptr));
    bool tried = false, renamed = false, otherRenamed = false;
    DWORD error = 0;
    onFolderHeld = [&](const std::wstring& name) {
        if (name != L"data" || tried)
            return;
        tried = true;
        renamed = MoveFileA(data.c_str(), moved.c_str()) != FALSE;
        error = GetLastError();
        otherRenamed = MoveFileA((destination + "\\Velkar\\other").c_str(), (destination + "\\other").c_str()) != FALSE;
        if (renamed) {
            EXPECT_TRUE(PlantLink(data));
        }
    };
    SetEntryFolderHeldHook(CallOnFolderHeld);
    const std::int32_t result = Extract(kWindowId, kComponentId, archivePath.c_str(), destination.c_str());
    SetEntryFolderHeldHook(nullptr);
    onFolderHeld = nullptr;
    EXPECT_TRUE(tried);
    EXPECT_TRUE(otherRenamed);
    EXPECT_FALSE(renamed);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(ListTree(outside.path()).empty());
    EXPECT_EQ(Contents((renamed ? moved : data) + "\\settings.ini"), "new settings");
}

}  // namespace
