// Folders held open and their children reached relative to them, on real folders under Wine.
#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <type_traits>
#include <vector>

#include "base/held_folder.h"
#include "tests/support/test_support.h"

namespace {

using test::Quoted;

using test::Wide;

bool MakeLink(const std::string& target, const std::string& link) {
    if (!test::RunUnix("Z:\\bin\\ln -s " + Quoted(test::UnixPath(target)) + " " + Quoted(test::UnixPath(link))))
        return false;
    return test::WaitUntil([&] { return test::Exists(link); }, 5000);
}

// The access the system granted on `handle`, as the object manager records it.
ACCESS_MASK GrantedAccess(HANDLE handle) {
    struct {
        ULONG attributes;
        ACCESS_MASK grantedAccess;
        ULONG rest[12];
    } basic{};
    ULONG length = 0;
    if (NtQueryObject(handle, static_cast<OBJECT_INFORMATION_CLASS>(0), &basic, sizeof basic, &length) < 0)
        return 0;
    return basic.grantedAccess;
}

class HeldFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        held_ = HoldFolderPath(Wide(root_.path()).c_str());
        ASSERT_TRUE(held_) << GetLastError();
    }
    test::TempFolder root_{"held"};
    HeldFolder held_;
};

}  // namespace

TEST_F(HeldFolderTest, HoldsWithListAccessSoThatSharingApplies) {
    // Windows applies sharing only to opens that ask for data access (list-directory is read data
    // for a folder); one that asks for attributes alone would not stop a rename of the folder.
    const ACCESS_MASK granted = GrantedAccess(held_.get());
    EXPECT_NE(granted & FILE_LIST_DIRECTORY, 0u) << std::hex << granted;
    EXPECT_NE(granted & FILE_TRAVERSE, 0u) << std::hex << granted;
    EXPECT_EQ(granted & DELETE, 0u) << std::hex << granted;
}

TEST_F(HeldFolderTest, CreatesFoldersAndFilesByNameAndListsThemInUtf16) {
    bool created = false;
    HeldFolder sub = HoldChildFolder(held_, L"sub", true, &created);
    ASSERT_TRUE(sub);
    EXPECT_TRUE(created);
    HeldFolder again = HoldChildFolder(held_, L"SUB", true, &created);
    ASSERT_TRUE(again) << "a second hold of the same folder, in another case";
    EXPECT_FALSE(created);

    // Names the ANSI code page 936 cannot spell: Korean, an e with diaeresis, an emoji, and the
    // fullwidth backslash that an ANSI listing would give back as "\".
    const wchar_t* names[] = {L"\xD55C\xAD6D\xC5B4.txt", L"Zo\x00EB.txt", L"\xD83D\xDE00.txt", L"x\xFF3C..\xFF3C"};
    for (const wchar_t* name : names) {
        ChildHandle file = CreateChildFile(sub, name, GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL);
        ASSERT_TRUE(file) << GetLastError();
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), "ab", 2, &written, nullptr));
    }
    GrowingTable<FolderEntry> entries;
    ASSERT_TRUE(ListEntries(sub, entries));
    ASSERT_EQ(entries.size(), 4u);
    for (const wchar_t* name : names) {
        bool seen = false;
        for (const FolderEntry& entry : entries)
            seen = seen || std::wstring(entry.name.c_str()) == name;
        EXPECT_TRUE(seen);
    }
    // The fullwidth name made no folder "x" and nothing outside this one.
    EXPECT_FALSE(test::Exists(root_ / "sub\\x"));
}

// Only the holding functions make a held folder: a handle opened another way does not compile where
// a held folder must stand.
static_assert(!std::is_constructible_v<HeldFolder, FileHandle>);
static_assert(!std::is_constructible_v<HeldFolder, HANDLE>);
static_assert(!std::is_assignable_v<HeldFolder&, ChildHandle>);
static_assert(!std::is_invocable_v<decltype(RemoveFolderBelow)&, HANDLE, const wchar_t*, bool, DWORD>);
static_assert(!std::is_invocable_v<decltype(HoldChildFolder)&, HANDLE, const wchar_t*, bool, bool*>);
static_assert(!std::is_invocable_v<decltype(CreateFreshChildFile)&, const ChildHandle&, const wchar_t*, bool, DWORD,
                                   DWORD, DWORD>);
static_assert(!std::is_invocable_v<decltype(ListEntries)&, HANDLE, GrowingTable<FolderEntry>&>);
static_assert(std::is_invocable_v<decltype(ListEntries)&, const HeldFolder&, GrowingTable<FolderEntry>&>);
static_assert(!std::is_copy_constructible_v<HeldFolder>);

TEST_F(HeldFolderTest, ADuplicateHoldsTheSameFolderAfterTheFirstIsLetGo) {
    HeldFolder sub = HoldChildFolder(held_, L"sub", true);
    ASSERT_TRUE(sub);
    HeldFolder copy = sub.Duplicate();
    ASSERT_TRUE(copy);
    FileFacts first, second;
    ASSERT_TRUE(ReadFileFacts(sub.get(), first));
    sub.reset();
    ASSERT_TRUE(ReadFileFacts(copy.get(), second));
    EXPECT_EQ(second.fileId, first.fileId);
    EXPECT_EQ(GrantedAccess(copy.get()) & DELETE, 0u) << "held as the first was";
    EXPECT_FALSE(MoveFileA((root_ / "sub").c_str(), (root_ / "moved").c_str())) << "still held";
    EXPECT_FALSE(HeldFolder{}.Duplicate());
}

// The two readings of a handle agree on what both read; only the full one counts a file's names.
TEST_F(HeldFolderTest, ReadsTheSameAttributesAndIdEitherWayAndTheNamesOnlyInFull) {
    ASSERT_TRUE(test::WriteWholeFile(root_ / "one.txt", "1"));
    ASSERT_TRUE(CreateHardLinkA((root_ / "two.txt").c_str(), (root_ / "one.txt").c_str(), nullptr));
    ChildHandle file = OpenChildFile(held_, L"one.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_TRUE(file);
    for (HANDLE handle : {file.get(), held_.get()}) {
        FileFacts full, light;
        ASSERT_TRUE(ReadFileFacts(handle, full));
        ASSERT_TRUE(ReadAttributesAndId(handle, light));
        EXPECT_EQ(light.attributes, full.attributes);
        EXPECT_EQ(light.fileId, full.fileId);
        EXPECT_NE(full.fileId, 0u);
        EXPECT_EQ(light.links, 0u);
    }
    FileFacts facts;
    ASSERT_TRUE(ReadFileFacts(file.get(), facts));
    EXPECT_EQ(facts.links, 2u);
    EXPECT_FALSE(ReadFileFacts(INVALID_HANDLE_VALUE, facts));
}

TEST_F(HeldFolderTest, RefusesNamesThatReachPastTheFolder) {
    for (const wchar_t* name : {L"", L".", L"..", L"a\\b", L"a/b", L"..\\x", L"a:stream", L"C:"}) {
        EXPECT_FALSE(HoldChildFolder(held_, name, true)) << name;
        EXPECT_FALSE(CreateChildFile(held_, name, GENERIC_WRITE, 0, 0)) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    }
    GrowingTable<FolderEntry> entries;
    ASSERT_TRUE(ListEntries(held_, entries));
    EXPECT_EQ(entries.size(), 0u);
}

TEST_F(HeldFolderTest, CreatesAFileOnlyWhereNothingStands) {
    ASSERT_TRUE(test::WriteWholeFile(root_ / "there.txt", "old"));
    EXPECT_FALSE(CreateChildFile(held_, L"there.txt", GENERIC_WRITE, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    std::string bytes;
    ASSERT_TRUE(test::ReadWholeFile(root_ / "there.txt", bytes));
    EXPECT_EQ(bytes, "old");
    // A folder is no file, and a file no folder.
    ASSERT_TRUE(CreateDirectoryA((root_ / "dir").c_str(), nullptr));
    EXPECT_FALSE(OpenChildFile(held_, L"dir", GENERIC_READ, FILE_SHARE_READ));
    EXPECT_FALSE(HoldChildFolder(held_, L"there.txt", true));
}

TEST_F(HeldFolderTest, RemovesFilesFoldersAndReadOnlyFilesOnlyWhenAsked) {
    ASSERT_TRUE(test::WriteWholeFile(root_ / "plain.txt", "1"));
    ASSERT_TRUE(test::WriteWholeFile(root_ / "ro.txt", "2"));
    ASSERT_TRUE(SetFileAttributesA((root_ / "ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CreateDirectoryA((root_ / "empty").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((root_ / "full").c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(root_ / "full\\f", "3"));

    EXPECT_TRUE(RemoveNamedChild(held_, L"plain.txt", false));
    EXPECT_FALSE(test::Exists(root_ / "plain.txt"));
    EXPECT_FALSE(RemoveNamedChild(held_, L"ro.txt", false));
    EXPECT_TRUE(test::Exists(root_ / "ro.txt"));
    EXPECT_NE(test::AttributesOf(root_ / "ro.txt") & FILE_ATTRIBUTE_READONLY, 0u) << "the mark stays";
    EXPECT_TRUE(RemoveNamedChild(held_, L"ro.txt", true));
    EXPECT_FALSE(test::Exists(root_ / "ro.txt"));
    EXPECT_TRUE(RemoveNamedChild(held_, L"empty", false));
    EXPECT_FALSE(test::Exists(root_ / "empty"));
    EXPECT_FALSE(RemoveNamedChild(held_, L"full", false));
    EXPECT_TRUE(test::Exists(root_ / "full\\f"));
    EXPECT_TRUE(RemoveNamedChild(held_, L"missing", false)) << "nothing there is no failure";
}

TEST_F(HeldFolderTest, KeepsAReadOnlyFileThatSharesItsDataWithAnotherName) {
    ASSERT_TRUE(test::WriteWholeFile(root_ / "outside.txt", "keep"));
    ASSERT_TRUE(CreateHardLinkA((root_ / "inside.txt").c_str(), (root_ / "outside.txt").c_str(), nullptr));
    ASSERT_TRUE(SetFileAttributesA((root_ / "inside.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(RemoveNamedChild(held_, L"inside.txt", true));
    EXPECT_NE(test::AttributesOf(root_ / "outside.txt") & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(HeldFolderTest, NeverEntersOrRemovesThroughAFolderLink) {
    // Windows opens a junction or symbolic link as itself under FILE_OPEN_REPARSE_POINT, and the
    // handle shows FILE_ATTRIBUTE_REPARSE_POINT. Wine 8 opens a Unix link's target whatever the flags
    // and shows the link only in listings (0x410): what is tested here is that the listing's word is
    // taken, so that nothing is created in, or deleted from, the folder the link leads to.
    test::TempFolder outside{"target"};
    ASSERT_TRUE(test::WriteWholeFile(outside / "victim.txt", "keep"));
    ASSERT_TRUE(MakeLink(outside.path(), root_ / "link"));

    GrowingTable<FolderEntry> entries;
    ASSERT_TRUE(ListEntries(held_, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    EXPECT_FALSE(HoldChildFolder(held_, L"link", true));
    EXPECT_FALSE(HoldChildFolder(held_, L"link", false));
    EXPECT_FALSE(RemoveNamedChild(held_, L"link", true)) << "the platform opened the target: the link stays";
    std::string bytes;
    EXPECT_TRUE(test::ReadWholeFile(outside / "victim.txt", bytes));
    EXPECT_EQ(bytes, "keep");
    EXPECT_TRUE(test::RunUnix("Z:\\bin\\rm -f " + Quoted(test::UnixPath(root_ / "link"))));
    test::WaitUntil([&] { return !test::Exists(root_ / "link"); }, 5000);
}

TEST(HoldFolderPath, RefusesALinkOrAFileButFollowsLinksAboveTheFolder) {
    test::TempFolder root{"hold"};
    test::TempFolder outside{"target"};
    ASSERT_TRUE(CreateDirectoryA((outside / "inner").c_str(), nullptr));
    ASSERT_TRUE(MakeLink(outside.path(), root / "link"));
    ASSERT_TRUE(test::WriteWholeFile(root / "file", "x"));

    EXPECT_FALSE(HoldFolderPath(Wide(root / "link").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REPARSE_POINT_ENCOUNTERED));
    EXPECT_FALSE(HoldFolderPath(Wide(root / "file").c_str()));
    EXPECT_FALSE(HoldFolderPath(Wide(root / "missing").c_str()));
    EXPECT_TRUE(HoldFolderPath(Wide(root / "link\\inner").c_str())) << "a link above the folder is followed";
    EXPECT_TRUE(HoldFolderPath(Wide(root / "link").c_str(), true)) << "followed when the caller says so";
    test::RunUnix("Z:\\bin\\rm -f " + Quoted(test::UnixPath(root / "link")));
    test::WaitUntil([&] { return !test::Exists(root / "link"); }, 5000);
}

// The clean-up keeps read-only files and the folders above them; a tree being replaced loses them too.
TEST_F(HeldFolderTest, RemovesATreeWithItsReadOnlyFilesOnlyWhenReplacingIt) {
    ASSERT_TRUE(CreateDirectoryA((root_ / "tree").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((root_ / "tree\\sub").c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(root_ / "tree\\sub\\kept.bin", "kept"));
    ASSERT_TRUE(test::WriteWholeFile(root_ / "tree\\plain.txt", "plain"));
    ASSERT_TRUE(SetFileAttributesA((root_ / "tree\\sub\\kept.bin").c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_FALSE(RemoveFolderBelow(held_, L"tree"));
    EXPECT_TRUE(test::Exists(root_ / "tree\\sub\\kept.bin"));
    EXPECT_FALSE(test::Exists(root_ / "tree\\plain.txt"));

    EXPECT_TRUE(RemoveFolderBelow(held_, L"tree", true));
    EXPECT_FALSE(test::Exists(root_ / "tree"));
}

// A short (8.3) alias opens the entry it stands for; RemoveNamedChild removes only an entry whose exact name
// the listing shows, so an alias handed to it (VELKAR~1.EXE for another file of the tree) removes
// nothing. Wine makes up short names for long ones; where it gives none, only the exact name is tried.
TEST_F(HeldFolderTest, RemovesOnlyTheEntryOfTheExactNameNotOneAShortAliasOpens) {
    const std::string longName = root_ / "VelkarUpdaterHelper.exe";
    ASSERT_TRUE(test::WriteWholeFile(longName, "helper"));
    wchar_t alias[MAX_PATH] = L"";
    const DWORD length = GetShortPathNameW(Wide(longName).c_str(), alias, MAX_PATH);
    const wchar_t* shortName = length ? std::wcsrchr(alias, L'\\') + 1 : nullptr;
    if (shortName && _wcsicmp(shortName, L"VelkarUpdaterHelper.exe") != 0) {
        ChildHandle opened = OpenChildAsItself(held_, shortName, FILE_READ_ATTRIBUTES, FILE_SHARE_READ);
        if (opened) {
            opened.reset();
            EXPECT_FALSE(RemoveNamedChild(held_, shortName, false)) << "removed through the alias";
            EXPECT_TRUE(test::Exists(longName));
        } else {
            std::printf("this file system opens no short alias: only the exact name is tried\n");
        }
    } else {
        std::printf("no short alias here: only the exact name is tried\n");
    }
    EXPECT_TRUE(RemoveNamedChild(held_, L"VelkarUpdaterHelper.exe", false));
    EXPECT_FALSE(test::Exists(longName));
}

namespace {

// What DeleteThroughHandle asked of the system, through the deletion seam.
std::vector<int> classesAsked;
DWORD posixFlags = 0;
// How the POSIX-semantics call is answered: it succeeds (as on Windows 10 1709 and later), the system
// under test answers it, or it fails with the given error.
constexpr DWORD kPosixSucceeds = 0;
constexpr DWORD kSystemAnswers = 0xFFFFFFFF;
DWORD posixAnswer = kPosixSucceeds;
DWORD systemAnswer = 0;          // what the system answered, where it was asked
constexpr int kPosixClass = 21;  // FileDispositionInfoEx

BOOL WINAPI RecordingSetInformation(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    classesAsked.push_back(kind);
    if (kind != kPosixClass)
        return SetFileInformationByHandle(handle, kind, info, size);
    posixFlags = *static_cast<const DWORD*>(info);
    if (posixAnswer == kSystemAnswers) {
        const BOOL done = SetFileInformationByHandle(handle, kind, info, size);
        systemAnswer = done ? 0 : GetLastError();
        SetLastError(systemAnswer);
        return done;
    }
    if (posixAnswer == kPosixSucceeds) {
        // A system that has it: the file goes when the handle closes, as Wine can make it go.
        FILE_DISPOSITION_INFO older{TRUE};
        return SetFileInformationByHandle(handle, FileDispositionInfo, &older, sizeof older);
    }
    SetLastError(posixAnswer);
    return FALSE;
}

class DeleteThroughHandleTest : public HeldFolderTest {
protected:
    void SetUp() override {
        HeldFolderTest::SetUp();
        Ask(kPosixSucceeds);
    }
    void TearDown() override { SetDeletionSeam(nullptr); }
    // A fresh seam that answers the POSIX-semantics call so, and has forgotten what it was told before.
    static void Ask(DWORD answer) {
        SetDeletionSeam(RecordingSetInformation);
        posixAnswer = answer;
        classesAsked.clear();
        posixFlags = 0;
    }
    // Makes the file `name` and removes it the clean-up's way; answers RemoveNamedChild.
    bool MakeAndRemove(const wchar_t* name) {
        EXPECT_TRUE(CreateChildFile(held_, name, GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL)) << GetLastError();
        return RemoveNamedChild(held_, name, false);
    }
};

using Classes = std::vector<int>;

}  // namespace

TEST_F(DeleteThroughHandleTest, AsksForPosixSemanticsFirstAndNothingElseWhereTheSystemHasThem) {
    EXPECT_TRUE(MakeAndRemove(L"a.txt"));
    EXPECT_EQ(classesAsked, Classes{kPosixClass});
    EXPECT_EQ(posixFlags, 3u) << "delete, with POSIX semantics, and never past a read-only mark";
    EXPECT_FALSE(test::Exists(root_ / "a.txt"));
}

TEST_F(DeleteThroughHandleTest, TakesTheOlderWayWhenTheSystemLacksThemAndAsksNoMoreAfterwards) {
    // Windows before 10 1709 and Wine through SetFileInformationByHandle answer 87, Wine's native call
    // STATUS_NOT_IMPLEMENTED (120 once converted).
    for (DWORD answer : {ERROR_INVALID_PARAMETER, ERROR_CALL_NOT_IMPLEMENTED}) {
        Ask(answer);
        EXPECT_TRUE(MakeAndRemove(L"a.txt")) << answer;
        EXPECT_TRUE(MakeAndRemove(L"b.txt")) << answer;
        EXPECT_EQ(classesAsked, (Classes{kPosixClass, FileDispositionInfo, FileDispositionInfo})) << answer;
        EXPECT_FALSE(test::Exists(root_ / "a.txt"));
        EXPECT_FALSE(test::Exists(root_ / "b.txt"));
    }
}

TEST_F(DeleteThroughHandleTest, KeepsAFileTheSystemRefusesWithoutTryingTheOlderWay) {
    Ask(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(MakeAndRemove(L"a.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(classesAsked, Classes{kPosixClass});
    EXPECT_TRUE(test::Exists(root_ / "a.txt"));
}

TEST_F(DeleteThroughHandleTest, TheSystemsOwnAnswerTakesOneWayOrTheOtherAndTheFileGoes) {
    Ask(kSystemAnswers);
    EXPECT_TRUE(MakeAndRemove(L"a.txt"));
    EXPECT_FALSE(test::Exists(root_ / "a.txt"));
    if (systemAnswer == 0) {
        EXPECT_EQ(classesAsked, Classes{kPosixClass});
    } else {
        EXPECT_TRUE(systemAnswer == ERROR_INVALID_PARAMETER || systemAnswer == ERROR_CALL_NOT_IMPLEMENTED)
            << "an answer the fallback does not know: " << systemAnswer;
        EXPECT_EQ(classesAsked, (Classes{kPosixClass, FileDispositionInfo}));
    }
    std::printf("the system answered the POSIX-semantics deletion with %lu\n", systemAnswer);
}

// A tree's clean-up removes its files one open each once the system is known to lack POSIX semantics
// (delete on close, asking nothing more), and through the POSIX-semantics call where it has them; a
// read-only file stays either way, and the folder that holds it with it.
TEST_F(DeleteThroughHandleTest, ATreesFilesTakeOneOpenEachOnceTheOlderWayIsKnown) {
    struct Row {
        DWORD posix;
        Classes asked;  // three files, then the emptied folder
    };
    const Row rows[] = {
        {kPosixSucceeds, {kPosixClass, kPosixClass, kPosixClass, kPosixClass}},
        {ERROR_INVALID_PARAMETER, {kPosixClass, FileDispositionInfo, FileDispositionInfo}},
    };
    for (const Row& row : rows) {
        Ask(row.posix);
        {
            HeldFolder tree = HoldChildFolder(held_, L"tree", true);
            ASSERT_TRUE(tree);
            for (const wchar_t* name : {L"1", L"2", L"3"})
                ASSERT_TRUE(CreateChildFile(tree, name, GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL));
        }
        EXPECT_TRUE(RemoveFolderBelow(held_, L"tree")) << row.posix;
        EXPECT_EQ(classesAsked, row.asked) << row.posix;
        EXPECT_FALSE(test::Exists(root_ / "tree")) << row.posix;

        HeldFolder tree = HoldChildFolder(held_, L"tree", true);
        ASSERT_TRUE(tree);
        ASSERT_TRUE(CreateChildFile(tree, L"1", GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL));
        ASSERT_TRUE(CreateChildFile(tree, L"kept", GENERIC_WRITE, 0, FILE_ATTRIBUTE_READONLY));
        tree.reset();
        EXPECT_FALSE(RemoveFolderBelow(held_, L"tree")) << row.posix;
        EXPECT_FALSE(test::Exists(root_ / "tree\\1")) << row.posix;
        EXPECT_TRUE(test::Exists(root_ / "tree\\kept")) << row.posix;
        EXPECT_TRUE(RemoveFolderBelow(held_, L"tree", true)) << row.posix;
        EXPECT_FALSE(test::Exists(root_ / "tree")) << row.posix;
    }
}

TEST_F(HeldFolderTest, ATreeRemovalGivenLittleTimeStopsAndLeavesTheRestForALaterOne) {
    HeldFolder tree = HoldChildFolder(held_, L"tree", true);
    ASSERT_TRUE(tree);
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(CreateChildFile(tree, std::to_wstring(i).c_str(), GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL));
    tree.reset();
    // Each entry takes at least 20 ms here: the 100 ms allowed run out long before the last.
    SetDiskSeam([](DiskStep step, HANDLE, const wchar_t*) {
        if (step == DiskStep::RemovalEntryListed)
            Sleep(20);
    });
    EXPECT_FALSE(RemoveFolderBelow(held_, L"tree", false, 100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    SetDiskSeam(nullptr);
    tree = HoldChildFolder(held_, L"tree", false);
    ASSERT_TRUE(tree) << "the tree itself went";
    GrowingTable<FolderEntry> left;
    ASSERT_TRUE(ListEntries(tree, left));
    EXPECT_GT(left.size(), 0u);
    tree.reset();
    EXPECT_TRUE(RemoveFolderBelow(held_, L"tree"));
    EXPECT_FALSE(test::Exists(root_ / "tree"));
}

// The walk goes on past what it cannot remove and keeps the first failure it met, not the last (the
// folder itself, not empty). Two failures of different kinds: a file held open without delete sharing
// (a sharing violation) and a read-only file (access denied); the seam records the order in which the
// walk reached the entries, which is the file system's listing order.
TEST_F(HeldFolderTest, ATreeRemovalKeepsTheFirstFailureOfItsWalk) {
    ASSERT_TRUE(CreateDirectoryA((root_ / "tree").c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(root_ / "tree\\held.txt", "held"));
    ASSERT_TRUE(test::WriteWholeFile(root_ / "tree\\marked.txt", "read-only"));
    ASSERT_TRUE(test::WriteWholeFile(root_ / "tree\\plain.txt", "plain"));
    ASSERT_TRUE(SetFileAttributesA((root_ / "tree\\marked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    FileHandle held{CreateFileA((root_ / "tree\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr)};
    ASSERT_TRUE(held);
    static std::vector<std::wstring> reached;
    reached.clear();
    SetDiskSeam([](DiskStep step, HANDLE, const wchar_t* name) {
        if (step == DiskStep::RemovalEntryListed)
            reached.push_back(name);
    });
    const bool removed = RemoveFolderBelow(held_, L"tree");
    const DWORD error = GetLastError();
    SetDiskSeam(nullptr);

    EXPECT_FALSE(removed);
    EXPECT_FALSE(test::Exists(root_ / "tree\\plain.txt")) << "the walk went on past a failure";
    EXPECT_TRUE(test::Exists(root_ / "tree\\held.txt"));
    EXPECT_TRUE(test::Exists(root_ / "tree\\marked.txt"));
    std::wstring first;
    for (const std::wstring& name : reached)
        if (first.empty() && name != L"plain.txt")
            first = name;
    ASSERT_FALSE(first.empty());
    const DWORD expected = first == L"held.txt" ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED;
    EXPECT_EQ(error, expected) << "the walk met " << std::string(first.begin(), first.end()) << " first";
    EXPECT_NE(error, static_cast<DWORD>(ERROR_DIR_NOT_EMPTY)) << "the last failure, not the first";

    held.reset();
    EXPECT_TRUE(RemoveFolderBelow(held_, L"tree", true));
}

// Only names beginning with a full stop kept the folder: that is no failure of the walk, and the folder's
// own answer stands.
TEST_F(HeldFolderTest, ATreeKeptOnlyByANameItPassesOverAnswersThatTheFolderIsNotEmpty) {
    ASSERT_TRUE(CreateDirectoryA((root_ / "tree").c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(root_ / "tree\\.kept", "the user's"));
    ASSERT_TRUE(test::WriteWholeFile(root_ / "tree\\plain.txt", "plain"));
    EXPECT_FALSE(RemoveFolderBelow(held_, L"tree"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_TRUE(test::Exists(root_ / "tree\\.kept"));
    EXPECT_FALSE(test::Exists(root_ / "tree\\plain.txt"));
}

// A folder the caller holds is emptied through its hold, and the hold goes only once nothing stays in
// it: while a file it cannot remove stays, the folder stays held (no other program can rename it away).
TEST_F(HeldFolderTest, AHeldTreeStaysHeldWhileAnythingStaysAndGoesWithItsHoldOnceEmptied) {
    HeldFolder tree = HoldChildFolder(held_, L"tree", true);
    ASSERT_TRUE(tree);
    ASSERT_TRUE(CreateDirectoryA((root_ / "tree\\sub").c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(root_ / "tree\\sub\\held.txt", "held"));
    ASSERT_TRUE(test::WriteWholeFile(root_ / "tree\\plain.txt", "plain"));
    FileHandle file{CreateFileA((root_ / "tree\\sub\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr)};
    ASSERT_TRUE(file);

    EXPECT_FALSE(RemoveHeldFolder(held_, L"tree", tree));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << "the first failure";
    EXPECT_TRUE(tree) << "let go while a file stays";
    EXPECT_FALSE(test::Exists(root_ / "tree\\plain.txt"));
    EXPECT_EQ(GrantedAccess(tree.get()) & DELETE, 0u);

    file.reset();
    EXPECT_TRUE(RemoveHeldFolder(held_, L"tree", tree));
    EXPECT_FALSE(tree);
    EXPECT_FALSE(test::Exists(root_ / "tree"));
}

// Another program's hold of the emptied folder refuses its deletion: the removal answers the sharing
// violation, the folder stands empty, and the caller's own hold is gone.
TEST_F(HeldFolderTest, AHeldTreeAnotherHoldsTooIsEmptiedAndStays) {
    HeldFolder tree = HoldChildFolder(held_, L"tree", true);
    HeldFolder other = HoldChildFolder(held_, L"tree", false);
    ASSERT_TRUE(tree && other);
    ASSERT_TRUE(test::WriteWholeFile(root_ / "tree\\plain.txt", "plain"));
    EXPECT_FALSE(RemoveHeldFolder(held_, L"tree", tree));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(tree);
    EXPECT_FALSE(test::Exists(root_ / "tree\\plain.txt"));
    EXPECT_TRUE(test::IsFolder(root_ / "tree"));
    other.reset();
    EXPECT_TRUE(RemoveFolderBelow(held_, L"tree"));
}

// The one "is it still the file we hold?" check: the same file (by any of its names) is, another file at
// the same path is not.
TEST_F(HeldFolderTest, APathNamesTheHeldFileOnlyWhileItIsThatVeryFile) {
    ASSERT_TRUE(test::WriteWholeFile(root_ / "program.exe", "ours"));
    ASSERT_TRUE(CreateHardLinkA((root_ / "other name.exe").c_str(), (root_ / "program.exe").c_str(), nullptr));
    ChildHandle held = OpenChildFile(held_, L"program.exe", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_TRUE(held);
    EXPECT_TRUE(PathNamesHeldFile(Wide(root_ / "program.exe").c_str(), held.get()));
    EXPECT_TRUE(PathNamesHeldFile(Wide(root_ / "other name.exe").c_str(), held.get())) << "the same file";

    // Renamed away (its name goes with it: the handle shares delete) and another file put at the name.
    ASSERT_TRUE(MoveFileA((root_ / "program.exe").c_str(), (root_ / "moved.exe").c_str()));
    ASSERT_TRUE(test::WriteWholeFile(root_ / "program.exe", "theirs"));
    EXPECT_FALSE(PathNamesHeldFile(Wide(root_ / "program.exe").c_str(), held.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_INVALID));
    EXPECT_TRUE(PathNamesHeldFile(Wide(root_ / "moved.exe").c_str(), held.get()));
    EXPECT_FALSE(PathNamesHeldFile(Wide(root_ / "missing.exe").c_str(), held.get()));

    // Wine 8 answers 0 for every volume's serial number (GetFileInformationByHandle), so only the
    // comparison is shown here: the same id with another serial is another file.
    FileFacts facts;
    ASSERT_TRUE(ReadFileFacts(held.get(), facts));
    ChildHandle again = OpenChildFile(held_, L"moved.exe", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_TRUE(again);
    EXPECT_TRUE(IsHeldFile(again.get(), facts));
    FileFacts elsewhere = facts;
    elsewhere.volumeSerial ^= 1;  // the same id on another volume is another file
    EXPECT_FALSE(IsHeldFile(again.get(), elsewhere));
}

// The install lock's file: shared with nobody while it is held, gone once it is let go.
TEST_F(HeldFolderTest, AFileOpenedExclusivelyRefusesEveryOtherOpenAndGoesWithItsHandle) {
    ChildHandle lock = OpenChildExclusively(held_, L"run.lock");
    ASSERT_TRUE(lock) << GetLastError();
    EXPECT_FALSE(OpenChildExclusively(held_, L"run.lock")) << "a second holder";
    const DWORD second = GetLastError();
    EXPECT_TRUE(second == ERROR_SHARING_VIOLATION || second == ERROR_ACCESS_DENIED) << second;
    FileHandle reader{CreateFileA((root_ / "run.lock").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr)};
    EXPECT_FALSE(reader) << "a reader";
    EXPECT_FALSE(MoveFileA((root_ / "run.lock").c_str(), (root_ / "moved.lock").c_str())) << "a rename";
    lock.reset();
    EXPECT_TRUE(test::WaitUntil([&] { return !test::Exists(root_ / "run.lock"); }, 5000)) << "the file stayed";
    lock = OpenChildExclusively(held_, L"run.lock");
    EXPECT_TRUE(lock) << "taken again once let go";
    lock.reset();

    ASSERT_TRUE(CreateDirectoryA((root_ / "folder.lock").c_str(), nullptr));
    EXPECT_FALSE(OpenChildExclusively(held_, L"folder.lock")) << "a folder at the name";
    EXPECT_TRUE(test::IsFolder(root_ / "folder.lock"));
}
