// From request to response, knowing nothing of sockets: the whole HTTP
// surface of the score table.
#pragma once

#include "http/Health.h"
#include "http/Log.h"
#include "http/Metrics.h"
#include "http/RateLimiter.h"
#include "store/Memos.h"
#include "store/Store.h"

#include <boost/beast/http.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace scoreboard {

namespace http = boost::beast::http;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// A score body is under 500 bytes, both texts at their longest in four-byte
// characters, and a round's record at most 4 KB more; anything near this is
// not one.
inline constexpr std::size_t kMaxBodyBytes = 8192;

// What the handler answers with: the store, the limit on posts, the clock
// and the memos, made by whoever runs the server.
struct HandlerDeps {
    ScoreStore& store;
    RateLimiter& limiter;
    std::function<std::int64_t()> nowMs;  // wall clock, Unix epoch ms
    // Where rendered answers are kept between commits; none: made anew each time.
    Memos* memos = nullptr;
    // Asks the database for /readyz off the I/O threads; none: asks it in
    // place (for tests in-process).
    ReadyCheck* ready = nullptr;
    // What is counted, served at /metrics; none: not served.
    Metrics* metrics = nullptr;
    // Served on a listener of their own (HandleMetricsRequest), not here.
    bool metricsApart = false;
    // Scores checked less than this are refused (--accept).
    Check accept = Check::Unverified;
};

// The probes a supervisor or load balancer polls: answered without the rate
// limit, and left out of the request log.
inline constexpr std::string_view kHealthPath = "/healthz";
inline constexpr std::string_view kReadyPath = "/readyz";
// Prometheus's scrapes come as often, and stay out of the log too.
bool IsProbe(std::string_view target);

// Decides from the headers alone what can be refused before the body is
// read: a post without a length, too long, in a type or coding we do not
// take, or from an address that posts too fast. nullopt: read the body.
std::optional<Response> ScreenRequest(const http::request_header<>& header, HandlerDeps& deps, std::string_view client);

// Answers through `done`: at once for most requests, and for a score post
// once the store has the outcome on disk, on the store's thread. `done` is
// called exactly once.
void HandleRequest(const Request& req, HandlerDeps& deps, std::function<void(Response)> done);

// The answers of the listener apart that serves only the metrics.
Response HandleMetricsRequest(const Request& req, HandlerDeps& deps);

// The same, waiting for the answer.
Response HandleRequest(const Request& req, HandlerDeps& deps);

// The store-error run's count lines come from `schedule` (the server's
// timers) while a run lasts; none: a run logs its start and end only.
void TimeStoreErrorLines(RepeatedError::Schedule schedule);

// A JSON error body; field names the member at fault, if any.
Response ErrorResponse(http::status status, unsigned version, bool keepAlive, std::string_view message,
                       std::string_view field = {});

}  // namespace scoreboard
