#include "delivery/RetryPolicy.h"

#include "common/AsciiText.h"

#include <curl/curl.h>

#include <algorithm>
#include <optional>
#include <string>

namespace Corvane::detail {

namespace {

using namespace std::chrono_literals;

constexpr auto kFirstRetry = 1s;
constexpr auto kLongestBackoff = 60s;
constexpr auto kLongestRetryAfter = 1h;

}  // namespace

std::chrono::milliseconds RetryDelay(int failures, std::string_view retryAfter, std::time_t now) {
    using std::chrono::milliseconds;
    const std::string_view v = Trim(retryAfter);
    std::optional<std::chrono::seconds> asked;
    if (AllDigits(v)) {
        asked = std::chrono::seconds(v.size() > 7 ? 9999999 : std::stol(std::string(v)));
    } else if (!v.empty()) {
        const std::time_t at = curl_getdate(std::string(v).c_str(), nullptr);
        if (at > 0) asked = std::chrono::seconds(std::max<std::time_t>(0, at - now));
    }
    if (asked) {
        // Never sooner than asked; a floor keeps a server saying 0 from a busy loop.
        return std::clamp<milliseconds>(*asked, kFirstRetry, kLongestRetryAfter);
    }
    const int doublings = std::clamp(failures - 1, 0, 16);
    return std::min<milliseconds>(kFirstRetry * (1 << doublings), kLongestBackoff);
}

}  // namespace Corvane::detail
