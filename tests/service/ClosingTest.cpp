// What a sound closed while it plays does: a short effect is heard to its
// end, anything longer fades out at once, so prompts never talk over each
// other. Measured on the rendered mix.
#include "AudioFiles.h"
#include "Corvane.h"
#include "Mix.h"
#include "Testing.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Corvane::Sound;
using Corvane::testing::Render;

constexpr int kBlock = 480;  // the output's 10 ms block

class Closing : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5)); }
    void TearDown() override { Corvane::CloseLib(); }

    // Renders `frames` in output-sized blocks, as the sound card pulls them.
    static std::vector<float> RenderBlocks(int frames) {
        std::vector<float> out;
        for (int done = 0; done < frames; done += kBlock) {
            auto block = Render(kBlock);
            out.insert(out.end(), block.begin(), block.end());
        }
        return out;
    }

    // The first `frames` of one copy played alone.
    static std::vector<float> PlayedAlone(const std::string& file, int frames) {
        Sound alone(file);
        alone.Play(-1, false, 128, 128);
        return RenderBlocks(frames);
    }
};

TEST_F(Closing, AShotClosedAsSoonAsFiredIsHeardToItsEnd) {
    // 0.75 s, like the shot.
    const auto shot = testfiles::WriteWav("shot.wav", testfiles::Sine(36000), 1);
    std::vector<float> kept;
    {
        Sound open(shot);
        open.Play(-1, false, 128, 128);
        kept = RenderBlocks(38400);
    }
    Sound closed(shot);
    closed.Play(-1, false, 128, 128);
    closed.Close();
    const auto heard = RenderBlocks(38400);

    ASSERT_EQ(heard.size(), kept.size());
    const auto all = mix::Measure(kept);
    const auto got = mix::Measure(heard);
    EXPECT_GT(all.left, 100.0);
    EXPECT_NEAR(got.left, all.left, all.left * 1e-6);
    // The last of it is there too: the final 50 ms before its end.
    const auto tailKept = mix::Measure(kept, 33600, 36000);
    const auto tailHeard = mix::Measure(heard, 33600, 36000);
    EXPECT_GT(tailKept.left, 1.0);
    EXPECT_NEAR(tailHeard.left, tailKept.left, tailKept.left * 1e-6);
}

TEST_F(Closing, EffectsUpToTheLimitPlayOutAndLongerSoundsStop) {
    const auto atLimit = testfiles::WriteWav("limit.wav", testfiles::Sine(48 * Corvane::kPlayOutMs), 1);
    const auto longer = testfiles::WriteWav("longer.wav", testfiles::Sine(48 * (Corvane::kPlayOutMs + 100)), 1);
    {
        Sound effect(atLimit);
        effect.Play(-1, false, 128, 128);
    }
    RenderBlocks(4800);
    const auto later = mix::Measure(RenderBlocks(4800));
    EXPECT_GT(later.left, 10.0) << "a sound of exactly the limit plays out";
    RenderBlocks(48 * Corvane::kPlayOutMs);

    {
        Sound prompt(longer);
        prompt.Play(-1, false, 128, 128);
    }
    RenderBlocks(2 * kBlock);
    const auto after = mix::Measure(RenderBlocks(4800));
    EXPECT_EQ(after.left, 0.0) << "a longer one stops";
}

TEST_F(Closing, AClosedPromptFadesWithinTwoBlocksWithoutAClick) {
    const auto prompt = testfiles::WriteWav("prompt.wav", testfiles::Sine(3 * 48000), 1);
    Sound s(prompt);
    s.Play(-1, false, 128, 128);
    const auto before = RenderBlocks(4800);
    const double full = mix::Peak(before);
    s.Close();
    const auto fade = RenderBlocks(2 * kBlock);
    // Falls away smoothly: no sample jumps by more than a full-scale sine
    // step would, and the second block is silent.
    double largestStep = 0;
    for (std::size_t i = 2; i < fade.size(); i += 2)
        largestStep = std::max(largestStep, double(std::fabs(fade[i] - fade[i - 2])));
    EXPECT_LT(largestStep, full * 0.2);
    const std::vector<float> second(fade.begin() + 2 * kBlock, fade.end());
    EXPECT_EQ(mix::Peak(second), 0.0);
    EXPECT_EQ(mix::Peak(RenderBlocks(4800)), 0.0);
}

TEST_F(Closing, APromptReplayedThirtyTimesNeverSoundsTwice) {
    // A held key at "play again?": each key closes the prompt and plays it
    // again from its start, here as fast as the output pulls blocks. Noise
    // copies at different offsets add their energies, so two copies at once
    // would show as twice the energy of one.
    const auto prompt = testfiles::WriteWav("again.wav", testfiles::Noise(3 * 48000), 1);
    const auto one = mix::Measure(PlayedAlone(prompt, 30 * kBlock));
    RenderBlocks(3 * 48000);

    std::vector<float> heard;
    auto current = std::make_unique<Sound>(prompt);
    current->Play(-1, false, 128, 128);
    for (int i = 0; i < 30; ++i) {
        auto block = RenderBlocks(kBlock);
        heard.insert(heard.end(), block.begin(), block.end());
        current = std::make_unique<Sound>(prompt);  // the old one closes
        current->Play(-1, false, 128, 128);
    }
    const auto replayed = mix::Measure(heard);
    ASSERT_GT(one.left, 10.0);
    // One copy, plus the old one's 2.5 ms fade under the start of each new one
    // (a twelfth of a block's energy): never two copies.
    EXPECT_LT(replayed.left, one.left * 1.4) << "more than one copy sounded at once";
    EXPECT_GT(replayed.left, one.left * 0.9);
    // The last copy, still open, plays on.
    EXPECT_GT(mix::Measure(RenderBlocks(48000)).left, 100.0);
}

TEST_F(Closing, ALoopClosedStopsAtOnce) {
    const auto loop = testfiles::WriteWav("loop.wav", testfiles::Sine(4800), 1);
    {
        Sound cluck(loop);
        cluck.Play(1, true, 128, 128);
        RenderBlocks(4800);
    }
    RenderBlocks(2 * kBlock);
    EXPECT_EQ(mix::Peak(RenderBlocks(4800)), 0.0);
}

}  // namespace
