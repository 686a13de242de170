// The JSON API over real HTTP against a real server and database file.
#include "Support.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>

using namespace scoreboard_test;
namespace json = boost::json;

namespace {

constexpr const char* kGame = "Barnblast V2";

class ApiTest : public ::testing::Test {
protected:
    TempDir dir_;
    ServerProcess server_{dir_.Path() / "scores.db"};
    unsigned short port_ = server_.Port();

    json::array Table(const std::string& query) {
        const auto reply = Get(port_, "/api/scores?" + query);
        EXPECT_EQ(reply.result_int(), 200) << reply.body();
        return JsonOf(reply).at("scores").as_array();
    }
};

std::vector<std::string> NamesOf(const json::array& rows) {
    std::vector<std::string> names;
    for (const auto& r : rows) names.emplace_back(r.at("name").as_string());
    return names;
}

}  // namespace

using PostScoreTest = ApiTest;

TEST_F(PostScoreTest, StoresAndEchoesTheScore) {
    const auto reply = PostScore(port_, kGame, 35, "Ann", Uuid(1));
    ASSERT_EQ(reply.result_int(), 201) << reply.body();
    const auto body = JsonOf(reply);
    EXPECT_EQ(body.at("id"), json::value(Uuid(1)));
    EXPECT_EQ(body.at("game"), kGame);
    EXPECT_EQ(body.at("name"), "Ann");
    EXPECT_EQ(body.at("score"), 35);

    const auto rows = Table("game=Barnblast%20V2");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("rank"), 1);
    EXPECT_EQ(rows[0].at("name"), "Ann");
    EXPECT_EQ(rows[0].at("score"), 35);
    EXPECT_EQ(rows[0].at("time"), body.at("time"));
}

TEST_F(PostScoreTest, RetryWithSameIdIsStoredOnce) {
    ASSERT_EQ(PostScore(port_, kGame, 10, "Bo", Uuid(7)).result_int(), 201);
    const auto firstTime = JsonOf(Get(port_, "/api/scores?game=Barnblast+V2")).at("scores").at(0).at("time");
    for (int i = 0; i < 3; ++i) {
        const auto retry = PostScore(port_, kGame, 10, "Bo", Uuid(7));
        ASSERT_EQ(retry.result_int(), 200) << retry.body();
        EXPECT_EQ(JsonOf(retry).at("time"), firstTime);  // the first arrival's row
    }
    // Case of the hex digits does not make it another id.
    std::string upper = Uuid(7);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(PostScore(port_, kGame, 10, "Bo", upper).result_int(), 200);
    EXPECT_EQ(Table("game=Barnblast+V2").size(), 1u);
}

TEST_F(PostScoreTest, RacingRetriesStoreOneRow) {
    constexpr int kN = 16;
    std::latch go(kN);
    std::vector<int> status(kN);
    std::vector<std::thread> threads;
    for (int i = 0; i < kN; ++i)
        threads.emplace_back([&, i] {
            go.arrive_and_wait();
            status[i] = PostScore(port_, kGame, 60, "Cy", Uuid(99)).result_int();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::count(status.begin(), status.end(), 201), 1);
    EXPECT_EQ(std::count(status.begin(), status.end(), 200), kN - 1);
    EXPECT_EQ(JsonOf(Get(port_, "/api/scores?game=Barnblast+V2")).at("total"), 1);
}

TEST_F(PostScoreTest, SameIdWithOtherContentIsAConflict) {
    ASSERT_EQ(PostScore(port_, kGame, 10, "Di", Uuid(3)).result_int(), 201);
    for (const auto& [g, score, name] : {std::tuple{kGame, 11, "Di"}, {kGame, 10, "Dee"}, {"Other", 10, "Di"}}) {
        const auto reply = PostScore(port_, g, score, name, Uuid(3));
        EXPECT_EQ(reply.result_int(), 422) << reply.body();
        EXPECT_EQ(JsonOf(reply).at("field"), "id");
    }
    const auto rows = Table("game=Barnblast+V2");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("score"), 10);
}

TEST_F(PostScoreTest, AcceptsBoundaryValuesAndIgnoresUnknownMembers) {
    const std::string accent64 = [] {
        std::string s;
        for (int i = 0; i < 64; ++i) s += "\xc3\xa9";  // é: two bytes, one character
        return s;
    }();
    EXPECT_EQ(PostScore(port_, kGame, 2147483647, "", Uuid(10)).result_int(), 201);
    EXPECT_EQ(PostScore(port_, kGame, -2147483648LL, std::string(32, 'n'), Uuid(11)).result_int(), 201);
    EXPECT_EQ(PostScore(port_, accent64, 0, "\xc3\xbc\xe2\x82\xac\xf0\x9f\x90\x94", Uuid(12)).result_int(), 201);
    EXPECT_EQ(PostScore(port_, "g", 0, "a", Uuid(13)).result_int(), 201);
    const auto extra = PostJson(
        port_, R"({"game":"g","score":1,"name":"b","id":")" + Uuid(14) + R"(","level":3,"extra":{"x":[1,2]}})");
    EXPECT_EQ(extra.result_int(), 201) << extra.body();
    const auto charset = PostJson(port_, R"({"game":"g","score":1,"name":"c","id":")" + Uuid(15) + R"("})",
                                  {{"Content-Type", "application/json; charset=UTF-8"}});
    EXPECT_EQ(charset.result_int(), 201) << charset.body();
}

class ValidationTest : public ApiTest {
protected:
    void ExpectRefused(const std::string& body, const std::string& field, const std::string& why) {
        const auto reply = PostJson(port_, body);
        ASSERT_EQ(reply.result_int(), 400) << body << " -> " << reply.body();
        const auto err = JsonOf(reply).as_object();
        if (field.empty())
            EXPECT_FALSE(err.contains("field")) << reply.body();
        else
            EXPECT_EQ(err.at("field"), json::value(field)) << body;
        EXPECT_NE(std::string(err.at("error").as_string()).find(why), std::string::npos)
            << body << " -> " << reply.body();
    }
    static std::string Body(const std::string& game, const std::string& score, const std::string& name,
                            const std::string& id) {
        std::string b = "{";
        const auto add = [&](const char* k, const std::string& v) {
            if (v.empty()) return;
            if (b.size() > 1) b += ",";
            b += "\"" + std::string(k) + "\":" + v;
        };
        add("game", game);
        add("score", score);
        add("name", name);
        add("id", id);
        return b + "}";
    }
    const std::string id_ = "\"" + Uuid(42) + "\"";
};

TEST_F(ValidationTest, Game) {
    ExpectRefused(Body("", "1", "\"a\"", id_), "game", "required");
    ExpectRefused(Body("7", "1", "\"a\"", id_), "game", "string");
    ExpectRefused(Body("\"\"", "1", "\"a\"", id_), "game", "empty");
    ExpectRefused(Body("\"" + std::string(65, 'g') + "\"", "1", "\"a\"", id_), "game", "at most 64");
    ExpectRefused(Body("\"a\\tb\"", "1", "\"a\"", id_), "game", "control");
}

TEST_F(ValidationTest, Name) {
    ExpectRefused(Body("\"g\"", "1", "", id_), "name", "required");
    ExpectRefused(Body("\"g\"", "1", "null", id_), "name", "string");
    ExpectRefused(Body("\"g\"", "1", "\"" + std::string(33, 'n') + "\"", id_), "name", "at most 32");
    std::string accents;
    for (int i = 0; i < 33; ++i) accents += "\xc3\xa9";
    ExpectRefused(Body("\"g\"", "1", "\"" + accents + "\"", id_), "name", "at most 32");
    for (const char* control : {"\\n", "\\u0000", "\\u001b", "\\u007f", "\\u0085", "\\u009f"})
        ExpectRefused(Body("\"g\"", "1", "\"a" + std::string(control) + "b\"", id_), "name", "control");
    ExpectRefused(Body("\"g\"", "1", "\"bad \xff byte\"", id_), "", "UTF-8");
}

TEST_F(ValidationTest, Score) {
    ExpectRefused(Body("\"g\"", "", "\"a\"", id_), "score", "required");
    for (const char* bad : {"\"5\"", "1.5", "1e3", "true", "null", "[1]"})
        ExpectRefused(Body("\"g\"", bad, "\"a\"", id_), "score", "integer");
    for (const char* big : {"2147483648", "-2147483649", "9223372036854775808", "18446744073709551615"})
        ExpectRefused(Body("\"g\"", big, "\"a\"", id_), "score", "32-bit");
}

TEST_F(ValidationTest, Id) {
    ExpectRefused(Body("\"g\"", "1", "\"a\"", ""), "id", "required");
    ExpectRefused(Body("\"g\"", "1", "\"a\"", "12"), "id", "string");
    for (const char* bad : {"\"\"", "\"abc\"", "\"0b7a6a7e1c2d4e5f8a9b0c1d2e3f4a5b\"",
                            "\"0b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5\"", "\"0b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5bb\"",
                            "\"0b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5g\"", "\"{b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5}\""})
        ExpectRefused(Body("\"g\"", "1", "\"a\"", bad), "id", "UUID");
}

TEST_F(ValidationTest, BodyAsAWhole) {
    ExpectRefused("", "", "JSON");
    ExpectRefused("{\"game\":\"g\",", "", "JSON");
    ExpectRefused("[1,2]", "", "object");
    ExpectRefused("\"text\"", "", "object");
    ExpectRefused("{\"game\":\"g\"} trailing", "", "JSON");
    // Invalid UTF-8 is refused even in a member that is otherwise ignored.
    ExpectRefused(Body("\"g\"", "1", "\"a\"", id_).insert(1, "\"x\":\"\xc0\xaf\","), "", "UTF-8");
    ExpectRefused(Body("\"g\"", "1", "\"\\ud800\"", id_), "", "JSON");
    EXPECT_EQ(JsonOf(Get(port_, "/api/games")).at("games").as_array().size(), 0u);
}

using BodyLimitsTest = ApiTest;

TEST_F(BodyLimitsTest, BodyUpToTheLimitIsReadAndOverItRefused) {
    const auto padded = [](std::size_t total, unsigned long long n) {
        const std::string head = R"({"game":"g","score":1,"name":"p","id":")" + Uuid(n) + R"(","pad":")";
        return head + std::string(total - head.size() - 2, 'x') + "\"}";
    };
    const std::string atLimit = padded(4096, 1);
    ASSERT_EQ(atLimit.size(), 4096u);
    EXPECT_EQ(PostJson(port_, atLimit).result_int(), 201);
    const std::string over = padded(4097, 2);
    ASSERT_EQ(over.size(), 4097u);
    EXPECT_EQ(PostJson(port_, over).result_int(), 413);
}

TEST_F(BodyLimitsTest, OversizeIsRefusedFromTheHeaderBeforeTheBody) {
    // Only the header is sent: the answer must come without the body.
    const std::string reply = RawExchange(port_,
                                          "POST /api/scores HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                          "Content-Length: 10000000\r\n\r\n{\"game\":",
                                          false);
    EXPECT_EQ(reply.rfind("HTTP/1.1 413", 0), 0u) << reply;
}

TEST_F(BodyLimitsTest, EncodingsItDoesNotTake) {
    const std::string ok = R"({"game":"g","score":1,"name":"e","id":")" + Uuid(5) + R"("})";
    struct Case {
        std::vector<std::pair<std::string, std::string>> headers;
        int status;
    };
    for (const auto& c : std::vector<Case>{
             {{{"Content-Encoding", "gzip"}}, 415},
             {{{"Content-Encoding", "deflate"}}, 415},
             {{{"Content-Type", "text/plain"}}, 415},
             {{{"Content-Type", "application/x-www-form-urlencoded"}}, 415},
             {{{"Content-Type", "application/json; charset=latin1"}}, 415},
             {{{"Content-Type", "application/jsonx"}}, 415},
         }) {
        const auto reply = PostJson(port_, ok, c.headers);
        EXPECT_EQ(reply.result_int(), c.status) << c.headers[0].first << ": " << c.headers[0].second;
        EXPECT_TRUE(JsonOf(reply).as_object().contains("error"));
    }
    // No Content-Type at all.
    const auto untyped =
        RawExchange(port_, "POST /api/scores HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(ok.size()) +
                               "\r\n\r\n" + ok);
    EXPECT_EQ(untyped.rfind("HTTP/1.1 415", 0), 0u) << untyped;
    const auto chunked = RawExchange(port_,
                                     "POST /api/scores HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                     "Transfer-Encoding: chunked\r\n\r\n5\r\n{\"a\":\r\n0\r\n\r\n");
    EXPECT_EQ(chunked.rfind("HTTP/1.1 411", 0), 0u) << chunked;
    const auto noLength = RawExchange(port_,
                                      "POST /api/scores HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                      "Connection: close\r\n\r\n");
    EXPECT_EQ(noLength.rfind("HTTP/1.1 411", 0), 0u) << noLength;
    EXPECT_EQ(PostJson(port_, ok, {{"Content-Encoding", "identity"}}).result_int(), 201);
}

using TableTest = ApiTest;

TEST_F(TableTest, BestFirstTiesInOrderOfArrivalWithRanksAndPaging) {
    const std::vector<std::pair<std::string, int>> posts{{"A", 50}, {"B", 70}, {"C", 50}, {"D", 70}, {"E", -5}};
    for (std::size_t i = 0; i < posts.size(); ++i)
        ASSERT_EQ(PostScore(port_, kGame, posts[i].second, posts[i].first, Uuid(100 + i)).result_int(), 201);
    ASSERT_EQ(PostScore(port_, "Other", 999, "Z", Uuid(200)).result_int(), 201);

    const auto all = Table("game=Barnblast+V2");
    EXPECT_EQ(NamesOf(all), (std::vector<std::string>{"B", "D", "A", "C", "E"}));
    for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].at("rank"), i + 1);

    const auto page = Table("game=Barnblast%20V2&limit=2&offset=1");
    EXPECT_EQ(NamesOf(page), (std::vector<std::string>{"D", "A"}));
    EXPECT_EQ(page[0].at("rank"), 2);
    EXPECT_EQ(page[1].at("rank"), 3);
    EXPECT_EQ(JsonOf(Get(port_, "/api/scores?game=Barnblast+V2&limit=2")).at("total"), 5);
    EXPECT_TRUE(Table("game=Barnblast+V2&offset=5").empty());
    EXPECT_TRUE(Table("game=Nobody").empty());

    const auto games = JsonOf(Get(port_, "/api/games")).at("games");
    EXPECT_EQ(games, json::parse(R"([{"game":"Barnblast V2","scores":5},{"game":"Other","scores":1}])"));
}

TEST_F(TableTest, BadQueriesNameTheParameter) {
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
        const auto reply = Get(port_, "/api/scores?" + query);
        EXPECT_EQ(reply.result_int(), 400) << query;
        const auto err = JsonOf(reply).as_object();
        EXPECT_EQ(err.contains("field") ? std::string(err.at("field").as_string()) : "", field) << query;
    }
    EXPECT_EQ(Get(port_, "/api/scores?game=g&limit=100").result_int(), 200);
}

TEST_F(TableTest, UnknownPathsAndMethods) {
    EXPECT_EQ(Get(port_, "/api/nothing").result_int(), 404);
    const auto put = Request(port_, http::verb::put, "/api/scores", "{}");
    EXPECT_EQ(put.result_int(), 405);
    EXPECT_EQ(put[http::field::allow], "GET, HEAD, POST");
    EXPECT_EQ(Request(port_, http::verb::delete_, "/").result_int(), 405);
}

TEST(RateLimitTest, TooManyPostsFromOneAddressGet429WithRetryAfter) {
    TempDir dir;
    ServerProcess server(dir.Path() / "s.db", {"--rate-limit", "3"});
    for (int i = 0; i < 3; ++i) ASSERT_EQ(PostScore(server.Port(), kGame, i, "r", Uuid(i)).result_int(), 201);
    const auto refused = PostScore(server.Port(), kGame, 9, "r", Uuid(9));
    ASSERT_EQ(refused.result_int(), 429) << refused.body();
    // Three a minute: the next token comes in 20 s.
    const int after = std::stoi(std::string(refused[http::field::retry_after]));
    EXPECT_GE(after, 1);
    EXPECT_LE(after, 20);
    EXPECT_EQ(Get(server.Port(), "/api/scores?game=Barnblast+V2").result_int(), 200);  // reads are not limited
    EXPECT_EQ(JsonOf(Get(server.Port(), "/api/scores?game=Barnblast+V2")).at("total"), 3);
}

TEST(RateLimitTest, BehindAProxyEachRealAddressHasItsOwnAllowance) {
    TempDir dir;
    ServerProcess server(dir.Path() / "s.db", {"--rate-limit", "1", "--trust-proxy"});
    const auto postFrom = [&](const char* ip, unsigned long long n) {
        return PostJson(server.Port(), R"({"game":"g","score":1,"name":"p","id":")" + Uuid(n) + R"("})",
                        {{"X-Real-IP", ip}})
            .result_int();
    };
    EXPECT_EQ(postFrom("192.0.2.1", 1), 201);
    EXPECT_EQ(postFrom("192.0.2.2", 2), 201);
    EXPECT_EQ(postFrom("192.0.2.1", 3), 429);
}

TEST(RateLimitTest, ZeroTurnsItOff) {
    TempDir dir;
    ServerProcess server(dir.Path() / "s.db", {"--rate-limit", "0"});
    for (int i = 0; i < 50; ++i) ASSERT_EQ(PostScore(server.Port(), kGame, i, "r", Uuid(i)).result_int(), 201);
}
