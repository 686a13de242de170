// Numbers are synthesized in memory and heard through the mixer.
#include "Corvane.h"
#include "Mix.h"
#include "Testing.h"
#include "speech/Speech.h"

#include <gtest/gtest.h>

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

}  // namespace
