// A long table filled straight into the database, as a restore or a bulk
// import fills it: after a restart its ranks, pages, totals and players'
// ranks are those of a brute-force sort of its rows, however its counts
// were left.
#include "ScoreTable.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <map>
#include <tuple>

using namespace testsupport;
namespace json = boost::json;

namespace {

constexpr int kRows = 100'000;
constexpr const char* kGame = "Big";
constexpr long long kDayMs = 86'400'000;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
long long Today() { return NowMs() / kDayMs; }
long long MondayOf(long long day) { return day - (day + 3) % 7; }

struct Row {
    std::string id;
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
    char text[96];  // room for any int the compiler cannot rule out
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms % 1000);
    return text;
}

// How the fill spreads its scores over rows x = 0, 1, ...: an SQL expression.
struct Shape {
    const char* name;
    const char* score;
};

// 201 scores from -200 to 800, each about 500 times, in no order (this
// game's own); and 60,000 scores over the whole 32-bit range, one or two
// rows each, so that no short walk of single scores reaches a rank.
constexpr Shape kShapes[] = {{"OwnScores", "((x * 7919) % 201) * 5 - 200"},
                             {"WideSpread", "((x * 7919) % 60000) * CAST(71582 AS BIGINT) - 2147483648"}};

class ScaleTest : public ::testing::TestWithParam<Shape> {
protected:
    void SetUp() override {
        {
            // Lays the tables out, and leaves a small game beside the big one.
            ScoreServer first(DbArgument(db_));
            ASSERT_EQ(PostScore(first.Port(), "Small", 10, "s", Uuid(1)).result_int(), 201);
        }
        // The shape's scores; 997 names, so each player has about 100 rows; times from two
        // weeks before this Monday until now, so this week and today have
        // rows of their own.
        const long long from = (MondayOf(Today()) - 14) * kDayMs;
        const long long step = (NowMs() - from) / kRows;
        Query(db_, "WITH RECURSIVE i(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM i WHERE x < " +
                       std::to_string(kRows - 1) +
                       ") INSERT INTO scores (id, game, name, score, time_ms)"
                       " SELECT 'fill-' || x, 'Big', 'n' || (x % 997), " +
                       GetParam().score + ", " + std::to_string(from) + " + x * " + std::to_string(step) + " FROM i");
        // Counts left behind by rows that came without the triggers: the
        // server's start sees the totals disagree and takes them afresh.
        Query(db_, "DELETE FROM score_buckets WHERE game = 'Big' AND bucket > 0");
        Query(db_, "DELETE FROM day_buckets WHERE game = 'Big' AND level = 1");
        Query(db_, "UPDATE games SET scores = 7 WHERE game = 'Big'");
        for (const auto& r : Query(db_, "SELECT id, seq, name, score, time_ms FROM scores WHERE game = 'Big'"))
            rows_.push_back({r[0], std::stoll(r[1]), r[2], std::stoll(r[3]), std::stoll(r[4])});
        std::sort(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) {
            return std::tie(b.score, a.seq) < std::tie(a.score, b.seq);  // best first, then earliest
        });
        server_ = std::make_unique<ScoreServer>(DbArgument(db_));
    }

    json::object Table(long long offset, int limit, const std::string& period = "all") {
        const auto reply =
            Get(server_->Port(), "/api/scores?game=" + std::string(kGame) + "&limit=" + std::to_string(limit) +
                                     "&offset=" + std::to_string(offset) + "&period=" + period);
        EXPECT_EQ(reply.result_int(), 200) << reply.body();
        return JsonOf(reply).as_object();
    }

    TableFolder dir_;
    std::filesystem::path db_ = dir_.path() / "scores.db";
    std::vector<Row> rows_;  // in rank order, sorted here
    std::unique_ptr<ScoreServer> server_;
};

}  // namespace

// The table's rows as `Table` answered them are `rows` from `offset` on.
void ExpectSlice(const json::object& page, const std::vector<Row>& rows, long long offset) {
    EXPECT_EQ(page.at("total"), std::ssize(rows));
    const auto& scores = page.at("scores").as_array();
    const auto expected = std::clamp<long long>(std::ssize(rows) - offset, 0, page.at("limit").as_int64());
    ASSERT_EQ(std::ssize(scores), expected) << "offset " << offset;
    for (long long i = 0; i < expected; ++i) {
        const Row& want = rows[static_cast<std::size_t>(offset + i)];
        const auto& got = scores[static_cast<std::size_t>(i)];
        ASSERT_EQ(got.at("rank"), offset + i + 1) << "offset " << offset;
        ASSERT_EQ(got.at("name").as_string(), want.name) << "rank " << offset + i + 1;
        ASSERT_EQ(got.at("score"), want.score) << "rank " << offset + i + 1;
        ASSERT_EQ(got.at("time").as_string(), IsoTimeOf(want.timeMs)) << "rank " << offset + i + 1;
    }
}

TEST_P(ScaleTest, PagesTotalsAndRanksEqualABruteForceSortOfTheRows) {
    ASSERT_EQ(rows_.size(), static_cast<std::size_t>(kRows));
    // Pages at the top, across the first score's end, in the middle, at
    // the end, one past it.
    for (const long long offset : {0LL, 1LL, 99LL, 450LL, 537LL, 50'000LL, 77'777LL, 99'950LL, 99'999LL, 100'000LL}) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        ExpectSlice(Table(offset, 100), rows_, offset);
    }
    const auto games = JsonOf(Get(server_->Port(), "/api/games")).at("games");
    EXPECT_EQ(games, json::parse(R"([{"game":"Big","scores":100000},{"game":"Small","scores":1}])"));
}

TEST_P(ScaleTest, ThisWeeksAndTodaysTablesEqualABruteForceSortOfTheirRows) {
    const long long today = Today();
    for (const auto& [period, first] : {std::pair<std::string, long long>{"week", MondayOf(today)}, {"day", today}}) {
        std::vector<Row> rows;
        std::copy_if(rows_.begin(), rows_.end(), std::back_inserter(rows),
                     [&, from = first](const Row& r) { return r.timeMs / kDayMs >= from; });
        const long long n = std::ssize(rows);
        for (const long long offset : {0LL, 1LL, 30LL, n / 2, n - 3, n}) {
            if (offset < 0) continue;
            SCOPED_TRACE(period + " offset " + std::to_string(offset));
            const auto page = Table(offset, 100, period);
            if (Today() != today) GTEST_SKIP() << "the day changed under the test";
            ExpectSlice(page, rows, offset);
        }
    }
}

TEST_P(ScaleTest, AroundAScoreAreTheRowsEitherSideOfItInEachPeriod) {
    const long long today = Today();
    const std::vector<std::pair<std::string, long long>> periods{
        {"all", LLONG_MIN / kDayMs - 1}, {"week", MondayOf(today)}, {"day", today}};
    for (const auto& [period, first] : periods) {
        std::vector<Row> rows;
        std::copy_if(rows_.begin(), rows_.end(), std::back_inserter(rows),
                     [&, from = first](const Row& r) { return r.timeMs / kDayMs >= from; });
        // The best, one in the middle, the last of the period.
        for (const std::size_t at : {std::size_t{0}, rows.size() / 2, rows.size() - 1}) {
            if (at >= rows.size()) continue;
            SCOPED_TRACE(period + " rank " + std::to_string(at + 1));
            const auto reply =
                Get(server_->Port(), "/api/scores?game=Big&limit=9&period=" + period + "&around=" + rows[at].id);
            ASSERT_EQ(reply.result_int(), 200) << reply.body();
            if (Today() != today) GTEST_SKIP() << "the day changed under the test";
            const auto answer = JsonOf(reply).as_object();
            EXPECT_EQ(answer.at("around"), (json::object{{"id", rows[at].id}, {"rank", at + 1}}));
            const long long offset = std::max<long long>(0, static_cast<long long>(at) - 4);
            EXPECT_EQ(answer.at("offset"), offset);
            ExpectSlice(answer, rows, offset);
        }
    }
    // An id of another game, or of no score, is not found; an old row is
    // in no period but all time.
    EXPECT_EQ(Get(server_->Port(), "/api/scores?game=Small&around=fill-5").result_int(), 404);
    EXPECT_EQ(Get(server_->Port(), "/api/scores?game=Big&around=nothing").result_int(), 404);
    EXPECT_EQ(Get(server_->Port(), "/api/scores?game=Big&period=week&around=fill-0").result_int(), 404);
}

TEST_P(ScaleTest, PlayersAndNewPostsAreRankedAsABruteForceCountRanksThem) {
    std::map<std::string, long long> bestRank;  // each name's first row in rank order
    for (std::size_t i = 0; i < rows_.size(); ++i) bestRank.emplace(rows_[i].name, static_cast<long long>(i) + 1);
    for (const std::string name : {"n0", "n1", "n500", "n996"}) {
        const auto games = JsonOf(Get(server_->Port(), "/api/players/" + name)).at("games").as_array();
        ASSERT_EQ(games.size(), 1u) << name;
        EXPECT_EQ(games[0].at("rank"), bestRank.at(name)) << name;
    }
    // A new row ranks after every row with its score or a higher one, of
    // all time, of this week and of today.
    // The best score, two between, the last, and one below it.
    const std::size_t n = rows_.size();
    unsigned long long post = 1000;
    for (const long long score : {rows_[0].score, rows_[n / 3].score, rows_[n / 2].score, rows_[n - 1].score,
                                  std::max<long long>(rows_[n - 1].score - 1, INT_MIN)}) {
        const long long today = Today();
        const auto atOrAbove = [&](long long fromDay) {
            return std::count_if(rows_.begin(), rows_.end(),
                                 [&](const Row& r) { return r.score >= score && r.timeMs / kDayMs >= fromDay; });
        };
        const long long all = atOrAbove(LLONG_MIN / kDayMs - 1);
        const long long week = atOrAbove(MondayOf(today));
        const long long day = atOrAbove(today);
        const auto reply = PostScore(server_->Port(), kGame, score, "new", Uuid(post++));
        ASSERT_EQ(reply.result_int(), 201) << reply.body();
        if (Today() != today) GTEST_SKIP() << "the day changed under the test";
        const auto answer = JsonOf(reply);
        EXPECT_EQ(answer.at("rank"), all + 1) << score;
        EXPECT_EQ(answer.at("ranks"), (json::object{{"all", all + 1}, {"week", week + 1}, {"day", day + 1}})) << score;
        // Those posted so far rank above later posts of lower scores.
        rows_.insert(rows_.begin() + all, Row{"", 0, "new", score, NowMs()});
    }
    EXPECT_EQ(JsonOf(Get(server_->Port(), "/api/scores?game=Small")).at("scores").at(0).at("rank"), 1);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ScaleTest, ::testing::ValuesIn(kShapes),
                         [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

// A file the previous server version made (its layout: rows, the rank
// index, per-game totals, no per-score counts) keeps every row and ranks
// them all once a server of this version has opened it.
TEST(SchemaUpgrade, AVersionOneFileKeepsItsRowsAndRanksThemAll) {
    if (UsingPostgres()) GTEST_SKIP() << "the SQLite file's own upgrade";
    TableFolder dir;
    const auto db = dir.path() / "scores.db";
    sqlite3* file = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &file), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(file,
                           "PRAGMA journal_mode=WAL;"
                           "CREATE TABLE scores (seq INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE, game TEXT NOT NULL,"
                           " name TEXT NOT NULL, score INTEGER NOT NULL, time_ms INTEGER NOT NULL);"
                           "CREATE INDEX scores_by_rank ON scores (game, score DESC, seq);"
                           "CREATE TABLE games (game TEXT PRIMARY KEY, scores INTEGER NOT NULL) WITHOUT ROWID;"
                           "CREATE TRIGGER count_score AFTER INSERT ON scores BEGIN"
                           " INSERT INTO games (game, scores) VALUES (NEW.game, 1)"
                           " ON CONFLICT (game) DO UPDATE SET scores = scores + 1; END;"
                           "PRAGMA user_version = 1;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(file);
    const long long now = NowMs();
    Query(db,
          "WITH RECURSIVE i(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM i WHERE x < 299)"
          " INSERT INTO scores (id, game, name, score, time_ms)"
          " SELECT 'old-' || x, 'Big', 'n' || (x % 7), ((x * 37) % 11) * 5, " +
              std::to_string(now - 1000) + " - x FROM i");
    std::vector<Row> rows;
    for (const auto& r : Query(db, "SELECT id, seq, name, score, time_ms FROM scores"))
        rows.push_back({r[0], std::stoll(r[1]), r[2], std::stoll(r[3]), std::stoll(r[4])});
    std::sort(rows.begin(), rows.end(),
              [](const Row& a, const Row& b) { return std::tie(b.score, a.seq) < std::tie(a.score, b.seq); });

    ScoreServer server(DbArgument(db));
    for (const long long offset : {0LL, 30LL, 299LL}) {
        const auto page = JsonOf(Get(server.Port(), "/api/scores?game=Big&limit=100&offset=" + std::to_string(offset)));
        ExpectSlice(page.as_object(), rows, offset);
    }
    const auto reply = PostScore(server.Port(), kGame, 25, "new", Uuid(7));
    ASSERT_EQ(reply.result_int(), 201) << reply.body();
    const auto above = std::count_if(rows.begin(), rows.end(), [](const Row& r) { return r.score >= 25; });
    EXPECT_EQ(JsonOf(reply).at("rank"), above + 1);
    EXPECT_EQ(Query(db, "PRAGMA user_version").at(0).at(0), "4");
    // Rows from before scores were checked are unverified.
    const auto old = JsonOf(Get(server.Port(), "/api/scores?game=Big&limit=1"));
    EXPECT_EQ(old.at("scores").at(0).at("check"), "unverified");
    EXPECT_EQ(JsonOf(Get(server.Port(), "/api/scores?game=Big&verified=1")).at("total"), 0);
}
