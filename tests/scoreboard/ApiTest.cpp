// The JSON API end to end: a few round trips over real HTTP against a real
// server process and database file. The rest of the API is HandlerTest's.
#include "ScoreTable.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>

using namespace testsupport;
namespace json = boost::json;

namespace {

constexpr const char* kGame = "Barnblast V2";

class ApiTest : public ::testing::Test {
protected:
    TableFolder dir_;
    ScoreServer server_{DbArgument(dir_.path() / "scores.db")};
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

using ScorePostApiTest = ApiTest;

TEST_F(ScorePostApiTest, StoresAndEchoesTheScore) {
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

TEST_F(ScorePostApiTest, RetryWithSameIdIsStoredOnce) {
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

TEST_F(ScorePostApiTest, RacingRetriesStoreOneRow) {
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

TEST_F(ScorePostApiTest, SameIdWithOtherContentIsAConflict) {
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

using BodyLimitsTest = ApiTest;

TEST_F(BodyLimitsTest, BodyUpToTheLimitIsReadAndOverItRefused) {
    const auto padded = [](std::size_t total, unsigned long long n) {
        const std::string head = R"({"game":"g","score":1,"name":"p","id":")" + Uuid(n) + R"(","pad":")";
        return head + std::string(total - head.size() - 2, 'x') + "\"}";
    };
    const std::string atLimit = padded(8192, 1);
    ASSERT_EQ(atLimit.size(), 8192u);
    EXPECT_EQ(PostJson(port_, atLimit).result_int(), 201);
    const std::string over = padded(8193, 2);
    ASSERT_EQ(over.size(), 8193u);
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

TEST(RateLimitTest, BehindAProxyEachRealAddressHasItsOwnAllowance) {
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "s.db"), {"--rate-limit", "1", "--trust-proxy"});
    const auto postFrom = [&](const char* ip, unsigned long long n) {
        return PostJson(server.Port(), R"({"game":"g","score":1,"name":"p","id":")" + Uuid(n) + R"("})",
                        {{"X-Real-IP", ip}})
            .result_int();
    };
    EXPECT_EQ(postFrom("192.0.2.1", 1), 201);
    EXPECT_EQ(postFrom("192.0.2.2", 2), 201);
    EXPECT_EQ(postFrom("192.0.2.1", 3), 429);
}
