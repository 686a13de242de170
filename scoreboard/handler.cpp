#include "handler.hpp"

#include "log.hpp"
#include "page.hpp"
#include "validate.hpp"

#include <boost/beast/core/string.hpp>
#include <boost/json.hpp>

#include <cctype>
#include <charconv>

namespace scoreboard {
namespace json = boost::json;
namespace beast = boost::beast;

namespace {

constexpr std::string_view scores_path = "/api/scores";
constexpr std::string_view games_path = "/api/games";

Response make_response(http::status status, unsigned version, bool keep_alive, std::string_view type,
                       std::string body)
{
    Response res{status, version};
    res.set(http::field::server, "barnblast-scoreboard");
    res.set(http::field::content_type, type);
    res.set("X-Content-Type-Options", "nosniff");
    res.keep_alive(keep_alive);
    res.body() = std::move(body);
    res.prepare_payload();
    return res;
}

Response json_response(http::status status, const Request& req, const json::value& v)
{
    auto res = make_response(status, req.version(), req.keep_alive(), "application/json", json::serialize(v));
    res.set(http::field::cache_control, "no-store");
    return res;
}

std::string_view path_of(std::string_view target)
{
    return target.substr(0, target.find('?'));
}

std::string_view query_of(std::string_view target)
{
    const std::size_t q = target.find('?');
    return q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
}

json::object record_json(const ScoreRecord& r)
{
    return {{"id", r.id}, {"game", r.game}, {"name", r.name}, {"score", r.score}, {"time", iso_time(r.time_ms)}};
}

Response post_score(const Request& req, Service& service)
{
    auto parsed = parse_submission(req.body());
    if (auto* err = std::get_if<FieldError>(&parsed)) {
        const std::string message = err->field.empty() ? err->reason : err->field + " " + err->reason;
        return error_response(http::status::bad_request, req.version(), req.keep_alive(), message, err->field);
    }
    auto& sub = std::get<Submission>(parsed);
    const ScoreRecord record{sub.id, sub.game, sub.name, sub.score, service.now_ms()};
    const PutResult result = service.store.put(record);
    switch (result.outcome) {
    case PutOutcome::stored:
        return json_response(http::status::created, req, record_json(result.kept));
    case PutOutcome::already_stored:
        return json_response(http::status::ok, req, record_json(result.kept));
    case PutOutcome::conflict:
        break;
    }
    return error_response(http::status::unprocessable_entity, req.version(), req.keep_alive(),
                          "id was already used for a different score", "id");
}

Response get_scores(const Request& req, Service& service)
{
    auto parsed = parse_table_query(query_of(req.target()));
    if (auto* err = std::get_if<FieldError>(&parsed)) {
        const std::string message = err->field.empty() ? err->reason : err->field + " " + err->reason;
        return error_response(http::status::bad_request, req.version(), req.keep_alive(), message, err->field);
    }
    const auto& q = std::get<TableQuery>(parsed);
    json::array rows;
    for (const auto& r : service.store.table(q.game, q.limit, q.offset))
        rows.push_back(json::object{
            {"rank", r.rank}, {"name", r.name}, {"score", r.score}, {"time", iso_time(r.time_ms)}});
    return json_response(http::status::ok, req,
                         json::object{{"game", q.game},
                                      {"total", service.store.count(q.game)},
                                      {"offset", q.offset},
                                      {"limit", q.limit},
                                      {"scores", std::move(rows)}});
}

Response get_games(const Request& req, Service& service)
{
    json::array games;
    for (const auto& g : service.store.games())
        games.push_back(json::object{{"game", g.game}, {"scores", g.scores}});
    return json_response(http::status::ok, req, json::object{{"games", std::move(games)}});
}

Response get_page(const Request& req, Service& service)
{
    auto res = make_response(http::status::ok, req.version(), req.keep_alive(), "text/html; charset=utf-8",
                             render_page(service.store));
    res.set("Content-Security-Policy", page_csp);
    res.set("Referrer-Policy", "no-referrer");
    res.set(http::field::cache_control, "no-cache");
    return res;
}

Response get_stylesheet(const Request& req)
{
    auto res = make_response(http::status::ok, req.version(), req.keep_alive(), "text/css; charset=utf-8",
                             std::string(stylesheet()));
    res.set(http::field::cache_control, "max-age=3600");
    return res;
}

Response method_not_allowed(const Request& req, std::string_view allow)
{
    auto res = error_response(http::status::method_not_allowed, req.version(), req.keep_alive(),
                              "method not allowed here");
    res.set(http::field::allow, allow);
    return res;
}

Response route(const Request& req, Service& service)
{
    const std::string_view path = path_of(req.target());
    const bool read = req.method() == http::verb::get || req.method() == http::verb::head;
    if (path == scores_path) {
        if (req.method() == http::verb::post)
            return post_score(req, service);
        return read ? get_scores(req, service) : method_not_allowed(req, "GET, HEAD, POST");
    }
    if (path == games_path)
        return read ? get_games(req, service) : method_not_allowed(req, "GET, HEAD");
    if (path == "/")
        return read ? get_page(req, service) : method_not_allowed(req, "GET, HEAD");
    if (path == "/style.css")
        return read ? get_stylesheet(req) : method_not_allowed(req, "GET, HEAD");
    return error_response(http::status::not_found, req.version(), req.keep_alive(), "no such resource");
}

bool is_json_type(std::string_view type)
{
    const std::string_view media = type.substr(0, type.find(';'));
    const std::size_t end = media.find_last_not_of(" \t");
    if (!beast::iequals(media.substr(0, end == std::string_view::npos ? 0 : end + 1), "application/json"))
        return false;
    // JSON is UTF-8; a charset parameter, if any, must agree.
    const std::size_t cs = [&] {
        std::string lower(type);
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return lower.find("charset=");
    }();
    if (cs == std::string_view::npos)
        return true;
    std::string_view charset = type.substr(cs + 8);
    charset = charset.substr(0, charset.find(';'));
    if (!charset.empty() && charset.front() == '"')
        charset = charset.substr(1, charset.find('"', 1) == std::string_view::npos ? 0 : charset.find('"', 1) - 1);
    while (!charset.empty() && (charset.back() == ' ' || charset.back() == '\t'))
        charset.remove_suffix(1);
    return beast::iequals(charset, "utf-8");
}

}  // namespace

Response error_response(http::status status, unsigned version, bool keep_alive, std::string_view message,
                        std::string_view field)
{
    json::object body{{"error", message}};
    if (!field.empty())
        body["field"] = field;
    auto res = make_response(status, version, keep_alive, "application/json", json::serialize(body));
    res.set(http::field::cache_control, "no-store");
    return res;
}

std::optional<Response> screen_request(const http::request_header<>& h, Service& service, std::string_view client)
{
    if (h.method() != http::verb::post || path_of(h.target()) != scores_path)
        return std::nullopt;
    // The body is left unread, so the connection cannot be reused.
    const auto refuse = [&](http::status status, std::string_view message) {
        return error_response(status, h.version(), false, message);
    };
    if (h.find(http::field::transfer_encoding) != h.end())
        return refuse(http::status::length_required, "send the body with a Content-Length, not chunked");
    const auto length = h.find(http::field::content_length);
    if (length == h.end())
        return refuse(http::status::length_required, "a Content-Length is required");
    std::uint64_t declared = 0;
    const std::string_view text = length->value();
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), declared);
    if (ec != std::errc() || end != text.data() + text.size())
        return refuse(http::status::bad_request, "Content-Length is not a number");
    if (declared > max_body_bytes)
        return refuse(http::status::payload_too_large,
                      "body is larger than " + std::to_string(max_body_bytes) + " bytes");
    const auto coding = h.find(http::field::content_encoding);
    if (coding != h.end() && !beast::iequals(coding->value(), "identity"))
        return refuse(http::status::unsupported_media_type, "Content-Encoding is not accepted");
    const auto type = h.find(http::field::content_type);
    if (type == h.end() || !is_json_type(type->value()))
        return refuse(http::status::unsupported_media_type, "Content-Type must be application/json");
    const auto wait = service.limiter.admit(client, RateLimiter::Clock::now());
    if (wait.count() > 0) {
        auto res = refuse(http::status::too_many_requests, "too many scores from this address; retry later");
        res.set(http::field::retry_after, std::to_string(wait.count()));
        return res;
    }
    return std::nullopt;
}

Response handle_request(const Request& req, Service& service)
{
    Response res;
    try {
        res = route(req, service);
    } catch (const StoreError& e) {
        log_line(std::string("store error: ") + e.what());
        res = error_response(e.busy() ? http::status::service_unavailable : http::status::internal_server_error,
                             req.version(), req.keep_alive(), "the score store failed; retry later");
        if (e.busy())
            res.set(http::field::retry_after, "1");
    } catch (const std::exception& e) {
        log_line(std::string("error: ") + e.what());
        res = error_response(http::status::internal_server_error, req.version(), req.keep_alive(),
                             "internal error");
    }
    // HEAD gets the headers GET would, without the body.
    if (req.method() == http::verb::head) {
        const auto size = res.body().size();
        res.body().clear();
        res.content_length(size);
    }
    return res;
}

}  // namespace scoreboard
