#include "http/Handler.h"

#include "ScoreProtocol.h"
#include "http/Log.h"
#include "http/Routes.h"

#include <boost/beast/core/string.hpp>

#include <cctype>
#include <charconv>
#include <exception>
#include <future>

namespace scoreboard {
namespace beast = boost::beast;

namespace routes {

Response MakeResponse(http::status status, unsigned version, bool keepAlive, std::string_view type, std::string body) {
    Response res{status, version};
    res.set(http::field::server, "barnblast-scoreboard");
    res.set(http::field::content_type, type);
    res.set("X-Content-Type-Options", "nosniff");
    res.keep_alive(keepAlive);
    res.body() = std::move(body);
    res.prepare_payload();
    return res;
}

RepeatedError& StoreErrors() {
    static RepeatedError errors("store error");
    return errors;
}

Asked AskedOf(const Request& req) { return {req.version(), req.keep_alive(), req.method() == http::verb::head}; }

Response FailureResponse(const Asked& asked, const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const StoreError& e) {
        StoreErrors().Failed(e.what());
        auto res = ErrorResponse(Status(e.Busy() ? wire::kStoreBusy : wire::kInternalError), asked.version,
                                 asked.keepAlive, "the score store failed; retry later");
        if (e.Busy()) res.set(http::field::retry_after, "1");
        return res;
    } catch (const std::exception& e) {
        LogEvent(LogLevel::Error, std::string("error: ") + e.what());
    } catch (...) {
        LogEvent(LogLevel::Error, "error: unknown exception");
    }
    return ErrorResponse(Status(wire::kInternalError), asked.version, asked.keepAlive, "internal error");
}

std::shared_ptr<const std::string> Kept(HandlerDeps& deps, std::string_view key,
                                        const std::function<std::string()>& make) {
    if (deps.memos) return deps.memos->Memo(key, make);
    return std::make_shared<const std::string>(make());
}

std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

std::string_view QueryOf(std::string_view target) {
    const std::size_t q = target.find('?');
    return q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
}

std::optional<std::string_view> SegmentAfter(std::string_view path, std::string_view prefix) {
    const std::string_view rest = path.substr(prefix.size());
    if (rest.empty() || rest.find('/') != std::string_view::npos) return std::nullopt;
    return rest;
}

}  // namespace routes

namespace {

using namespace routes;
using score_protocol::kScoresPath;

Response MethodNotAllowed(const Request& req, std::string_view allow) {
    auto res =
        ErrorResponse(http::status::method_not_allowed, req.version(), req.keep_alive(), "method not allowed here");
    res.set(http::field::allow, allow);
    return res;
}

// Every request but a score post, which PostScore answers.
Response Route(const Request& req, HandlerDeps& deps) {
    const std::string_view path = PathOf(req.target());
    const bool read = req.method() == http::verb::get || req.method() == http::verb::head;
    if (path == kScoresPath) {
        return read ? GetScores(req, deps) : MethodNotAllowed(req, "GET, HEAD, POST");
    }
    if (path == kGamesPath) return read ? GetGames(req, deps) : MethodNotAllowed(req, "GET, HEAD");
    if (path == kRoundsPath)
        return req.method() == http::verb::post ? PostRound(req, deps) : MethodNotAllowed(req, "POST");
    if (path == kApiDescriptionPath) return read ? GetApiDescription(req) : MethodNotAllowed(req, "GET, HEAD");
    if (path == "/") return read ? GetPage(req, deps) : MethodNotAllowed(req, "GET, HEAD");
    if (path == "/style.css") return read ? GetStylesheet(req) : MethodNotAllowed(req, "GET, HEAD");
    if (path.starts_with(kGamePagePrefix)) return read ? GetGamePage(req, deps) : MethodNotAllowed(req, "GET, HEAD");
    if (path.starts_with(kPlayerPagePrefix))
        return read ? GetPlayerPage(req, deps) : MethodNotAllowed(req, "GET, HEAD");
    if (path.starts_with(kPlayersApiPrefix)) return read ? GetPlayer(req, deps) : MethodNotAllowed(req, "GET, HEAD");
    return NotFound(req);
}

Response ProbeAnswer(const Asked& asked, bool ok, std::string_view body) {
    auto res = MakeResponse(ok ? http::status::ok : http::status::service_unavailable, asked.version, asked.keepAlive,
                            "text/plain; charset=utf-8", std::string(body));
    res.set(http::field::cache_control, "no-store");
    return res;
}

// /readyz: 200 while the database answers a query within the check's
// patience, 503 otherwise.
void Readiness(const Asked& asked, HandlerDeps& deps, const std::function<void(Response)>& finish) {
    const auto answer = [asked, finish](bool ready) {
        finish(ready ? ProbeAnswer(asked, true, "ready\n")
                     : ProbeAnswer(asked, false, "not ready: the database does not answer\n"));
    };
    if (deps.ready) return deps.ready->Check(answer);
    bool ready = true;
    try {
        deps.store.Ping();
    } catch (const std::exception&) {
        ready = false;
    }
    answer(ready);
}

// The paths whose answers come from the database.
bool AsksStore(std::string_view path) {
    return path == kScoresPath || path == kGamesPath || path == "/" || path.starts_with(kGamePagePrefix) ||
           path.starts_with(kPlayerPagePrefix) || path.starts_with(kPlayersApiPrefix);
}

bool IsJsonType(std::string_view type) {
    const std::string_view media = type.substr(0, type.find(';'));
    const std::size_t end = media.find_last_not_of(" \t");
    if (!beast::iequals(media.substr(0, end == std::string_view::npos ? 0 : end + 1), "application/json")) return false;
    // JSON is UTF-8; a charset parameter, if any, must agree.
    const std::size_t cs = [&] {
        std::string lower(type);
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return lower.find("charset=");
    }();
    if (cs == std::string_view::npos) return true;
    std::string_view charset = type.substr(cs + 8);
    charset = charset.substr(0, charset.find(';'));
    if (!charset.empty() && charset.front() == '"')
        charset = charset.substr(1, charset.find('"', 1) == std::string_view::npos ? 0 : charset.find('"', 1) - 1);
    while (!charset.empty() && (charset.back() == ' ' || charset.back() == '\t')) charset.remove_suffix(1);
    return beast::iequals(charset, "utf-8");
}

// HEAD gets the headers GET would, without the body.
void HeadOnly(Response& res) {
    const auto size = res.body().size();
    res.body().clear();
    res.content_length(size);
}

Response MetricsAnswer(const Request& req, HandlerDeps& deps) {
    if (req.method() != http::verb::get && req.method() != http::verb::head) return MethodNotAllowed(req, "GET, HEAD");
    auto res =
        MakeResponse(http::status::ok, req.version(), req.keep_alive(), kMetricsType, deps.metrics->Text(deps.store));
    res.set(http::field::cache_control, "no-store");
    return res;
}

}  // namespace

bool IsProbe(std::string_view target) {
    const std::string_view path = PathOf(target);
    return path == kHealthPath || path == kReadyPath || path == kMetricsPath;
}

Response HandleMetricsRequest(const Request& req, HandlerDeps& deps) {
    const Asked asked = AskedOf(req);
    auto res = PathOf(req.target()) != kMetricsPath || !deps.metrics
                   ? MakeResponse(http::status::not_found, asked.version, asked.keepAlive, "text/plain; charset=utf-8",
                                  "only /metrics is served here\n")
                   : MetricsAnswer(req, deps);
    if (asked.head) HeadOnly(res);
    return res;
}

Response ErrorResponse(http::status status, unsigned version, bool keepAlive, std::string_view message,
                       std::string_view field) {
    auto res = MakeResponse(status, version, keepAlive, "application/json", score_protocol::ErrorBody(message, field));
    res.set(http::field::cache_control, "no-store");
    return res;
}

std::optional<Response> ScreenRequest(const http::request_header<>& h, HandlerDeps& deps, std::string_view client) {
    // The body is left unread, so the connection cannot be reused.
    const auto refuse = [&](http::status status, std::string_view message) {
        return ErrorResponse(status, h.version(), false, message);
    };
    // A round token is asked for like a score is posted, and counts alike.
    const bool posts = PathOf(h.target()) == kScoresPath || PathOf(h.target()) == kRoundsPath;
    if (h.method() != http::verb::post || !posts) {
        // Nothing else takes a body: refuse one before reading any of it, and
        // a chunked one above all, whose size lines, extensions and trailers
        // would otherwise have to be parsed.
        const auto length = h.find(http::field::content_length);
        if (h.find(http::field::transfer_encoding) != h.end() || (length != h.end() && length->value() != "0"))
            return refuse(http::status::payload_too_large, "this resource takes no request body");
        return std::nullopt;
    }
    if (h.find(http::field::transfer_encoding) != h.end())
        return refuse(Status(wire::kLengthRequired), "send the body with a Content-Length, not chunked");
    const auto length = h.find(http::field::content_length);
    if (length == h.end()) return refuse(Status(wire::kLengthRequired), "a Content-Length is required");
    std::uint64_t declared = 0;
    const std::string_view text = length->value();
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), declared);
    if (ec != std::errc() || end != text.data() + text.size())
        return refuse(Status(wire::kBadBody), "Content-Length is not a number");
    if (declared > kMaxBodyBytes)
        return refuse(Status(wire::kTooLarge), "body is larger than " + std::to_string(kMaxBodyBytes) + " bytes");
    const auto coding = h.find(http::field::content_encoding);
    if (coding != h.end() && !beast::iequals(coding->value(), "identity"))
        return refuse(Status(wire::kNotJson), "Content-Encoding is not accepted");
    const auto type = h.find(http::field::content_type);
    if (type == h.end() || !IsJsonType(type->value()))
        return refuse(Status(wire::kNotJson), "Content-Type must be application/json");
    const auto wait = deps.limiter.Admit(client, RateLimiter::Clock::now());
    if (wait.count() > 0) {
        auto res = refuse(Status(wire::kTooManyPosts), "too many scores from this address; retry later");
        res.set(http::field::retry_after, std::to_string(wait.count()));
        return res;
    }
    return std::nullopt;
}

void HandleRequest(const Request& req, HandlerDeps& deps, std::function<void(Response)> done) {
    const Asked asked = AskedOf(req);
    const bool asksStore = AsksStore(PathOf(req.target()));
    auto finish = [asked, asksStore, done = std::move(done)](Response res) {
        // An answer from the database ends a run of store errors.
        if (asksStore && res.result_int() < 500) StoreErrors().Succeeded();
        if (asked.head) HeadOnly(res);
        done(std::move(res));
    };
    const std::string_view path = PathOf(req.target());
    const bool read = req.method() == http::verb::get || req.method() == http::verb::head;
    if (path == kHealthPath || path == kReadyPath) {
        if (!read) return finish(MethodNotAllowed(req, "GET, HEAD"));
        if (path == kHealthPath) return finish(ProbeAnswer(asked, true, "ok\n"));
        return Readiness(asked, deps, finish);
    }
    if (path == kMetricsPath && deps.metrics && !deps.metricsApart) return finish(MetricsAnswer(req, deps));
    if (req.method() == http::verb::post && path == kScoresPath) {
        try {
            return PostScore(req, deps, finish);
        } catch (...) {
            // Thrown before the store took the callback, so it is not called yet.
            return finish(FailureResponse(asked, std::current_exception()));
        }
    }
    Response res;
    try {
        res = Route(req, deps);
    } catch (const StoreError&) {
        if (deps.metrics) deps.metrics->DatabaseFailed();
        res = FailureResponse(asked, std::current_exception());
    } catch (...) {
        res = FailureResponse(asked, std::current_exception());
    }
    finish(std::move(res));
}

void TimeStoreErrorLines(RepeatedError::Schedule schedule) { StoreErrors().ScheduleWith(std::move(schedule)); }

Response HandleRequest(const Request& req, HandlerDeps& deps) {
    std::promise<Response> answer;
    auto future = answer.get_future();
    HandleRequest(req, deps, [&answer](Response res) { answer.set_value(std::move(res)); });
    return future.get();
}

}  // namespace scoreboard
