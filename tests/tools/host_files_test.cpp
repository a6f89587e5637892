// The packer's file system on Linux, in a fresh folder per test: a new file is made new (never written
// through whatever was planted at its name), a whole file is read through one handle, identities follow
// links, and programs run without a shell answer with their exit code.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tools/host_files.h"

namespace {

namespace fs = std::filesystem;

class HostFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/host-files-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string Path(const std::string& name) const { return dir + "/" + name; }
    void Write(const std::string& name, const std::string& data) const { std::ofstream(Path(name)) << data; }
    std::string Read(const std::string& name) const {
        std::string data, error;
        EXPECT_TRUE(hostfiles::ReadWhole(Path(name), data, error)) << error;
        return data;
    }
    std::string dir;
};

TEST_F(HostFiles, WriteNewRefusesAFileOrALinkAtItsNameAndWritesNothingThrough) {
    Write("victim", "untouched");
    fs::create_symlink(Path("victim"), Path("link"));
    fs::create_symlink(Path("nowhere"), Path("dangling"));
    std::string error;
    for (const char* name : {"victim", "link", "dangling"})
        EXPECT_FALSE(hostfiles::WriteNew(Path(name), "planted", error)) << name;
    EXPECT_EQ(Read("victim"), "untouched");
    EXPECT_FALSE(fs::exists(Path("nowhere")));
    ASSERT_TRUE(hostfiles::WriteNew(Path("new"), std::string("a\0b", 3), error)) << error;
    EXPECT_EQ(Read("new"), std::string("a\0b", 3));
}

TEST_F(HostFiles, APrivateFileIsItsOwnersAloneWhateverTheMask) {
    const mode_t before = umask(0);
    std::string error;
    const bool written = hostfiles::WriteNewPrivate(Path("password"), "secret", error);
    umask(before);
    ASSERT_TRUE(written) << error;
    struct stat info {};
    ASSERT_EQ(stat(Path("password").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(HostFiles, ReadWholeReadsAnEmptyFileAndRefusesAFolder) {
    Write("empty", "");
    EXPECT_EQ(Read("empty"), "");
    std::string data = "stale", error;
    EXPECT_FALSE(hostfiles::ReadWhole(dir, data, error));
    EXPECT_FALSE(hostfiles::ReadWhole(Path("missing"), data, error));
    EXPECT_NE(error.find("missing"), std::string::npos);
}

TEST_F(HostFiles, LookFollowsLinksAndTellsAMissingPathFromAFailure) {
    Write("file", "x");
    fs::create_symlink(Path("file"), Path("link"));
    fs::create_symlink(Path("nowhere"), Path("dangling"));
    hostfiles::Kind kind{};
    hostfiles::Identity file, link;
    std::string error;
    ASSERT_TRUE(hostfiles::Look(Path("file"), kind, file, error));
    EXPECT_EQ(kind, hostfiles::Kind::File);
    ASSERT_TRUE(hostfiles::Look(Path("link"), kind, link, error));
    EXPECT_EQ(link, file);
    ASSERT_TRUE(hostfiles::Look(Path("dangling"), kind, link, error));
    EXPECT_EQ(kind, hostfiles::Kind::Missing);
    ASSERT_TRUE(hostfiles::Look(Path("file/below"), kind, link, error));  // below a file: not there
    EXPECT_EQ(kind, hostfiles::Kind::Missing);
    ASSERT_TRUE(hostfiles::Look(dir, kind, link, error));
    EXPECT_EQ(kind, hostfiles::Kind::Folder);
}

TEST_F(HostFiles, ReplaceMovesAFileOverALinkWithoutWritingThroughIt) {
    Write("victim", "untouched");
    fs::create_symlink(Path("victim"), Path("out"));
    Write("part", "new");
    std::string error;
    ASSERT_TRUE(hostfiles::Replace(Path("part"), Path("out"), error)) << error;
    EXPECT_FALSE(fs::is_symlink(Path("out")));
    EXPECT_EQ(Read("out"), "new");
    EXPECT_EQ(Read("victim"), "untouched");
    EXPECT_TRUE(hostfiles::RemoveFile(Path("out"), error));
    EXPECT_TRUE(hostfiles::RemoveFile(Path("out"), error)) << "a missing file is no error";
}

TEST(RunProgram, AnswersTheExitCodeTheOutputAndMinusOneForAProgramThatCannotStart) {
    std::string output;
    EXPECT_EQ(hostfiles::RunProgramCapture({"sh", "-c", "echo out; echo err >&2; exit 3"}, output, false), 3);
    EXPECT_EQ(output, "out\n");
    EXPECT_EQ(hostfiles::RunProgramCapture({"sh", "-c", "echo out; echo err >&2"}, output, true), 0);
    EXPECT_EQ(output, "out\nerr\n");
    // No shell: an argument with spaces and quotes arrives as it is.
    EXPECT_EQ(hostfiles::RunProgramCapture({"printf", "%s", "a 'b' $HOME"}, output, false), 0);
    EXPECT_EQ(output, "a 'b' $HOME");
    EXPECT_EQ(hostfiles::RunProgramCapture({"/nonexistent/program"}, output, true), -1);
    EXPECT_EQ(hostfiles::RunProgram({"sh", "-c", "kill -9 $$"}), -1);
}

}  // namespace
