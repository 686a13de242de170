// Posts per client address: a token bucket per address that holds a minute's
// allowance and refills evenly, so a burst up to the limit passes.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace scoreboard {

class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    // per_minute == 0 turns the limit off.
    explicit RateLimiter(int per_minute);

    // Zero when the post may go ahead (and is counted); otherwise how long
    // to wait before the next one will be admitted, rounded up.
    std::chrono::seconds admit(std::string_view address, Clock::time_point now);

private:
    struct Bucket {
        double tokens;
        Clock::time_point updated;
    };
    void forget_idle(Clock::time_point now);

    const double capacity_;
    const double per_second_;
    std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
    std::size_t prune_at_ = 1024;
};

}  // namespace scoreboard
