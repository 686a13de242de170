// The PostgreSQL store in-process, on a database of the run's throwaway
// cluster: what the server suite cannot see from outside (a put's rank, a
// player's bests, many puts in one batch, connections the database drops).
#include "AwaitPut.h"
#include "DayTableCheck.h"
#include "ScoreTable.h"
#include "store/postgres/PostgresStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <thread>

using namespace scoreboard;
using scoreboard_test::AwaitPut;
using testsupport::TableFolder;

namespace {

class PostgresStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::UsingPostgres()) GTEST_SKIP() << "BARNBLAST_TEST_POSTGRES names no cluster";
        store_ = std::make_unique<PostgresStore>(uri_ = testsupport::DbArgument(dir_.path() / "s.db"), 2);
    }
    void TearDown() override { store_.reset(); }

    PutResult Put(const std::string& id, const std::string& game, const std::string& name, std::int32_t score) {
        return AwaitPut(*store_, {id, game, name, score, 1000});
    }

    TableFolder dir_;
    std::string uri_;
    std::unique_ptr<PostgresStore> store_;
};

std::string Id(int n) { return testsupport::Uuid(static_cast<unsigned long long>(n)); }

}  // namespace

TEST_F(PostgresStoreTest, APutAnswersItsRankAmongHigherAndEarlierEqualScores) {
    EXPECT_EQ(Put(Id(1), "g", "a", 50).rank, 1);
    EXPECT_EQ(Put(Id(2), "g", "b", 70).rank, 1);
    EXPECT_EQ(Put(Id(3), "g", "c", 50).rank, 3);  // after the earlier 50
    EXPECT_EQ(Put(Id(4), "other", "d", 10).rank, 1);
    // A retry answers the row's rank as it is now; a conflict has none.
    const auto retry = Put(Id(1), "g", "a", 50);
    EXPECT_EQ(retry.outcome, PutOutcome::AlreadyStored);
    EXPECT_EQ(retry.rank, 2);
    const auto conflict = Put(Id(1), "g", "a", 51);
    EXPECT_EQ(conflict.outcome, PutOutcome::Conflict);
    EXPECT_EQ(conflict.rank, 0);
    EXPECT_EQ(conflict.kept.score, 50);
}

TEST_F(PostgresStoreTest, WeeksAndDaysRankAndPageTheirOwnRows) { scoreboard_test::CheckDayTables(*store_); }

TEST_F(PostgresStoreTest, PlayerBestsTakeEachGamesBestRowOfExactlyThatName) {
    Put(Id(1), "b-game", "ann", 10);
    Put(Id(2), "b-game", "ann", 30);
    Put(Id(3), "b-game", "bob", 40);
    Put(Id(4), "a-game", "ann", 5);
    Put(Id(5), "a-game", "cat", 5);
    Put(Id(6), "a-game", "ann", 5);  // equal to her first: the first stays her best
    Put(Id(7), "c-game", "Ann", 99);
    const auto bests = store_->PlayerBests("ann");
    ASSERT_EQ(bests.size(), 2u);
    EXPECT_EQ(bests[0].game, "a-game");
    EXPECT_EQ(bests[0].score, 5);
    EXPECT_EQ(bests[0].rank, 1);
    EXPECT_EQ(bests[1].game, "b-game");
    EXPECT_EQ(bests[1].score, 30);
    EXPECT_EQ(bests[1].rank, 2);
    EXPECT_TRUE(store_->PlayerBests("nobody").empty());
    EXPECT_TRUE(store_->PlayerBests(std::string("ann\0x", 5)).empty());
}

TEST_F(PostgresStoreTest, ManyPutsAtOnceAreEachAnsweredOnceWithOneRowPerId) {
    constexpr int kPuts = 600;
    std::vector<std::promise<PutResult>> answers(kPuts);
    std::atomic<int> calls{0};
    for (int i = 0; i < kPuts; ++i) {
        // Every third is a retry of the one before it, in the same batch or the next.
        const int n = i % 3 == 2 ? i - 1 : i;
        store_->PutAsync({Id(n), "many", "p", n % 50, 1000}, [&, i](PutResult r, std::exception_ptr e) {
            ++calls;
            if (e)
                answers[i].set_exception(e);
            else
                answers[i].set_value(std::move(r));
        });
    }
    std::map<PutOutcome, int> outcomes;
    for (auto& a : answers) ++outcomes[a.get_future().get().outcome];
    EXPECT_EQ(calls, kPuts);
    EXPECT_EQ(outcomes[PutOutcome::Stored], kPuts / 3 * 2);
    EXPECT_EQ(outcomes[PutOutcome::AlreadyStored], kPuts / 3);
    EXPECT_EQ(store_->Count("many"), kPuts / 3 * 2);

    const auto page = store_->Read("many", 100, 0);
    ASSERT_EQ(page.rows.size(), 100u);
    EXPECT_EQ(page.total, kPuts / 3 * 2);
    for (std::size_t i = 1; i < page.rows.size(); ++i) {
        EXPECT_GE(page.rows[i - 1].score, page.rows[i].score);
        EXPECT_EQ(page.rows[i].rank, static_cast<std::int64_t>(i + 1));
    }
    // Past the end: the total, no rows.
    const auto past = store_->Read("many", 10, 10000);
    EXPECT_EQ(past.total, kPuts / 3 * 2);
    EXPECT_TRUE(past.rows.empty());
}

TEST_F(PostgresStoreTest, ConnectionsTheDatabaseDropsAreReopened) {
    Put(Id(1), "g", "a", 1);
    EXPECT_EQ(store_->Count("g"), 1);
    // Every connection of this store is ended from outside, as a database
    // restart or an administrator would.
    const auto db = uri_.substr(uri_.find(":///") + 4, uri_.find('?') - uri_.find(":///") - 4);
    testsupport::Query(dir_.path() / "s.db",
                       "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + db +
                           "' AND pid <> pg_backend_pid()");
    // The first use of each dropped connection may fail, and only as busy.
    int stored = 0;
    for (int i = 2; i < 40 && stored < 3; ++i) {
        try {
            if (Put(Id(i), "g", "a", i).outcome == PutOutcome::Stored) ++stored;
            EXPECT_GE(store_->Count("g"), 2);
        } catch (const StoreError& e) {
            EXPECT_TRUE(e.Busy()) << e.what();
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    }
    EXPECT_EQ(stored, 3);
}

TEST_F(PostgresStoreTest, GamesAreListedInByteOrderWithTheirCounts) {
    Put(Id(1), "b", "x", 1);
    Put(Id(2), "B", "x", 1);
    Put(Id(3), "a", "x", 1);
    Put(Id(4), "a", "y", 2);
    const auto games = store_->Games();
    ASSERT_EQ(games.size(), 3u);
    EXPECT_EQ(games[0].game, "B");
    EXPECT_EQ(games[1].game, "a");
    EXPECT_EQ(games[1].scores, 2);
    EXPECT_EQ(games[2].game, "b");
}
