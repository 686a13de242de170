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

    // perMinute == 0 turns the limit off.
    explicit RateLimiter(int perMinute);

    // Zero when the post may go ahead (and is counted); otherwise how long
    // to wait before the next one will be admitted, rounded up.
    std::chrono::seconds Admit(std::string_view address, Clock::time_point now);

private:
    struct Bucket {
        double tokens;
        Clock::time_point updated;
    };
    void ForgetIdle(Clock::time_point now);

    const double capacity_;
    const double perSecond_;
    std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
    std::size_t pruneAt_ = 1024;
};

}  // namespace scoreboard
