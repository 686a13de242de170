// Where a sound the game names is looked for: the working folder, then
// $BARNBLAST_DATA, then the installed data folder.
#include "PosixShims.h"
#include "TempFolder.h"
#include "decoding/MediaPaths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

namespace {

namespace fs = std::filesystem;
using Corvane::detail::InstalledDataDir;
using Corvane::detail::LocateMedia;

// A file in a folder as the system writes it: a found sound's name is the
// folder and the file joined with the system's own separator.
std::string In(const std::string& dir, const std::string& file) {
#ifdef _WIN32
    return dir + '\\' + file;
#else
    return dir + '/' + file;
#endif
}

// A scratch tree: a working folder (made current), a data folder and an
// installed folder; BARNBLAST_DATA unset unless a test sets it.
class MediaPaths : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* dir : {"work", "data", "installed"}) fs::create_directory(root_ / dir);
        previousDir_ = fs::current_path();
        fs::current_path(root_ / "work");
        if (const char* data = std::getenv("BARNBLAST_DATA")) previousData_ = data;
        ::unsetenv("BARNBLAST_DATA");
    }
    void TearDown() override {
        fs::current_path(previousDir_);
        if (previousData_)
            ::setenv("BARNBLAST_DATA", previousData_->c_str(), 1);
        else
            ::unsetenv("BARNBLAST_DATA");
    }

    void Touch(const fs::path& path) {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << "RIFF";
    }
    std::string Installed() const { return (root_ / "installed").string(); }
    std::string InData(const std::string& name) const { return (root_ / "data" / name).string(); }
    void UseData() const { ::setenv("BARNBLAST_DATA", (root_ / "data").string().c_str(), 1); }

    testsupport::TempFolder root_{"barnblast-media"};

private:
    fs::path previousDir_;
    std::optional<std::string> previousData_;
};

TEST_F(MediaPaths, WorkingFolderWinsAsGivenEvenWithOtherFoldersFilled) {
    Touch("work/Media/Chicken.wav");
    Touch("data/Chicken.wav");
    Touch("installed/Chicken.wav");
    UseData();
    EXPECT_EQ(LocateMedia("Media/Chicken.wav", Installed()), "Media/Chicken.wav");
}

TEST_F(MediaPaths, WorkingFolderMatchedIgnoringCaseAsTheDecoderDoes) {
    Touch("work/Media/scoreless.wav");
    Touch("installed/scoreless.wav");
    EXPECT_EQ(LocateMedia("media/scoreless.wav", Installed()), "media/scoreless.wav");
}

TEST_F(MediaPaths, DataFolderHoldsTheFilesWithoutTheirMediaFolder) {
    Touch("data/Chicken.wav");
    Touch("installed/Chicken.wav");
    UseData();
    EXPECT_EQ(LocateMedia("Media/Chicken.wav", Installed()), InData("Chicken.wav"));
    // Whatever the case of the folder the game names.
    Touch("data/scoreless.wav");
    EXPECT_EQ(LocateMedia("media/scoreless.wav", Installed()), InData("scoreless.wav"));
}

TEST_F(MediaPaths, InstalledFolderWhenNeitherHasTheFile) {
    Touch("installed/Background.mp3");
    EXPECT_EQ(LocateMedia("Media/Background.mp3", Installed()), In(Installed(), "Background.mp3"));
    UseData();  // set, but without the file
    EXPECT_EQ(LocateMedia("Media/Background.mp3", Installed()), In(Installed(), "Background.mp3"));
    // A trailing slash on the folder makes no double one.
    EXPECT_EQ(LocateMedia("Media/Background.mp3", Installed() + "/"), Installed() + "/Background.mp3");
}

TEST_F(MediaPaths, NowhereLeavesTheNameForTheErrorMessage) {
    UseData();
    EXPECT_EQ(LocateMedia("Media/Missing.wav", Installed()), "Media/Missing.wav");
    // A folder of that name is not a sound to fall back from.
    fs::create_directories(root_ / "installed" / "Folder.wav");
    EXPECT_EQ(LocateMedia("Media/Folder.wav", Installed()), "Media/Folder.wav");
}

TEST_F(MediaPaths, AbsoluteNamesAreTakenAsMeant) {
    Touch("installed/Chicken.wav");
    const std::string absent = (root_ / "work" / "Chicken.wav").string();
    EXPECT_EQ(LocateMedia(absent, Installed()), absent);
}

TEST_F(MediaPaths, EmptyDataVariableIsIgnored) {
    Touch("installed/Chicken.wav");
    ::setenv("BARNBLAST_DATA", "", 1);
    EXPECT_EQ(LocateMedia("Media/Chicken.wav", Installed()), In(Installed(), "Chicken.wav"));
}

#ifdef _WIN32
TEST(MediaPathsInstalled, FolderIsMediaBesideTheProgram) {
    const std::string dir = InstalledDataDir();
    ASSERT_GT(dir.size(), 2U);
    EXPECT_EQ(dir[1], ':') << dir;
    EXPECT_TRUE(dir.ends_with("/Media")) << dir;
}
#else
TEST(MediaPathsInstalled, FolderComesFromTheInstallPrefix) {
    const std::string dir = InstalledDataDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.front(), '/');
    EXPECT_TRUE(dir.ends_with("/share/barnblast")) << dir;
}
#endif

}  // namespace
