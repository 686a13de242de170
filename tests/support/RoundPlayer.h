// Whole recorded rounds played through the round model by a stand-in player
// who hears where the chicken is: steps the aim towards it, fires when on
// it (and now and then when not), a key every gapMs give or take jitterMs,
// never sooner than the game reads keys after a hit. For the rules' tests
// and benchmark, which need many realistic records.
#pragma once

#include "RoundRecord.h"

#include <algorithm>
#include <cstdint>
#include <random>

namespace round_player {

struct Style {
    std::uint32_t gapMs = 100;  // 100: ten keys a second
    std::uint32_t jitterMs = 30;
    platform::GeneratorKind kind = platform::GeneratorKind::Glibc;
    bool token = false;  // the generator seeded from a token's seed, not kept in the record
    std::uint32_t seed = 1;
};

struct Played {
    round_rules::Record record;
    platform::Generator start;  // the generator the table would derive
    std::int32_t score;         // what the game showed
};

inline Played Play(const Style& style) {
    using namespace round_rules;
    std::mt19937 player(style.seed);
    const auto below = [&](std::uint32_t n) { return static_cast<std::int32_t>(player() % n); };
    Record record;
    record.generatorKind = style.kind;
    record.start = {below(kPositions - 1) + 1, below(kPositions)};
    if (style.token) record.token = "token-" + std::to_string(style.seed);
    const auto start = platform::Generator::Seeded(style.kind, style.seed);
    if (!style.token) record.generatorState = start.State();
    auto generator = start;
    GeneratorSource random(generator);
    Round round(record.start);
    // At least 34 ms apart: never more than 30 keys in a second.
    const auto next = [&] {
        return std::max<std::uint32_t>(34, style.gapMs - style.jitterMs + player() % (2 * style.jitterMs + 1));
    };
    std::uint32_t ms = kSettleMs + player() % 200;
    while (round.Running()) {
        const std::int32_t ahead = (round.Chicken() - round.Aim() + kPositions) % kPositions;
        Action action = ahead == 0 || below(10) == 0 ? Action::Fire
                        : ahead <= kPositions / 2    ? Action::Right
                                                     : Action::Left;
        if (below(50) == 0) action = Action::Other;
        record.keys.push_back({ms, action});
        ms += round.Press({ms, action}, random) == Outcome::Hit ? std::max(kAfterHitMs, next()) : next();
    }
    return {record, start, round.Score()};
}

}  // namespace round_player
