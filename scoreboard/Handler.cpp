#include "Handler.h"

#include "Log.h"
#include "Page.h"
#include "ScoreContract.h"
#include "ScoreJson.h"
#include "ScoreProtocol.h"
#include "Validate.h"

#include <boost/beast/core/string.hpp>
#include <boost/json.hpp>

#include <cctype>
#include <charconv>
#include <exception>
#include <future>

namespace scoreboard {
namespace json = boost::json;
namespace beast = boost::beast;

namespace {

using score_protocol::kScoresPath;
namespace wire = score_protocol::status;

// The statuses of a score post are the wire contract's.
http::status Status(int code) { return static_cast<http::status>(code); }
constexpr std::string_view kGamesPath = "/api/games";
constexpr std::string_view kPlayersApiPrefix = "/api/players/";
constexpr std::string_view kGamePagePrefix = "/games/";
constexpr std::string_view kPlayerPagePrefix = "/players/";

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

// What an answer needs of its request, kept while a post waits for the disk.
struct Asked {
    unsigned version;
    bool keepAlive;
    bool head;
};

Asked AskedOf(const Request& req) { return {req.version(), req.keep_alive(), req.method() == http::verb::head}; }

Response JsonResponse(http::status status, const Asked& asked, const json::value& v) {
    auto res = MakeResponse(status, asked.version, asked.keepAlive, "application/json", json::serialize(v));
    res.set(http::field::cache_control, "no-store");
    return res;
}

Response JsonResponse(http::status status, const Request& req, const json::value& v) {
    return JsonResponse(status, AskedOf(req), v);
}

// 503 for a transient failure of the store, 500 for any other.
Response FailureResponse(const Asked& asked, const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const StoreError& e) {
        LogLine(std::string("store error: ") + e.what());
        auto res = ErrorResponse(Status(e.Busy() ? wire::kStoreBusy : wire::kInternalError), asked.version,
                                 asked.keepAlive, "the score store failed; retry later");
        if (e.Busy()) res.set(http::field::retry_after, "1");
        return res;
    } catch (const std::exception& e) {
        LogLine(std::string("error: ") + e.what());
    } catch (...) {
        LogLine("error: unknown exception");
    }
    return ErrorResponse(Status(wire::kInternalError), asked.version, asked.keepAlive, "internal error");
}

// The same question gets the same answer until the next commit.
std::shared_ptr<const std::string> Kept(Service& service, std::string_view key,
                                        const std::function<std::string()>& make) {
    if (service.memos) return service.memos->Memo(key, make);
    return std::make_shared<const std::string>(make());
}

std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

std::string_view QueryOf(std::string_view target) {
    const std::size_t q = target.find('?');
    return q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
}

// 400 naming the member or parameter at fault.
Response BadField(const Request& req, const FieldError& err) {
    const std::string message = err.field.empty() ? err.reason : err.field + " " + err.reason;
    return ErrorResponse(Status(wire::kBadBody), req.version(), req.keep_alive(), message, err.field);
}

Response PutAnswer(const Asked& asked, const PutResult& result) {
    if (result.outcome == PutOutcome::Conflict)
        return ErrorResponse(Status(wire::kIdTaken), asked.version, asked.keepAlive,
                             "id was already used for a different score", "id");
    const ScoreRecord& r = result.kept;
    const std::string body =
        score_protocol::StoredBody({r.id, r.game, r.name, r.score, IsoTime(r.timeMs), result.rank});
    auto res = MakeResponse(Status(result.outcome == PutOutcome::Stored ? wire::kStored : wire::kAlreadyStored),
                            asked.version, asked.keepAlive, "application/json", body);
    res.set(http::field::cache_control, "no-store");
    return res;
}

void PostScore(const Request& req, Service& service, std::function<void(Response)> done) {
    auto parsed = score_protocol::ParseSubmission(req.body());
    if (auto* err = std::get_if<FieldError>(&parsed)) return done(BadField(req, *err));
    auto& sub = std::get<score_protocol::Submission>(parsed);
    const ScoreRecord record{sub.id, sub.game, sub.name, sub.score, service.nowMs()};
    service.store.PutAsync(record,
                           [asked = AskedOf(req), done = std::move(done)](PutResult result, std::exception_ptr error) {
                               done(error ? FailureResponse(asked, error) : PutAnswer(asked, result));
                           });
}

std::string TableJson(const TableQuery& q, Service& service) {
    // Total and rows from one read, so that they agree.
    const TablePage page = service.store.Read(q.game, q.limit, q.offset);
    json::array rows;
    rows.reserve(page.rows.size());
    for (const auto& r : page.rows)
        rows.push_back(
            json::object{{"rank", r.rank}, {"name", r.name}, {"score", r.score}, {"time", IsoTime(r.timeMs)}});
    return json::serialize(json::object{{"game", q.game},
                                        {"total", page.total},
                                        {"offset", q.offset},
                                        {"limit", q.limit},
                                        {"scores", std::move(rows)}});
}

Response GetScores(const Request& req, Service& service) {
    auto parsed = ParseTableQuery(QueryOf(req.target()));
    if (auto* err = std::get_if<FieldError>(&parsed)) return BadField(req, *err);
    const auto& q = std::get<TableQuery>(parsed);
    // The same question gets the same answer until the next commit: the
    // store may keep it, and most readers ask for the same top 10.
    std::string key = "scores ";
    key += std::to_string(q.limit) + " " + std::to_string(q.offset) + " " + q.game;
    const auto body = Kept(service, key, [&] { return TableJson(q, service); });
    auto res = MakeResponse(http::status::ok, req.version(), req.keep_alive(), "application/json", *body);
    res.set(http::field::cache_control, "no-store");
    return res;
}

Response GetGames(const Request& req, Service& service) {
    json::array games;
    for (const auto& g : service.store.Games()) games.push_back(json::object{{"game", g.game}, {"scores", g.scores}});
    return JsonResponse(http::status::ok, req, json::object{{"games", std::move(games)}});
}

Response HtmlResponse(http::status status, const Request& req, std::string body) {
    auto res = MakeResponse(status, req.version(), req.keep_alive(), "text/html; charset=utf-8", std::move(body));
    res.set("Content-Security-Policy", kPageCsp);
    res.set("Referrer-Policy", "no-referrer");
    res.set(http::field::cache_control, "no-cache");
    return res;
}

// A page kept by Memo with its status in front: "404<html...".
std::string WithStatus(HtmlPage page) { return std::to_string(page.status) + page.html; }

Response MemoPageResponse(const Request& req, const std::string& kept) {
    return HtmlResponse(static_cast<http::status>(std::stoi(kept.substr(0, 3))), req, kept.substr(3));
}

// Browsers ask for HTML; programs under /api/ get JSON unless they ask too.
bool WantsHtml(const Request& req) {
    if (!PathOf(req.target()).starts_with("/api/")) return true;
    const std::string_view accept = req[http::field::accept];
    return accept.find("text/html") != std::string_view::npos;
}

Response NotFound(const Request& req) {
    if (!WantsHtml(req))
        return ErrorResponse(http::status::not_found, req.version(), req.keep_alive(), "no such resource");
    return HtmlResponse(http::status::not_found, req,
                        RenderErrorPage("Page not found", "There is no page at this address."));
}

Response BadPageRequest(const Request& req, std::string_view message) {
    return HtmlResponse(http::status::bad_request, req, RenderErrorPage("Bad address", message));
}

Response GetPage(const Request& req, Service& service) {
    const auto page = Kept(service, "page", [&] { return RenderPage(service.store); });
    return HtmlResponse(http::status::ok, req, *page);
}

// The one path segment after prefix, decoded: nullopt when there is none,
// or more than one.
std::optional<std::string_view> SegmentAfter(std::string_view path, std::string_view prefix) {
    const std::string_view rest = path.substr(prefix.size());
    if (rest.empty() || rest.find('/') != std::string_view::npos) return std::nullopt;
    return rest;
}

// ?page=N, 1 when absent; nullopt when not a page number.
std::optional<std::int64_t> PageNumber(std::string_view query) {
    std::int64_t page = 1;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) != "page") continue;
        const std::string_view value = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), page);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size() || page < 1 || page > kMaxGamePage)
            return std::nullopt;
    }
    return page;
}

Response GetGamePage(const Request& req, Service& service) {
    const auto segment = SegmentAfter(PathOf(req.target()), kGamePagePrefix);
    if (!segment) return NotFound(req);
    const auto game = PathDecode(*segment);
    if (!game) return BadPageRequest(req, "The game's name in this address is not valid UTF-8 or has a bad %-escape.");
    const auto page = PageNumber(QueryOf(req.target()));
    if (!page)
        return BadPageRequest(req,
                              "The page number must be a whole number from 1 to " + std::to_string(kMaxGamePage) + ".");
    const auto kept = Kept(service, "game " + std::to_string(*page) + " " + *game,
                           [&] { return WithStatus(RenderGamePage(service.store, *game, *page)); });
    return MemoPageResponse(req, *kept);
}

Response GetPlayerPage(const Request& req, Service& service) {
    const auto segment = SegmentAfter(PathOf(req.target()), kPlayerPagePrefix);
    if (!segment) return NotFound(req);
    const auto name = PathDecode(*segment);
    if (!name) return BadPageRequest(req, "The name in this address is not valid UTF-8 or has a bad %-escape.");
    const auto kept =
        Kept(service, "player " + *name, [&] { return WithStatus(RenderPlayerPage(service.store, *name)); });
    return MemoPageResponse(req, *kept);
}

std::string PlayerJson(const std::string& name, Service& service) {
    json::array games;
    for (const auto& b : service.store.PlayerBests(name))
        games.push_back(
            json::object{{"game", b.game}, {"score", b.score}, {"rank", b.rank}, {"time", IsoTime(b.timeMs)}});
    return json::serialize(json::object{{"name", name}, {"games", std::move(games)}});
}

// A name with no scores has an empty list, as a game with none has an empty table.
Response GetPlayer(const Request& req, Service& service) {
    const auto segment = SegmentAfter(PathOf(req.target()), kPlayersApiPrefix);
    if (!segment) return NotFound(req);
    const auto name = PathDecode(*segment);
    if (!name)
        return ErrorResponse(http::status::bad_request, req.version(), req.keep_alive(),
                             "name is not valid UTF-8 or has a bad %-escape", "name");
    const auto body = Kept(service, "api player " + *name, [&] { return PlayerJson(*name, service); });
    auto res = MakeResponse(http::status::ok, req.version(), req.keep_alive(), "application/json", *body);
    res.set(http::field::cache_control, "no-store");
    return res;
}

Response GetStylesheet(const Request& req) {
    auto res = MakeResponse(http::status::ok, req.version(), req.keep_alive(), "text/css; charset=utf-8",
                            std::string(Stylesheet()));
    res.set(http::field::cache_control, "max-age=3600");
    return res;
}

Response MethodNotAllowed(const Request& req, std::string_view allow) {
    auto res =
        ErrorResponse(http::status::method_not_allowed, req.version(), req.keep_alive(), "method not allowed here");
    res.set(http::field::allow, allow);
    return res;
}

// Every request but a score post, which PostScore answers.
Response Route(const Request& req, Service& service) {
    const std::string_view path = PathOf(req.target());
    const bool read = req.method() == http::verb::get || req.method() == http::verb::head;
    if (path == kScoresPath) {
        return read ? GetScores(req, service) : MethodNotAllowed(req, "GET, HEAD, POST");
    }
    if (path == kGamesPath) return read ? GetGames(req, service) : MethodNotAllowed(req, "GET, HEAD");
    if (path == "/") return read ? GetPage(req, service) : MethodNotAllowed(req, "GET, HEAD");
    if (path == "/style.css") return read ? GetStylesheet(req) : MethodNotAllowed(req, "GET, HEAD");
    if (path.starts_with(kGamePagePrefix)) return read ? GetGamePage(req, service) : MethodNotAllowed(req, "GET, HEAD");
    if (path.starts_with(kPlayerPagePrefix))
        return read ? GetPlayerPage(req, service) : MethodNotAllowed(req, "GET, HEAD");
    if (path.starts_with(kPlayersApiPrefix)) return read ? GetPlayer(req, service) : MethodNotAllowed(req, "GET, HEAD");
    return NotFound(req);
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

}  // namespace

Response ErrorResponse(http::status status, unsigned version, bool keepAlive, std::string_view message,
                       std::string_view field) {
    auto res = MakeResponse(status, version, keepAlive, "application/json", score_protocol::ErrorBody(message, field));
    res.set(http::field::cache_control, "no-store");
    return res;
}

std::optional<Response> ScreenRequest(const http::request_header<>& h, Service& service, std::string_view client) {
    // The body is left unread, so the connection cannot be reused.
    const auto refuse = [&](http::status status, std::string_view message) {
        return ErrorResponse(status, h.version(), false, message);
    };
    if (h.method() != http::verb::post || PathOf(h.target()) != kScoresPath) {
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
    const auto wait = service.limiter.Admit(client, RateLimiter::Clock::now());
    if (wait.count() > 0) {
        auto res = refuse(Status(wire::kTooManyPosts), "too many scores from this address; retry later");
        res.set(http::field::retry_after, std::to_string(wait.count()));
        return res;
    }
    return std::nullopt;
}

void HandleRequest(const Request& req, Service& service, std::function<void(Response)> done) {
    const Asked asked = AskedOf(req);
    auto finish = [asked, done = std::move(done)](Response res) {
        // HEAD gets the headers GET would, without the body.
        if (asked.head) {
            const auto size = res.body().size();
            res.body().clear();
            res.content_length(size);
        }
        done(std::move(res));
    };
    if (req.method() == http::verb::post && PathOf(req.target()) == kScoresPath) {
        try {
            return PostScore(req, service, finish);
        } catch (...) {
            // Thrown before the store took the callback, so it is not called yet.
            return finish(FailureResponse(asked, std::current_exception()));
        }
    }
    Response res;
    try {
        res = Route(req, service);
    } catch (...) {
        res = FailureResponse(asked, std::current_exception());
    }
    finish(std::move(res));
}

Response HandleRequest(const Request& req, Service& service) {
    std::promise<Response> answer;
    auto future = answer.get_future();
    HandleRequest(req, service, [&answer](Response res) { answer.set_value(std::move(res)); });
    return future.get();
}

}  // namespace scoreboard
