// Long sounds are streamed from a short queue: they must sound exactly as the
// same file decoded whole, across the loop's seam too, and answer every call
// as a loaded sound does.
#include "AudioFiles.h"
#include "Corvane.h"
#include "Mix.h"
#include "Testing.h"
#include "WavFile.h"
#include "mixer/Stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

using Corvane::Sound;
using Corvane::testing::Render;
using Corvane::testing::ServiceStreams;

constexpr int kBlock = 480;
constexpr int kNeverStream = 24 * 3600 * 1000;

// Renders in output-sized blocks, refilling streams between them as the
// stream thread would.
std::vector<float> RenderBlocks(int frames) {
    std::vector<float> out;
    for (int done = 0; done < frames; done += kBlock) {
        auto block = Render(kBlock);
        out.insert(out.end(), block.begin(), block.end());
        ServiceStreams();
    }
    return out;
}

// Plays `file` looping in a fresh session and renders `frames` of it.
std::vector<float> PlayedLooping(const std::string& file, int streamAboveMs, int frames, int& lengthMs) {
    EXPECT_TRUE(Corvane::testing::InitLibWithoutOutput(5, streamAboveMs));
    std::vector<float> out;
    {
        Sound music(file);
        lengthMs = music.GetLength();
        music.Play(2, true, -1, 255);
        out = RenderBlocks(frames);
    }
    Corvane::CloseLib();
    return out;
}

void ExpectSameSound(const std::vector<float>& streamed, const std::vector<float>& loaded) {
    ASSERT_EQ(streamed.size(), loaded.size());
    std::size_t differing = 0, first = 0;
    for (std::size_t i = 0; i < streamed.size(); ++i) {
        if (std::fabs(streamed[i] - loaded[i]) > 1e-6f && differing++ == 0) first = i / 2;
    }
    EXPECT_EQ(differing, 0u) << "first differing frame " << first;
    EXPECT_GT(mix::Measure(streamed).left, 100.0);
}

TEST(Stream, AStreamedLoopSoundsAsTheLoadedOneAcrossTheSeam) {
    // 11 s of stereo noise at the mixing rate: any frame lost or doubled at
    // the seam, or between two buffers of the queue, shows.
    std::vector<float> noise = testfiles::Noise(2 * 11 * 48000);
    const auto file = testfiles::WriteWav("long-noise.wav", noise, 2, 48000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    int streamedMs = 0, loadedMs = 0;
    const auto streamed = PlayedLooping(file, 1000, 12 * 48000, streamedMs);
    const auto loaded = PlayedLooping(file, kNeverStream, 12 * 48000, loadedMs);
    EXPECT_EQ(streamedMs, 11000);
    EXPECT_EQ(loadedMs, 11000);
    ExpectSameSound(streamed, loaded);
}

TEST(Stream, TheGamesMusicStreamsSeamlesslyAtItsLength) {
    // The real MP3, resampled from 44.1 kHz by the mixer: the same input
    // gives the same output, so streamed and loaded must agree exactly.
    const std::string music = std::string(SOURCE_DIR) + "/Media/Background.mp3";
    int streamedMs = 0, loadedMs = 0;
    const auto streamed = PlayedLooping(music, 1000, 33 * 48000, streamedMs);
    const auto loaded = PlayedLooping(music, kNeverStream, 33 * 48000, loadedMs);
    EXPECT_EQ(streamedMs, 32000);
    EXPECT_EQ(streamedMs, loadedMs);
    ExpectSameSound(streamed, loaded);
}

class StreamedSound : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5, 1000));
        tone_ = testfiles::WriteWav("long-tone.wav", testfiles::Sine(3 * 48000), 1);
    }
    void TearDown() override { Corvane::CloseLib(); }

    std::string tone_;
};

TEST_F(StreamedSound, PansAndSetsItsVolumeAsALoadedSound) {
    Sound s(tone_);
    s.Play(-1, true, 0, 255);
    RenderBlocks(4800);
    auto left = mix::Measure(RenderBlocks(4800));
    EXPECT_GT(left.left, 100.0);
    EXPECT_LT(left.right, left.left * 1e-6);
    s.Volume(0);
    RenderBlocks(4800);
    EXPECT_EQ(mix::Peak(RenderBlocks(4800)), 0.0);
}

TEST_F(StreamedSound, StopsAndPlaysAgainFromTheStart) {
    Sound s(tone_);
    s.Play(-1, false, 128, 255);
    RenderBlocks(4800);
    s.Stop();
    RenderBlocks(2 * kBlock);
    EXPECT_EQ(mix::Peak(RenderBlocks(48000)), 0.0) << "a stopped stream must not be restarted by its refills";
    s.Play(-1, false, 128, 255);
    EXPECT_GT(mix::Measure(RenderBlocks(4800)).left, 10.0);
    // Played once, it ends at its end and stays silent.
    RenderBlocks(3 * 48000);
    EXPECT_EQ(mix::Peak(RenderBlocks(48000)), 0.0);
}

TEST_F(StreamedSound, GivesWayOnItsSlotAndStopsWhenClosed) {
    Sound music(tone_);
    music.Play(2, true, -1, 255);
    RenderBlocks(4800);
    {
        Sound other(testfiles::WriteWav("other.wav", testfiles::Sine(480), 1));
        other.Play(2, false, 128, 0);  // silent, but takes the slot
        RenderBlocks(2 * kBlock);
        EXPECT_EQ(mix::Peak(RenderBlocks(48000)), 0.0);
    }
    music.Play(2, true, -1, 255);
    EXPECT_GT(mix::Measure(RenderBlocks(4800)).left, 10.0);
    music.Close();
    RenderBlocks(2 * kBlock);
    EXPECT_EQ(mix::Peak(RenderBlocks(48000)), 0.0);
}

TEST_F(StreamedSound, PausedGoesOnFromWhereItStoppedWithoutAClick) {
    // Left a 100 Hz tone; right a level that rises by 0.1 a second of the
    // file, so what is heard on the right says where in the file it is.
    std::vector<float> file(2 * 4 * 48000);
    for (std::size_t frame = 0; 2 * frame < file.size(); ++frame) {
        file[2 * frame] = 0.5f * static_cast<float>(std::sin(2 * M_PI * static_cast<double>(frame) / 480));
        file[2 * frame + 1] = 0.1f * static_cast<float>(frame) / 48000;
    }
    Sound music(testfiles::WriteWav("position.wav", file, 2, 48000, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    music.Play(2, true, -1, 255);
    std::vector<float> heard = RenderBlocks(48000);
    music.Pause();
    const auto paused = RenderBlocks(48000);
    music.Resume();
    const auto resumed = RenderBlocks(48000);
    EXPECT_EQ(mix::Peak(std::vector<float>(paused.begin() + 2 * kBlock, paused.end())), 0.0f);
    // 100 ms after it went on, 1.1 s into the file is heard: give or take
    // the fade out, a few hundredths of a second passed over in silence.
    EXPECT_NEAR(resumed[2 * 4800 + 1], 0.11f, 0.005f) << "a second in, not from its beginning";
    // No sample steps further than the tone's own, while it pauses or resumes.
    heard.insert(heard.end(), paused.begin(), paused.end());
    heard.insert(heard.end(), resumed.begin(), resumed.end());
    float step = 0;
    for (std::size_t i = 2; i < heard.size(); ++i) step = std::max(step, std::fabs(heard[i] - heard[i - 2]));
    EXPECT_LT(step, 0.02f);
}

TEST(Stream, AnHourLongFileOpensAndPlaysWithoutBeingDecodedWhole) {
    // One hour of 8 kHz 16-bit mono silence and a tone at its start: 57.6 MB
    // on disk, sparse; decoded whole it would be 115 MB of floats.
    const auto path = testfiles::TempDir() / "hour.wav";
    testsupport::WriteToneWav(path,
                              {.rate = 8000, .channels = 1, .frames = 3600 * 8000, .period = 16, .amplitude = 8000});

    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    {
        Sound hour(path.string());
        EXPECT_EQ(hour.GetLength(), 3600 * 1000);
        hour.Play(-1, false, 128, 255);
        EXPECT_GT(mix::Measure(RenderBlocks(4800)).left, 10.0);
    }
    Corvane::CloseLib();
    std::filesystem::remove(path);
}

// A file that fails partway (a disk giving read errors, say: a reader that
// does so after the first second here) ends that sound with one line naming
// it; what was already decoded plays out and the mixer goes on.
class FailingReader : public Corvane::detail::SoundReader {
public:
    FailingReader(std::unique_ptr<SoundReader> real, long long goodFrames) : real_(std::move(real)), left_(goodFrames) {
        channels_ = real_->Channels();
        sampleRate_ = real_->SampleRate();
        announcedFrames_ = real_->AnnouncedFrames();
    }
    long long Read(float* out, long long frames, std::string& error) override {
        if (left_ <= 0) {
            error = "decoding failed: Input/output error";
            return -1;
        }
        const long long got = real_->Read(out, std::min(frames, left_), error);
        if (got > 0) left_ -= got;
        return got;
    }
    bool Rewind() override { return real_->Rewind(); }

private:
    std::unique_ptr<SoundReader> real_;
    long long left_;
};

TEST(Stream, AReadFaultPartwayEndsThatSoundWithOneLine) {
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    {
        std::string error;
        auto real =
            Corvane::detail::SoundReader::Open(testfiles::WriteWav("tone.wav", testfiles::Sine(5 * 48000), 1), error);
        ASSERT_TRUE(real) << error;
        Corvane::detail::Stream stream;
        ASSERT_TRUE(stream.Start(std::make_unique<FailingReader>(std::move(real), 48000), "Music.wav"));
        const auto source = Corvane::detail::GenerateSource();
        stream.Play(source.Get(), true);

        ::testing::internal::CaptureStderr();
        std::vector<float> heard;
        int serviced = 0;
        for (int block = 0; block < 300; ++block) {  // 3 s
            auto out = Render(kBlock);
            heard.insert(heard.end(), out.begin(), out.end());
            if (stream.Service(source.Get())) ++serviced;
        }
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "sound: \"Music.wav\" stopped: decoding failed: Input/output error\n");
        EXPECT_LT(serviced, 300) << "the stream must stop asking for service";
        // The good second was heard whole, then silence.
        const std::vector<float> good(heard.begin(), heard.begin() + 2 * 47000);
        const std::vector<float> after(heard.begin() + 2 * 48000 + 2 * 4096, heard.end());
        EXPECT_GT(mix::Measure(good).left, 10.0);
        EXPECT_EQ(mix::Peak(after), 0.0);
        stream.Detach(source.Get());
    }
    Corvane::CloseLib();
}

}  // namespace
