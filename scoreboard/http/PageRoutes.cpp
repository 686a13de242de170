// The HTML pages: the front page, a game's table, a player's bests, the
// stylesheet, and the page for an address with nothing at it.
#include "http/Routes.h"

#include "ScoreProtocol.h"
#include "Utf8.h"
#include "http/Validate.h"
#include "pages/Page.h"

#include <charconv>

namespace scoreboard::routes {

namespace {

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

Response BadPageRequest(const Request& req, std::string_view message) {
    return HtmlResponse(http::status::bad_request, req, RenderErrorPage("Bad address", message));
}

// The value of `key` in a query string (the last, if repeated).
std::optional<std::string_view> QueryValue(std::string_view query, std::string_view key) {
    std::optional<std::string_view> found;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) != key) continue;
        found = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    }
    return found;
}

// ?page=N, 1 when absent; nullopt when not a page number.
std::optional<std::int64_t> PageNumber(std::string_view query) {
    std::int64_t page = 1;
    if (const auto value = QueryValue(query, "page")) {
        const auto [end, ec] = std::from_chars(value->data(), value->data() + value->size(), page);
        if (value->empty() || ec != std::errc() || end != value->data() + value->size() || page < 1 ||
            page > kMaxGamePage)
            return std::nullopt;
    }
    return page;
}

// ?you=<name>, the player whose row a table marks as theirs: empty when
// absent, nullopt when no score could carry that name.
std::optional<std::string> MarkedPlayer(std::string_view query) {
    const auto value = QueryValue(query, "you");
    if (!value) return std::string();
    auto name = FormDecode(*value);
    if (!name || name->empty() || !score_protocol::IsValidUtf8(*name) || score_protocol::HasControl(*name) ||
        score_protocol::CodePoints(*name) > score_protocol::kMaxNameCharacters)
        return std::nullopt;
    return name;
}

}  // namespace

Response NotFound(const Request& req) {
    if (!WantsHtml(req))
        return ErrorResponse(http::status::not_found, req.version(), req.keep_alive(), "no such resource");
    return HtmlResponse(http::status::not_found, req,
                        RenderErrorPage("Page not found", "There is no page at this address."));
}

Response GetPage(const Request& req, HandlerDeps& deps) {
    const auto page = Kept(deps, "page", [&] { return RenderPage(deps.store); });
    return HtmlResponse(http::status::ok, req, *page);
}

Response GetGamePage(const Request& req, HandlerDeps& deps) {
    const auto segment = SegmentAfter(PathOf(req.target()), kGamePagePrefix);
    if (!segment) return NotFound(req);
    const auto game = PathDecode(*segment);
    if (!game) return BadPageRequest(req, "The game's name in this address is not valid UTF-8 or has a bad %-escape.");
    const auto page = PageNumber(QueryOf(req.target()));
    if (!page)
        return BadPageRequest(req,
                              "The page number must be a whole number from 1 to " + std::to_string(kMaxGamePage) + ".");
    const auto periodName = QueryValue(QueryOf(req.target()), "period");
    const auto period = periodName ? ParsePeriod(*periodName) : Period::All;
    if (!period) return BadPageRequest(req, "The period must be all, week or day.");
    const auto you = MarkedPlayer(QueryOf(req.target()));
    if (!you)
        return BadPageRequest(req, "The player after you= must be a name of 1 to " +
                                       std::to_string(score_protocol::kMaxNameCharacters) +
                                       " characters of UTF-8, with no control characters.");
    const auto checkedValue = QueryValue(QueryOf(req.target()), "checked");
    if (checkedValue && *checkedValue != "0" && *checkedValue != "1")
        return BadPageRequest(req, "checked= is 1 for checked rounds only, or 0 for all scores.");
    const bool checkedOnly = checkedValue && *checkedValue == "1";
    const std::int64_t now = deps.nowMs();
    // A week's or a day's table changes with the day, commit or not. The
    // player's name goes with its length, so that no name and game together
    // read as another pair.
    const auto kept =
        Kept(deps,
             std::string(checkedOnly ? "checked game " : "game ") + std::string(PeriodName(*period)) + " " +
                 std::to_string(DayOf(now)) + " " + std::to_string(*page) + " " + std::to_string(you->size()) + ":" +
                 *you + " " + *game,
             [&] { return WithStatus(RenderGamePage(deps.store, *game, *page, *period, now, *you, checkedOnly)); });
    return MemoPageResponse(req, *kept);
}

Response GetPlayerPage(const Request& req, HandlerDeps& deps) {
    const auto segment = SegmentAfter(PathOf(req.target()), kPlayerPagePrefix);
    if (!segment) return NotFound(req);
    const auto name = PathDecode(*segment);
    if (!name) return BadPageRequest(req, "The name in this address is not valid UTF-8 or has a bad %-escape.");
    const auto kept = Kept(deps, "player " + *name, [&] { return WithStatus(RenderPlayerPage(deps.store, *name)); });
    return MemoPageResponse(req, *kept);
}

Response GetStylesheet(const Request& req) {
    auto res = MakeResponse(http::status::ok, req.version(), req.keep_alive(), "text/css; charset=utf-8",
                            std::string(Stylesheet()));
    res.set(http::field::cache_control, "max-age=3600");
    return res;
}

}  // namespace scoreboard::routes
