// A long table filled straight into the database, as a restore or a bulk
// import fills it: after a restart its ranks, pages, totals and players'
// ranks are those of a brute-force sort of its rows, however its counts
// were left.
#include "Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <tuple>

using namespace scoreboard_test;
namespace json = boost::json;

namespace {

constexpr int kRows = 100'000;
constexpr const char* kGame = "Big";

struct Row {
    long long seq;
    std::string name;
    long long score;
    long long timeMs;
};

// The API's time of a row: UTC, to the millisecond.
std::string IsoTimeOf(long long ms) {
    const std::time_t secs = ms / 1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms % 1000);
    return text;
}

class ScaleTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            // Lays the tables out, and leaves a small game beside the big one.
            ServerProcess first(db_);
            ASSERT_EQ(PostScore(first.Port(), "Small", 10, "s", Uuid(1)).result_int(), 201);
        }
        // 201 scores from -200 to 800, each about 500 times, in no order;
        // 997 names, so each player has about 100 rows.
        Query(db_, "WITH RECURSIVE i(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM i WHERE x < " +
                       std::to_string(kRows - 1) +
                       ") INSERT INTO scores (id, game, name, score, time_ms)"
                       " SELECT 'fill-' || x, 'Big', 'n' || (x % 997), ((x * 7919) % 201) * 5 - 200,"
                       " 1700000000000 + x * 1000 FROM i");
        // A restore that brought the rows without their counts.
        Query(db_, "DELETE FROM score_counts WHERE game = 'Big' AND score > 0");
        Query(db_, "UPDATE games SET scores = 7 WHERE game = 'Big'");
        for (const auto& r : Query(db_, "SELECT seq, name, score, time_ms FROM scores WHERE game = 'Big'"))
            rows_.push_back({std::stoll(r[0]), r[1], std::stoll(r[2]), std::stoll(r[3])});
        std::sort(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) {
            return std::tie(b.score, a.seq) < std::tie(a.score, b.seq);  // best first, then earliest
        });
        server_ = std::make_unique<ServerProcess>(db_);
    }

    json::object Table(long long offset, int limit) {
        const auto reply =
            Get(server_->Port(), "/api/scores?game=" + std::string(kGame) + "&limit=" + std::to_string(limit) +
                                     "&offset=" + std::to_string(offset));
        EXPECT_EQ(reply.result_int(), 200) << reply.body();
        return JsonOf(reply).as_object();
    }

    TempDir dir_;
    std::filesystem::path db_ = dir_.Path() / "scores.db";
    std::vector<Row> rows_;  // in rank order, sorted here
    std::unique_ptr<ServerProcess> server_;
};

}  // namespace

TEST_F(ScaleTest, PagesTotalsAndRanksEqualABruteForceSortOfTheRows) {
    ASSERT_EQ(rows_.size(), static_cast<std::size_t>(kRows));
    // Pages at the top, across the first score's end, in the middle, at
    // the end, one past it.
    for (const long long offset : {0LL, 1LL, 99LL, 450LL, 537LL, 50'000LL, 77'777LL, 99'950LL, 99'999LL, 100'000LL}) {
        const auto page = Table(offset, 100);
        EXPECT_EQ(page.at("total"), kRows);
        const auto& scores = page.at("scores").as_array();
        const auto expected = std::min<long long>(100, kRows - offset);
        ASSERT_EQ(std::ssize(scores), expected) << "offset " << offset;
        for (long long i = 0; i < expected; ++i) {
            const Row& want = rows_[static_cast<std::size_t>(offset + i)];
            const auto& got = scores[static_cast<std::size_t>(i)];
            ASSERT_EQ(got.at("rank"), offset + i + 1) << "offset " << offset;
            ASSERT_EQ(got.at("name").as_string(), want.name) << "rank " << offset + i + 1;
            ASSERT_EQ(got.at("score"), want.score) << "rank " << offset + i + 1;
            ASSERT_EQ(got.at("time").as_string(), IsoTimeOf(want.timeMs)) << "rank " << offset + i + 1;
        }
    }
    const auto games = JsonOf(Get(server_->Port(), "/api/games")).at("games");
    EXPECT_EQ(games, json::parse(R"([{"game":"Big","scores":100000},{"game":"Small","scores":1}])"));
}

TEST_F(ScaleTest, PlayersAndNewPostsAreRankedAsABruteForceCountRanksThem) {
    std::map<std::string, long long> bestRank;  // each name's first row in rank order
    for (std::size_t i = 0; i < rows_.size(); ++i) bestRank.emplace(rows_[i].name, static_cast<long long>(i) + 1);
    for (const std::string name : {"n0", "n1", "n500", "n996"}) {
        const auto games = JsonOf(Get(server_->Port(), "/api/players/" + name)).at("games").as_array();
        ASSERT_EQ(games.size(), 1u) << name;
        EXPECT_EQ(games[0].at("rank"), bestRank.at(name)) << name;
    }
    // A new row ranks after every row with its score or a higher one.
    for (const int score : {800, 300, 0, -200, -201}) {
        const long long atOrAbove =
            std::count_if(rows_.begin(), rows_.end(), [&](const Row& r) { return r.score >= score; });
        const auto reply =
            PostScore(server_->Port(), kGame, score, "new", Uuid(1000 + static_cast<unsigned long long>(score + 500)));
        ASSERT_EQ(reply.result_int(), 201) << reply.body();
        EXPECT_EQ(JsonOf(reply).at("rank"), atOrAbove + 1) << score;
        // Those posted so far rank above later posts of lower scores.
        rows_.insert(rows_.begin() + atOrAbove, Row{0, "new", score, 0});
    }
    EXPECT_EQ(JsonOf(Get(server_->Port(), "/api/scores?game=Small")).at("scores").at(0).at("rank"), 1);
}
