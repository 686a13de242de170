// A sound file that cannot be played leaves an empty sound and one message.
#include "AudioFiles.h"
#include "Corvane.h"
#include "Decoder.h"
#include "Testing.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using Corvane::Sound;

std::string WriteBytes(const std::string& name, const std::string& bytes) {
    const std::string path = (testfiles::TempDir() / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class BadFiles : public ::testing::TestWithParam<std::pair<const char*, const char*>> {
protected:
    void SetUp() override { ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5)); }
    void TearDown() override { Corvane::CloseLib(); }
};

std::string MakeBadFile(const std::string& kind) {
    if (kind == "missing") return (testfiles::TempDir() / "nothing-here.wav").string();
    if (kind == "empty") return WriteBytes("empty.wav", "");
    if (kind == "folder") return testfiles::TempDir().string();
    if (kind == "text") return WriteBytes("notes.wav", "these are not the sounds you are looking for\n");
    if (kind == "random") {
        std::string noise(4096, '\0');
        for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
        return WriteBytes("noise.mp3", noise);
    }
    // truncated: a valid file cut in the middle of its audio
    std::string whole = FileBytes(testfiles::WriteWav("whole.wav", testfiles::Sine(48000), 1));
    return WriteBytes("cut.wav", whole.substr(0, whole.size() / 2));
}

TEST_P(BadFiles, LeaveAnEmptySoundAndNameTheFile) {
    const std::string path = MakeBadFile(GetParam().first);
    ::testing::internal::CaptureStderr();
    Sound s(path);
    s.Play(1, true, 0, 255);  // everything on an empty sound does nothing
    s.Pan(255);
    s.Volume(0);
    s.Stop();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_NE(err.find(path), std::string::npos) << err;
    EXPECT_NE(err.find(GetParam().second), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(Corvane::testing::Render(4800), std::vector<float>(9600, 0.0f));
}

INSTANTIATE_TEST_SUITE_P(Kinds, BadFiles,
                         ::testing::Values(std::pair{"missing", "No such file"}, std::pair{"empty", "empty"},
                                           std::pair{"folder", "folder"}, std::pair{"text", "not a WAV or MP3"},
                                           std::pair{"random", "not a WAV or MP3"},
                                           std::pair{"truncated", "truncated"}),
                         [](const auto& info) { return std::string(info.param.first); });

TEST(FileNames, FolderSpellingIsResolvedIgnoringCase) {
    auto dir = testfiles::TempDir() / "Media";
    std::filesystem::create_directories(dir);
    auto sine = testfiles::Sine(4800);
    testfiles::WriteWav("Media/scoreless.wav", sine, 1);
    const std::string lower = (testfiles::TempDir() / "media" / "scoreless.wav").string();
    const std::string upper = (testfiles::TempDir() / "MEDIA" / "SCORELESS.WAV").string();
    EXPECT_EQ(Corvane::detail::ResolvePath(lower), (dir / "scoreless.wav").string());
    EXPECT_EQ(Corvane::detail::ResolvePath(upper), (dir / "scoreless.wav").string());

    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    EXPECT_EQ(Sound(lower).GetLength(), 100);
    Corvane::CloseLib();
}

TEST(FileNames, RelativeNamesResolveFromTheWorkingFolder) {
    auto previous = std::filesystem::current_path();
    std::filesystem::create_directories(testfiles::TempDir() / "Media");
    testfiles::WriteWav("Media/Chicken.wav", testfiles::Sine(4800), 1);
    std::filesystem::current_path(testfiles::TempDir());
    EXPECT_EQ(Corvane::detail::ResolvePath("media/chicken.WAV"), "Media/Chicken.wav");
    EXPECT_EQ(Corvane::detail::ResolvePath("media/absent.wav"), "media/absent.wav");
    std::filesystem::current_path(previous);
}

TEST(Lifetime, CallsOutsideTheServiceAreHarmless) {
    const std::string tone = testfiles::WriteWav("life.wav", testfiles::Sine(4800), 1);
    Sound before(tone);  // before InitLib: stays empty
    EXPECT_EQ(before.GetLength(), 0);

    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    Sound open(tone);
    open.Play(1, true, 128, 255);
    Corvane::SpeakNumber(12);
    Corvane::CloseLib();
    // After CloseLib every call on a sound still held is a no-op.
    open.Play(1, true, 128, 255);
    open.Pan(0);
    open.Volume(3);
    open.Stop();
    EXPECT_EQ(open.GetLength(), 0);
    open.Close();
    Corvane::SpeakNumber(3);
    Corvane::CloseLib();  // twice is fine too

    // And the service starts again afterwards.
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    EXPECT_EQ(Sound(tone).GetLength(), 100);
    Corvane::CloseLib();
}

}  // namespace
