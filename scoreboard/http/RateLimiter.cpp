#include "http/RateLimiter.h"

#include <algorithm>
#include <cmath>

namespace scoreboard {

RateLimiter::RateLimiter(int perMinute) : capacity_(perMinute), perSecond_(perMinute / 60.0) {}

std::chrono::seconds RateLimiter::Admit(std::string_view address, Clock::time_point now) {
    if (capacity_ <= 0) return std::chrono::seconds(0);
    std::lock_guard lock(mutex_);
    if (buckets_.size() >= pruneAt_) ForgetIdle(now);
    auto [it, fresh] = buckets_.try_emplace(std::string(address), Bucket{capacity_, now});
    Bucket& b = it->second;
    if (!fresh) {
        const std::chrono::duration<double> idle = now - b.updated;
        b.tokens = std::min(capacity_, b.tokens + std::max(0.0, idle.count()) * perSecond_);
        b.updated = std::max(b.updated, now);
    }
    if (b.tokens >= 1.0) {
        b.tokens -= 1.0;
        return std::chrono::seconds(0);
    }
    const double wait = (1.0 - b.tokens) / perSecond_;
    return std::chrono::seconds(std::max<long long>(1, static_cast<long long>(std::ceil(wait))));
}

// A bucket that has refilled is the same as no bucket; dropping those keeps
// the map as small as the set of recent posters.
void RateLimiter::ForgetIdle(Clock::time_point now) {
    std::erase_if(buckets_, [&](const auto& kv) {
        const std::chrono::duration<double> idle = now - kv.second.updated;
        return kv.second.tokens + idle.count() * perSecond_ >= capacity_;
    });
    pruneAt_ = std::max<std::size_t>(1024, buckets_.size() * 2);
}

}  // namespace scoreboard
