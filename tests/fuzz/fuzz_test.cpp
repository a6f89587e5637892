// tests/fuzz/fuzz_test.cpp: the faults the archive fuzzer found in extraction, and the fuzzer's own
// parts: its cases are reproducible, and its checks neither miss a bad file or an escape nor flag
// a sound extraction.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fuzz/cases.h"
#include "fuzz/checks.h"
#include "fuzz/differential.h"
#include "payload/zip_component.h"
#include "tests/support/test_support.h"
#include "tools/zip_writer.h"

namespace {

zipwriter::Entry File(const std::string& name, const std::string& data) {
    zipwriter::Entry entry;
    entry.name = name;
    entry.data = data;
    return entry;
}

void Put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * i));
}

std::size_t FindSignature(const std::string& bytes, const char* signature) {
    return bytes.find(std::string(signature, 4));
}

class FuzzSandbox : public ::testing::Test {
protected:
    FuzzSandbox() : sandbox(fuzz::SandboxIn(folder.path())) { EXPECT_TRUE(fuzz::MakeSandbox(sandbox)); }

    std::int32_t ExtractBytes(const std::string& bytes) {
        bool written = false;
        const std::int32_t result = fuzz::ExtractAsTheLauncher(sandbox, bytes, &written);
        EXPECT_TRUE(written);
        return result;
    }
    std::string In(const std::string& name) const { return sandbox.destination + "\\" + name; }

    test::TempFolder folder{"fuzz"};
    fuzz::Sandbox sandbox;
};

// --- Faults found by the fuzzer --------------------------------------------------------------------

// minizip checks an entry's CRC-32 only after delivering its whole recorded size, so data that ends
// early used to be written short and reported as a success.
using ExtractShortData = FuzzSandbox;

TEST_F(ExtractShortData, RefusesStoredBytesCutShortAndLeavesNoFile) {
    zipwriter::Entry cut = File("x.txt", "xyz");
    cut.storeData = true;
    cut.truncateBy = 2;  // one byte of three is stored; both headers still say three
    EXPECT_EQ(ExtractBytes(zipwriter::BuildArchive({File("a.txt", "a"), cut})), kExtractFailed);
    EXPECT_FALSE(test::Exists(In("x.txt")));
    EXPECT_TRUE(test::Exists(In("a.txt")));
}

TEST_F(ExtractShortData, RefusesADeflateStreamThatEndsBeforeItsRecordedSize) {
    const std::string data = "hello hello hello hello";
    const std::string archive = zipwriter::BuildArchive({File("x.txt", data)});
    EXPECT_EQ(ExtractBytes(archive), kExtractDone);  // as made: the recorded size is exact

    // One byte more recorded in both headers than the complete stream gives.
    std::string longer = archive;
    Put32(longer, 22, static_cast<std::uint32_t>(data.size() + 1));
    Put32(longer, FindSignature(longer, "PK\x01\x02") + 24, static_cast<std::uint32_t>(data.size() + 1));
    ASSERT_TRUE(test::RemoveTree(sandbox.destination));
    EXPECT_EQ(ExtractBytes(longer), kExtractFailed);
    EXPECT_FALSE(test::Exists(In("x.txt")));
}

// minizip accepts method 12 (bzip2) and, built without bzip2, delivered the compressed bytes as the
// entry's data without checking them: the file was written wrong and counted as a success.
using ExtractOddMethod = FuzzSandbox;

TEST_F(ExtractOddMethod, NeverWritesAnEntryOfMethodTwelve) {
    for (bool stored : {false, true}) {
        zipwriter::Entry bzip2 = File("x.txt", "data that is not bzip2 data");
        bzip2.storeData = stored;
        bzip2.method = 12;
        // An entry whose information cannot be read ends the walk, a failure; what came before stays.
        EXPECT_EQ(ExtractBytes(zipwriter::BuildArchive({File("a.txt", "a"), bzip2, File("b.txt", "b")})),
                  kExtractFailed);
        EXPECT_TRUE(test::Exists(In("a.txt")));
        EXPECT_FALSE(test::Exists(In("x.txt"))) << (stored ? "stored" : "deflated");
        ASSERT_TRUE(test::RemoveTree(sandbox.destination));
    }
}

// --- The fuzzer's cases --------------------------------------------------------------------------

TEST(FuzzCases, AreTheSameForTheSameSeedAndIndexAndDifferOtherwise) {
    int differing = 0;
    for (std::uint64_t index = 0; index < 50; ++index) {
        const fuzz::Case one = fuzz::MakeCase(7, index, 60);
        const fuzz::Case again = fuzz::MakeCase(7, index, 60);
        EXPECT_EQ(one.bytes, again.bytes);
        EXPECT_EQ(one.description, again.description);
        if (fuzz::MakeCase(8, index, 60).bytes != one.bytes)
            ++differing;
    }
    EXPECT_GE(differing, 45);
}

TEST(DifferentialCases, AreTheSameForTheSameSeedAndIndexAndDifferOtherwise) {
    int differing = 0;
    for (std::uint64_t index = 1; index < 50; ++index) {
        const fuzz::Case one = fuzz::MakeDifferentialCase(7, index);
        EXPECT_EQ(one.bytes, fuzz::MakeDifferentialCase(7, index).bytes);
        if (fuzz::MakeDifferentialCase(8, index).bytes != one.bytes)
            ++differing;
    }
    EXPECT_GE(differing, 45);
}

// Case 0 of every seed is the decoy directory that pack-payload --check once accepted: the launcher
// installs the real directory's Velkar/.config, which a reader that goes by the end record's offset never
// sees.
using DifferentialDecoy = FuzzSandbox;

TEST_F(DifferentialDecoy, IsCaseZeroOfEverySeedAndTheLauncherInstallsTheRealDirectory) {
    const std::string decoy = fuzz::MakeDifferentialCase(1, 0).bytes;
    EXPECT_EQ(fuzz::MakeDifferentialCase(99, 0).bytes, decoy);
    const std::size_t end = decoy.size() - 22;
    const std::size_t offset = static_cast<unsigned char>(decoy[end + 16]) | static_cast<unsigned char>(decoy[end + 17])
                                                                                 << 8;
    EXPECT_NE(decoy.find("Velkar/notes.txt", offset), std::string::npos) << "the decoy at the offset";
    EXPECT_EQ(ExtractBytes(decoy), kExtractDone);
    EXPECT_TRUE(test::Exists(In("Velkar\\.config")));
    EXPECT_FALSE(test::Exists(In("Velkar\\notes.txt")));
}

// --- The fuzzer's checks -------------------------------------------------------------------------

TEST(ReadCentralDirectory, FindsTheRecordsAsMinizipDoesEvenWithBytesInFrontOrTheEndCutShort) {
    const std::vector<zipwriter::Entry> entries = {File("a.txt", "alpha"), File("sub/b.txt", "")};
    zipwriter::Options stub;
    stub.stub = "MZ stub in front";
    std::string cut = zipwriter::BuildArchive(entries);
    cut.pop_back();  // the comment length's upper byte: minizip reads it as the byte before (0)
    for (const std::string& archive : {zipwriter::BuildArchive(entries), zipwriter::BuildArchive(entries, stub), cut}) {
        const std::vector<fuzz::CentralRecord> records = fuzz::ReadCentralDirectory(archive);
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].name, "a.txt");
        EXPECT_EQ(records[0].size, 5u);
        EXPECT_EQ(records[0].crc, 0xD0E0396Au);  // CRC-32 of "alpha"
        EXPECT_EQ(records[1].name, "sub/b.txt");
        EXPECT_EQ(records[1].crc, 0u);
    }
    EXPECT_TRUE(fuzz::ReadCentralDirectory("PK\x05\x06").empty());
    EXPECT_TRUE(fuzz::ReadCentralDirectory("no archive at all").empty());
}

// minizip, and so the launcher, takes the size from a ZIP64 field where the header's reads 0xFFFFFFFF.
TEST(ReadCentralDirectory, TakesTheSizeFromAZip64FieldAsMinizipDoes) {
    zipwriter::Entry entry = File("a.txt", "alpha");
    entry.centralExtra = zipwriter::Bytes{0x99, 0x99, 1, 0, 0xAA, 0x01, 0x00, 8, 0, 5, 0, 0, 0, 0, 0, 0, 0};
    std::string archive = zipwriter::BuildArchive({entry});
    Put32(archive, FindSignature(archive, "PK\x01\x02") + 24, 0xFFFFFFFF);
    const std::vector<fuzz::CentralRecord> records = fuzz::ReadCentralDirectory(archive);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].size, 5u);
}

using CheckTree = FuzzSandbox;

TEST_F(CheckTree, PassesEverySeedArchiveExtractedAsItIs) {
    for (int which = 0; which < fuzz::SeedArchiveCount(); ++which) {
        const std::string archive = fuzz::SeedArchive(which, sandbox.destination.size());
        EXPECT_EQ(ExtractBytes(archive), kExtractDone) << which;
        EXPECT_EQ(fuzz::CheckTree(sandbox.destination, fuzz::ReadCentralDirectory(archive)), "") << which;
        EXPECT_EQ(fuzz::CheckSandbox(sandbox), "") << which;
        EXPECT_TRUE(fuzz::RemoveVerbatim(sandbox.destination));
    }
}

TEST_F(CheckTree, MatchesNamesAsTheSystemResolvesThem) {
    const std::string archive = zipwriter::BuildArchive({
        File("Dir/./Name.TXT", "one"), File("trail.", "two"),
        File("\xCC\xB4\xCF\xAA/\xD5\x5C.txt", "three"),  // 檀溪 and a character whose trail byte is 0x5C
    });
    ASSERT_TRUE(CreateDirectoryA(sandbox.destination.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(In("dir").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(In("\xCC\xB4\xCF\xAA").c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(In("dir\\name.txt"), "one"));
    ASSERT_TRUE(test::WriteWholeFile(In("trail"), "two"));
    ASSERT_TRUE(test::WriteWholeFile(In("\xCC\xB4\xCF\xAA\\\xD5\x5C.txt"), "three"));
    EXPECT_EQ(fuzz::CheckTree(sandbox.destination, fuzz::ReadCentralDirectory(archive)), "");
}

TEST_F(CheckTree, FlagsAFileThatDiffersFromItsEntryOrMatchesNoEntry) {
    const std::string archive = zipwriter::BuildArchive({File("a.txt", "alpha"), File("b.txt", "beta")});
    ASSERT_EQ(ExtractBytes(archive), kExtractDone);
    const std::vector<fuzz::CentralRecord> records = fuzz::ReadCentralDirectory(archive);

    ASSERT_TRUE(test::WriteWholeFile(In("a.txt"), "alph"));  // one byte short
    EXPECT_NE(fuzz::CheckTree(sandbox.destination, records).find("a.txt: differs"), std::string::npos);
    ASSERT_TRUE(test::WriteWholeFile(In("a.txt"), "beta"));  // another entry's bytes under this name
    EXPECT_NE(fuzz::CheckTree(sandbox.destination, records).find("a.txt: differs"), std::string::npos);
    ASSERT_TRUE(test::WriteWholeFile(In("a.txt"), "alpha"));

    ASSERT_TRUE(test::WriteWholeFile(In("stray.txt"), "gamma"));
    EXPECT_NE(fuzz::CheckTree(sandbox.destination, records).find("stray.txt: matches no entry"), std::string::npos);
    // A name the system spelled differently is still accepted when its bytes are an entry's.
    ASSERT_TRUE(test::WriteWholeFile(In("stray.txt"), "beta"));
    EXPECT_EQ(fuzz::CheckTree(sandbox.destination, records), "");
}

// Wine keeps a trailing space in a name it creates, where Windows cuts it; the ordinary path then
// no longer reaches the folder, and the checks must neither call it a bad file nor leave it behind.
TEST_F(CheckTree, ReadsAndRemovesNamesEndingInASpace) {
    zipwriter::Entry folderEntry = File("space /", "");
    folderEntry.folder = true;
    const std::string archive = zipwriter::BuildArchive({folderEntry, File("space /x.txt", "inside")});
    const std::int32_t result = ExtractBytes(archive);
    EXPECT_TRUE(result == kExtractDone || result == kExtractFailed) << result;
    EXPECT_EQ(fuzz::CheckTree(sandbox.destination, fuzz::ReadCentralDirectory(archive)), "");
    EXPECT_TRUE(fuzz::RemoveVerbatim(sandbox.destination));
    EXPECT_FALSE(test::Exists(sandbox.destination));
}

using CheckSandbox = FuzzSandbox;

TEST_F(CheckSandbox, FlagsAndRemovesWhatLiesOutsideTheDestination) {
    ASSERT_TRUE(CreateDirectoryA(sandbox.destination.c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(sandbox.archive, "archive"));
    ASSERT_TRUE(test::WriteWholeFile(In("inside.txt"), "fine"));
    EXPECT_EQ(fuzz::CheckSandbox(sandbox), "");

    const std::string above = sandbox.box + "\\a\\b\\up.txt";  // what "../up.txt" would make
    const std::string parent = sandbox.parent + "\\kfzesc-top";
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string marked = std::string(temp) + fuzz::kEscapeMarker + "-test";
    for (const std::string& path : {above, parent, marked})
        ASSERT_TRUE(test::WriteWholeFile(path, "escaped"));

    const std::string problems = fuzz::CheckSandbox(sandbox);
    for (const std::string& path : {above, parent, marked}) {
        EXPECT_NE(problems.find(path.substr(path.rfind('\\'))), std::string::npos) << path;
        EXPECT_FALSE(test::Exists(path)) << path;
    }
    EXPECT_TRUE(test::Exists(In("inside.txt")));
    EXPECT_EQ(fuzz::CheckSandbox(sandbox), "");
}

// --- The clean-up check and the canaries -----------------------------------------------------------

TEST(PlantsFor, PlantAboutOneCaseIn25WithOneThingPerPathTheSameForTheSameSeed) {
    int planted = 0;
    for (std::uint64_t index = 0; index < 1000; ++index) {
        const std::vector<fuzz::Plant> plants = fuzz::PlantsFor(3, index);
        planted += plants.empty() ? 0 : 1;
        EXPECT_EQ(plants.size(), fuzz::PlantsFor(3, index).size());
        for (std::size_t i = 0; i < plants.size(); ++i)
            for (std::size_t j = i + 1; j < plants.size(); ++j) {
                const std::string& a = plants[i].path;
                const std::string& b = plants[j].path;
                EXPECT_TRUE(a != b && a.rfind(b + "\\", 0) != 0 && b.rfind(a + "\\", 0) != 0) << a << " " << b;
            }
    }
    EXPECT_GT(planted, 20);
    EXPECT_LT(planted, 70);
}

using CheckCanaries = FuzzSandbox;

TEST_F(CheckCanaries, FlagsEveryChangeAndPutsTheCanariesBack) {
    EXPECT_EQ(fuzz::CheckCanaries(sandbox), "");
    const std::string keep = sandbox.canary + "\\keep.txt", readOnly = sandbox.canary + "\\readonly.txt";
    const std::string beside = sandbox.box + "\\a\\b\\canary.txt", added = sandbox.canary + "\\linked\\new.txt";
    ASSERT_TRUE(test::WriteWholeFile(keep, "overwritten"));
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(DeleteFileA(beside.c_str()));
    ASSERT_TRUE(test::WriteWholeFile(added, "written through a link"));
    const std::string problems = fuzz::CheckCanaries(sandbox);
    for (const std::string& path : {keep, readOnly, beside, added})
        EXPECT_NE(problems.find(path), std::string::npos) << path;
    EXPECT_EQ(fuzz::CheckCanaries(sandbox), "");
}

using CheckRemoval = FuzzSandbox;

// The clean-up keeps a read-only file and (under Wine) a folder link; neither is a failure, and
// what the links point at stays. A read-only file nobody planted is one.
TEST_F(CheckRemoval, AcceptsWhatTheCleanUpKeepsByDesignAndFlagsAnythingElse) {
    const std::vector<fuzz::Plant> plants{{fuzz::Plant::kReadOnlyFile, "Velkar\\readme.txt", "old"},
                                          {fuzz::Plant::kFolderLink, "Velkar\\data", ""},
                                          {fuzz::Plant::kHardLink, "a.txt", ""},
                                          {fuzz::Plant::kFile, "b.bin", "old b"}};
    ASSERT_EQ(fuzz::PlantTree(sandbox, plants), "");
    EXPECT_TRUE(test::Exists(In("Velkar\\data\\inner.txt")));  // the link leads to the canary folder
    EXPECT_EQ(fuzz::CheckRemoval(sandbox, plants), "");
    EXPECT_FALSE(test::Exists(sandbox.destination));
    EXPECT_EQ(fuzz::CheckCanaries(sandbox), "");

    // A name beginning with a full stop is passed over by design, and with it the folders holding it:
    // the folder "檀溪<AF D5>" holds ".txt". Components are found with the double-byte rules: in
    // "檀溪誠.txt" (誠 is D5 5C, its trail byte the backslash's) no component begins with a full stop,
    // so a read-only file of that name that nobody planted is a leftover.
    ASSERT_EQ(fuzz::PlantTree(sandbox, plants), "");
    ASSERT_TRUE(CreateDirectoryA(In("\xCC\xB4\xCF\xAA\xAF\xD5").c_str(), nullptr));
    ASSERT_TRUE(test::WriteWholeFile(In("\xCC\xB4\xCF\xAA\xAF\xD5\\.txt"), "kept"));
    EXPECT_EQ(fuzz::CheckRemoval(sandbox, plants), "");
    ASSERT_EQ(fuzz::PlantTree(sandbox, plants), "");
    ASSERT_TRUE(test::WriteWholeFile(In("\xCC\xB4\xCF\xAA\xD5\x5C.txt"), "not kept"));
    ASSERT_TRUE(SetFileAttributesA(In("\xCC\xB4\xCF\xAA\xD5\x5C.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_NE(fuzz::CheckRemoval(sandbox, plants).find("the clean-up left"), std::string::npos);

    ASSERT_EQ(fuzz::PlantTree(sandbox, plants), "");
    ASSERT_TRUE(test::WriteWholeFile(In("stray.txt"), "stray"));
    ASSERT_TRUE(SetFileAttributesA(In("stray.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_NE(fuzz::CheckRemoval(sandbox, plants).find("the clean-up left stray.txt"), std::string::npos);
    EXPECT_FALSE(test::Exists(sandbox.destination));
    EXPECT_EQ(fuzz::CheckCanaries(sandbox), "");
}

}  // namespace
