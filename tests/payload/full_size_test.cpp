// Extract of the full-size test archive: every byte, attribute and time, the progress figures,
// extraction over an existing tree and over a tree whose main executable is running.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/payload/extract_fixture.h"
#include "tools/full_size_archive.h"
#include "payload/zip_component.h"

using payloadtest::ConnectedComponent;
using payloadtest::kComponentId;
using payloadtest::kWindowId;

namespace {

const std::vector<zipwriter::Entry>& Entries() {
    static const std::vector<zipwriter::Entry> entries = zipwriter::FullSizeArchiveEntries();
    return entries;
}

std::string WindowsName(const std::string& name) {
    std::string converted = name;
    for (char& c : converted)
        if (c == '/')
            c = '\\';
    return converted;
}

class FullSizeArchive : public ::testing::Test {
protected:
    test::TempFolder folder{"full"};
    std::string destination = folder / "Kestrelworks";
    ConnectedComponent component;

    std::int32_t Run() { return Extract(kWindowId, kComponentId, FULL_SIZE_ARCHIVE_PATH, destination.c_str()); }
};

TEST_F(FullSizeArchive, ExtractsEveryFileWithItsBytesPlainAttributesAndDosTimes) {
    ASSERT_EQ(Entries().size(), 50u);
    EXPECT_EQ(Run(), kExtractDone);
    std::vector<int> expected;
    for (int i = 0; i < 50; ++i)
        expected.push_back(2 * i);
    expected.push_back(100);
    EXPECT_EQ(component.percentages, expected);

    // Wine reports a file set to FILE_ATTRIBUTE_NORMAL as 0x20: compare with a file set here.
    const std::string probe = folder / "probe";
    ASSERT_TRUE(test::WriteWholeFile(probe, "p"));
    SetFileAttributesA(probe.c_str(), FILE_ATTRIBUTE_NORMAL);
    const DWORD normal = test::AttributesOf(probe);
    int files = 0, folders = 0;
    for (const zipwriter::Entry& e : Entries()) {
        const std::string path = destination + "\\" + WindowsName(e.name);
        if (e.folder) {
            EXPECT_TRUE(test::IsFolder(path)) << e.name;
            ++folders;
            continue;
        }
        ++files;
        EXPECT_EQ(test::AttributesOf(path), normal) << e.name;
        FILETIME dos;
        DosDateTimeToFileTime(e.dosDate, e.dosTime, &dos);
        WIN32_FILE_ATTRIBUTE_DATA info;
        ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info));
        // The times are looked at before the bytes are read back: reading moves the last access.
        int which = 0;
        for (const FILETIME& t : {info.ftLastWriteTime, info.ftLastAccessTime, info.ftCreationTime})
            EXPECT_TRUE(t.dwLowDateTime == dos.dwLowDateTime && t.dwHighDateTime == dos.dwHighDateTime)
                << e.name << " time " << which++ << " " << t.dwHighDateTime << ":" << t.dwLowDateTime << " vs "
                << dos.dwHighDateTime << ":" << dos.dwLowDateTime;
        std::string bytes;
        ASSERT_TRUE(test::ReadWholeFile(path, bytes)) << e.name;
        EXPECT_TRUE(bytes == e.data) << e.name;
    }
    EXPECT_EQ(files, 44);
    EXPECT_EQ(folders, 6);

    // Again over the tree: every file is replaced.
    for (const zipwriter::Entry& e : Entries()) {
        if (e.folder)
            continue;
        ASSERT_TRUE(test::WriteWholeFile(destination + "\\" + WindowsName(e.name), "stale")) << e.name;
    }
    component.percentages.clear();
    EXPECT_EQ(Run(), kExtractDone);
    EXPECT_EQ(component.percentages.size(), 51u);
    for (const zipwriter::Entry& e : Entries()) {
        if (e.folder)
            continue;
        std::string bytes;
        ASSERT_TRUE(test::ReadWholeFile(destination + "\\" + WindowsName(e.name), bytes));
        EXPECT_TRUE(bytes == e.data) << e.name;
    }
}

TEST_F(FullSizeArchive, GivesZeroAfterTwoEventsWhileTheMainProgramRuns) {
    ASSERT_EQ(Run(), kExtractDone);
    const std::string main = destination + "\\Velkar\\Velkar.exe";
    ASSERT_TRUE(CopyFileA(test::ProgramBeside("payload_wait_program.exe").c_str(), main.c_str(), FALSE));
    const std::string later = destination + "\\" + WindowsName(Entries()[2].name);
    ASSERT_TRUE(test::WriteWholeFile(later, "untouched"));
    test::Child running = test::Child::Start("\"" + main + "\"");
    ASSERT_TRUE(running.started());
    Sleep(500);
    component.percentages.clear();
    EXPECT_EQ(Run(), kExtractFailed);  // Wine, like Windows, refuses to replace a running executable
    EXPECT_EQ(component.percentages, (std::vector<int>{0, 100}));
    std::string bytes;
    ASSERT_TRUE(test::ReadWholeFile(later, bytes));
    EXPECT_EQ(bytes, "untouched");
    running.Kill();
    running.Wait(5000);
}

}  // namespace
