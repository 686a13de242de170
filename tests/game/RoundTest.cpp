// Rounds, keys and aim feedback, on the fake clock with a recorded service.
#include "GameFixture.h"
#include "RoundRecord.h"

#include <optional>

namespace {

using Strings = std::vector<std::string>;

class Round : public GameTest {};

TEST_F(Round, FirstFeedbackFollowsTheCluckAndIsOnTarget) {
    fake::ScriptKeys(Keys({{121000, 'x'}, {10, 'n'}}));
    PlayRound();
    auto cluck = recording::On("Chicken.wav");
    ASSERT_GE(cluck.size(), 5u);
    EXPECT_EQ(Strings(cluck.begin(), cluck.begin() + 5),
              (Strings{"Play(1,true,128,128)", "Pan(0)", "Pan(128)", "Volume(255)", "Stop()"}));
    EXPECT_EQ(TimeOf("Chicken.wav Stop()"), 120000);
    EXPECT_EQ(recording::On("Background.mp3"),
              (Strings{"Open(Media/Background.mp3)", "SetGroup(Music)", "Play(2,true,-1,32)", "Close()"}));
}

TEST_F(Round, NoKeyIsReadBeforeTheRoundRuns) {
    // The first key comes at once: it must already count.
    fake::ScriptKeys(Keys({{0, ' '}, {121000, 'x'}, {10, 'n'}}));
    fake::ScriptRand({3});
    PlayRound();
    EXPECT_EQ(chickenPosition, 4);
    EXPECT_EQ(TimeOf("SpeakNumber(5)"), 100 + 300 + 121000);
}

TEST_F(Round, AimWrapsAroundAtBothEnds) {
    chickenPosition = 7;
    fake::ScriptKeys(Keys({{10, 'j'}, {10, 'l'}, {121000, 'x'}, {10, 'n'}}));
    PlayRound();
    auto cluck = recording::On("Chicken.wav");
    // After the first feedback: left from 0 gives 15, right from 15 gives 0.
    EXPECT_EQ(Strings(cluck.begin() + 1, cluck.begin() + 7),
              (Strings{"Pan(0)", "Volume(128)", "Pan(255)", "Volume(128)", "Pan(0)", "Volume(128)"}));
}

TEST_F(Round, ArrowsMoveTheAimAndTheirPrefixIsIgnored) {
    chickenPosition = 2;
    fake::ScriptKeys(Keys({{10, platform::kArrowPrefix},
                           {0, platform::kArrowRight},
                           {10, 'M'},
                           {10, platform::kArrowPrefix},
                           {0, platform::kArrowUp},
                           {10, platform::kArrowPrefix},
                           {0, platform::kArrowDown},
                           {10, platform::kArrowPrefix},
                           {0, platform::kArrowLeft},
                           {121000, 'x'},
                           {10, 'n'}}));
    PlayRound();
    auto cluck = recording::On("Chicken.wav");
    EXPECT_EQ(Strings(cluck.begin() + 3, cluck.end() - 1),
              (Strings{"Pan(17)", "Volume(128)", "Pan(34)", "Pan(128)", "Volume(255)", "Pan(17)", "Volume(128)"}));
    EXPECT_EQ(aimPosition, 1);
}

TEST_F(Round, HitPlaysKillMovesChickenScoresAndUpdatesAfter300ms) {
    fake::ScriptRand({14});
    fake::ScriptKeys(Keys({{1000, ' '}, {121000, 'x'}, {10, 'n'}}));
    PlayRound();
    const std::int64_t fired = 100 + 1000;
    EXPECT_EQ(chickenPosition, 15);
    EXPECT_EQ(recording::On("Shot.wav"), (Strings{"Open(Media/Shot.wav)", "Play(-1,false,128,128)", "Close()"}));
    EXPECT_EQ(recording::On("KillChicken.wav"),
              (Strings{"Open(Media/KillChicken.wav)", "Play(-1,false,128,128)", "Close()"}));
    EXPECT_EQ(TimeOf("Shot.wav Play(-1,false,128,128)"), fired);
    EXPECT_EQ(TimeOf("KillChicken.wav Close()"), fired + 300);
    EXPECT_EQ(TimeOf("Chicken.wav Pan(0)", 1), fired + 300);  // the aim stays at 0
    EXPECT_EQ(TimeOf("Chicken.wav Volume(128)"), fired + 300);
    EXPECT_NE(TimeOf("SpeakNumber(5)"), -1);
}

TEST_F(Round, HitLandsTheChickenOnOneToFifteen) {
    for (auto [r, position] : {std::pair{0, 1}, {14, 15}, {15, 1}, {RAND_MAX, RAND_MAX % 15 + 1}}) {
        chickenPosition = aimPosition = 3;
        fake::ScriptRand({r});
        Shoot();
        EXPECT_EQ(chickenPosition, position) << "rand " << r;
    }
    EXPECT_EQ(score, 20);
}

TEST_F(Round, SameSpotAgainKeepsTheAimOnTarget) {
    chickenPosition = aimPosition = 5;
    fake::ScriptRand({4});
    Shoot();
    EXPECT_EQ(chickenPosition, 5);
    auto cluck = recording::On("Chicken.wav");
    EXPECT_EQ(cluck, (Strings{"Pan(85)", "Pan(128)", "Volume(255)"}));
}

TEST_F(Round, MissCostsFiveAlsoBelowZeroAndClosesTheShotAtOnce) {
    aimPosition = 1;
    Shoot();
    Shoot();
    EXPECT_EQ(score, -10);
    EXPECT_EQ(fake::Now(), 0);  // no waiting on a miss
    EXPECT_EQ(Count(recording::What(), "Shot.wav Close()"), 2);
    EXPECT_EQ(Count(recording::What(), "KillChicken.wav Play(-1,false,128,128)"), 0);
}

TEST_F(Round, SpeaksTheSignedScoreAtSAndAtTheEnd) {
    fake::ScriptKeys(Keys({{10, 'l'}, {10, ' '}, {10, 's'}, {121000, 'x'}}));
    PlayRound();
    auto calls = recording::What();
    EXPECT_EQ(Count(calls, "SpeakNumber(-5)"), 2);
    EXPECT_EQ(TimeOf("SpeakNumber(-5)", 1), 100 + 30 + 121000);
    // A negative round ends with the scoreless clip a second later.
    EXPECT_EQ(TimeOf("scoreless.wav Play(-1,false,128,128)"), 100 + 30 + 121000 + 1000);
}

TEST_F(Round, MinusAndEqualsSetTheMusicByTensWithinItsRangeAndKeepIt) {
    settings.musicVolume = 20;
    fake::ScriptKeys(Keys({{10, '-'}, {10, '-'}, {10, '-'}, {10, '='}, {121000, 'x'}, {10, 'n'}}));
    PlayRound();
    // 20 - 10 - 0 - 0 (no lower than silent) = 10
    EXPECT_EQ(Count(recording::What(), "SetGroupVolume(Music,10)"), 2);
    EXPECT_EQ(Count(recording::What(), "SetGroupVolume(Music,0)"), 2);
    EXPECT_EQ(settings.musicVolume, 10);
    EXPECT_EQ(ReadSettingsFile().musicVolume, 10);  // kept for the next game
    // Nothing else moved: the aim and the score are as they were.
    EXPECT_EQ(aimPosition, 0);
    EXPECT_EQ(score, 0);
}

TEST_F(Round, OneEarKeepsTheCluckStillAndTellsTheChickensSideInPitch) {
    settings.oneEar = true;
    chickenPosition = 2;
    // From 0: right twice (on target), right again (past it), left across the
    // wrap from 0 to 15 (the chicken is now far to the left).
    fake::ScriptKeys(
        Keys({{10, 'l'}, {10, 'l'}, {10, 'l'}, {10, 'j'}, {10, 'j'}, {10, 'j'}, {10, 'j'}, {121000, 'x'}, {10, 'n'}}));
    PlayRound();
    auto cluck = recording::On("Chicken.wav");
    EXPECT_EQ(Count(cluck, "Pan(0)") + Count(cluck, "Pan(128)") + Count(cluck, "Pan(17)"), 0);
    const int two = OneEarPitchCents(2), one = OneEarPitchCents(1);
    EXPECT_EQ(Strings(cluck.begin() + 1, cluck.end() - 1),
              (Strings{"Pitch(" + std::to_string(two) + ")", "Volume(128)", "Pitch(" + std::to_string(one) + ")",
                       "Volume(128)", "Pitch(0)", "Volume(255)", "Pitch(" + std::to_string(-one) + ")", "Volume(128)",
                       "Pitch(0)", "Volume(255)", "Pitch(" + std::to_string(one) + ")", "Volume(128)",
                       "Pitch(" + std::to_string(two) + ")", "Volume(128)",
                       "Pitch(" + std::to_string(OneEarPitchCents(-13)) + ")", "Volume(128)"}));
}

TEST(OneEar, PitchRisesWithTheChickenToTheRightWithinAnOctave) {
    EXPECT_EQ(OneEarPitchCents(0), 0);
    EXPECT_EQ(OneEarPitchCents(15), 1200);
    EXPECT_EQ(OneEarPitchCents(-15), -1200);
    for (int offset = -14; offset <= 15; ++offset) {
        EXPECT_LT(OneEarPitchCents(offset - 1), OneEarPitchCents(offset)) << offset;
        EXPECT_EQ(OneEarPitchCents(-offset), -OneEarPitchCents(offset)) << offset;
    }
    // One step off is clearly heard: over two semitones.
    EXPECT_GT(OneEarPitchCents(1), 200);
}

TEST_F(Round, HSpeaksTheKeysAndChangesNothing) {
    fake::ScriptKeys(Keys({{10, 'h'}, {121000, 'x'}, {10, 'n'}}));
    PlayRound();
    const auto calls = recording::What();
    const auto spoken = std::find_if(calls.begin(), calls.end(), [](auto& c) { return c.starts_with("SpeakText("); });
    ASSERT_NE(spoken, calls.end());
    for (const char* key : {"aim right", "aim left", "fire", "say the score", "quieter", "louder", "h, "})
        EXPECT_NE(spoken->find(key), std::string::npos) << key;
    EXPECT_EQ(aimPosition, 0);
    EXPECT_EQ(score, 0);
}

TEST_F(Round, ThePlayersOwnKeysPlayAndHSaysThem) {
    settings.keyFire = 'f';
    settings.keyLeft = platform::kArrowLeft;  // j is free
    settings.keyHelp = '?';
    chickenPosition = 15;
    fake::ScriptKeys(Keys({{10, ' '},
                           {10, 'j'},
                           {10, 'h'},
                           {10, '?'},
                           {10, 'f'},
                           {10, platform::kArrowLeft},
                           {10, 'f'},
                           {121000, 'x'},
                           {10, 'n'}}));
    fake::ScriptRand({3});
    PlayRound();
    EXPECT_EQ(Count(recording::What(), "Shot.wav Play(-1,false,128,128)"), 2);
    EXPECT_EQ(score, 0);  // a miss, then a hit on 15 after the aim wrapped round
    EXPECT_EQ(chickenPosition, 4);
    const auto calls = recording::What();
    const auto spoken = std::find_if(calls.begin(), calls.end(), [](auto& c) { return c.starts_with("SpeakText("); });
    ASSERT_NE(spoken, calls.end());
    EXPECT_EQ(*spoken,
              "SpeakText(l or right arrow, aim right. Left arrow, aim left. f, fire. s, say the score. "
              "Minus, music quieter. Equals, music louder. p, pause. ?, these keys.)");
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](auto& c) { return c.starts_with("SpeakText("); }), 1);
}

TEST_F(Round, KeyAfterTimeIsUpStillCounts) {
    fake::ScriptRand({0});
    fake::ScriptKeys(Keys({{125000, ' '}, {10, 'n'}}));
    PlayRound();
    EXPECT_EQ(score, 5);
    EXPECT_LT(TimeOf("Chicken.wav Stop()"), TimeOf("Shot.wav Play(-1,false,128,128)"));
}

// A minute paused does not count: a shot 160 s in is still in the round,
// and only the next key, past two minutes of play, ends it. While paused,
// s says nothing and the aim does not move.
TEST_F(Round, PauseStopsTheClockAndIgnoresOtherKeys) {
    fake::ScriptRand({3});
    fake::ScriptKeys(Keys({{10, 'p'}, {10, 's'}, {10, 'l'}, {60000, 'p'}, {100000, ' '}, {25000, ' '}, {10, 'n'}}));
    PlayRound();
    EXPECT_EQ(score, 0);  // the hit at 160 s, then the key that ends the round misses
    EXPECT_EQ(Count(recording::What(), "SpeakText(paused)"), 1);
    EXPECT_EQ(Count(recording::What(), "SpeakText(playing)"), 1);
    EXPECT_EQ(Count(recording::What(), "SpeakNumber(0)"), 1);  // only the round's end
    EXPECT_GE(TimeOf("Chicken.wav Stop()", 1), 180000);        // two minutes of play and the minute paused
    // The music goes on from where it was paused, not from its beginning.
    EXPECT_EQ(Count(recording::What(), "Background.mp3 Play(2,true,-1,32)"), 1);
    EXPECT_EQ(Count(recording::What(), "Background.mp3 Resume()"), 1);
}

TEST_F(Round, RoundWithoutKeysWaitsForOneMore) {
    fake::ScriptKeys(Keys({{300000, 'x'}, {10, 'n'}}));
    PlayRound();
    EXPECT_EQ(TimeOf("SpeakNumber(0)"), 300100);
}

TEST_F(Round, FailedTimerStartEndsTheRoundAtOnce) {
    fake::FailThreadStarts(true);
    fake::ScriptKeys(Keys({{10, 'n'}}));
    PlayRound();
    EXPECT_FALSE(roundRunning);
    EXPECT_EQ(TimeOf("SpeakNumber(0)"), 100);
    EXPECT_EQ(Count(recording::What(), "Chicken.wav Play(1,true,128,128)"), 0);
    EXPECT_EQ(fake::KeysLeft(), 0);  // the one key went to the send prompt
    EXPECT_EQ(out_.str(), "\n");
}

// A round as the game played it, sent with its score, replays to that score:
// the rows' keys hit where the generator puts the chicken, with other keys
// between, `gap` apart, and a pause of `pauseMs` after the first hit.
struct Played {
    const char* what;
    std::optional<std::uint32_t> seed;  // the table's token's; none: the table did not answer
    std::int64_t gap;
    std::string between;  // typed after each hit
    std::int64_t pauseMs;
};

void PrintTo(const Played& row, std::ostream* out) { *out << row.what; }

class RoundReplay : public GameTest, public ::testing::WithParamInterface<Played> {};

TEST_P(RoundReplay, TheTableReplaysTheRoundToTheScoreTheGameReached) {
    const Played& row = GetParam();
    const auto kind = platform::NativeGeneratorKind();
    auto generator = row.seed ? platform::Generator::Seeded(kind, *row.seed) : platform::Generator::Unseeded(kind);
    if (row.seed)
        recording::AnswerRoundTokens(std::pair{std::string("token-1"), *row.seed});
    else
        platform::SetRandState(generator);  // the fake draws from it as the C library would
    std::vector<fake::Key> keys;
    std::int64_t played = 0;  // by the plan: the keys' gaps and the waits after hits
    const auto type = [&](int key) {
        keys.push_back({row.gap, key});
        played += row.gap;
    };
    // Well within the two minutes, and never more than a person's keys a second.
    bool paused = false;
    for (int chicken = 0, aim = 0; played < 100000;) {
        for (; aim != chicken; aim = (aim + 1) % 16) type('l');
        type(' ');
        played += round_rules::kAfterHitMs;
        chicken = generator.Next() % 15 + 1;
        for (const char c : row.between) type(static_cast<unsigned char>(c));
        aim = (aim + 16 - static_cast<int>(std::count(row.between.begin(), row.between.end(), 'j'))) % 16;
        if (row.pauseMs > 0 && !std::exchange(paused, true))
            keys.insert(keys.end(), {{10, 'p'}, {10, 'l'}, {row.pauseMs, 'p'}});  // the aim stays
    }
    const auto end = Keys({{120000, 'x'}, {10, 'y'}});
    keys.insert(keys.end(), end.begin(), end.end());
    fake::ScriptKeys(keys);
    fake::ScriptLines({"Ann"});
    PlayRound();

    ASSERT_EQ(recording::RoundRecords().size(), 1u);
    const auto decoded = round_rules::DecodeRecord(recording::RoundRecords()[0]);
    ASSERT_TRUE(decoded.record) << decoded.error;
    const round_rules::Record& record = *decoded.record;
    EXPECT_EQ(record.token, row.seed ? "token-1" : "");
    const auto start = row.seed ? platform::Generator::Seeded(record.generatorKind, *row.seed)
                                : platform::Generator::FromState(record.generatorKind, record.generatorState);
    ASSERT_TRUE(start);
    const round_rules::Replay replay = round_rules::ReplayRecord(record, *start);
    EXPECT_TRUE(replay.ok) << replay.error;
    EXPECT_EQ(replay.score, score);
    EXPECT_EQ(Count(recording::What(), "PostScore(Barnblast V2," + std::to_string(score) + ",Ann,localhost:8765)"), 1);
}

INSTANTIATE_TEST_SUITE_P(Rounds, RoundReplay,
                         ::testing::Values(Played{"WithoutTokenSlowWithEveryOtherKey", std::nullopt, 400,
                                                  "s-=hx\xE0M\xE0Kj", 0},
                                           Played{"TokenSeedsTheChickenFastPlay", 2024, 34, "", 0},
                                           Played{"MissesAndAPauseOfAMinute", 7, 120, "j ", 60000}),
                         [](const auto& info) { return std::string(info.param.what); });

class Entry : public GameTest {};

TEST_F(Entry, PlayAgainAnswersOnlyLowerCaseYAndN) {
    fake::ScriptKeys(Keys({{121000, 'x'},
                           {10, 'n'},  // first round, score not sent
                           {10, 'Y'},
                           {10, platform::kArrowPrefix},
                           {0, platform::kArrowRight},  // three replays of the prompt
                           {10, 'y'},
                           {121000, 'x'},
                           {10, 'n'},  // a second round
                           {10, 'n'}}));
    EXPECT_EQ(GameMain(), 0);
    auto calls = recording::What();
    // The player's settings (the defaults here) apply before the first sound,
    // how the mix reaches the ears before the mixer starts.
    EXPECT_EQ((Strings(calls.begin(), calls.begin() + 9)),
              (Strings{"SetOneEar(off)", "SetHeadphones(off)", "InitLib(5)", "SetGroupVolume(Music,100)",
                       "SetGroupVolume(Effects,100)", "SetGroupVolume(Speech,100)", "SetSpeechVoice(175,en)",
                       "SetScreenReader(off)", "Chicken.wav Open(Media/Chicken.wav)"}));
    EXPECT_EQ(calls.back(), "CloseLib()");
    EXPECT_EQ(calls[calls.size() - 2], "PlayAgain.wav Close()");
    EXPECT_EQ(Count(calls, "PlayAgain.wav Play(-1,false,128,128)"), 5);
    EXPECT_EQ(Count(calls, "Background.mp3 Play(2,true,-1,32)"), 2);
    // The prompt that 'y' answered stays open through that round.
    EXPECT_LT(IndexOf("Background.mp3 Close()", 1), IndexOf("PlayAgain.wav Close()", 3));
    EXPECT_GT(IndexOf("Background.mp3 Close()", 1), IndexOf("PlayAgain.wav Play(-1,false,128,128)", 3));
}

// Every sound after its name, then a round with no clock until the
// player's key; its score is said, never sent, and play again follows.
TEST_F(Entry, PracticeNamesEverySoundThenPlaysWithoutAClock) {
    const struct {
        bool oneEar;
        Strings clucks;  // what each named cluck is played as
    } cases[] = {
        {false, {"Play(1,true,0,128)", "Play(1,true,128,128)", "Play(1,true,255,128)", "Play(1,true,128,255)"}},
        {true,
         {"Pitch(-1200)", "Play(1,true,128,128)", "Pitch(310)", "Play(1,true,128,128)", "Pitch(1200)",
          "Play(1,true,128,128)", "Pitch(0)", "Play(1,true,128,255)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.oneEar);
        fake::Reset();
        recording::Reset();
        chickenPosition = aimPosition = 0;
        settings.oneEar = c.oneEar;
        settings.keyEndPractice = 'e';
        practiceAsked = true;
        fake::ScriptRand({3});
        fake::ScriptKeys(Keys({{0, ' '}, {200000, 's'}, {10, 'q'}, {10, 'e'}, {10, 'n'}}));
        EXPECT_EQ(GameMain(), 0);
        practiceAsked = false;
        Strings heard;
        for (const std::string& call : recording::What())
            if (call.starts_with("SpeakText(") || call.find(" Play(") != std::string::npos) heard.push_back(call);
        ASSERT_GE(heard.size(), 11u);
        for (int i = 0; i < 4; ++i) EXPECT_TRUE(heard[2 * i].starts_with("SpeakText(The cluck")) << heard[2 * i];
        Strings clucks;
        for (const std::string& call : recording::On("Chicken.wav"))
            if (!call.starts_with("Stop") && !call.starts_with("Open") && clucks.size() < c.clucks.size())
                clucks.push_back(call);
        EXPECT_EQ(clucks, c.clucks);
        EXPECT_EQ(Strings(heard.begin() + 8, heard.begin() + 16),
                  (Strings{"SpeakText(A shot that misses.)", "Shot.wav Play(-1,false,128,128)",
                           "SpeakText(A shot that hits.)", "Shot.wav Play(-1,false,128,128)",
                           "KillChicken.wav Play(-1,false,128,128)", "SpeakText(The music.)",
                           "Background.mp3 Play(2,true,-1,32)",
                           "SpeakText(Practice: no clock, and no score sent. "
                           "e, end practice.)"}));
        const auto calls = recording::What();
        EXPECT_EQ(Count(calls, "SpeakNumber(5)"), 2);  // on s, 200 seconds in, and at the end
        EXPECT_EQ(Count(calls, "SendScore.wav Open(Media/SendScore.wav)"), 0);
        EXPECT_EQ(Count(calls, "PlayAgain.wav Play(-1,false,128,128)"), 1);
        EXPECT_EQ(Count(calls, "Chicken.wav Stop()"), 5);  // once per named cluck, once at the end
    }
}

TEST_F(Entry, EndOfInputEndsTheGameCleanly) {
    fake::ScriptKeys(Keys({{5000, 'l'}}));  // then standard input closes mid-round
    EXPECT_EQ(GameMain(), 0);
    auto calls = recording::What();
    EXPECT_EQ(calls.back(), "CloseLib()");
    EXPECT_EQ(Count(calls, "Background.mp3 Close()"), 1);
}

TEST_F(Entry, EndOfInputAtThePromptsEndsTheGameCleanly) {
    fake::ScriptKeys(Keys({{121000, 'x'}}));  // ends at the send prompt
    EXPECT_EQ(GameMain(), 0);
    EXPECT_EQ(recording::What().back(), "CloseLib()");
    fake::Reset();
    recording::Reset();
    fake::ScriptKeys(Keys({{121000, 'x'}, {10, 'n'}}));  // ends at play again
    EXPECT_EQ(GameMain(), 0);
    EXPECT_EQ(recording::What().back(), "CloseLib()");
}

}  // namespace
