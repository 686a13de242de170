// The HTTP surface in-process: requests straight into ScreenRequest and
// HandleRequest, as the server hands them over, against a store in memory.
#include "MemoryStore.h"
#include "OpenApiCheck.h"
#include "RoundRecord.h"
#include "ScoreContract.h"
#include "http/Handler.h"
#include "pages/Page.h"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace scoreboard;
using scoreboard_test::MemoryStore;
namespace json = boost::json;

namespace {

constexpr const char* kGame = "Barnblast V2";

std::string Uuid(int n) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-0000-4000-8000-000000000000", n);
    return buf;
}

std::string ScoreJson(const std::string& game, long long score, const std::string& name, const std::string& id) {
    return json::serialize(json::object{{"game", game}, {"score", score}, {"name", name}, {"id", id}});
}

json::value JsonOf(const Response& res) { return json::parse(res.body()); }

class HandlerTest : public ::testing::Test {
protected:
    MemoryStore store_;
    RateLimiter limiter_{0};
    std::int64_t nowMs_ = 1714564984250;
    HandlerDeps deps_{store_, limiter_, [this] { return nowMs_; }};

    // What the server answers to one request from `client`: the screen first,
    // then, if it lets the request through, the handler.
    // Each must be an answer the API's description allows.
    Response Exchange(Request req, HandlerDeps& deps, const std::string& client = "192.0.2.1") {
        auto refused = ScreenRequest(req, deps, client);
        Response res = refused ? std::move(*refused) : HandleRequest(req, deps);
        const auto& description = testsupport::ScoreTableDescription();
        for (const auto& problem : description.Problems(req.method_string(), req.target(), testsupport::AnswerOf(res)))
            ADD_FAILURE() << req.method_string() << " " << req.target() << " answered " << res.result_int() << ": "
                          << problem;
        return res;
    }
    // A POST /api/scores typed as JSON; `adjust` changes it before it is sent.
    Response Post(const std::string& body, const std::function<void(Request&)>& adjust = {}) {
        Request req{http::verb::post, "/api/scores", 11};
        req.set(http::field::content_type, "application/json");
        req.body() = body;
        req.prepare_payload();
        if (adjust) adjust(req);
        return Exchange(std::move(req), deps_);
    }
    Response PostScore(const std::string& game, long long score, const std::string& name, const std::string& id) {
        return Post(ScoreJson(game, score, name, id));
    }
    Response Send(http::verb method, const std::string& target) { return Exchange({method, target, 11}, deps_); }
    Response Get(const std::string& target) { return Send(http::verb::get, target); }
};

}  // namespace

TEST_F(HandlerTest, StoresAndEchoesTheScoreWithTheTimeItArrived) {
    const auto res = PostScore(kGame, 35, "Ann", Uuid(1));
    ASSERT_EQ(res.result_int(), 201) << res.body();
    EXPECT_EQ(res[http::field::content_type], "application/json");
    EXPECT_EQ(res[http::field::cache_control], "no-store");
    EXPECT_EQ(JsonOf(res), json::parse(R"({"id":")" + Uuid(1) +
                                       R"(","game":"Barnblast V2","name":"Ann","score":35,)"
                                       R"("time":"2024-05-01T12:03:04.250Z","rank":1,)"
                                       R"("ranks":{"all":1,"week":1,"day":1},"check":"unverified"})"));
    const auto table = JsonOf(Get("/api/scores?game=Barnblast+V2"));
    EXPECT_EQ(table, json::parse(R"({"game":"Barnblast V2","period":"all","total":1,"offset":0,"limit":10,"scores":[)"
                                 R"({"rank":1,"name":"Ann","score":35,"time":"2024-05-01T12:03:04.250Z",)"
                                 R"("check":"unverified"}]})"));
}

TEST_F(HandlerTest, RetryIsAnsweredWithTheFirstArrival) {
    ASSERT_EQ(PostScore(kGame, 10, "Bo", Uuid(7)).result_int(), 201);
    const auto firstTime = IsoTime(nowMs_);
    nowMs_ += 60000;
    std::string upper = Uuid(7);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& id : {Uuid(7), upper}) {
        const auto retry = PostScore(kGame, 10, "Bo", id);
        ASSERT_EQ(retry.result_int(), 200) << retry.body();
        EXPECT_EQ(JsonOf(retry).at("time"), json::value(firstTime));
        EXPECT_EQ(JsonOf(retry).at("id"), json::value(Uuid(7)));
    }
    EXPECT_EQ(store_.Rows(), 1u);
}

TEST_F(HandlerTest, SameIdWithOtherContentIsAConflictOnTheId) {
    ASSERT_EQ(PostScore(kGame, 10, "Di", Uuid(3)).result_int(), 201);
    for (const auto& [g, score, name] : {std::tuple{kGame, 11, "Di"}, {kGame, 10, "Dee"}, {"Other", 10, "Di"}}) {
        const auto res = PostScore(g, score, name, Uuid(3));
        EXPECT_EQ(res.result_int(), 422) << res.body();
        EXPECT_EQ(JsonOf(res), json::parse(R"({"error":"id was already used for a different score","field":"id"})"));
    }
    EXPECT_EQ(store_.Rows(), 1u);
}

TEST_F(HandlerTest, AcceptsBoundaryValuesAndIgnoresUnknownMembers) {
    std::string accent64;
    for (int i = 0; i < 64; ++i) accent64 += "\xc3\xa9";  // é: two bytes, one character
    // A game whose rules the table does not know takes any number.
    EXPECT_EQ(PostScore("g", 2147483647, "", Uuid(10)).result_int(), 201);
    EXPECT_EQ(PostScore(kGame, -2147483648LL, std::string(32, 'n'), Uuid(11)).result_int(), 201);
    EXPECT_EQ(PostScore(accent64, 0, "\xc3\xbc\xe2\x82\xac\xf0\x9f\x90\x94", Uuid(12)).result_int(), 201);
    EXPECT_EQ(PostScore("g", 0, "a", Uuid(13)).result_int(), 201);
    const auto extra =
        Post(R"({"game":"g","score":1,"name":"b","id":")" + Uuid(14) + R"(","level":3,"extra":{"x":[1,2]}})");
    EXPECT_EQ(extra.result_int(), 201) << extra.body();
    const auto charset = Post(ScoreJson("g", 1, "c", Uuid(15)), [](Request& req) {
        req.set(http::field::content_type, "application/json; charset=UTF-8");
    });
    EXPECT_EQ(charset.result_int(), 201) << charset.body();
}

// What the body's parser says becomes a 400 that names the member, and
// nothing is stored.
TEST_F(HandlerTest, RefusedBodiesSayWhyAndWhere) {
    const auto game = Post(R"({"score":1,"name":"a","id":")" + Uuid(1) + R"("})");
    EXPECT_EQ(game.result_int(), 400);
    EXPECT_EQ(JsonOf(game), json::parse(R"({"error":"game is required","field":"game"})"));
    const auto whole = Post("[1,2]");
    EXPECT_EQ(whole.result_int(), 400);
    EXPECT_EQ(JsonOf(whole), json::parse(R"({"error":"body must be a JSON object"})"));
    EXPECT_EQ(store_.Rows(), 0u);
    EXPECT_EQ(JsonOf(Get("/api/games")), json::parse(R"({"games":[]})"));
}

TEST_F(HandlerTest, StoreFailuresAreRetryableOnlyWhenBusy) {
    store_.FailNext(true);
    const auto busy = PostScore(kGame, 1, "a", Uuid(1));
    EXPECT_EQ(busy.result_int(), 503);
    EXPECT_EQ(busy[http::field::retry_after], "1");
    store_.FailNext(false);
    const auto broken = Get("/api/games");
    EXPECT_EQ(broken.result_int(), 500);
    EXPECT_EQ(broken.count(http::field::retry_after), 0u);
    EXPECT_EQ(PostScore(kGame, 1, "a", Uuid(1)).result_int(), 201);
}

TEST_F(HandlerTest, BodyLengthUpToTheLimitIsReadAndOverItRefusedFromTheHeader) {
    const auto declaring = [](std::size_t n) {
        return [n](Request& req) { req.set(http::field::content_length, std::to_string(n)); };
    };
    Request head{http::verb::post, "/api/scores", 11};
    head.set(http::field::content_type, "application/json");
    declaring(kMaxBodyBytes)(head);
    EXPECT_FALSE(ScreenRequest(head, deps_, "a"));
    declaring(kMaxBodyBytes + 1)(head);
    const auto over = ScreenRequest(head, deps_, "a");
    ASSERT_TRUE(over);
    EXPECT_EQ(over->result_int(), 413);
    EXPECT_FALSE(over->keep_alive()) << "the body is left unread";
}

TEST_F(HandlerTest, EncodingsItDoesNotTake) {
    const std::string ok = ScoreJson("g", 1, "e", Uuid(5));
    const auto header = [](http::field f, const char* v) { return [f, v](Request& req) { req.set(f, v); }; };
    for (const auto& [adjust, status] : std::vector<std::pair<std::function<void(Request&)>, int>>{
             {header(http::field::content_encoding, "gzip"), 415},
             {header(http::field::content_encoding, "deflate"), 415},
             {header(http::field::content_type, "text/plain"), 415},
             {header(http::field::content_type, "application/x-www-form-urlencoded"), 415},
             {header(http::field::content_type, "application/json; charset=latin1"), 415},
             {header(http::field::content_type, "application/jsonx"), 415},
             {[](Request& req) { req.erase(http::field::content_type); }, 415},
             {header(http::field::transfer_encoding, "chunked"), 411},
             {[](Request& req) { req.erase(http::field::content_length); }, 411},
             {header(http::field::content_length, "abc"), 400},
         }) {
        const auto res = Post(ok, adjust);
        EXPECT_EQ(res.result_int(), status) << res.body();
        EXPECT_TRUE(JsonOf(res).as_object().contains("error"));
    }
    EXPECT_EQ(store_.Rows(), 0u);
    EXPECT_EQ(Post(ok, header(http::field::content_encoding, "identity")).result_int(), 201);
}

TEST_F(HandlerTest, TooManyPostsFromOneAddressGet429WithRetryAfter) {
    RateLimiter three(3);
    HandlerDeps limited{store_, three, [this] { return nowMs_; }};
    const auto post = [&](int n, const std::string& client) {
        Request req{http::verb::post, "/api/scores", 11};
        req.set(http::field::content_type, "application/json");
        req.body() = ScoreJson(kGame, n, "r", Uuid(n));
        req.prepare_payload();
        return Exchange(std::move(req), limited, client);
    };
    for (int i = 0; i < 3; ++i) ASSERT_EQ(post(i, "192.0.2.1").result_int(), 201);
    const auto refused = post(9, "192.0.2.1");
    ASSERT_EQ(refused.result_int(), 429) << refused.body();
    // Three a minute: the next token comes in 20 s.
    const int after = std::stoi(std::string(refused[http::field::retry_after]));
    EXPECT_GE(after, 1);
    EXPECT_LE(after, 20);
    Request token{http::verb::post, "/api/rounds", 11};
    token.set(http::field::content_type, "application/json");
    token.body() = R"({"game":"Barnblast V2"})";
    token.prepare_payload();
    EXPECT_EQ(Exchange(token, limited, "192.0.2.1").result_int(), 429) << "a round token counts as a post";
    EXPECT_EQ(post(10, "192.0.2.2").result_int(), 201) << "addresses are apart";
    EXPECT_EQ(Exchange({http::verb::get, "/api/scores?game=Barnblast+V2", 11}, limited).result_int(), 200)
        << "reads are not limited";
    EXPECT_EQ(store_.Rows(), 4u);
}

TEST_F(HandlerTest, RateLimitZeroTurnsItOff) {
    for (int i = 0; i < 50; ++i) ASSERT_EQ(PostScore(kGame, i, "r", Uuid(i)).result_int(), 201);
}

TEST_F(HandlerTest, BadQueriesNameTheParameter) {
    for (const auto& [query, field] : std::vector<std::pair<std::string, std::string>>{
             {"", "game"},
             {"limit=5", "game"},
             {"game=", "game"},
             {"game=g&limit=0", "limit"},
             {"game=g&limit=101", "limit"},
             {"game=g&limit=ten", "limit"},
             {"game=g&offset=-1", "offset"},
             {"game=g&offset=1x", "offset"},
             {"game=%zz", ""},
             {"game=%ff", "game"},
             {"game=g&period=month", "period"},
             {"game=g&around=", "around"},
             {"game=g&verified=yes", "verified"},
             {"game=g&verified=1&around=" + Uuid(1), "around"},
         }) {
        const auto res = Get("/api/scores?" + query);
        EXPECT_EQ(res.result_int(), 400) << query;
        const auto err = JsonOf(res).as_object();
        EXPECT_EQ(err.contains("field") ? std::string(err.at("field").as_string()) : "", field) << query;
    }
    EXPECT_EQ(Get("/api/scores?game=g&limit=100").result_int(), 200);
}

TEST_F(HandlerTest, UnknownPathsAndMethods) {
    EXPECT_EQ(Get("/api/nothing").result_int(), 404);
    const auto put = Send(http::verb::put, "/api/scores");
    EXPECT_EQ(put.result_int(), 405);
    EXPECT_EQ(put[http::field::allow], "GET, HEAD, POST");
    const auto del = Send(http::verb::delete_, "/");
    EXPECT_EQ(del.result_int(), 405);
    EXPECT_EQ(del[http::field::allow], "GET, HEAD");
}

TEST_F(HandlerTest, HeadIsGetWithoutTheBody) {
    ASSERT_EQ(PostScore(kGame, 1, "a", Uuid(1)).result_int(), 201);
    for (const char* target : {"/", "/style.css", "/api/games", "/api/scores?game=Barnblast+V2",
                               "/games/Barnblast%20V2", "/players/a", "/api/players/a"}) {
        const auto get = Get(target);
        const auto head = Send(http::verb::head, target);
        EXPECT_EQ(head.result_int(), 200) << target;
        EXPECT_TRUE(head.body().empty()) << target;
        EXPECT_EQ(head[http::field::content_length], std::to_string(get.body().size())) << target;
        EXPECT_EQ(head[http::field::content_type], get[http::field::content_type]) << target;
    }
}

namespace {

// A store whose puts finish only when the test lets them, on a thread of
// their own, as the SQLite store's writer does after its commit.
class HeldStore : public MemoryStore {
public:
    void PutAsync(const ScoreRecord& record, PutCallback done) override { held_.emplace_back(record, std::move(done)); }
    void Release() {
        for (auto& put : held_) std::thread([this, &put] { put.second(Put(put.first), nullptr); }).join();
        held_.clear();
    }

private:
    std::vector<std::pair<ScoreRecord, PutCallback>> held_;
};

}  // namespace

TEST(HandlerAsyncTest, APostIsAnsweredOnlyOnceTheStoreHasItAndOnlyOnce) {
    HeldStore store;
    RateLimiter limiter{0};
    HandlerDeps deps{store, limiter, [] { return std::int64_t{1714564984250}; }};
    Request req{http::verb::post, "/api/scores", 11};
    req.set(http::field::content_type, "application/json");
    req.body() = ScoreJson(kGame, 5, "Ann", Uuid(1));
    req.prepare_payload();

    std::vector<Response> answers;
    HandleRequest(req, deps, [&](Response res) { answers.push_back(std::move(res)); });
    HandleRequest(req, deps, [&](Response res) { answers.push_back(std::move(res)); });
    EXPECT_TRUE(answers.empty());
    EXPECT_EQ(store.Rows(), 0u);

    store.Release();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].result(), http::status::created);
    EXPECT_EQ(answers[1].result(), http::status::ok);  // the retry, stored once
    EXPECT_EQ(store.Rows(), 1u);
    EXPECT_EQ(JsonOf(answers[1]).at("name"), "Ann");
}

namespace {

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// What every HTML answer carries, whatever its status.
void ExpectHtml(const Response& res, const std::string& target) {
    EXPECT_EQ(res[http::field::content_type], "text/html; charset=utf-8") << target;
    EXPECT_EQ(res["Content-Security-Policy"], kPageCsp) << target;
    EXPECT_EQ(res.body().find("<script"), std::string::npos) << target;
    EXPECT_NE(res.body().find("<html lang=\"en\">"), std::string::npos) << target;
}

}  // namespace

TEST_F(HandlerTest, APostIsAnsweredWithItsRankAndARetryWithItsRankNow) {
    const auto rankOf = [](const Response& res) { return JsonOf(res).at("rank").as_int64(); };
    EXPECT_EQ(rankOf(PostScore(kGame, 50, "A", Uuid(1))), 1);
    EXPECT_EQ(rankOf(PostScore(kGame, 70, "B", Uuid(2))), 1);
    EXPECT_EQ(rankOf(PostScore(kGame, 50, "C", Uuid(3))), 3);  // a tie ranks behind the earlier score
    EXPECT_EQ(rankOf(PostScore("Other", 1, "D", Uuid(4))), 1);
    const auto retry = PostScore(kGame, 50, "A", Uuid(1));
    EXPECT_EQ(retry.result_int(), 200);
    EXPECT_EQ(rankOf(retry), 2);
    ASSERT_EQ(PostScore(kGame, 99, "E", Uuid(5)).result_int(), 201);
    EXPECT_EQ(rankOf(PostScore(kGame, 50, "A", Uuid(1))), 3) << "a retry tells where the score stands now";
    const auto conflict = PostScore(kGame, 51, "A", Uuid(1));
    EXPECT_EQ(conflict.result_int(), 422);
    EXPECT_FALSE(JsonOf(conflict).as_object().contains("rank"));
}

TEST_F(HandlerTest, ThisWeeksAndTodaysTablesHoldTheirOwnRowsAndAPostIsRankedInEach) {
    constexpr std::int64_t kDay = 86'400'000;
    // Wednesday 1 May 2024, then Thursday, then the Monday after.
    ASSERT_EQ(JsonOf(PostScore(kGame, 50, "Wed", Uuid(1))).at("ranks"), json::parse(R"({"all":1,"week":1,"day":1})"));
    nowMs_ += kDay;
    ASSERT_EQ(JsonOf(PostScore(kGame, 40, "Thu", Uuid(2))).at("ranks"), json::parse(R"({"all":2,"week":2,"day":1})"));
    const auto names = [&](const std::string& period) {
        std::vector<std::string> out;
        const auto table = JsonOf(Get("/api/scores?game=Barnblast+V2&period=" + period));
        for (const auto& r : table.at("scores").as_array()) out.emplace_back(r.at("name").as_string());
        return out;
    };
    EXPECT_EQ(names("week"), (std::vector<std::string>{"Wed", "Thu"}));
    EXPECT_EQ(names("day"), (std::vector<std::string>{"Thu"}));
    const auto today = Get("/games/Barnblast%20V2?period=day");
    ASSERT_EQ(today.result_int(), 200);
    for (const std::string part :
         {"<li aria-current=\"page\">Today</li>", "href=\"/games/Barnblast%20V2\">All time<",
          "href=\"/games/Barnblast%20V2?period=week\">This week<", "<bdi>Barnblast V2</bdi>, Today: 1 score"})
        EXPECT_NE(today.body().find(part), std::string::npos) << part << "\n" << today.body();

    nowMs_ += 4 * kDay;
    // A retry says where the row stands now, in the periods it is still in.
    EXPECT_EQ(JsonOf(PostScore(kGame, 50, "Wed", Uuid(1))).at("ranks"),
              json::parse(R"({"all":1,"week":null,"day":null})"));
    EXPECT_TRUE(names("week").empty());
    EXPECT_EQ(names("all"), (std::vector<std::string>{"Wed", "Thu"}));
    // A game with no scores this week still has its page, saying so.
    const auto week = Get("/games/Barnblast%20V2?period=week");
    EXPECT_EQ(week.result_int(), 200);
    EXPECT_NE(week.body().find("No scores this week yet"), std::string::npos) << week.body();
    EXPECT_EQ(Get("/games/Barnblast%20V2?period=year").result_int(), 400);
    EXPECT_EQ(Get("/games/Nobody?period=week").result_int(), 404);
    // Around a row: its page of the table, with the row's own rank.
    const auto around = JsonOf(Get("/api/scores?game=Barnblast+V2&limit=1&around=" + Uuid(2)));
    EXPECT_EQ(around.at("around"), (json::object{{"id", Uuid(2)}, {"rank", 2}}));
    EXPECT_EQ(around.at("scores").at(0).at("name"), "Thu");
    EXPECT_EQ(Get("/api/scores?game=Barnblast+V2&period=day&around=" + Uuid(2)).result_int(), 404);
}

TEST_F(HandlerTest, AGamesTableIsPagedWithLinksToPreviousAndNextOnlyWhereThereAreRows) {
    const std::string game = "Barn blast/\xc3\xa9 & <co>";
    const std::string path = "/games/Barn%20blast%2F%C3%A9%20%26%20%3Cco%3E";
    for (int i = 0; i < 60; ++i)
        ASSERT_EQ(PostScore(game, 1000 - i, "p" + std::to_string(i), Uuid(i)).result_int(), 201);
    ASSERT_EQ(PostScore(kGame, 1, "elsewhere", Uuid(100)).result_int(), 201);

    const auto first = Get(path);
    ASSERT_EQ(first.result_int(), 200) << first.body();
    ExpectHtml(first, path);
    const std::string& p1 = first.body();
    EXPECT_EQ(Occurrences(p1, "<tr id=\"rank-"), 25u);
    EXPECT_NE(p1.find("<tr id=\"rank-1\"><th scope=\"row\">1</th><td><a href=\"/players/p0\"><bdi>p0</bdi></a></td>"),
              std::string::npos);
    EXPECT_NE(p1.find("<bdi>Barn blast/\xc3\xa9 &amp; &lt;co&gt;</bdi>: scores 1 to 25 of 60</caption>"),
              std::string::npos);
    EXPECT_EQ(p1.find("<co>"), std::string::npos) << "the game's name is escaped";
    EXPECT_EQ(p1.find("rel=\"prev\""), std::string::npos);
    EXPECT_NE(p1.find("<a rel=\"next\" href=\"" + path + "?page=2\">"), std::string::npos);
    EXPECT_EQ(p1.find("elsewhere"), std::string::npos);
    EXPECT_EQ(Get(path + "?page=1").body(), p1);

    const std::string p2 = Get(path + "?page=2").body();
    EXPECT_EQ(Occurrences(p2, "<tr id=\"rank-"), 25u);
    EXPECT_NE(p2.find("<tr id=\"rank-26\"><th scope=\"row\">26</th><td><a href=\"/players/p25\">"), std::string::npos);
    EXPECT_NE(p2.find("<a rel=\"prev\" href=\"" + path + "\">"), std::string::npos);
    EXPECT_NE(p2.find("<a rel=\"next\" href=\"" + path + "?page=3\">"), std::string::npos);
    EXPECT_NE(p2.find("Page 2 of 3"), std::string::npos);

    const auto last = Get(path + "?page=3&other=x");
    ASSERT_EQ(last.result_int(), 200);
    EXPECT_EQ(Occurrences(last.body(), "<tr id=\"rank-"), 10u);
    EXPECT_NE(last.body().find("rank-60"), std::string::npos);
    EXPECT_NE(last.body().find("<a rel=\"prev\" href=\"" + path + "?page=2\">"), std::string::npos);
    EXPECT_EQ(last.body().find("rel=\"next\""), std::string::npos);

    // Past the end: a page that says so and leads back to the last one.
    const auto beyond = Get(path + "?page=4");
    EXPECT_EQ(beyond.result_int(), 404);
    ExpectHtml(beyond, "page 4");
    EXPECT_NE(beyond.body().find("it has 3 pages"), std::string::npos) << beyond.body();
    EXPECT_NE(beyond.body().find("href=\"" + path + "?page=3\""), std::string::npos);
    EXPECT_EQ(Get(path + "?page=1000000000").result_int(), 404);

    for (const char* bad :
         {"?page=0", "?page=-1", "?page=x", "?page=", "?page=2.5", "?page=1000000001", "?page=99999999999999999999"}) {
        const auto res = Get(path + bad);
        EXPECT_EQ(res.result_int(), 400) << bad;
        ExpectHtml(res, bad);
    }
}

TEST_F(HandlerTest, GameNamesInAddressesArePercentDecodedUtf8) {
    ASSERT_EQ(PostScore("a+b \xc3\xa9", 5, "x", Uuid(1)).result_int(), 201);
    EXPECT_EQ(Get("/games/a%2Bb%20%C3%A9").result_int(), 200);
    EXPECT_EQ(Get("/games/a+b%20%c3%a9").result_int(), 200) << "'+' is itself in a path, escapes in any case";
    EXPECT_EQ(Get("/games/a%20b%20%C3%A9").result_int(), 404);
    for (const char* bad : {"/games/%ZZ", "/games/a%2", "/games/%FF", "/games/%C3", "/games/%ED%A0%80"})
        EXPECT_EQ(Get(bad).result_int(), 400) << bad;
    for (const char* missing : {"/games/", "/games", "/games/a/b", "/games/nothing"}) {
        const auto res = Get(missing);
        EXPECT_EQ(res.result_int(), 404) << missing;
        ExpectHtml(res, missing);
    }
    EXPECT_NE(Get("/games/nothing").body().find("There are no scores for \xe2\x80\x9c<bdi>nothing</bdi>\xe2\x80\x9d"),
              std::string::npos);
    EXPECT_EQ(Send(http::verb::post, "/games/a%2Bb%20%C3%A9").result_int(), 405);
}

TEST_F(HandlerTest, TheFrontPageLinksEachGamesTableAndEachPlayer) {
    ASSERT_EQ(PostScore("Zed & co", 5, "<b>Bo</b>", Uuid(1)).result_int(), 201);
    ASSERT_EQ(PostScore(kGame, 5, "", Uuid(2)).result_int(), 201);
    const std::string page = Get("/").body();
    EXPECT_NE(page.find("<a href=\"/games/Barnblast%20V2\">All scores of <bdi>Barnblast V2</bdi></a>"),
              std::string::npos);
    EXPECT_NE(page.find("<a href=\"/games/Zed%20%26%20co\">All scores of <bdi>Zed &amp; co</bdi></a>"),
              std::string::npos);
    EXPECT_NE(page.find("<a href=\"/players/%3Cb%3EBo%3C%2Fb%3E\"><bdi>&lt;b&gt;Bo&lt;/b&gt;</bdi></a>"),
              std::string::npos);
    EXPECT_NE(page.find("<td><i>no name</i></td>"), std::string::npos) << "no page for a score without a name";
}

TEST_F(HandlerTest, APlayersPageAndAnswerGiveTheBestScoreAndRankInEachGame) {
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(PostScore(kGame, 100 - i, "p" + std::to_string(i), Uuid(i)).result_int(), 201);
    ASSERT_EQ(PostScore(kGame, 72, "<Ann>", Uuid(40)).result_int(), 201);  // ties p28, ranks 30th
    ASSERT_EQ(PostScore(kGame, 60, "<Ann>", Uuid(41)).result_int(), 201);
    ASSERT_EQ(PostScore("Alpha", 3, "<Ann>", Uuid(42)).result_int(), 201);
    ASSERT_EQ(PostScore("Alpha", 9, "<ann>", Uuid(43)).result_int(), 201);

    const auto page = Get("/players/%3CAnn%3E");
    ASSERT_EQ(page.result_int(), 200) << page.body();
    ExpectHtml(page, "player");
    const std::string& h = page.body();
    EXPECT_EQ(h.find("<Ann>"), std::string::npos);
    EXPECT_NE(h.find("<h1><bdi>&lt;Ann&gt;</bdi></h1>"), std::string::npos);
    EXPECT_NE(h.find("<bdi>&lt;Ann&gt;</bdi>: best score in 2 games</caption>"), std::string::npos);
    // By game name, each linking to the page of its table that shows the row, marked as the player's.
    const auto alpha = h.find(
        "<a href=\"/games/Alpha?you=%3CAnn%3E#rank-2\"><bdi>Alpha</bdi></a></th><td class=\"num\">3</td>"
        "<td class=\"num\">2</td>");
    const auto v2 = h.find(
        "<a href=\"/games/Barnblast%20V2?page=2&amp;you=%3CAnn%3E#rank-30\"><bdi>Barnblast V2</bdi></a></th>"
        "<td class=\"num\">72</td><td class=\"num\">30</td>");
    ASSERT_NE(alpha, std::string::npos) << h;
    ASSERT_NE(v2, std::string::npos) << h;
    EXPECT_LT(alpha, v2);
    EXPECT_NE(Get("/games/Barnblast%20V2?page=2").body().find("<tr id=\"rank-30\">"), std::string::npos);
    // Only the best of the player's rows there (not rank 32's) is marked; the name is checked as page numbers are.
    const std::string marked = Get("/games/Barnblast%20V2?page=2&you=%3CAnn%3E").body();
    EXPECT_EQ(Occurrences(marked, "aria-current=\"true\""), 1u) << marked;
    EXPECT_NE(marked.find("<tr id=\"rank-30\" aria-current=\"true\">"), std::string::npos) << marked;
    for (const char* bad : {"you=", "you=%FF", "you=%0A", "you=%ZZ", "you=123456789012345678901234567890123"})
        EXPECT_EQ(Get(std::string("/games/Barnblast%20V2?") + bad).result_int(), 400) << bad;

    const auto api = Get("/api/players/%3CAnn%3E");
    ASSERT_EQ(api.result_int(), 200);
    EXPECT_EQ(api[http::field::content_type], "application/json");
    EXPECT_EQ(JsonOf(api), json::parse(R"({"name":"<Ann>","games":[)"
                                       R"({"game":"Alpha","score":3,"rank":2,"time":"2024-05-01T12:03:04.250Z"},)"
                                       R"({"game":"Barnblast V2","score":72,"rank":30,)"
                                       R"("time":"2024-05-01T12:03:04.250Z"}]})"));

    // Unknown names: a 404 page for people, an empty list for programs.
    const auto nobody = Get("/players/Nobody");
    EXPECT_EQ(nobody.result_int(), 404);
    ExpectHtml(nobody, "nobody");
    EXPECT_EQ(JsonOf(Get("/api/players/Nobody")), json::parse(R"({"name":"Nobody","games":[]})"));
    EXPECT_EQ(Get("/players/").result_int(), 404);
    EXPECT_EQ(Get("/api/players/").result_int(), 404);
    EXPECT_EQ(Get("/players/%FF").result_int(), 400);
    const auto bad = Get("/api/players/%FF");
    EXPECT_EQ(bad.result_int(), 400);
    EXPECT_EQ(JsonOf(bad).at("field"), "name");
}

TEST_F(HandlerTest, NotFoundIsAPageForBrowsersAndJsonForTheApi) {
    const auto page = Get("/nothing/here");
    EXPECT_EQ(page.result_int(), 404);
    ExpectHtml(page, "/nothing/here");
    EXPECT_NE(page.body().find("<a href=\"/\">"), std::string::npos);
    const auto api = Get("/api/nothing");
    EXPECT_EQ(api.result_int(), 404);
    EXPECT_EQ(JsonOf(api), json::parse(R"({"error":"no such resource"})"));
    Request browsing{http::verb::get, "/api/nothing", 11};
    browsing.set(http::field::accept, "text/html,application/xhtml+xml,*/*;q=0.8");
    const auto asked = Exchange(std::move(browsing), deps_);
    EXPECT_EQ(asked.result_int(), 404);
    ExpectHtml(asked, "/api/nothing as HTML");
}

namespace {

// Keeps every memo until told otherwise, so answers made under the same key
// show: two different answers must never share one.
class KeepingMemos : public Memos {
public:
    std::shared_ptr<const std::string> Memo(std::string_view key, const std::function<std::string()>& make) override {
        auto& kept = memos_[std::string(key)];
        if (!kept) kept = std::make_shared<const std::string>(make());
        return kept;
    }

private:
    std::map<std::string, std::shared_ptr<const std::string>> memos_;
};

}  // namespace

TEST(HandlerMemoTest, EachPageAndAnswerIsKeptUnderItsOwnKey) {
    MemoryStore store;
    KeepingMemos memos;
    RateLimiter limiter{0};
    HandlerDeps deps{store, limiter, [] { return std::int64_t{1714564984250}; }, &memos};
    for (int i = 0; i < 30; ++i) store.Put({Uuid(i), "g", "n", i, 1000});
    const auto get = [&](const std::string& target) {
        return HandleRequest(Request{http::verb::get, target, 11}, deps);
    };
    const auto one = get("/games/g");
    const auto two = get("/games/g?page=2");
    const auto three = get("/games/g?page=3");
    EXPECT_EQ(one.result_int(), 200);
    EXPECT_EQ(two.result_int(), 200);
    EXPECT_EQ(three.result_int(), 404);
    EXPECT_NE(one.body(), two.body());
    EXPECT_EQ(get("/games/g?page=3").result_int(), 404) << "the status is kept with the page";
    EXPECT_EQ(get("/games/h").result_int(), 404);
    EXPECT_EQ(get("/players/n")[http::field::content_type], "text/html; charset=utf-8");
    EXPECT_EQ(get("/api/players/n")[http::field::content_type], "application/json");
    EXPECT_EQ(JsonOf(get("/api/players/n")).at("games").at(0).at("score"), 29);
    EXPECT_EQ(get("/players/n").result_int(), 200);
    EXPECT_EQ(get("/players/m").result_int(), 404);
}

// The probes: /healthz says the process serves, /readyz whether the
// database answers. Catches a probe routed to the 404 page or one that
// ignores a failing database.
TEST_F(HandlerTest, ProbesAnswerWhetherTheProcessServesAndTheDatabaseAnswers) {
    struct Case {
        std::string target;
        bool failing;
        int status;
    };
    for (const Case& c : {Case{"/healthz", false, 200}, Case{"/healthz", true, 200}, Case{"/readyz", false, 200},
                          Case{"/readyz", true, 503}, Case{"/readyz?full", false, 200}}) {
        if (c.failing) store_.FailNext(true);
        const auto res = Exchange(Request{http::verb::get, c.target, 11}, deps_);
        EXPECT_EQ(res.result_int(), c.status) << c.target << (c.failing ? " failing" : "");
        EXPECT_EQ(res[http::field::cache_control], "no-store") << c.target;
        // /healthz leaves the database alone: the failure is still to come.
        if (c.failing && c.status == 200) {
            EXPECT_THROW(store_.Ping(), StoreError);
        }
    }
    EXPECT_EQ(Exchange(Request{http::verb::post, "/readyz", 11}, deps_).result_int(), 405);
}

namespace {

// A store whose ping waits until released: a database that stopped answering.
class HangingStore : public MemoryStore {
public:
    void Ping() override {
        std::unique_lock lock(mutex_);
        answered_.wait(lock, [&] { return released_; });
    }
    void Release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        answered_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable answered_;
    bool released_ = false;
};

}  // namespace

// Catches a readiness check that waits on a hung database, and one that
// answers "ready" from a query begun before it was asked.
TEST(ReadyCheckTest, AHungDatabaseIsNotReadyAfterThePatienceAndReadyOnceItAnswers) {
    HangingStore store;
    // Patience enough that the answered ping is never late, however loaded the
    // machine; the hung one costs it once.
    ReadyCheck check(store, std::chrono::seconds(2));
    std::promise<bool> first;
    check.Check([&](bool ready) { first.set_value(ready); });
    EXPECT_FALSE(first.get_future().get());
    store.Release();
    std::promise<bool> second;
    check.Check([&](bool ready) { second.set_value(ready); });
    EXPECT_TRUE(second.get_future().get());
}

namespace {

using round_rules::Action;
using round_rules::Record;

// A round of "Barnblast V2" on glibc's generator as a fresh game has it: a
// hit at once (chicken and aim both start at 0), then a key at the two
// minutes that ends the round: 5 points.
Record HitOnce() {
    Record r;
    r.generatorKind = platform::GeneratorKind::Glibc;
    r.generatorState = platform::Generator::Unseeded(platform::GeneratorKind::Glibc).State();
    r.keys = {{200, Action::Fire}, {round_rules::kRoundMs, Action::Other}};
    return r;
}

// The same begun with a token: the first hit, then the aim walked to where
// the token's seed puts the chicken and a second hit: 10 points.
Record HitTwiceWith(const std::string& token, std::uint32_t seed) {
    Record r;
    r.token = token;
    r.generatorKind = platform::GeneratorKind::Glibc;
    auto generator = platform::Generator::Seeded(platform::GeneratorKind::Glibc, seed);
    const int chicken = generator.Next() % 15 + 1;
    std::uint32_t ms = 200;
    r.keys.push_back({ms, Action::Fire});
    ms += round_rules::kAfterHitMs;
    for (int i = 0; i < chicken; ++i, ms += 100) r.keys.push_back({ms, Action::Right});
    r.keys.push_back({ms, Action::Fire});
    r.keys.push_back({round_rules::kRoundMs, Action::Other});
    return r;
}

std::string RoundBody(long long score, const std::string& round, const std::string& id) {
    return json::serialize(
        json::object{{"game", kGame}, {"score", score}, {"name", "R"}, {"id", id}, {"round", round}});
}

}  // namespace

// Every way a post for the game whose rules the table knows is refused: 422
// (400 for a round that is not text) naming the member, and nothing stored.
TEST_F(HandlerTest, ScoresNoRoundCouldMakeAreRefusedAndNothingIsStored) {
    const std::string good = round_rules::EncodeRecord(HitOnce());
    std::string changed = good;
    changed[changed.size() / 2] = changed[changed.size() / 2] == 'A' ? 'B' : 'A';
    const auto with = [](const std::function<void(Record&)>& change) {
        Record r = HitOnce();
        change(r);
        return round_rules::EncodeRecord(r);
    };
    struct Case {
        std::string what;
        std::string body;
        int status;
        std::string field;
        std::string saying;  // part of the error
    };
    const std::vector<Case> cases = {
        {"more than any round", ScoreJson(kGame, round_rules::kMaxScore + 1, "R", Uuid(1)), 422, "score", "2005"},
        {"the same with a round", RoundBody(2147483647, good, Uuid(1)), 422, "score", "2005"},
        {"a round that is no text",
         R"({"game":"Barnblast V2","score":5,"name":"R","id":")" + Uuid(1) + R"(","round":5})", 400, "round", "string"},
        {"not a record", RoundBody(5, "not a record!", Uuid(1)), 422, "round", ""},
        {"a record changed in transit", RoundBody(5, changed, Uuid(1)), 422, "round", ""},
        {"unknown rules", RoundBody(5, with([](Record& r) { r.version = round_rules::kVersion + 1; }), Uuid(1)), 422,
         "round", "updated"},
        {"another score", RoundBody(10, good, Uuid(1)), 422, "round", "replays to 5 points, not 10"},
        {"time going backwards",
         RoundBody(5, with([](Record& r) {
                       r.keys.insert(r.keys.begin() + 1, {100, Action::Other});
                   }),
                   Uuid(1)),
         422, "round", ""},
        {"keys after the end",
         RoundBody(5, with([](Record& r) {
                       r.keys.push_back({round_rules::kRoundMs + 500, Action::Fire});
                   }),
                   Uuid(1)),
         422, "round", ""},
        {"shorter than two minutes", RoundBody(5, with([](Record& r) { r.keys.back().ms = 60000; }), Uuid(1)), 422,
         "round", ""},
        {"more keys than a person presses",
         RoundBody(5, with([](Record& r) {
                       for (std::uint32_t ms = 1000; ms < 1500; ms += 10)
                           r.keys.insert(r.keys.end() - 1, {ms, Action::Other});
                   }),
                   Uuid(1)),
         422, "round", ""},
        {"a token this table did not issue",
         RoundBody(5, with([](Record& r) { r.token = std::string(80, 'a'); }), Uuid(1)), 422, "round", "issued"},
    };
    for (const auto& c : cases) {
        const auto res = Post(c.body);
        EXPECT_EQ(res.result_int(), c.status) << c.what << ": " << res.body();
        const auto error = score_protocol::ReadErrorBody(res.body());
        ASSERT_TRUE(error) << c.what;
        EXPECT_EQ(error->field, c.field) << c.what;
        EXPECT_NE(error->message.find(c.saying), std::string::npos) << c.what << ": " << error->message;
    }
    EXPECT_EQ(store_.Rows(), 0u);
}

TEST_F(HandlerTest, ARoundIsVerifiedWithATokenOnceTwoMinutesPassedReplayedWithoutAndUnverifiedWithNone) {
    const auto askToken = [&](const std::string& body) {
        Request req{http::verb::post, "/api/rounds", 11};
        req.set(http::field::content_type, "application/json");
        req.body() = body;
        req.prepare_payload();
        return Exchange(std::move(req), deps_);
    };
    EXPECT_EQ(askToken(R"({"game":"Other"})").result_int(), 422) << "no rules known for it";
    const auto issued = askToken(R"({"game":"Barnblast V2"})");
    ASSERT_EQ(issued.result_int(), 201) << issued.body();
    const std::string token(JsonOf(issued).at("token").as_string());
    const auto seed = static_cast<std::uint32_t>(JsonOf(issued).at("seed").to_number<std::int64_t>());
    const std::string round = round_rules::EncodeRecord(HitTwiceWith(token, seed));

    nowMs_ += round_rules::kRoundMs - 1;
    const auto early = Post(RoundBody(10, round, Uuid(1)));
    EXPECT_EQ(early.result_int(), 422) << "sooner than a round lasts: " << early.body();
    nowMs_ += 1;
    const auto check = [](const Response& res) { return std::string(JsonOf(res).at("check").as_string()); };
    const auto verified = Post(RoundBody(10, round, Uuid(1)));
    ASSERT_EQ(verified.result_int(), 201) << verified.body();
    EXPECT_EQ(check(verified), "verified");
    const auto retry = Post(RoundBody(10, round, Uuid(1)));
    EXPECT_EQ(retry.result_int(), 200) << retry.body();
    EXPECT_EQ(check(retry), "verified");
    const auto again = Post(RoundBody(10, round, Uuid(2)));
    EXPECT_EQ(again.result_int(), 422) << "a token is used once: " << again.body();
    EXPECT_EQ(JsonOf(again).at("field"), "round");

    const auto replayed = Post(RoundBody(5, round_rules::EncodeRecord(HitOnce()), Uuid(3)));
    ASSERT_EQ(replayed.result_int(), 201) << replayed.body();
    EXPECT_EQ(check(replayed), "replayed");
    EXPECT_EQ(check(PostScore(kGame, 2005, "U", Uuid(4))), "unverified");
    EXPECT_EQ(check(PostScore("Other", 99999, "U", Uuid(5))), "unverified");

    // verified=1: the checked rows alone, ranked among themselves.
    const auto checked = JsonOf(Get("/api/scores?game=Barnblast+V2&verified=1"));
    EXPECT_EQ(checked.at("total"), 2);
    const auto& rows = checked.at("scores").as_array();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].at("check"), "verified");
    EXPECT_EQ(rows[0].at("rank"), 1);
    EXPECT_EQ(rows[1].at("check"), "replayed");
    EXPECT_EQ(JsonOf(Get("/api/scores?game=Barnblast+V2")).at("total"), 3);
    const auto page = Get("/games/Barnblast%20V2?checked=1");
    EXPECT_EQ(page.body().find(">U<"), std::string::npos) << "the unverified row is left out";
    EXPECT_NE(page.body().find("Verified"), std::string::npos);
}

TEST_F(HandlerTest, AnOperatorMayRefuseScoresCheckedLess) {
    const std::string replayedRound = round_rules::EncodeRecord(HitOnce());
    struct Case {
        Check accept;
        int unverified;  // the status of a score without a round
        int replayed;    // of one replayed without a token
    };
    int n = 0;
    for (const auto& c :
         {Case{Check::Unverified, 201, 201}, Case{Check::Replayed, 422, 201}, Case{Check::Verified, 422, 422}}) {
        deps_.accept = c.accept;
        const auto bare = PostScore(kGame, 5, "a", Uuid(++n));
        EXPECT_EQ(bare.result_int(), c.unverified) << bare.body();
        if (bare.result_int() == 422) {
            EXPECT_NE(bare.body().find("the game must be updated"), std::string::npos) << bare.body();
        }
        EXPECT_EQ(Post(RoundBody(5, replayedRound, Uuid(++n))).result_int(), c.replayed);
    }
}
