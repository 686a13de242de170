// Pan, volume, looping, stopping and replaying, measured on the rendered mix.
#include "AudioFiles.h"
#include "Corvane.h"
#include "Mix.h"
#include "Testing.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using Corvane::Sound;
using Corvane::testing::Render;

class Mixing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
        tone_ = testfiles::WriteWav("tone.wav", testfiles::Sine(48000), 1);
    }
    void TearDown() override { Corvane::CloseLib(); }

    // Renders half a second after letting any gain ramp settle.
    std::vector<float> Settled() {
        Render(4800);
        return Render(24000);
    }

    std::string tone_;
};

TEST_F(Mixing, HardPanLeavesTheOtherChannelSilent) {
    Sound s(tone_);
    s.Play(-1, true, 0, 255);
    auto left = mix::Measure(Settled());
    EXPECT_GT(left.left, 100.0);
    EXPECT_LT(left.right, left.left * 1e-6);
    s.Pan(255);
    auto right = mix::Measure(Settled());
    EXPECT_GT(right.right, 100.0);
    EXPECT_LT(right.left, right.right * 1e-6);
}

TEST_F(Mixing, CentreGivesEqualEnergyOnBothSides) {
    Sound s(tone_);
    s.Play(-1, true, 128, 255);
    auto e = mix::Measure(Settled());
    EXPECT_GT(e.left, 100.0);
    EXPECT_NEAR(e.left / e.right, 1.0, 0.01);
}

TEST_F(Mixing, PanMovesSmoothlyFromLeftToRight) {
    Sound s(tone_);
    s.Play(-1, true, 0, 255);
    double previous = -1;
    for (int aim = 0; aim < 16; ++aim) {
        s.Pan(aim * 17);
        auto e = mix::Measure(Settled());
        double share = e.right / (e.left + e.right);
        EXPECT_GT(share, previous) << "aim " << aim;
        // 16 positions spread over the whole field: no two land together.
        if (aim > 0) {
            EXPECT_LT(share - previous, 0.2) << "aim " << aim;
        }
        previous = share;
    }
}

TEST_F(Mixing, PanAndVolumeSetWhileStoppedApplyOnPlay) {
    Sound s(tone_);
    s.Pan(0);
    s.Volume(255);
    s.Play(1, true, 255, 128);  // the pan and volume of Play win
    auto e = mix::Measure(Settled());
    EXPECT_LT(e.left, e.right * 1e-6);
    s.Stop();
    s.Pan(0);  // on a stopped sound, then heard at the next play
    s.Volume(255);
    s.Play(1, true, 0, 255);
    s.Pan(0);
    e = mix::Measure(Settled());
    EXPECT_LT(e.right, e.left * 1e-6);
}

TEST_F(Mixing, Volume255IsTwiceTheAmplitudeOf128) {
    Sound s(tone_);
    s.Play(-1, true, 128, 255);
    double full = mix::Peak(Settled());
    s.Volume(128);
    double half = mix::Peak(Settled());
    EXPECT_NEAR(full / half, 255.0 / 128.0, 0.02);
    s.Volume(0);
    EXPECT_EQ(mix::Peak(Settled()), 0.0);
}

// The player's volume of a group scales its sounds, at once, and nothing
// else: the music hard left, an effect hard right.
TEST_F(Mixing, AGroupsVolumeScalesOnlyItsOwnSoundsAtOnce) {
    using Corvane::Group;
    Sound music(tone_);
    music.SetGroup(Group::Music);
    Sound effect(tone_);
    music.Play(2, true, 0, 255);
    effect.Play(1, true, 255, 255);
    const auto full = mix::Measure(Settled());
    struct Case {
        Group group;
        int percent;
        double left, right;  // amplitude against full, per channel
    };
    const Case cases[] = {
        {Group::Music, 50, 0.5, 1.0},   {Group::Music, 0, 0.0, 1.0},  {Group::Music, 100, 1.0, 1.0},
        {Group::Effects, 30, 1.0, 0.3}, {Group::Speech, 0, 1.0, 0.3}, {Group::Effects, 100, 1.0, 1.0},
    };
    for (const Case& c : cases) {
        Corvane::SetGroupVolume(c.group, c.percent);
        const auto now = mix::Measure(Settled());
        EXPECT_NEAR(std::sqrt(now.left / full.left), c.left, 0.01) << static_cast<int>(c.group) << " " << c.percent;
        EXPECT_NEAR(std::sqrt(now.right / full.right), c.right, 0.01) << static_cast<int>(c.group) << " " << c.percent;
    }
    // Kept for the next sound of the group, and across a reopening.
    Corvane::SetGroupVolume(Group::Music, 50);
    music.Open(tone_);
    music.Play(2, true, 0, 255);
    EXPECT_NEAR(std::sqrt(mix::Measure(Settled()).left / full.left), 0.5, 0.01);
    for (Group g : {Group::Music, Group::Effects, Group::Speech}) Corvane::SetGroupVolume(g, 100);
}

TEST_F(Mixing, StoppedLoopIsSilentAndReplayStartsAgain) {
    // A click at the very start, then silence: a replay must bring it back.
    std::vector<float> click(24000, 0.0f);
    for (int i = 0; i < 480; ++i) click[i] = 0.5f;
    Sound s(testfiles::WriteWav("click.wav", click, 1));
    s.Play(-1, false, 128, 255);
    auto first = Render(480);
    EXPECT_GT(mix::Peak(first), 0.1);
    Render(4800);
    EXPECT_EQ(mix::Peak(Render(480)), 0.0);  // past the click

    s.Play(-1, false, 128, 255);
    EXPECT_GT(mix::Peak(Render(480)), 0.1);

    Sound loop(tone_);
    loop.Play(1, true, 128, 255);
    Render(4800);
    loop.Stop();
    Render(480);  // the stop fades out within one update
    EXPECT_EQ(mix::Peak(Render(4800)), 0.0);
}

TEST_F(Mixing, LoopHasNoGapAtTheLoopPoint) {
    // 100 ms of a whole-cycle tone looped 30 times: every block stays loud.
    Sound s(testfiles::WriteWav("short.wav", testfiles::Sine(4800), 1));
    s.Play(-1, true, 128, 255);
    Render(480);
    for (int block = 0; block < 300; ++block) {
        auto out = Render(480);
        double peak = mix::Peak(out);
        ASSERT_GT(peak, 0.2) << "block " << block;
    }
}

TEST_F(Mixing, TwoSoundsMixTogether) {
    Sound left(tone_), right(testfiles::WriteWav("tone2.wav", testfiles::Sine(48000, 1.0 / 60.0), 1));
    left.Play(-1, true, 0, 255);
    right.Play(-1, true, 255, 255);
    auto e = mix::Measure(Settled());
    EXPECT_GT(e.left, 100.0);
    EXPECT_GT(e.right, 100.0);
    left.Stop();
    Render(480);
    e = mix::Measure(Settled());
    EXPECT_LT(e.left, 1e-6);
    EXPECT_GT(e.right, 100.0);
}

TEST_F(Mixing, StereoSoundPlaysAsRecorded) {
    std::vector<float> stereo(48000 * 2);
    auto sine = testfiles::Sine(48000);
    for (int i = 0; i < 48000; ++i) stereo[2 * i] = sine[i];  // left only
    Sound s(testfiles::WriteWav("stereo.wav", stereo, 2));
    s.Play(2, true, -1, 255);
    auto e = mix::Measure(Settled());
    EXPECT_GT(e.left, 100.0);
    EXPECT_LT(e.right, 1e-9);
}

TEST_F(Mixing, ASlotHoldsOneSoundAtATime) {
    Sound a(tone_), b(tone_);
    a.Play(2, true, 0, 255);
    b.Play(2, true, 255, 255);  // takes slot 2 over: a stops
    Render(4800);
    auto e = mix::Measure(Settled());
    EXPECT_LT(e.left, e.right * 1e-6);
}

TEST_F(Mixing, OneShotsNeverRunOutOfSlots) {
    std::vector<std::unique_ptr<Sound>> shots;
    for (int i = 0; i < 200; ++i) {
        shots.push_back(std::make_unique<Sound>(tone_));
        shots.back()->Play(-1, false, 128, 1);
    }
    EXPECT_GT(mix::Peak(Settled()), 0.1);  // 200 quiet tones add up
}

TEST_F(Mixing, ClosedOneShotIsHeardToItsEnd) {
    auto sound = std::make_unique<Sound>(tone_);
    sound->Play(-1, false, 128, 255);
    sound.reset();  // closed right after it was fired
    EXPECT_GT(mix::Peak(Render(24000)), 0.2);
    // Its second half, and up to 20 ms more: a mixer may start a sound at
    // its next update rather than at once.
    Render(24000 + 960);
    EXPECT_EQ(mix::Peak(Render(4800)), 0.0);
}

TEST_F(Mixing, ClosedLoopFallsSilent) {
    auto sound = std::make_unique<Sound>(tone_);
    sound->Play(2, true, 128, 255);
    Render(4800);
    sound.reset();
    Render(480);
    EXPECT_EQ(mix::Peak(Render(4800)), 0.0);
}

// Whole cycles per second of the left channel: rising zero crossings.
double Frequency(const std::vector<float>& stereo) {
    int rising = 0;
    for (std::size_t i = 2; i < stereo.size(); i += 2) rising += stereo[i - 2] < 0 && stereo[i] >= 0;
    return rising * 48000.0 * 2 / static_cast<double>(stereo.size());
}

// How the mix reaches the player's ears: pitch, one ear, headphones.
class Listening : public Mixing {
protected:
    void TearDown() override {
        Corvane::SetOneEar(false);
        Corvane::SetHeadphones(false);
        Mixing::TearDown();
    }
};

TEST_F(Listening, PitchMovesTheToneByItsCentsAlsoWhilePlaying) {
    Sound s(tone_);  // 1,000 Hz
    s.Play(-1, true, 128, 255);
    const struct {
        int cents;
        double hertz;
    } cases[] = {{0, 1000}, {1200, 2000}, {-1200, 500}, {700, 1498.3}, {5000, 2000}, {-5000, 500}, {0, 1000}};
    for (const auto& c : cases) {
        s.Pitch(c.cents);
        EXPECT_NEAR(Frequency(Settled()), c.hertz, 6.0) << c.cents << " cents";
    }
}

TEST_F(Listening, OneEarGivesBothChannelsTheSameSound) {
    Sound left(tone_);
    std::vector<float> stereo(48000 * 2);
    const auto sine = testfiles::Sine(48000, 1.0 / 60.0);
    for (int i = 0; i < 48000; ++i) stereo[2 * i + 1] = sine[i];  // right only
    Sound right(testfiles::WriteWav("right.wav", stereo, 2));
    left.Play(1, true, 0, 255);
    right.Play(2, true, -1, 255);
    Corvane::SetOneEar(true);
    const auto both = Settled();
    for (std::size_t i = 0; i < both.size(); i += 2) ASSERT_EQ(both[i], both[i + 1]) << "frame " << i / 2;
    EXPECT_GT(mix::Measure(both).left, 100.0);
    Corvane::SetOneEar(false);  // and back: the pan is heard again
    right.Stop();
    const auto panned = mix::Measure(Settled());
    EXPECT_LT(panned.right, panned.left * 1e-6);
}

TEST_F(Listening, HeadphonesChangeTheRenderingOnlyWhileOn) {
    Sound s(tone_);
    s.Play(1, true, 0, 255);
    const auto plain = mix::Measure(Settled());
    ASSERT_LT(plain.right, plain.left * 1e-6);  // plain stereo: hard left is silent on the right
    ASSERT_TRUE(Corvane::SetHeadphones(true));
    const auto hrtf = mix::Measure(Settled());
    // Through the head: the far ear hears it too, quieter and later.
    EXPECT_GT(hrtf.right, hrtf.left * 1e-3);
    EXPECT_LT(hrtf.right, hrtf.left);
    ASSERT_TRUE(Corvane::SetHeadphones(false));
    const auto again = mix::Measure(Settled());
    EXPECT_LT(again.right, again.left * 1e-6);
    EXPECT_NEAR(again.left / plain.left, 1.0, 1e-3);
    // Kept for the next start: the mixer opens for headphones.
    Corvane::SetHeadphones(true);
    Corvane::CloseLib();
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    Sound next(tone_);
    next.Play(1, true, 0, 255);
    const auto reopened = mix::Measure(Settled());
    EXPECT_GT(reopened.right, reopened.left * 1e-3);
}

TEST_F(Mixing, LengthIsExactInMilliseconds) {
    EXPECT_EQ(Sound(tone_).GetLength(), 1000);
    EXPECT_EQ(Sound(testfiles::WriteWav("odd.wav", testfiles::Sine(22050 * 3 / 2, 0.01), 1, 22050)).GetLength(), 1500);
}

}  // namespace
