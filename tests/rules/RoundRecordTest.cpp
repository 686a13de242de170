// The round model and its record as the score table meets them: records in,
// a score or the error a client is shown out.
#include "RoundPlayer.h"
#include "RoundRecord.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using namespace round_rules;
using platform::Generator;
using platform::GeneratorKind;

// Each reproduced generator gives what that system's std::rand gives.
TEST(Generator, MatchesTheCLibrary) {
    const std::uint32_t seeds[] = {1, 0, 12345, 0x80000001U, 0xFFFFFFFFU};
    for (std::uint32_t seed : seeds) {
        std::srand(seed);
        auto mine = Generator::Seeded(platform::NativeGeneratorKind(), seed);
        for (int i = 0; i < 100000; ++i) ASSERT_EQ(mine.Next(), std::rand()) << "seed " << seed << " draw " << i;
    }
    auto msvcrt = Generator::Unseeded(GeneratorKind::Msvcrt);
    for (int expected : {41, 18467, 6334, 26500, 19169}) EXPECT_EQ(msvcrt.Next(), expected);
    // A generator taken up from its state goes on as the original does.
    for (auto kind : {GeneratorKind::Msvcrt, GeneratorKind::Glibc}) {
        auto original = Generator::Seeded(kind, 7);
        original.Next();
        auto resumed = Generator::FromState(kind, original.State()).value();
        for (int i = 0; i < 100; ++i) ASSERT_EQ(resumed.Next(), original.Next());
    }
}

struct Row {
    const char* name;
    Record record;
    std::int32_t score;  // when error is empty
    const char* error;   // a part of the error a client is shown
};

Record R(Start start, std::vector<Key> keys) {
    return {kVersion, "", start, GeneratorKind::Msvcrt, {1}, std::move(keys)};
}
constexpr auto kL = Action::Left, kR = Action::Right, kF = Action::Fire, kO = Action::Other, kP = Action::Pause;

std::vector<Key> Burst(std::uint32_t from, std::uint32_t apartMs, int count) {
    std::vector<Key> keys;
    for (int i = 0; i < count; ++i) keys.push_back({from + apartMs * static_cast<std::uint32_t>(i), kO});
    keys.push_back({kRoundMs, kO});
    return keys;
}

Record Edited(Record record, void (*edit)(Record&)) {
    edit(record);
    return record;
}

// The generator the table derives: the record's state, or seeded from the
// token's seed (here always 1).
Replay Check(const std::string& text) {
    const Decoded decoded = DecodeRecord(text);
    if (!decoded.record) return {false, decoded.error, 0};
    const Record& r = *decoded.record;
    const auto start = r.generatorState.empty() ? Generator::Seeded(r.generatorKind, 1)
                                                : Generator::FromState(r.generatorKind, r.generatorState).value();
    return ReplayRecord(r, start);
}

// The unseeded Msvcrt generator's first draws put the chicken at 12, then 3.
const Row kRows[] = {
    {"EndingKeyScores", R({3, 3}, {{kRoundMs, kF}}), 5, ""},
    {"AimWrapsLeft", R({15, 0}, {{100, kL}, {200, kF}, {kRoundMs, kO}}), 5, ""},
    {"AimWrapsRightAndMissCosts", R({0, 15}, {{100, kR}, {200, kF}, {500, kF}, {kRoundMs, kO}}), 0, ""},
    {"ChickenFollowsGenerator",
     R({3, 3}, {{100, kF}, {400, kR}, {401, kR}, {402, kR}, {403, kR}, {404, kR}, {405, kR},
                {406, kR}, {407, kR}, {408, kR}, {409, kF}, {709, kL}, {710, kL}, {711, kL},
                {712, kL}, {713, kL}, {714, kL}, {715, kL}, {716, kL}, {717, kL}, {kRoundMs, kF}}),
     15, ""},
    {"PauseStretchesRoundAndMutesKeys", R({3, 3}, {{100, kP}, {5000, kF}, {30100, kP}, {130000, kO}, {150000, kF}}), 5,
     ""},
    {"ThirtyKeysInASecond", R({0, 5}, Burst(100, 34, 31)), 0, ""},
    {"PlayedFast", round_player::Play({}).record, round_player::Play({}).score, ""},
    {"PlayedSlowWithToken", round_player::Play({1000, 400, GeneratorKind::Msvcrt, true, 1}).record,
     round_player::Play({1000, 400, GeneratorKind::Msvcrt, true, 1}).score, ""},

    {"TimeGoesBack", R({0, 5}, {{100, kO}, {5000, kO}, {4000, kO}, {kRoundMs, kO}}), 0,
     "key 3 was read before the key ahead"},
    {"BeforeSettling", R({0, 5}, {{99, kO}, {kRoundMs, kO}}), 0, "key 1 was read before the round had settled"},
    {"TooSoonAfterHit", R({3, 3}, {{100, kF}, {399, kO}, {kRoundMs, kO}}), 0, "key 2 was read sooner after a hit"},
    {"KeyAfterTheEnd", R({0, 5}, {{kRoundMs, kO}, {kRoundMs + 1, kO}}), 0, "key 2 comes after the key that ended"},
    {"ShortRound", R({0, 5}, {{100, kO}, {kRoundMs - 1, kO}}), 0, "before its two minutes of play"},
    {"NoKeys", R({0, 5}, {}), 0, "before its two minutes of play"},
    {"PauseNotPlay", R({0, 5}, {{100, kP}, {60000, kP}, {kRoundMs + 100, kO}}), 0, "before its two minutes of play"},
    {"ThirtyOneKeysInASecond", R({0, 5}, Burst(100, 33, 31)), 0, "more than 30 keys in one second"},
    {"TooManyKeys", R({0, 5}, Burst(100, 1000, static_cast<int>(kMaxKeys))), 0, "more keys than a person can press"},
    {"NewerRules", Edited(R({0, 5}, {{kRoundMs, kO}}), [](Record& r) { r.version = 2; }), 0,
     "unknown rules version 2: the game must be updated"},
    {"StartOffField", R({16, 5}, {{kRoundMs, kO}}), 0, "starts outside the field"},
    {"StateWrongSize",
     Edited(R({0, 5}, {{kRoundMs, kO}}),
            [](Record& r) {
                r.generatorState = {1, 2};
            }),
     0, "generator state has the wrong size"},
    {"NoStartingGenerator", Edited(R({0, 5}, {{kRoundMs, kO}}), [](Record& r) { r.generatorState.clear(); }), 0,
     "neither a round token nor the generator's state"},
    {"UnknownAction", R({0, 5}, {{100, static_cast<Action>(7)}, {kRoundMs, kO}}), 0, "malformed"},
};

class Records : public testing::TestWithParam<Row> {};

TEST_P(Records, ReplayAsTheTableDoes) {
    const Row& row = GetParam();
    const std::string text = EncodeRecord(row.record);
    const Replay replay = Check(text);
    if (*row.error == '\0') {
        ASSERT_TRUE(replay.ok) << replay.error;
        EXPECT_EQ(replay.score, row.score);
        EXPECT_EQ(DecodeRecord(text).record, row.record);
    } else {
        EXPECT_FALSE(replay.ok);
        EXPECT_NE(replay.error.find(row.error), std::string::npos) << replay.error;
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, Records, testing::ValuesIn(kRows), [](const auto& info) { return info.param.name; });

// A practice round is never over by time; its keys still score.
TEST(Round, UntimedNeverEnds) {
    auto generator = Generator::Unseeded(GeneratorKind::Msvcrt);
    GeneratorSource random(generator);
    Round round({3, 3}, false);
    EXPECT_EQ(round.Press({10 * kRoundMs, kF}, random), Outcome::Hit);
    EXPECT_TRUE(round.Running());
    EXPECT_EQ(round.Score(), kPoints);
}

// A change anywhere, or a record cut short, is refused.
TEST(RecordText, AnyChangeIsRefused) {
    const std::string text = EncodeRecord(round_player::Play({500, 100, GeneratorKind::Glibc, true, 3}).record);
    ASSERT_TRUE(DecodeRecord(text).record);
    for (std::size_t i = 0; i < text.size(); ++i) {
        for (char c : {'A', 'g', 'Q', '_'}) {
            std::string changed = text;
            if (changed[i] == c) continue;
            changed[i] = c;
            ASSERT_FALSE(DecodeRecord(changed).record) << "changed at " << i;
        }
        ASSERT_FALSE(DecodeRecord(text.substr(0, i)).record) << "cut at " << i;
    }
    EXPECT_FALSE(DecodeRecord(text + "A").record);
}

TEST(RecordText, FastRoundFitsInThreeKilobytes) {
    const auto played = round_player::Play({50, 15, GeneratorKind::Glibc, false, 5});
    EXPECT_GE(played.record.keys.size(), 1200U);  // ten keys a second
    EXPECT_LT(EncodeRecord(played.record).size(), 3072U) << played.record.keys.size() << " keys";
}

}  // namespace
