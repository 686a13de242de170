// The capture file and the real output path (SDL, its dummy driver here).
#include "AudioFiles.h"
#include "Corvane.h"
#include "Mix.h"
#include "Testing.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using Corvane::Sound;

std::vector<float> ReadCapture(const std::string& path, SF_INFO& info) {
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    if (!f) return {};
    std::vector<float> data(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(f, data.data(), info.frames);
    sf_close(f);
    return data;
}

TEST(Capture, HoldsExactlyTheRenderedMix) {
    const std::string path = (testfiles::TempDir() / "render.capture.wav").string();
    ::setenv("BARNBLAST_CAPTURE", path.c_str(), 1);
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    ::unsetenv("BARNBLAST_CAPTURE");
    std::vector<float> rendered;
    {
        Sound s(testfiles::WriteWav("cap.wav", testfiles::Sine(48000, 1.0 / 100), 1));
        s.Play(1, true, 40, 200);
        for (int i = 0; i < 100; ++i) {
            if (i == 50) s.Pan(220);
            auto block = Corvane::testing::Render(480);
            rendered.insert(rendered.end(), block.begin(), block.end());
        }
    }
    Corvane::CloseLib();

    SF_INFO info{};
    auto captured = ReadCapture(path, info);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    ASSERT_EQ(captured.size(), rendered.size());
    EXPECT_EQ(captured, rendered);
}

// Frames the output has pulled so far, counted on the audio thread.
std::atomic<long> pulledFrames{0};

// Waits until the output has pulled `frames` more, however slowly a busy
// machine lets SDL's dummy driver run.
void WaitPulled(long frames) {
    const long until = pulledFrames.load() + frames;
    while (pulledFrames.load() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(OutputPath, LoopPannedLeftCentreRightReachesTheOutput) {
    // Through the real device path: SDL's dummy driver pulls at real time.
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    const std::string path = (testfiles::TempDir() / "output.capture.wav").string();
    ::setenv("BARNBLAST_CAPTURE", path.c_str(), 1);
    ASSERT_TRUE(Corvane::InitLib(5));
    ::unsetenv("BARNBLAST_CAPTURE");
    Corvane::testing::SetRenderObserver([](const float*, int frames) { pulledFrames += frames; });
    {
        // 0.4 s of each position, as pulled by the output, not by the clock.
        Sound s(testfiles::WriteWav("loop.wav", testfiles::Sine(4800), 1));
        s.Play(1, true, 0, 255);
        WaitPulled(19200);
        s.Pan(128);
        WaitPulled(19200);
        s.Pan(255);
        WaitPulled(19200);
    }
    Corvane::CloseLib();
    Corvane::testing::SetRenderObserver(nullptr);

    SF_INFO info{};
    auto captured = ReadCapture(path, info);
    ASSERT_GT(info.frames, 48000);
    // Classify every 10 ms block: the order left, centre, right must appear.
    std::string seen;
    for (std::size_t block = 0; block + 480 <= static_cast<std::size_t>(info.frames); block += 480) {
        auto e = mix::Measure(captured, block, block + 480);
        char kind = '.';
        if (e.left + e.right > 1.0) {
            if (e.right < e.left * 1e-6)
                kind = 'L';
            else if (e.left < e.right * 1e-6)
                kind = 'R';
            else if (std::fabs(e.left / e.right - 1.0) < 0.05)
                kind = 'C';
            else
                kind = '~';
        }
        if (seen.empty() || seen.back() != kind) seen += kind;
    }
    std::string order;
    for (char c : seen)
        if (c == 'L' || c == 'C' || c == 'R') order += c;
    EXPECT_EQ(order, "LCR") << seen;
}

}  // namespace
