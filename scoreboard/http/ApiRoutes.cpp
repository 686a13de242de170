// The JSON API: posting a score, a game's table, the games, a player's bests,
// and the description of it all.
#include "http/Routes.h"

#include "ScoreJson.h"
#include "http/ApiDescription.h"
#include "http/Rounds.h"
#include "http/Validate.h"
#include "pages/Page.h"

#include <boost/json.hpp>

namespace scoreboard::routes {
namespace json = boost::json;

namespace {

Response JsonResponse(http::status status, const Request& req, const json::value& v) {
    auto res = MakeResponse(status, req.version(), req.keep_alive(), "application/json", json::serialize(v));
    res.set(http::field::cache_control, "no-store");
    return res;
}

// 400 naming the member or parameter at fault.
Response BadField(const Request& req, const FieldError& err) {
    const std::string message = err.field.empty() ? err.reason : err.field + " " + err.reason;
    return ErrorResponse(Status(wire::kBadBody), req.version(), req.keep_alive(), message, err.field);
}

// The row's rank in each period it is in as of nowMs (a retry of an old
// row is in no longer this week or today).
json::object RanksOf(const PutResult& result, std::int64_t nowMs) {
    json::object ranks{{"all", result.rank}};
    const std::int64_t day = DayOf(result.kept.timeMs);
    const std::int64_t today = DayOf(nowMs);
    ranks["week"] = WeekStartOf(day) == WeekStartOf(today) ? json::value(result.weekRank) : json::value(nullptr);
    ranks["day"] = day == today ? json::value(result.dayRank) : json::value(nullptr);
    return ranks;
}

Response PutAnswer(const Asked& asked, const PutResult& result, std::int64_t nowMs) {
    if (result.outcome == PutOutcome::Conflict)
        return ErrorResponse(Status(wire::kIdTaken), asked.version, asked.keepAlive,
                             "id was already used for a different score", "id");
    if (result.outcome == PutOutcome::TokenUsed)
        return ErrorResponse(Status(wire::kIdTaken), asked.version, asked.keepAlive,
                             "the round's token was already used by another score", "round");
    const ScoreRecord& r = result.kept;
    json::value stored =
        json::parse(score_protocol::StoredBody({r.id, r.game, r.name, r.score, IsoTime(r.timeMs), result.rank}));
    stored.as_object()["ranks"] = RanksOf(result, nowMs);
    stored.as_object()["check"] = CheckName(r.check);
    const std::string body = json::serialize(stored);
    auto res = MakeResponse(Status(result.outcome == PutOutcome::Stored ? wire::kStored : wire::kAlreadyStored),
                            asked.version, asked.keepAlive, "application/json", body);
    res.set(http::field::cache_control, "no-store");
    return res;
}

std::string TableJson(const TableQuery& q, HandlerDeps& deps, const json::value& around = nullptr) {
    // Total and rows from one read, so that they agree.
    const TablePage page =
        q.checkedOnly ? deps.store.ReadChecked(
                            q.game, Check::Replayed,
                            q.period == Period::All ? std::nullopt : std::optional(DaysOf(q.period, deps.nowMs())),
                            q.limit, q.offset)
                      : ReadPeriod(deps.store, q.game, q.period, deps.nowMs(), q.limit, q.offset);
    json::array rows;
    rows.reserve(page.rows.size());
    for (const auto& r : page.rows)
        rows.push_back(json::object{{"rank", r.rank},
                                    {"name", r.name},
                                    {"score", r.score},
                                    {"time", IsoTime(r.timeMs)},
                                    {"check", CheckName(r.check)}});
    json::object answer{{"game", q.game},
                        {"period", PeriodName(q.period)},
                        {"total", page.total},
                        {"offset", q.offset},
                        {"limit", q.limit}};
    if (q.checkedOnly) answer["verified"] = true;
    if (!around.is_null()) answer["around"] = around;
    answer["scores"] = std::move(rows);
    return json::serialize(answer);
}

// The rows around a stored score: its page, with the row in the middle.
Response AroundAnswer(const Request& req, TableQuery q, HandlerDeps& deps) {
    const auto found = deps.store.Find(*q.around);
    const auto missing = [&](const std::string& why) {
        return ErrorResponse(http::status::not_found, req.version(), req.keep_alive(), why, "around");
    };
    if (!found || found->kept.game != q.game) return missing("no score with this id in this game");
    const std::int64_t now = deps.nowMs();
    const json::object ranks = RanksOf(*found, now);
    const json::value& rank = ranks.at(PeriodName(q.period));
    if (rank.is_null()) return missing("that score is not in this period");
    q.offset = std::max<std::int64_t>(0, rank.as_int64() - 1 - (q.limit - 1) / 2);
    const std::string body = TableJson(q, deps, json::object{{"id", *q.around}, {"rank", rank}});
    auto res = MakeResponse(http::status::ok, req.version(), req.keep_alive(), "application/json", body);
    res.set(http::field::cache_control, "no-store");
    return res;
}

std::string PlayerJson(const std::string& name, HandlerDeps& deps) {
    json::array games;
    for (const auto& b : deps.store.PlayerBests(name))
        games.push_back(
            json::object{{"game", b.game}, {"score", b.score}, {"rank", b.rank}, {"time", IsoTime(b.timeMs)}});
    return json::serialize(json::object{{"name", name}, {"games", std::move(games)}});
}

}  // namespace

void PostScore(const Request& req, HandlerDeps& deps, std::function<void(Response)> done) {
    auto parsed = score_protocol::ParseSubmission(req.body());
    if (auto* err = std::get_if<FieldError>(&parsed)) return done(BadField(req, *err));
    auto& sub = std::get<score_protocol::Submission>(parsed);
    const std::int64_t now = deps.nowMs();
    const auto refuse = [&](const std::string& message, std::string_view field) {
        done(ErrorResponse(Status(wire::kIdTaken), req.version(), req.keep_alive(), message, field));
    };
    // The key only when a token is to be read: reading it costs nothing, but
    // a store that keeps none is no reason to refuse other posts.
    const std::string key = sub.round && sub.game == kRulesGame ? deps.store.RoundKey() : std::string();
    const auto checked = CheckRound(sub.game, sub.score, sub.round, key, now);
    if (const auto* refused = std::get_if<RoundRefused>(&checked)) return refuse(refused->message, refused->field);
    const auto& round = std::get<RoundChecked>(checked);
    if (round.check < deps.accept) return refuse(WeakerThanAccepted(round.check, deps.accept), "round");
    ScoreRecord record{sub.id, sub.game, sub.name, sub.score, now, round.check};
    if (round.check != Check::Unverified) {
        record.round = CompressRecord(*sub.round);
        record.token = round.token;
    }
    deps.store.PutAsync(record, [asked = AskedOf(req), now = record.timeMs, done = std::move(done)](
                                    PutResult result, std::exception_ptr error) {
        done(error ? FailureResponse(asked, error) : PutAnswer(asked, result, now));
    });
}

Response PostRound(const Request& req, HandlerDeps& deps) {
    json::error_code ec;
    const json::value body = json::parse(req.body(), ec);
    if (ec || !body.is_object()) return BadField(req, {"", "body must be a JSON object"});
    const json::value* game = body.as_object().if_contains("game");
    if (!game || !game->is_string()) return BadField(req, {"game", "is required, a string"});
    if (game->get_string() != kRulesGame)
        return ErrorResponse(Status(wire::kIdTaken), req.version(), req.keep_alive(),
                             "this table knows the rules of " + std::string(kRulesGame) + " only", "game");
    const RoundToken token = NewToken(deps.nowMs());
    return JsonResponse(http::status::created, req,
                        json::object{{"token", SignToken(deps.store.RoundKey(), token)}, {"seed", token.seed}});
}

Response GetScores(const Request& req, HandlerDeps& deps) {
    auto parsed = ParseTableQuery(QueryOf(req.target()));
    if (auto* err = std::get_if<FieldError>(&parsed)) return BadField(req, *err);
    const auto& q = std::get<TableQuery>(parsed);
    if (q.around) return AroundAnswer(req, q, deps);
    // The same question gets the same answer until the next commit: the
    // store may keep it, and most readers ask for the same top 10.
    std::string key = q.checkedOnly ? "checked scores " : "scores ";
    // A week's or a day's table changes with the day, commit or not.
    key += std::string(PeriodName(q.period)) + " " + std::to_string(DayOf(deps.nowMs())) + " ";
    key += std::to_string(q.limit) + " " + std::to_string(q.offset) + " " + q.game;
    const auto body = Kept(deps, key, [&] { return TableJson(q, deps); });
    auto res = MakeResponse(http::status::ok, req.version(), req.keep_alive(), "application/json", *body);
    res.set(http::field::cache_control, "no-store");
    return res;
}

Response GetGames(const Request& req, HandlerDeps& deps) {
    json::array games;
    for (const auto& g : deps.store.Games()) games.push_back(json::object{{"game", g.game}, {"scores", g.scores}});
    return JsonResponse(http::status::ok, req, json::object{{"games", std::move(games)}});
}

Response GetPlayer(const Request& req, HandlerDeps& deps) {
    const auto segment = SegmentAfter(PathOf(req.target()), kPlayersApiPrefix);
    if (!segment) return NotFound(req);
    const auto name = PathDecode(*segment);
    if (!name)
        return ErrorResponse(http::status::bad_request, req.version(), req.keep_alive(),
                             "name is not valid UTF-8 or has a bad %-escape", "name");
    const auto body = Kept(deps, "api player " + *name, [&] { return PlayerJson(*name, deps); });
    auto res = MakeResponse(http::status::ok, req.version(), req.keep_alive(), "application/json", *body);
    res.set(http::field::cache_control, "no-store");
    return res;
}

Response GetApiDescription(const Request& req) {
    auto res = MakeResponse(http::status::ok, req.version(), req.keep_alive(), "application/json",
                            std::string(ApiDescription()));
    res.set(http::field::cache_control, "no-cache");
    return res;
}

}  // namespace scoreboard::routes
