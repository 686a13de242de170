#include "RoundRules.h"

namespace round_rules {

// Not yet written: every key is ignored and the round never ends.
Round::Round(Start start, bool timed) : timed_(timed), chicken_(start.chicken), aim_(start.aim) {}
Outcome Round::Press(Key, RandomSource&) { return Outcome::Ignored; }
bool Round::Running() const { return running_; }
std::int32_t Round::Score() const { return score_; }
std::int32_t Round::Chicken() const { return chicken_; }
std::int32_t Round::Aim() const { return aim_; }
bool Round::Paused() const { return paused_; }
std::uint32_t Round::PlayedMs(std::uint32_t nowMs) const { return nowMs - pausedMs_; }

}  // namespace round_rules
