// ExtractInto, and what extraction holds: the archive and the destination reached through held
// folders, things planted between two steps of an entry through the test seams, ZIP64 end records.
//
// What Wine 8 cannot show here, and what Windows does by Microsoft's documentation:
// - Wine opens the target of a Unix symbolic link to a folder even with FILE_OPEN_REPARSE_POINT;
//   only listings and GetFileAttributes show the link (0x410). The extraction takes the listing's
//   word, so a link on an entry's way fails the entry under Wine too. On Windows the open gets the
//   link itself ("If FILE_OPEN_REPARSE_POINT is specified, the reparse point is opened as itself",
//   NtCreateFile), which the handle shows with FILE_ATTRIBUTE_REPARSE_POINT, and RemoveNamedChild deletes
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
#include <type_traits>
#include <vector>

#include "base/held_folder.h"
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

// The destination must be a held folder: a handle opened any other way does not compile there.
static_assert(
    !std::is_invocable_v<decltype(ExtractInto)&, std::int32_t, std::int32_t, FileHandle, HANDLE, KeptEntries*>);

namespace {

using test::Wide;

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
    // The archive as the launcher hands it over: a handle open for reading, shared for reading only.
    FileHandle OpenForReading(const std::string& path) {
        FileHandle file{CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr)};
        EXPECT_TRUE(file) << path << " " << GetLastError();
        return file;
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
    HeldFolder held = Hold(destination);
    EXPECT_EQ(ExtractInto(kWindowId, kComponentId, OpenForReading(folder / archiveName), held), kExtractDone);
    EXPECT_EQ(ListTree(destination),
              (Names{"Velkar\\", "Velkar\\Velkar.exe", "Velkar\\data\\", "Velkar\\data\\settings.ini"}));
    EXPECT_EQ(Contents(destination + "\\Velkar\\data\\settings.ini"), "new settings");
    EXPECT_EQ(component.percentages, (std::vector<int>{0, 25, 50, 75, 100}));
    // The archive's handle was taken over, and is closed now.
    EXPECT_TRUE(DeleteFileA((folder / archiveName).c_str()));
}

TEST_F(HeldExtractTest, ExtractIntoTellsAnAbsentHandleFromAFileThatIsNoArchive) {
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(folder / "not.zip", std::string(64, 'n')));
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "a")}));
    HeldFolder held = Hold(destination);
    EXPECT_EQ(ExtractInto(kWindowId, kComponentId, FileHandle{}, held), kExtractBadArguments);
    EXPECT_EQ(ExtractInto(kWindowId, kComponentId, OpenForReading(archivePath), HeldFolder{}), kExtractBadArguments);
    EXPECT_TRUE(component.percentages.empty());
    EXPECT_EQ(ExtractInto(kWindowId, kComponentId, OpenForReading(folder / "not.zip"), held), kExtractFailed);
    EXPECT_EQ(component.percentages, (std::vector<int>{0}));
    EXPECT_TRUE(ListTree(destination).empty());
}

// The handle may stand anywhere in the file (the launcher has just written through it): it is rewound.
TEST_F(HeldExtractTest, ExtractIntoReadsTheArchiveFromItsStartWhereverTheHandleStands) {
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    ASSERT_TRUE(WriteArchive(archivePath, {File("a.txt", "a")}));
    FileHandle archive = OpenForReading(archivePath);
    ASSERT_NE(SetFilePointer(archive.get(), 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    HeldFolder held = Hold(destination);
    EXPECT_EQ(ExtractInto(kWindowId, kComponentId, std::move(archive), held), kExtractDone);
    EXPECT_EQ(ListTree(destination), (Names{"a.txt"}));
}

// The 260-byte limit of an entry's whole path counts from the held folder's path as the system
// names it, as Extract counts from the destination's path.
TEST_F(HeldExtractTest, ExtractIntoFailsAnEntryWhosePathWouldReach260Bytes) {
    ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
    const std::string base = destination + "\\";
    const std::string fits(259 - base.size(), 'f');
    const std::string tooLong(260 - base.size(), 'g');
    ASSERT_TRUE(WriteArchive(archivePath, {File(fits, "fits"), File(tooLong, "long"), File("after.txt", "a")}));
    HeldFolder held = Hold(destination);
    EXPECT_EQ(ExtractInto(kWindowId, kComponentId, OpenForReading(archivePath), held), kExtractFailed);
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
    EXPECT_EQ(Extract(kWindowId, kComponentId, archivePath.c_str(), destination.c_str()), kExtractFailed);
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
std::function<void(const std::wstring&)> onFileWritten;
void AtStep(DiskStep step, HANDLE, const wchar_t* name) {
    if (step == DiskStep::NameCleared && onNameCleared)
        onNameCleared(name);
    else if (step == DiskStep::WayFolderHeld && onFolderHeld)
        onFolderHeld(name);
    else if (step == DiskStep::FileWritten && onFileWritten)
        onFileWritten(name);
}

class Planted : public HeldExtractTest, public ::testing::WithParamInterface<Plant> {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::WriteWholeFile(outside / "victim.txt", "outside bytes"));
        ASSERT_TRUE(WriteArchive(archivePath, Application()));
        SetDiskSeam(AtStep);
    }
    void TearDown() override {
        SetDiskSeam(nullptr);
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
    EXPECT_EQ(Run(), kExtractFailed);
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
    EXPECT_EQ(Run(), kExtractFailed);
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
    SetDiskSeam(AtStep);
    const std::int32_t result = Extract(kWindowId, kComponentId, archivePath.c_str(), destination.c_str());
    SetDiskSeam(nullptr);
    onFolderHeld = nullptr;
    EXPECT_TRUE(tried);
    EXPECT_TRUE(otherRenamed);
    EXPECT_FALSE(renamed);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(result, kExtractDone);
    EXPECT_TRUE(ListTree(outside.path()).empty());
    EXPECT_EQ(Contents((renamed ? moved : data) + "\\settings.ini"), "new settings");
}

// --- What the extraction keeps for its caller -------------------------------------------------------
// The launcher asks for Velkar\ and Velkar\Velkar.exe held from their making to the start. What Wine
// cannot show here: that Windows' own image open, which asks execute access and shares read and delete,
// is compatible with the kept handle (read access, read sharing: CreateFile's sharing table), so the
// kept file still starts; the launcher's end-to-end tests start it through the held handle.

class KeptByExtraction : public HeldExtractTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
        ASSERT_TRUE(WriteArchive(archivePath, Application()));
        kept.folderName = L"velkar";  // in any case
        kept.fileName = L"VELKAR.EXE";
        SetDiskSeam(AtStep);
    }
    void TearDown() override {
        SetDiskSeam(nullptr);
        onFileWritten = nullptr;
        HeldExtractTest::TearDown();
    }
    std::int32_t Run() {
        HeldFolder held = Hold(destination);
        return ExtractInto(kWindowId, kComponentId, OpenForReading(archivePath), held, &kept);
    }
    KeptEntries kept;
};

TEST_F(KeptByExtraction, HandsBackTheFolderAndTheFileHeldSoThatNobodyCanChangeThem) {
    EXPECT_EQ(Run(), kExtractDone);
    ASSERT_TRUE(kept.folder);
    ASSERT_TRUE(kept.file);
    char bytes[32] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(kept.file.get(), bytes, sizeof bytes, &got, nullptr));
    EXPECT_EQ(std::string(bytes, got), "application");
    const std::string program = destination + "\\Velkar\\Velkar.exe";
    EXPECT_FALSE(FileHandle(CreateFileA(program.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr)))
        << "written into while kept";
    EXPECT_FALSE(DeleteFileA(program.c_str()));
    EXPECT_FALSE(MoveFileA((destination + "\\Velkar").c_str(), (destination + "\\moved").c_str()));
    // Reading it, as the system's image open does, is let through.
    EXPECT_TRUE(FileHandle(CreateFileA(program.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, 0, nullptr)));
    kept.file.reset();
    kept.folder.reset();
    EXPECT_TRUE(DeleteFileA(program.c_str()));
}

// Another file put at the program's name between its writing handle's close and the check: it is not
// the file written (another id), so nothing is kept and the entry fails. And the same file written in
// place with other bytes of the same length: the id matches, the CRC-32 does not.
TEST_F(KeptByExtraction, KeepsNothingWhenTheProgramWasReplacedOrRewrittenAfterItsWriting) {
    const std::string program = destination + "\\Velkar\\Velkar.exe";
    for (const bool replace : {true, false}) {
        onFileWritten = [&](const std::wstring& name) {
            if (name != L"Velkar.exe")
                return;
            if (replace) {
                EXPECT_TRUE(DeleteFileA(program.c_str()));
                EXPECT_TRUE(test::WriteWholeFile(program, "attacker's"));
            } else {
                FileHandle file{CreateFileA(program.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)};
                DWORD written = 0;
                EXPECT_TRUE(WriteFile(file.get(), "APPLICATION", 11, &written, nullptr));
            }
        };
        kept.file.reset();
        kept.folder.reset();
        EXPECT_EQ(Run(), 0) << (replace ? "replaced" : "rewritten in place");
        EXPECT_FALSE(kept.file) << (replace ? "replaced" : "rewritten in place");
    }
}

// With a security descriptor the folder must be made new: a folder already there (another run's, or
// planted) fails its entries, and nothing is kept.
TEST_F(KeptByExtraction, MakesTheFolderNewWhenGivenASecurityDescriptor) {
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    kept.folderSecurity = &descriptor;
    EXPECT_EQ(Run(), kExtractDone);
    EXPECT_TRUE(kept.file);
    kept.file.reset();
    kept.folder.reset();
    EXPECT_EQ(Run(), 0) << "the folder the first run made stands there now";
    EXPECT_FALSE(kept.file);
    EXPECT_FALSE(kept.folder);
}

// A second entry of the program's name finds the first held: it fails, and the first stays kept.
TEST_F(KeptByExtraction, ASecondEntryOfTheProgramsNameFailsAndTheFirstStaysKept) {
    ASSERT_TRUE(WriteArchive(archivePath, {Folder("Velkar/"), File("Velkar/Velkar.exe", "application"),
                                           File("Velkar/velkar.exe", "second")}));
    EXPECT_EQ(Run(), kExtractFailed);
    ASSERT_TRUE(kept.file);
    char bytes[32] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(kept.file.get(), bytes, sizeof bytes, &got, nullptr));
    EXPECT_EQ(std::string(bytes, got), "application");
}

}  // namespace
