// Special folders and folder removal on real folders under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "sysops/folders.h"

namespace {

using test::RunUnix;
using test::UnixPath;

// Wine splits a Unix program's command line by the Windows rules: double quotes group, single
// quotes are passed on literally.
using test::Quoted;

bool MakeLink(const std::string& target, const std::string& link) { return test::MakeUnixLink(target, link); }
bool UnixRemove(const std::string& link) { return test::RemoveUnixLink(link); }
void MakeTree(const std::string& root) { ASSERT_TRUE(test::MakeSampleTree(root)); }

using test::Wide;

}  // namespace

TEST(LookUpSpecialFolder, GivesAppDataWithExactlyOneTrailingBackslash) {
    Text appData = LookUpSpecialFolder(SpecialFolderId::AppData);
    std::string path = appData.c_str();
    ASSERT_GE(path.size(), 4u);
    EXPECT_EQ(path.back(), '\\');
    EXPECT_NE(path[path.size() - 2], '\\');
    EXPECT_TRUE(test::IsFolder(path + "."));
}

TEST(LookUpSpecialFolder, EndsEveryKnownFolderInOneBackslashAndTempInNoMore) {
    for (std::int32_t id = 1; id <= 11; ++id) {
        std::string path = LookUpSpecialFolder(id).c_str();
        if (path.empty())
            continue;  // a shell folder the prefix does not have
        EXPECT_EQ(path.back(), '\\') << id;
        EXPECT_NE(path.substr(path.size() - 2), "\\\\") << id;
    }
    EXPECT_FALSE(std::string(LookUpSpecialFolder(SpecialFolderId::TempFolder).c_str()).empty());
    EXPECT_FALSE(std::string(LookUpSpecialFolder(SpecialFolderId::WindowsFolder).c_str()).empty());
}

TEST(LookUpSpecialFolder, GivesTheEmptyTextForUnknownIds) {
    for (std::int32_t id : {0, 12, -1, 26, 0x7FFFFFFF}) {
        Text path = LookUpSpecialFolder(id);
        EXPECT_TRUE(path.empty()) << id;
        EXPECT_TRUE(path.absent()) << id;
    }
}

TEST(LookUpSpecialFolder, GivesAFolderTheCodePageCannotSpellInItsShortForm) {
    test::TempFolder base("appdata");
    // "Paweł 김" : ł (U+0142) and 김 (U+AE40) have no spelling in GBK.
    std::wstring folder = Wide(base.path()) + L"\\Pawe\x0142 \xAE40";
    BOOL lossy = FALSE;
    char probe[MAX_PATH];
    WideCharToMultiByte(CP_ACP, 0, folder.c_str(), -1, probe, MAX_PATH, nullptr, &lossy);
    ASSERT_TRUE(lossy) << "the name must be one the code page cannot spell";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\marker").c_str(), nullptr));
    {
        test::AppDataRedirection setting(folder);
        std::string path = LookUpSpecialFolder(SpecialFolderId::AppData).c_str();
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(path.find('?'), std::string::npos) << path;
        EXPECT_EQ(path.back(), '\\');
        EXPECT_TRUE(test::IsFolder(path + "marker")) << path;  // the very folder, through the ANSI path
    }
    RemoveDirectoryW((folder + L"\\marker").c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(LookUpSpecialFolder, GivesAFolderEndingInATrailByte5CItsSeparator) {
    test::TempFolder base("appdata");
    // 檀溪誠: in GBK 誠 is D5 5C, a character whose trail byte is the backslash byte. It is no
    // separator: without one appended, "Kestrelworks" would be joined onto the folder's own name.
    const std::wstring folder = Wide(base.path()) + L"\\\x6A80\x6EAA\x8AA0";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\marker").c_str(), nullptr));
    std::string path;
    {
        test::AppDataRedirection setting(folder);
        path = LookUpSpecialFolder(SpecialFolderId::AppData).c_str();
    }
    ASSERT_FALSE(path.empty());
    if (GetACP() == 936) {
        EXPECT_EQ(path, base / "\xCC\xB4\xCF\xAA\xD5\x5C\\");
    }
    EXPECT_EQ(path.back(), '\\');
    EXPECT_TRUE(test::IsFolder(path + "marker")) << path;  // the separator joins a name below the folder
    RemoveDirectoryW((folder + L"\\marker").c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(CreateFolder, CreatesOneLevelOnly) {
    test::TempFolder base("create");
    EXPECT_TRUE(CreateFolder((base / "one").c_str()));
    EXPECT_FALSE(CreateFolder((base / "one").c_str()));
    EXPECT_FALSE(CreateFolder((base / "two\\three").c_str()));
    EXPECT_FALSE(test::Exists(base / "two"));
}

TEST(RemoveFile, DeletesOneFileAndNeverExpandsWildcards) {
    test::TempFolder base("file");
    ASSERT_TRUE(test::WriteWholeFile(base / "a.txt", "a"));
    ASSERT_TRUE(test::WriteWholeFile(base / "b.txt", "b"));
    EXPECT_FALSE(RemoveFile((base.path() + "\\*.*").c_str()));
    EXPECT_FALSE(RemoveFile((base / "?.txt").c_str()));
    EXPECT_TRUE(test::Exists(base / "a.txt"));
    EXPECT_TRUE(RemoveFile((base / "a.txt").c_str()));
    EXPECT_FALSE(test::Exists(base / "a.txt"));
    EXPECT_FALSE(RemoveFile((base / "a.txt").c_str()));
    EXPECT_FALSE(RemoveFile(base.path().c_str()));
    ASSERT_TRUE(SetFileAttributesA((base / "b.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(RemoveFile((base / "b.txt").c_str()));
    EXPECT_TRUE(test::Exists(base / "b.txt"));
}

TEST(RemoveFolder, RemovesANestedTreeAndAnswersTrue) {
    test::TempFolder base("tree");
    MakeTree(base / "tree");
    EXPECT_TRUE(RemoveFolder((base / "tree").c_str()));
    EXPECT_FALSE(test::Exists(base / "tree"));
    MakeTree(base / "spaced");
    EXPECT_TRUE(RemoveFolder(("   " + (base / "spaced")).c_str()));  // leading spaces are skipped
    EXPECT_FALSE(test::Exists(base / "spaced"));
}

TEST(RemoveFolder, KeepsAReadOnlyFileAndEveryFolderAboveIt) {
    test::TempFolder base("readonly");
    MakeTree(base / "tree");
    ASSERT_TRUE(SetFileAttributesA((base / "tree\\a\\b\\deep.bin").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(RemoveFolder((base / "tree").c_str()));
    EXPECT_TRUE(test::Exists(base / "tree\\a\\b\\deep.bin"));
    EXPECT_FALSE(test::Exists(base / "tree\\a\\one.txt"));  // hidden and system, removed like any other
    EXPECT_FALSE(test::Exists(base / "tree\\c"));
    EXPECT_FALSE(test::Exists(base / "tree\\top.txt"));
}

TEST(RemoveFolder, PassesOverNamesBeginningWithAFullStop) {
    test::TempFolder base("dot");
    MakeTree(base / "tree");
    ASSERT_TRUE(test::WriteWholeFile(base / "tree\\c\\.keep", "k"));
    EXPECT_FALSE(RemoveFolder((base / "tree").c_str()));
    EXPECT_TRUE(test::Exists(base / "tree\\c\\.keep"));
    EXPECT_FALSE(test::Exists(base / "tree\\a"));
}

namespace {

// Paths that name no folder of their own, or no folder: each answers false and touches nothing. The
// current folder is the tree, so that a path taken for "the current folder" would empty it.
struct GuardRow {
    const char* what;
    std::string (*path)(const std::string& base, const std::string& drive);
};
const GuardRow kGuards[] = {
    {"the empty path", [](const std::string&, const std::string&) { return std::string(); }},
    {"spaces only", [](const std::string&, const std::string&) { return std::string("   "); }},
    {"a bare drive: its current folder", [](const std::string&, const std::string& drive) { return drive; }},
    {"a bare drive after spaces", [](const std::string&, const std::string& drive) { return "  " + drive; }},
    {"a drive that is not there", [](const std::string&, const std::string&) { return std::string("Q:"); }},
    {"a file", [](const std::string& base, const std::string&) { return base + "\\file.txt"; }},
    {"a missing folder", [](const std::string& base, const std::string&) { return base + "\\missing"; }},
    // An ANSI clean-up of "tree\a\.." emptied the tree.
    {"a last component \"..\"", [](const std::string& base, const std::string&) { return base + "\\root\\a\\.."; }},
    {"a last component \".\"", [](const std::string& base, const std::string&) { return base + "\\root\\."; }},
};

}  // namespace

TEST(RemoveFolder, AnswersFalseAndTouchesNothingForEveryGuardedPath) {
    test::TempFolder base("guard");
    MakeTree(base / "root");
    ASSERT_TRUE(test::WriteWholeFile(base / "file.txt", "x"));
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryA((base / "root").c_str()));
    const std::string drive = base.path().substr(0, 2);
    for (const GuardRow& row : kGuards)
        EXPECT_FALSE(RemoveFolder(row.path(base.path(), drive).c_str())) << row.what;
    SetCurrentDirectoryA(saved);
    EXPECT_TRUE(test::Exists(base / "file.txt"));
    EXPECT_TRUE(test::SampleTreeWhole(base / "root"));
}

// A drive of the prefix whose root is a tree: drive letters are links in Wine's dosdevices. Its root,
// with or without the separator, is never emptied.
TEST(RemoveFolder, TouchesNothingAtADriveRootThatIsATree) {
    test::TempFolder base("driveroot");
    MakeTree(base / "root");
    std::string dosdevices = UnixPath("C:\\");
    dosdevices = dosdevices.substr(0, dosdevices.find_last_of('/', dosdevices.size() - 2));
    std::string letterLink = dosdevices + "/q:";
    ASSERT_TRUE(RunUnix("Z:\\bin\\ln -s " + Quoted(UnixPath(base / "root")) + " " + Quoted(letterLink)));
    bool mapped = test::WaitUntil([] { return test::Exists("Q:\\top.txt"); }, 5000);
    for (const char* path : {"Q:\\", "  Q:\\", "Q:"})
        EXPECT_FALSE(RemoveFolder(path)) << path;
    RunUnix("Z:\\bin\\rm -f " + Quoted(letterLink));
    test::WaitUntil([] { return !test::Exists("Q:\\top.txt"); }, 5000);
    EXPECT_TRUE(mapped) << "the drive Q: did not appear; only the results were checked";
    EXPECT_TRUE(test::SampleTreeWhole(base / "root"));
}

TEST(RemoveFolder, RemovesALinkWithoutEmptyingItsTarget) {
    test::TempFolder base("links");
    MakeTree(base / "outside");
    MakeTree(base / "tree");
    ASSERT_TRUE(MakeLink(base / "outside", base / "tree\\a\\folder-link"));
    ASSERT_TRUE(test::AttributesOf(base / "tree\\a\\folder-link") & FILE_ATTRIBUTE_REPARSE_POINT);
    // No file link here: Wine 8 reports a Unix link to a file as a plain file (no reparse attribute)
    // and DeleteFileA on it deletes its target, and its CreateSymbolicLinkA makes nothing. On Windows
    // a file link carries the reparse attribute and DeleteFileA removes the link itself.

    bool removed = RemoveFolder((base / "tree").c_str());

    // What matters: nothing behind the link was touched, and everything else in the tree went.
    EXPECT_TRUE(test::SampleTreeWhole(base / "outside"));
    EXPECT_FALSE(test::Exists(base / "tree\\top.txt"));
    EXPECT_FALSE(test::Exists(base / "tree\\c"));
    EXPECT_FALSE(test::Exists(base / "tree\\a\\b"));
    // Wine cannot remove a folder symbolic link (RemoveDirectoryA fails on it), so under Wine the link
    // and the folders above it stay and the answer is false; Windows removes the link and answers true.
    if (test::Exists(base / "tree\\a\\folder-link")) {
        EXPECT_FALSE(removed);
        EXPECT_TRUE(UnixRemove(base / "tree\\a\\folder-link"));
    } else {
        EXPECT_TRUE(removed);
    }
}

TEST(RemoveFolder, RemovesAFolderThatIsItselfALinkAsALink) {
    test::TempFolder base("toplink");
    MakeTree(base / "outside");
    ASSERT_TRUE(MakeLink(base / "outside", base / "link"));
    (void)RemoveFolder((base / "link").c_str());
    EXPECT_TRUE(test::SampleTreeWhole(base / "outside"));
    if (test::Exists(base / "link")) {
        EXPECT_TRUE(UnixRemove(base / "link"));  // Wine: see above
    }
}

// --- Names, whatever the code page ---------------------------------------------------------------------
// The removal lists in UTF-16 and opens every entry by its name relative to its folder, so that a name
// the ANSI code page spells differently, or cannot spell, is still the name on disk. These run in every
// prefix run: CTest runs them again under code pages 1252 and 932 (KESTREL_EXPECT_CODE_PAGE names the
// one the run is for, so that a run that fell back to another code page fails instead of passing).

namespace {

UINT ExpectedCodePage() {
    char value[16] = "";
    return GetEnvironmentVariableA("KESTREL_EXPECT_CODE_PAGE", value, sizeof value) ? std::atoi(value) : 0;
}

// `name` as the ANSI functions (FindFirstFileA) give it back under this code page, best-fit and all.
std::string AnsiSpelling(const std::wstring& name) {
    char spelled[MAX_PATH * 2] = "";
    WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, spelled, sizeof spelled, nullptr, nullptr);
    return spelled;
}

// True when the code page spells `name` exactly (converting back gives it again).
bool SpellsExactly(const std::wstring& name) {
    const std::string spelled = AnsiSpelling(name);
    wchar_t back[MAX_PATH * 2] = L"";
    MultiByteToWideChar(CP_ACP, 0, spelled.c_str(), -1, back, MAX_PATH * 2);
    return name == back;
}

bool WriteWide(const std::wstring& path, const char* bytes) {
    FileHandle file{CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)};
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes, static_cast<DWORD>(std::strlen(bytes)), &written, nullptr);
}

// Removes a tree by wide names and "\\?\" paths, for what a failed test leaves (the harness lists in
// ANSI, and would not find these names, or would find a best-fit path leading elsewhere).
void RemoveWideTree(const std::wstring& path) {
    const std::wstring full = path.compare(0, 4, L"\\\\?\\") == 0 ? path : L"\\\\?\\" + path;
    WIN32_FIND_DATAW found;
    if (FindHandle search{FindFirstFileW((full + L"\\*").c_str(), &found)}) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = full + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveWideTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search.get(), &found));
    }
    RemoveDirectoryW(full.c_str());
}

// Plants a folder named `name` in a tree two levels down (base\p\tree), with a file in it, and a
// folder "victim" with a file in base, where "x\..\..\..\victim" below the tree leads; removes the
// tree and checks that the victim and the tree's parent keep their files.
void ExpectTreeGoneAndVictimWhole(const std::wstring& name) {
    test::TempFolder base("codepage");
    ASSERT_TRUE(CreateDirectoryA((base / "victim").c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(base / "victim\\keep.txt", "keep"));
    MakeTree(base / "p");
    MakeTree(base / "p\\tree");
    const std::wstring planted = Wide(base / "p\\tree") + L"\\" + name;
    ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
    ASSERT_TRUE(WriteWide(planted + L"\\inner.txt", "i"));

    const bool removed = RemoveFolder((base / "p\\tree").c_str());

    std::string bytes;
    EXPECT_TRUE(test::ReadWholeFile(base / "victim\\keep.txt", bytes) && bytes == "keep") << "outside the tree";
    EXPECT_TRUE(test::Exists(base / "p\\top.txt")) << "the tree's own parent keeps its files";
    EXPECT_FALSE(test::Exists(base / "p\\tree"));
    EXPECT_TRUE(removed);
    RemoveWideTree(Wide(base / "p\\tree"));
}

}  // namespace

TEST(AnyCodePage, RunsUnderTheCodePageItWasStartedFor) {
    if (const UINT expected = ExpectedCodePage()) {
        EXPECT_EQ(GetACP(), expected);
    }
}

namespace {

// Names that a code page spells with a backslash, where the ANSI listing gave "x\..\..\..\victim"
// and an ANSI clean-up emptied the victim folder: on code page 1252 the fullwidth reverse solidus
// (U+FF3C, by best fit), on 932 the yen sign (U+00A5, which it spells 0x5C).
struct BackslashRow {
    const wchar_t* name;
    UINT codePage;  // where the hazard is real
};
const BackslashRow kBackslashNames[] = {
    {L"x\xFF3C..\xFF3C..\xFF3C..\xFF3Cvictim", 1252},
    {L"x\x00A5..\x00A5..\x00A5..\x00A5victim", 932},
};

}  // namespace

TEST(AnyCodePage, RemovesAFolderNamedWithWhatACodePageSpellsAsABackslashAndNothingOutside) {
    for (const BackslashRow& row : kBackslashNames) {
        if (GetACP() == row.codePage) {
            ASSERT_EQ(AnsiSpelling(row.name), "x\\..\\..\\..\\victim") << "the hazard this test is about";
        }
        ExpectTreeGoneAndVictimWhole(row.name);
    }
}

// Names code page 936 cannot spell (an e with diaeresis, Korean, an emoji outside the BMP): an ANSI
// listing gives them back with "?", names no delete can reach, and the tree stayed after every run.
TEST(AnyCodePage, RemovesNamesTheCodePageCannotSpell) {
    test::TempFolder base("unspelled");
    MakeTree(base / "tree");
    const std::wstring tree = Wide(base / "tree");
    const std::wstring names[] = {L"Zo\x00EB.txt", L"\xD55C\xAD6D\xC5B4.txt", L"\xD83D\xDE00 smile.txt"};
    for (const std::wstring& name : names) {
        if (GetACP() == 936) {
            EXPECT_FALSE(SpellsExactly(name)) << "the code page must lack these names";
        }
        ASSERT_TRUE(WriteWide(tree + L"\\" + name, "x"));
        ASSERT_TRUE(WriteWide(tree + L"\\a\\" + name, "y"));
    }
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\\xD55C\xAD6D\xC5B4").c_str(), nullptr));  // a folder too
    ASSERT_TRUE(WriteWide(tree + L"\\\xD55C\xAD6D\xC5B4\\Zo\x00EB.txt", "z"));

    EXPECT_TRUE(RemoveFolder((base / "tree").c_str()));
    EXPECT_FALSE(test::Exists(base / "tree"));
    RemoveWideTree(tree);
}

// Below the held folder nothing is addressed by path, so no path length limits the removal: a tree
// whose paths are far longer than the 260 bytes of the ANSI functions goes as any other.
TEST(RemoveFolder, RemovesATreeDeeperThanThePathLimit) {
    test::TempFolder base("deep");
    std::wstring folder = L"\\\\?\\" + Wide(base / "tree");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    for (int level = 0; level < 12; ++level) {
        folder += L"\\folder-of-a-name-forty-characters-long-" + std::to_wstring(level % 10);
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << level;
        ASSERT_TRUE(WriteWide(folder + L"\\file.txt", "f"));
    }
    ASSERT_GT(folder.size(), 500u);

    EXPECT_TRUE(RemoveFolder((base / "tree").c_str()));
    EXPECT_FALSE(test::Exists(base / "tree"));
    RemoveWideTree(Wide(base / "tree"));
}

// The folder is the path's last component, found character by character: separators after it are
// no part of it ("." and ".." are guarded paths, above), and a path without a folder above it is below
// the current folder.
TEST(RemoveFolder, TakesTheLastComponentOfThePathAsTheFolder) {
    test::TempFolder base("component");
    MakeTree(base / "tree");
    EXPECT_TRUE(RemoveFolder((base / "tree\\a\\").c_str()));
    EXPECT_FALSE(test::Exists(base / "tree\\a"));
    EXPECT_TRUE(RemoveFolder((base.path() + "/tree/c//").c_str()));
    EXPECT_FALSE(test::Exists(base / "tree\\c"));

    // 檀溪誠: the trail byte 0x5C of 誠 is no separator.
    const std::string dbcs = base / "\xCC\xB4\xCF\xAA\xD5\x5C";
    if (GetACP() == 936) {
        MakeTree(dbcs);
        EXPECT_TRUE(RemoveFolder(dbcs.c_str()));
        EXPECT_FALSE(test::Exists(dbcs));
    }

    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryA(base.path().c_str()));
    const bool removed = RemoveFolder("tree");
    SetCurrentDirectoryA(saved);
    EXPECT_TRUE(removed);
    EXPECT_FALSE(test::Exists(base / "tree"));
}
