// What every score store promises, checked on the SQLite store and on the
// in-memory one the handler tests stand on, so the two cannot drift apart.
#include "MemoryStore.h"
#include "SqliteStore.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <memory>

using namespace scoreboard;

namespace {

namespace fs = std::filesystem;

// Runs once on each store, named by the parameter.
class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "Memory") {
            store_ = std::make_unique<scoreboard_test::MemoryStore>();
            return;
        }
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        store_ = std::make_unique<SqliteStore>((dir_ / "scores.db").string());
    }
    void TearDown() override {
        store_.reset();
        fs::remove_all(dir_);
    }

    PutOutcome Put(const std::string& id, const std::string& game, const std::string& name, std::int32_t score,
                   std::int64_t timeMs = 1000) {
        return store_->Put({id, game, name, score, timeMs}).outcome;
    }
    std::vector<std::string> Names(std::string_view game, int limit = 100, std::int64_t offset = 0) {
        std::vector<std::string> names;
        for (const auto& row : store_->Table(game, limit, offset)) names.push_back(row.name);
        return names;
    }

    fs::path dir_ = fs::path(::testing::TempDir()) / ("store-test-" + std::to_string(::getpid()));
    std::unique_ptr<ScoreStore> store_;
};

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("Sqlite", "Memory"),
                         [](const auto& info) { return info.param; });

}  // namespace

TEST_P(StoreTest, AnIdIsStoredOnceAndKeepsItsFirstRow) {
    EXPECT_EQ(Put("a", "g", "Ann", 5, 1000), PutOutcome::Stored);
    const PutResult again = store_->Put({"a", "g", "Ann", 5, 2000});
    EXPECT_EQ(again.outcome, PutOutcome::AlreadyStored);
    EXPECT_EQ(again.kept.timeMs, 1000);
    for (const ScoreRecord& other : {ScoreRecord{"a", "g", "Ann", 6, 3000}, ScoreRecord{"a", "g", "Bo", 5, 3000},
                                     ScoreRecord{"a", "h", "Ann", 5, 3000}}) {
        const PutResult conflict = store_->Put(other);
        EXPECT_EQ(conflict.outcome, PutOutcome::Conflict);
        EXPECT_EQ(conflict.kept.name, "Ann");
        EXPECT_EQ(conflict.kept.score, 5);
        EXPECT_EQ(conflict.kept.game, "g");
    }
    EXPECT_EQ(store_->Count("g"), 1);
    EXPECT_EQ(store_->Count("h"), 0);
}

TEST_P(StoreTest, BestFirstTiesInOrderOfArrivalWithRanksAndPaging) {
    int n = 0;
    for (const auto& [name, score] :
         std::vector<std::pair<std::string, int>>{{"A", 50}, {"B", 70}, {"C", 50}, {"D", 70}, {"E", -5}})
        Put("id" + std::to_string(n++), "g", name, score);
    Put("other", "h", "Z", 999);
    EXPECT_EQ(Names("g"), (std::vector<std::string>{"B", "D", "A", "C", "E"}));
    EXPECT_EQ(Names("g", 2, 1), (std::vector<std::string>{"D", "A"}));
    const auto page = store_->Table("g", 2, 1);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].rank, 2);
    EXPECT_EQ(page[1].rank, 3);
    EXPECT_TRUE(Names("g", 10, 5).empty());
    EXPECT_TRUE(Names("nobody").empty());
    EXPECT_EQ(store_->Count("g"), 5);
}

TEST_P(StoreTest, GamesByNameWithTheirCounts) {
    EXPECT_TRUE(store_->Games().empty());
    Put("1", "b", "x", 1);
    Put("2", "a", "x", 1);
    Put("3", "b", "y", 2);
    const auto games = store_->Games();
    ASSERT_EQ(games.size(), 2u);
    EXPECT_EQ(games[0].game, "a");
    EXPECT_EQ(games[0].scores, 1);
    EXPECT_EQ(games[1].game, "b");
    EXPECT_EQ(games[1].scores, 2);
}
