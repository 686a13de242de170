// What a round is, as a deterministic function of its start, the
// generator's draws and the keys with the times the game read them: no
// sound, threads, clocks or waiting. The game plays through it and the score
// table replays recorded rounds through it, so the two cannot differ.
#pragma once

#include "Generator.h"

#include <cstdint>

namespace round_rules {

inline constexpr int kVersion = 1;                 // the rules' version; a record names it
inline constexpr std::uint32_t kRoundMs = 120000;  // two minutes of play (pauses not counted)
inline constexpr std::uint32_t kSettleMs = 100;    // no key is read before this
inline constexpr std::uint32_t kAfterHitMs = 300;  // no key is read this soon after a hit
inline constexpr int kPoints = 5;
inline constexpr int kPositions = 16;
// The most any round can score: a hit at kSettleMs, then one every
// kAfterHitMs, and the key that ends the round a hit too.
inline constexpr std::int32_t kMaxScore = ((kRoundMs - kSettleMs) / kAfterHitMs + 1 + 1) * kPoints;  // 2005
inline constexpr int kMaxKeysPerSecond = 30;  // more in any 1000 ms is not a person

enum class Action : std::uint8_t { Left = 0, Right = 1, Fire = 2, Other = 3, Pause = 4 };  // Pause toggles pause/resume
struct Key {
    std::uint32_t ms;  // since the round started, when the game read the key
    Action action;
    friend bool operator==(const Key&, const Key&) = default;
};

// Where the chicken's next places come from: the game passes platform::rand,
// the table a platform::Generator.
class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual int Next() = 0;
};

// A generator as a RandomSource; it draws from (and so moves) the one given.
class GeneratorSource final : public RandomSource {
public:
    explicit GeneratorSource(platform::Generator& generator) : generator_(generator) {}
    int Next() override { return generator_.Next(); }

private:
    platform::Generator& generator_;
};

enum class Outcome { Moved, Hit, Miss, Ignored, Paused, Resumed };

struct Start {
    std::int32_t chicken = 0;  // 0 only before the program's first hit, then 1..15
    std::int32_t aim = 0;      // 0..kPositions-1
    friend bool operator==(const Start&, const Start&) = default;
};

// Pause: while paused only a Pause key does anything (it resumes); other
// keys are Ignored and are not recorded. Pauses do not count as play. A
// Pause read after the two minutes ends the round like any key and pauses
// nothing.
class Round {
public:
    explicit Round(Start start, bool timed = true);  // untimed: a practice round, never ends by time
    // One key as the game read it; the first key read after kRoundMs of play
    // is handled and ends the round. Keys after the end are Ignored.
    Outcome Press(Key key, RandomSource& random);
    bool Running() const;
    std::int32_t Score() const;
    std::int32_t Chicken() const;
    std::int32_t Aim() const;
    bool Paused() const;
    std::uint32_t PlayedMs(std::uint32_t nowMs) const;  // time of play so far, pauses left out

private:
    bool timed_;
    bool running_ = true;
    bool paused_ = false;
    std::int32_t score_ = 0;
    std::int32_t chicken_;
    std::int32_t aim_;
    std::uint32_t pausedMs_ = 0;      // the pauses that have ended
    std::uint32_t pauseStartMs_ = 0;  // when the pause under way began
};

}  // namespace round_rules
