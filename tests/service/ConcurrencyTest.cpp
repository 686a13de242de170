// One thread plays and stops a sound while another pans it and sets its
// volume; the mixer renders all the while. Run under ThreadSanitizer too.
#include "AudioFiles.h"
#include "Corvane.h"
#include "Mix.h"
#include "Testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using Corvane::Sound;

// Plays `sound` looping hard left and checks the mix holds it there alone.
// One-shots played before may still be sounding (under Wine their last
// fade-out was heard up to 0.1 s late): half a second lets them end first.
void ExpectHeardHardLeftAlone(Sound& sound) {
    Corvane::testing::Render(24000);
    sound.Play(1, true, 0, 255);
    Corvane::testing::Render(4800);
    const auto energy = mix::Measure(Corvane::testing::Render(4800));
    EXPECT_GT(energy.left, 10.0);
    EXPECT_LT(energy.right, energy.left * 1e-6);
}

TEST(Concurrency, PlayStopWhilePanningAndRendering) {
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    const std::string tone = testfiles::WriteWav("c.wav", testfiles::Sine(4800), 1);
    Sound cluck(tone);
    std::atomic<bool> done{false};

    std::thread timer([&] {
        for (int i = 0; i < 3000; ++i) {
            cluck.Play(1, true, 128, 128);
            cluck.Stop();
        }
        done = true;
    });
    std::thread mixer([&] {
        while (!done) Corvane::testing::Render(480);
    });
    int aim = 0;
    while (!done) {
        cluck.Pan((aim++ % 16) * 17);
        cluck.Volume(aim % 2 ? 255 : 128);
        Sound shot(tone);  // one-shots opened and closed meanwhile
        shot.Play(-1, false, 128, 128);
    }
    timer.join();
    mixer.join();

    ExpectHeardHardLeftAlone(cluck);  // still fully working afterwards
    Corvane::CloseLib();
}

TEST(Concurrency, OpenCloseAndSpeakFromManyThreadsThenCloseLib) {
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    const std::string tone = testfiles::WriteWav("d.wav", testfiles::Sine(4800), 1);
    Sound shared(tone);
    ::testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                if (t == 0) shared.Open(tone);
                if (t == 1) shared.Close();
                if (t == 2) Corvane::SpeakNumber(i - 150);
                shared.Play(-1, false, i % 256, 200);
                shared.GetLength();
                Corvane::testing::Render(64);
            }
        });
    }
    for (auto& th : threads) th.join();
    // No call reached OpenAL with a handle already given back.
    EXPECT_EQ(::testing::internal::GetCapturedStderr().find("OpenAL error"), std::string::npos);

    // Whatever order the calls met in, the sound still works (once the last
    // number has been said)...
    ASSERT_TRUE(Corvane::testing::WaitSpeechIdle(10000));
    Corvane::testing::Render(5 * 48000);
    shared.Open(tone);
    ExpectHeardHardLeftAlone(shared);
    // ...and every handle taken on the way is given back.
    Corvane::CloseLib();
    shared.Close();  // after CloseLib: a no-op
    for (const auto& tally : Corvane::testing::NativeTallies()) EXPECT_EQ(tally.taken, tally.returned) << tally.kind;
}

}  // namespace
