// How long a score the table asked to retry later waits before its next try.
// What an answer means is the wire contract's (score_protocol::OutcomeOf).
#pragma once

#include <chrono>
#include <ctime>
#include <string_view>

namespace Corvane::detail {

// How long to wait before the next try after `failures` failed tries in a row
// (1 or more): the server's Retry-After (seconds or an HTTP date, against
// `now`) when it gave one, else 1 s doubling up to 60 s. Capped at one hour.
std::chrono::milliseconds RetryDelay(int failures, std::string_view retryAfter, std::time_t now);

}  // namespace Corvane::detail
