// Numbers are synthesized in memory and heard through the mixer.
#include "AudioFiles.h"
#include "Corvane.h"
#include "Mix.h"
#include "Testing.h"
#include "speech/Speech.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

// Renders until the speech has been silent for half a second; returns how
// many frames carried sound.
long SpokenFrames(std::vector<float>* all = nullptr) {
    long sounding = 0, lastSound = 0, frame = 0;
    while (frame - lastSound < 24000 && frame < 48000 * 20) {
        auto block = Corvane::testing::Render(480);
        for (std::size_t i = 0; i < block.size(); i += 2, ++frame) {
            if (std::fabs(block[i]) > 1e-3) {
                ++sounding;
                lastSound = frame;
            }
        }
        if (all) all->insert(all->end(), block.begin(), block.end());
    }
    return lastSound;
}

class Speech : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5)); }
    void TearDown() override { Corvane::CloseLib(); }
    long Say(std::int32_t n, std::vector<float>* all = nullptr) {
        Corvane::SpeakNumber(n);
        EXPECT_TRUE(Corvane::testing::WaitSpeechIdle(10000));
        return SpokenFrames(all);
    }
};

TEST_F(Speech, NumberIsAudibleCentredAndOfPlausibleLength) {
    std::vector<float> all;
    long frames = Say(25, &all);
    EXPECT_GT(frames, 48000 * 3 / 10);  // "twenty-five" takes a while
    EXPECT_LT(frames, 48000 * 3);
    double left = 0, right = 0;
    for (std::size_t i = 0; i < all.size(); i += 2) {
        left += all[i] * all[i];
        right += all[i + 1] * all[i + 1];
    }
    EXPECT_NEAR(left / right, 1.0, 0.01);
}

TEST_F(Speech, NegativeNumberSaysMinus) {
    EXPECT_EQ(Corvane::detail::NumberText(-5), "minus 5");
    EXPECT_EQ(Corvane::detail::NumberText(0), "0");
    EXPECT_EQ(Corvane::detail::NumberText(INT32_MIN), "minus 2147483648");
    long plain = Say(5);
    long negative = Say(-5);
    EXPECT_GT(negative, plain + 48000 / 10);
}

TEST_F(Speech, TheSpeechVolumeScalesTheSpokenNumbers) {
    std::vector<float> full, half, none;
    Say(7, &full);
    Corvane::SetGroupVolume(Corvane::Group::Speech, 50);
    Say(7, &half);
    Corvane::SetGroupVolume(Corvane::Group::Speech, 0);
    Say(7, &none);
    Corvane::SetGroupVolume(Corvane::Group::Speech, 100);
    EXPECT_NEAR(mix::Peak(half) / mix::Peak(full), 0.5, 0.01);
    EXPECT_EQ(mix::Peak(none), 0.0);
}

TEST_F(Speech, TheRateAndTheVoiceAreThePlayersChoice) {
    const long normal = Say(25);
    Corvane::SetSpeechVoice(Corvane::kSlowestSpeech, "");
    const long slow = Say(25);
    Corvane::SetSpeechVoice(Corvane::kFastestSpeech, "");
    const long fast = Say(25);
    EXPECT_GT(slow, normal * 3 / 2);
    EXPECT_LT(fast, normal * 2 / 3);
    // Another installed voice speaks; an unknown one is said once, and
    // English speaks at the rate asked for.
    ::testing::internal::CaptureStderr();
#ifndef _WIN32  // the Windows build ships the English voice alone
    Corvane::SetSpeechVoice(0, "en-us");
    EXPECT_GT(Say(25), 48000 / 10);
#endif
    Corvane::SetSpeechVoice(0, "no-such-voice");
    const long unknown = Say(25);
    const std::string err = ::testing::internal::GetCapturedStderr();
    Corvane::SetSpeechVoice(0, "");
    EXPECT_EQ(err, "sound: no eSpeak NG voice named \"no-such-voice\"; numbers are spoken in English\n");
    EXPECT_NEAR(unknown, normal, 48000.0 / 20);
}

TEST_F(Speech, NewNumberCutsOffTheOneSpeaking) {
    Corvane::SpeakNumber(987654321);  // long
    ASSERT_TRUE(Corvane::testing::WaitSpeechIdle(10000));
    Corvane::testing::Render(4800);
    long alone = Say(1);
    Corvane::SpeakNumber(987654321);
    ASSERT_TRUE(Corvane::testing::WaitSpeechIdle(10000));
    Corvane::testing::Render(4800);
    long after = Say(1);
    EXPECT_NEAR(after, alone, 48000.0 / 20);  // nothing of the long number left
}

// The music's level in the mix, in decibels, over 10 ms windows; the speech
// is silenced (its group at 0) so that only the music is measured, while it
// still plays.
std::vector<double> MusicLevels(int windows) {
    std::vector<double> levels;
    for (int i = 0; i < windows; ++i) {
        const auto e = mix::Measure(Corvane::testing::Render(480));
        levels.push_back(10.0 * std::log10((e.left + e.right) / 960.0));
        Corvane::testing::ServiceStreams();
    }
    return levels;
}

TEST_F(Speech, TheMusicStepsAsideWhileSpeechPlaysAndComesBackWithoutAClick) {
    const std::string tone = testfiles::WriteWav("music.wav", testfiles::Sine(48000), 1);
    const struct {
        const char* what;
        int duck;
        bool prompt;  // a spoken sound instead of a text
    } cases[] = {{"text", 12, false}, {"spoken prompt", 12, true}, {"no duck", 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Corvane::Sound music(tone);
        music.SetGroup(Corvane::Group::Music);
        music.Play(-1, true, 128, 255);
        Corvane::SetDuck(c.duck);
        Corvane::SetGroupVolume(Corvane::Group::Speech, 0);
        Corvane::SetGroupVolume(Corvane::Group::Effects, 0);
        const double alone = MusicLevels(10).back();
        Corvane::Sound prompt(tone);
        prompt.SetSpoken(true);
        if (c.prompt) {
            prompt.Play(-1, false, 128, 255);  // one second
        } else {
            Corvane::SpeakText("the music steps aside while this is said");
            ASSERT_TRUE(Corvane::testing::WaitSpeechIdle(10000));
        }
        const std::vector<double> down = MusicLevels(40);
        EXPECT_NEAR(down.back() - alone, -c.duck, 0.5);
        // A ramp of about 100 ms, no step of more than 3 dB in 10 ms.
        const auto between =
            std::count_if(down.begin(), down.end(), [&](double l) { return l < alone - 1 && l > alone - c.duck + 1; });
        EXPECT_GE(between, c.duck > 0 ? 6 : 0);
        for (std::size_t i = 1; i < down.size(); ++i) EXPECT_LT(std::fabs(down[i] - down[i - 1]), 3.0) << i;
        const std::vector<double> back = MusicLevels(600);  // the speech is over
        EXPECT_NEAR(back.back() - alone, 0.0, 0.5);
        for (std::size_t i = 1; i < back.size(); ++i) EXPECT_LT(std::fabs(back[i] - back[i - 1]), 3.0) << i;
    }
    Corvane::SetDuck(0);
    Corvane::SetGroupVolume(Corvane::Group::Speech, 100);
    Corvane::SetGroupVolume(Corvane::Group::Effects, 100);
}

}  // namespace
