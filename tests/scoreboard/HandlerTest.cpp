// The HTTP surface in-process: requests straight into ScreenRequest and
// HandleRequest, as the server hands them over, against a store in memory.
#include "Handler.h"
#include "MemoryStore.h"
#include "Page.h"

#include <gtest/gtest.h>
#include <boost/json.hpp>

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
    Service service_{store_, limiter_, [this] { return nowMs_; }};

    // What the server answers to one request from `client`: the screen first,
    // then, if it lets the request through, the handler.
    Response Exchange(Request req, Service& service, const std::string& client = "192.0.2.1") {
        if (auto refused = ScreenRequest(req, service, client)) return *refused;
        return HandleRequest(req, service);
    }
    // A POST /api/scores typed as JSON; `adjust` changes it before it is sent.
    Response Post(const std::string& body, const std::function<void(Request&)>& adjust = {}) {
        Request req{http::verb::post, "/api/scores", 11};
        req.set(http::field::content_type, "application/json");
        req.body() = body;
        req.prepare_payload();
        if (adjust) adjust(req);
        return Exchange(std::move(req), service_);
    }
    Response PostScore(const std::string& game, long long score, const std::string& name, const std::string& id) {
        return Post(ScoreJson(game, score, name, id));
    }
    Response Send(http::verb method, const std::string& target) { return Exchange({method, target, 11}, service_); }
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
                                       R"("time":"2024-05-01T12:03:04.250Z"})"));
    const auto table = JsonOf(Get("/api/scores?game=Barnblast+V2"));
    EXPECT_EQ(table, json::parse(R"({"game":"Barnblast V2","total":1,"offset":0,"limit":10,"scores":[)"
                                 R"({"rank":1,"name":"Ann","score":35,"time":"2024-05-01T12:03:04.250Z"}]})"));
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
    EXPECT_EQ(PostScore(kGame, 2147483647, "", Uuid(10)).result_int(), 201);
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
    EXPECT_FALSE(ScreenRequest(head, service_, "a"));
    declaring(kMaxBodyBytes + 1)(head);
    const auto over = ScreenRequest(head, service_, "a");
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
    Service limited{store_, three, [this] { return nowMs_; }};
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
    for (const char* target : {"/", "/style.css", "/api/games", "/api/scores?game=Barnblast+V2"}) {
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
    Service service{store, limiter, [] { return std::int64_t{1714564984250}; }};
    Request req{http::verb::post, "/api/scores", 11};
    req.set(http::field::content_type, "application/json");
    req.body() = ScoreJson(kGame, 5, "Ann", Uuid(1));
    req.prepare_payload();

    std::vector<Response> answers;
    HandleRequest(req, service, [&](Response res) { answers.push_back(std::move(res)); });
    HandleRequest(req, service, [&](Response res) { answers.push_back(std::move(res)); });
    EXPECT_TRUE(answers.empty());
    EXPECT_EQ(store.Rows(), 0u);

    store.Release();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].result(), http::status::created);
    EXPECT_EQ(answers[1].result(), http::status::ok);  // the retry, stored once
    EXPECT_EQ(store.Rows(), 1u);
    EXPECT_EQ(JsonOf(answers[1]).at("name"), "Ann");
}
