// What an answer from the score table means for a waiting score, and how
// long to wait before trying it again.
#pragma once

#include <chrono>
#include <ctime>
#include <string_view>

namespace Corvane::detail {

enum class Outcome {
    Delivered,  // 200, 201: remove it
    Refused,    // 400, 413, 422: the same bytes will never be taken; remove it
    Retry,      // unreachable, timeout, 5xx, 429, anything else: keep it
    Aborted,    // stopped by Stop; keep it
};
Outcome Classify(long status);

// How long to wait before the next try after `failures` failed tries in a row
// (1 or more): the server's Retry-After (seconds or an HTTP date, against
// `now`) when it gave one, else 1 s doubling up to 60 s. Capped at one hour.
std::chrono::milliseconds RetryDelay(int failures, std::string_view retryAfter, std::time_t now);

}  // namespace Corvane::detail
