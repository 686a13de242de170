// The pages people browse and the ranks a post is answered with, over real
// HTTP against a real server process: what the handler tests show in
// process, here through the store the server was started with.
#include "ScoreTable.h"

#include <gtest/gtest.h>

#include <latch>
#include <map>
#include <mutex>
#include <thread>

using namespace testsupport;
namespace json = boost::json;

namespace {

constexpr int kPageRows = 25;

class PagesTest : public ::testing::Test {
protected:
    TableFolder dir_;
    ScoreServer server_{DbArgument(dir_.path() / "scores.db"), {"--rate-limit", "0"}};
    unsigned short port_ = server_.Port();

    Reply GetAccepting(const std::string& target, const std::string& accept) {
        return Request(port_, http::verb::get, target, {}, {{"Accept", accept}});
    }
};

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

bool IsStrictHtml(const Reply& reply) {
    return reply[http::field::content_type] == "text/html; charset=utf-8" &&
           reply["Content-Security-Policy"].starts_with("default-src 'none'") &&
           reply.body().find("<script") == std::string::npos;
}

}  // namespace

TEST_F(PagesTest, PostsSentTogetherAreEachAnsweredWithTheRankTheTableShows) {
    // Scores with ties, from several connections at once, so the store takes
    // some of them together; each retry afterwards must tell the rank the
    // table gives its row.
    constexpr int kThreads = 4;
    constexpr int kEach = 15;
    std::mutex mutex;
    std::map<std::string, long long> firstRanks;
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kEach; ++i) {
                const int n = t * kEach + i;
                const auto reply = PostScore(port_, "Ranks", (n * 7) % 10, "p" + std::to_string(n), Uuid(n));
                std::lock_guard lock(mutex);
                EXPECT_EQ(reply.result_int(), 201) << reply.body();
                if (reply.result_int() == 201) firstRanks[Uuid(n)] = JsonOf(reply).at("rank").as_int64();
            }
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(firstRanks.size(), static_cast<std::size_t>(kThreads * kEach));

    const auto table = JsonOf(Get(port_, "/api/scores?game=Ranks&limit=100")).at("scores").as_array();
    ASSERT_EQ(table.size(), static_cast<std::size_t>(kThreads * kEach));
    for (const auto& row : table) {
        const int n = std::stoi(std::string(row.at("name").as_string()).substr(1));
        const auto retry = PostScore(port_, "Ranks", row.at("score").as_int64(), "p" + std::to_string(n), Uuid(n));
        ASSERT_EQ(retry.result_int(), 200) << retry.body();
        EXPECT_EQ(JsonOf(retry).at("rank"), row.at("rank")) << "p" << n;
        // When first stored it ranked no lower than now: later rows only push it down.
        EXPECT_LE(firstRanks[Uuid(n)], row.at("rank").as_int64()) << "p" << n;
    }
    EXPECT_EQ(JsonOf(PostScore(port_, "Ranks", 9, "p0", Uuid(0))).at("error"),
              "id was already used for a different score");
}

TEST_F(PagesTest, AGamesTableIsBrowsedPageByPageFromTheFrontPage) {
    const std::string game = "Barn blast \xc3\xa9/<2>";
    const std::string path = "/games/Barn%20blast%20%C3%A9%2F%3C2%3E";
    for (int i = 0; i < kPageRows + 5; ++i)
        ASSERT_EQ(PostScore(port_, game, 100 - i, "<p" + std::to_string(i) + ">", Uuid(i)).result_int(), 201);

    const auto front = Get(port_, "/");
    ASSERT_EQ(front.result_int(), 200);
    EXPECT_NE(front.body().find("href=\"" + path + "\""), std::string::npos) << front.body();

    const auto first = Get(port_, path);
    ASSERT_EQ(first.result_int(), 200) << first.body();
    EXPECT_TRUE(IsStrictHtml(first));
    EXPECT_EQ(Occurrences(first.body(), "<th scope=\"row\">"), static_cast<std::size_t>(kPageRows));
    EXPECT_NE(first.body().find("&lt;p0&gt;"), std::string::npos);
    EXPECT_EQ(first.body().find("<p0>"), std::string::npos);
    EXPECT_EQ(first.body().find("rel=\"prev\""), std::string::npos);
    EXPECT_NE(first.body().find("rel=\"next\" href=\"" + path + "?page=2\""), std::string::npos);

    const auto second = Get(port_, path + "?page=2");
    ASSERT_EQ(second.result_int(), 200);
    EXPECT_EQ(Occurrences(second.body(), "<th scope=\"row\">"), 5u);
    EXPECT_NE(second.body().find("<th scope=\"row\">30</th>"), std::string::npos);
    EXPECT_NE(second.body().find("rel=\"prev\" href=\"" + path + "\""), std::string::npos);
    EXPECT_EQ(second.body().find("rel=\"next\""), std::string::npos);

    // A page appears only once a score reaches it.
    const auto third = Get(port_, path + "?page=3");
    EXPECT_EQ(third.result_int(), 404);
    EXPECT_TRUE(IsStrictHtml(third));
    for (int i = 0; i < kPageRows; ++i) ASSERT_EQ(PostScore(port_, game, 0, "late", Uuid(100 + i)).result_int(), 201);
    EXPECT_EQ(Get(port_, path + "?page=3").result_int(), 200);
    EXPECT_EQ(Get(port_, path + "?page=0").result_int(), 400);
    EXPECT_EQ(Get(port_, "/games/%FF").result_int(), 400);
}

TEST_F(PagesTest, APlayersBestScoresAsAPageAndAsJson) {
    ASSERT_EQ(PostScore(port_, "Beta", 40, "Ann Lee", Uuid(1)).result_int(), 201);
    ASSERT_EQ(PostScore(port_, "Beta", 50, "Bo", Uuid(2)).result_int(), 201);
    ASSERT_EQ(PostScore(port_, "Beta", 45, "Ann Lee", Uuid(3)).result_int(), 201);
    ASSERT_EQ(PostScore(port_, "Alpha", 7, "Ann Lee", Uuid(4)).result_int(), 201);

    const auto api = Get(port_, "/api/players/Ann%20Lee");
    ASSERT_EQ(api.result_int(), 200) << api.body();
    const auto games = JsonOf(api).at("games").as_array();
    ASSERT_EQ(games.size(), 2u);
    EXPECT_EQ(games[0].at("game"), "Alpha");
    EXPECT_EQ(games[0].at("rank"), 1);
    EXPECT_EQ(games[1].at("game"), "Beta");
    EXPECT_EQ(games[1].at("score"), 45);
    EXPECT_EQ(games[1].at("rank"), 2);
    EXPECT_EQ(JsonOf(Get(port_, "/api/players/Nobody")).at("games").as_array().size(), 0u);

    const auto page = Get(port_, "/players/Ann%20Lee");
    ASSERT_EQ(page.result_int(), 200);
    EXPECT_TRUE(IsStrictHtml(page));
    EXPECT_NE(page.body().find("href=\"/games/Beta?you=Ann%20Lee#rank-2\""), std::string::npos) << page.body();
    EXPECT_EQ(Get(port_, "/players/Nobody").result_int(), 404);
}

TEST_F(PagesTest, NotFoundIsAPageForBrowsersAndJsonForPrograms) {
    const auto page = GetAccepting("/no/such/page", "text/html");
    EXPECT_EQ(page.result_int(), 404);
    EXPECT_TRUE(IsStrictHtml(page));
    const auto api = Get(port_, "/api/nothing");
    EXPECT_EQ(api.result_int(), 404);
    EXPECT_EQ(api[http::field::content_type], "application/json");
    EXPECT_TRUE(IsStrictHtml(GetAccepting("/api/nothing", "text/html,*/*;q=0.8")));
}
