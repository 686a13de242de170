// The name file: kept in the working folder only when it already holds one
// or is the source tree, otherwise in the per-user data folder; and the name
// read from it.
#include "NameFile.h"
#include "PosixShims.h"
#include "ScopedEnvironment.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// A scratch working folder (made current) and HOME and XDG_DATA_HOME under
// the test's control, all restored afterwards.
class NameFile : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root_ / "work");
        fs::create_directories(root_ / "home");
        previousDir_ = fs::current_path();
        fs::current_path(root_ / "work");
        ::setenv("HOME", (root_ / "home").string().c_str(), 1);
        ::unsetenv("XDG_DATA_HOME");
        ::setenv("LOCALAPPDATA", (root_ / "home").string().c_str(), 1);
    }
    void TearDown() override { fs::current_path(previousDir_); }

    bool WorkingFolderEmpty() const { return fs::is_empty(root_ / "work"); }

    const testsupport::TempFolder scratch_{"barnblast-name-file"};
    const fs::path root_ = scratch_.path();

private:
    fs::path previousDir_;
    testsupport::ScopedEnvironment environment_{"HOME", "XDG_DATA_HOME", "LOCALAPPDATA"};
};

#ifdef _WIN32
TEST_F(NameFile, PerUserFolderUnderLocalAppDataMadeOnlyWhenAsked) {
    const fs::path expected = root_ / "home" / "Barnblast" / "name.dat";
    EXPECT_EQ(fs::path(NameFilePath()), expected);
    EXPECT_FALSE(fs::exists(expected.parent_path()));  // --help must not make folders
    MakeNameFileFolder();
    EXPECT_TRUE(fs::is_directory(expected.parent_path()));
    EXPECT_FALSE(fs::exists(expected));
    EXPECT_TRUE(WorkingFolderEmpty());
}
#else
TEST_F(NameFile, PerUserFolderUnderHomeMadeOnlyWhenAskedAndTheWorkingFolderLeftAlone) {
    const fs::path expected = root_ / "home" / ".local" / "share" / "barnblast" / "name.dat";
    EXPECT_EQ(NameFilePath(), expected.string());
    EXPECT_FALSE(fs::exists(root_ / "home" / ".local"));  // --help must not make folders
    MakeNameFileFolder();
    EXPECT_TRUE(fs::is_directory(expected.parent_path()));
    EXPECT_FALSE(fs::exists(expected));  // the name itself is written only when sent
    MakeNameFileFolder();                // and again: nothing to do
    EXPECT_TRUE(fs::is_empty(expected.parent_path()));
    EXPECT_TRUE(WorkingFolderEmpty());
}

TEST_F(NameFile, XdgDataHomeComesFirstWhenAbsolute) {
    ::setenv("XDG_DATA_HOME", (root_ / "data").string().c_str(), 1);
    EXPECT_EQ(NameFilePath(), (root_ / "data" / "barnblast" / "name.dat").string());
    MakeNameFileFolder();
    EXPECT_TRUE(fs::is_directory(root_ / "data" / "barnblast"));

    // A relative one is not meant for us: the home folder's default instead.
    ::setenv("XDG_DATA_HOME", "data", 1);
    EXPECT_EQ(NameFilePath(), (root_ / "home" / ".local" / "share" / "barnblast" / "name.dat").string());
    EXPECT_TRUE(WorkingFolderEmpty());
}
#endif

TEST_F(NameFile, ExistingNameInTheWorkingFolderIsStillUsed) {
    std::ofstream("name.dat") << "Ada";
    ::setenv("XDG_DATA_HOME", (root_ / "data").string().c_str(), 1);
    EXPECT_EQ(NameFilePath(), "name.dat");
    MakeNameFileFolder();
    EXPECT_FALSE(fs::exists(root_ / "data"));
    EXPECT_FALSE(fs::exists(root_ / "home" / ".local"));
}

TEST_F(NameFile, SourceTreeKeepsItBesideMediaAsBefore) {
    fs::create_directory("Media");
    EXPECT_EQ(NameFilePath(), "name.dat");
    MakeNameFileFolder();
    EXPECT_FALSE(fs::exists(root_ / "home" / ".local"));
}

TEST_F(NameFile, WithoutAnyHomeTheWorkingFolderIsAllThereIs) {
    ::unsetenv("HOME");
    ::unsetenv("LOCALAPPDATA");
    EXPECT_EQ(NameFilePath(), "name.dat");
}

// The name is the first line, however the file is made.
TEST(NameFileReading, FirstLineOnlyWithoutWindowsLineEnd) {
    EXPECT_EQ(NameFromText(""), "");
    EXPECT_EQ(NameFromText("\n"), "");
    EXPECT_EQ(NameFromText("\r\n"), "");
    EXPECT_EQ(NameFromText("Ann"), "Ann");
    EXPECT_EQ(NameFromText("Ann\r"), "Ann");
    EXPECT_EQ(NameFromText("Ann\r\r\nBob"), "Ann\r");
    EXPECT_EQ(NameFromText(std::string("A\0n\nB", 5)), std::string("A\0n", 3));
}

// A name file far larger than any name (here a sparse gigabyte with no line
// end) is read only as far as a name could go.
TEST(NameFileReading, HugeFileIsReadOnlyAsFarAsANameCouldGo) {
    const testsupport::TempFolder folder("barnblast-huge-name");
    const fs::path path = folder / "name.dat";
    std::ofstream(path) << "Grace";
    fs::resize_file(path, 1ull << 30);
    const std::string name = ReadNameFile(path.string());
    EXPECT_EQ(name.size(), kMaxNameFileBytes);
    EXPECT_EQ(name.substr(0, 5), "Grace");
}

}  // namespace
