#include "RoundRules.h"

namespace round_rules {

Round::Round(Start start, bool timed) : timed_(timed), chicken_(start.chicken), aim_(start.aim) {}

Outcome Round::Press(Key key, RandomSource& random) {
    if (!running_) return Outcome::Ignored;
    if (paused_) {
        if (key.action != Action::Pause) return Outcome::Ignored;
        pausedMs_ += key.ms > pauseStartMs_ ? key.ms - pauseStartMs_ : 0;
        paused_ = false;
        return Outcome::Resumed;
    }
    // The game reads keys until the timer has run out; the key read then is
    // still handled, and nothing after it.
    const bool ends = timed_ && PlayedMs(key.ms) >= kRoundMs;
    if (ends) running_ = false;
    switch (key.action) {
        case Action::Left: aim_ = (aim_ + kPositions - 1) % kPositions; return Outcome::Moved;
        case Action::Right: aim_ = (aim_ + 1) % kPositions; return Outcome::Moved;
        case Action::Fire:
            if (chicken_ != aim_) {
                score_ -= kPoints;
                return Outcome::Miss;
            }
            chicken_ = random.Next() % (kPositions - 1) + 1;  // never back to 0
            score_ += kPoints;
            return Outcome::Hit;
        case Action::Pause:
            if (ends) return Outcome::Ignored;  // nothing left to pause
            paused_ = true;
            pauseStartMs_ = key.ms;
            return Outcome::Paused;
        case Action::Other: break;
    }
    return Outcome::Ignored;
}

bool Round::Running() const { return running_; }
std::int32_t Round::Score() const { return score_; }
std::int32_t Round::Chicken() const { return chicken_; }
std::int32_t Round::Aim() const { return aim_; }
bool Round::Paused() const { return paused_; }

std::uint32_t Round::PlayedMs(std::uint32_t nowMs) const {
    const std::uint32_t until = paused_ ? pauseStartMs_ : nowMs;
    return until > pausedMs_ ? until - pausedMs_ : 0;
}

}  // namespace round_rules
