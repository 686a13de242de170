// One POST of one score body to the score table, and all that came of it.
#pragma once

#include "ScoreContract.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace Corvane::detail {

// When transfers must give up: set by the thread that stops the sender, read
// by the transfer in flight without a lock.
class StopDeadline {
public:
    using Clock = std::chrono::steady_clock;

    void Clear() { at_ = kNever; }
    void Set(Clock::time_point at) { at_ = at.time_since_epoch() / std::chrono::nanoseconds(1); }
    bool Passed() const { return Clock::now().time_since_epoch() / std::chrono::nanoseconds(1) >= at_.load(); }
    // The time left, which may be negative; nullopt while none is set.
    std::optional<std::chrono::nanoseconds> Left() const {
        const std::int64_t at = at_.load();
        if (at == kNever) return std::nullopt;
        return std::chrono::nanoseconds(at) - Clock::now().time_since_epoch();
    }

private:
    static constexpr std::int64_t kNever = INT64_MAX;
    std::atomic<std::int64_t> at_{kNever};  // steady-clock nanoseconds
};

struct TransferResult {
    // Unreachable, timed out or failed before an answer: retried later.
    score_protocol::Outcome outcome = score_protocol::Outcome::RetryLater;
    bool aborted = false;    // stopped by Stop; the score is kept
    long status = 0;         // the HTTP status; 0 when none came
    std::string answer;      // the answer's body (cut at 4 KiB), or what went wrong
    std::string retryAfter;  // the answer's Retry-After, as sent
};

// Posts `body` as JSON to `url`, within a 10 s bound and for no longer than
// `stop` allows; noticed within 50 ms of `stop` passing. Starts libcurl on
// the first call.
TransferResult TransferScore(const std::string& url, const std::string& body, const StopDeadline& stop);

}  // namespace Corvane::detail
