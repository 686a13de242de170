// What every score store promises, checked on the SQLite store and on the
// in-memory one the handler tests stand on, so the two cannot drift apart.
#include "AwaitPut.h"
#include "DayTableCheck.h"
#include "MemoryStore.h"
#include "StoreFactory.h"
#include "store/CachedStore.h"
#include "store/sqlite/SqliteStore.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

using namespace scoreboard;
using scoreboard_test::AwaitPut;

namespace {

namespace fs = std::filesystem;

// Runs once on each store, named by the parameter: "Sqlite" alone,
// "CachedSqlite" as the server opens it, under the caching layer.
class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "Memory") {
            store_ = std::make_unique<scoreboard_test::MemoryStore>();
            return;
        }
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        Reopen();
    }
    // A fresh store on the same file, as the next process has.
    void Reopen() {
        store_.reset();
        const std::string file = (dir_ / "scores.db").string();
        if (GetParam() == "CachedSqlite")
            store_ = OpenStore(file, 2);
        else
            store_ = std::make_unique<SqliteStore>(file);
    }
    void TearDown() override {
        store_.reset();
        fs::remove_all(dir_);
    }

    PutOutcome Put(const std::string& id, const std::string& game, const std::string& name, std::int32_t score,
                   std::int64_t timeMs = 1000) {
        return AwaitPut(*store_, {id, game, name, score, timeMs}).outcome;
    }
    std::vector<std::string> Names(std::string_view game, int limit = 100, std::int64_t offset = 0) {
        std::vector<std::string> names;
        for (const auto& row : store_->Table(game, limit, offset)) names.push_back(row.name);
        return names;
    }

    fs::path dir_ = fs::path(::testing::TempDir()) / ("store-test-" + std::to_string(::getpid()));
    std::unique_ptr<ScoreStore> store_;
};

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("Sqlite", "CachedSqlite", "Memory"),
                         [](const auto& info) { return info.param; });

}  // namespace

TEST_P(StoreTest, AnIdIsStoredOnceAndKeepsItsFirstRow) {
    EXPECT_EQ(Put("a", "g", "Ann", 5, 1000), PutOutcome::Stored);
    const PutResult again = AwaitPut(*store_, {"a", "g", "Ann", 5, 2000});
    EXPECT_EQ(again.outcome, PutOutcome::AlreadyStored);
    EXPECT_EQ(again.kept.timeMs, 1000);
    for (const ScoreRecord& other : {ScoreRecord{"a", "g", "Ann", 6, 3000}, ScoreRecord{"a", "g", "Bo", 5, 3000},
                                     ScoreRecord{"a", "h", "Ann", 5, 3000}}) {
        const PutResult conflict = AwaitPut(*store_, other);
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

TEST_P(StoreTest, PutsWaitingTogetherAreAnsweredEachAsIfAlone) {
    std::mutex mutex;
    std::condition_variable allDone;
    std::map<std::string, std::vector<PutOutcome>> outcomes;
    int answered = 0;
    int failed = 0;
    constexpr int kThreads = 6;
    constexpr int kEach = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                // Unique ids, one id retried by everyone, and one id claimed
                // with a different score each time.
                const int k = t * kEach + i;
                ScoreRecord record{"u" + std::to_string(k), "g", "n", k, 1000};
                if (i % 10 == 1) record = {"same", "g", "n", 7, 1000};
                if (i % 10 == 2) record = {"clash", "g", "n", k, 1000};
                store_->PutAsync(record, [&, id = record.id](PutResult result, std::exception_ptr error) {
                    std::lock_guard lock(mutex);
                    if (error) ++failed;
                    outcomes[id].push_back(result.outcome);
                    if (++answered == kThreads * kEach) allDone.notify_all();
                });
            }
        });
    }
    for (auto& t : threads) t.join();
    std::unique_lock lock(mutex);
    ASSERT_TRUE(allDone.wait_for(lock, std::chrono::seconds(20), [&] { return answered == kThreads * kEach; }));
    EXPECT_EQ(failed, 0);
    const auto count = [](const std::vector<PutOutcome>& v, PutOutcome o) { return std::count(v.begin(), v.end(), o); };
    EXPECT_EQ(count(outcomes["same"], PutOutcome::Stored), 1);
    EXPECT_EQ(count(outcomes["same"], PutOutcome::AlreadyStored), kThreads * kEach / 10 - 1);
    EXPECT_EQ(count(outcomes["clash"], PutOutcome::Stored), 1);
    EXPECT_EQ(count(outcomes["clash"], PutOutcome::Conflict), kThreads * kEach / 10 - 1);
    const std::int64_t rows = kThreads * kEach * 8 / 10 + 2;
    EXPECT_EQ(store_->Count("g"), rows);
    EXPECT_EQ(store_->Read("g", 100, 0).rows.size(), 100u);
    ASSERT_EQ(store_->Games().size(), 1u);
    EXPECT_EQ(store_->Games()[0].scores, rows);
}

TEST_P(StoreTest, PagesPastTheRowsKeptInMemoryAgreeWithThemAndFollowEachPut) {
    for (int i = 0; i < 150; ++i) Put("id" + std::to_string(i), "g", "p" + std::to_string(i), 1000 - i);
    const TablePage top = store_->Read("g", 100, 0);
    EXPECT_EQ(top.total, 150);
    const TablePage across = store_->Read("g", 10, 95);
    EXPECT_EQ(across.total, 150);
    ASSERT_EQ(across.rows.size(), 10u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(across.rows[i].name, top.rows[95 + i].name);
    EXPECT_EQ(across.rows[9].name, "p104");
    EXPECT_EQ(across.rows[9].rank, 105);
    EXPECT_EQ(store_->Read("g", 100, 140).rows.size(), 10u);

    Put("best", "g", "Best", 5000);
    const TablePage after = store_->Read("g", 10, 0);
    EXPECT_EQ(after.total, 151);
    ASSERT_FALSE(after.rows.empty());
    EXPECT_EQ(after.rows[0].name, "Best");
    EXPECT_EQ(after.rows[1].name, "p0");

    if (GetParam() == "Memory") return;
    // What is in memory is rebuilt from the file by the next process.
    Reopen();
    ASSERT_EQ(store_->Games().size(), 1u);
    EXPECT_EQ(store_->Games()[0].scores, 151);
    EXPECT_EQ(store_->Read("g", 1, 0).rows.at(0).name, "Best");
    EXPECT_EQ(store_->Read("g", 10, 95).rows.at(0).rank, 96);
}

TEST_P(StoreTest, APutIsAnsweredWithItsRankTiesBehindEarlierRows) {
    EXPECT_EQ(AwaitPut(*store_, {"a", "g", "A", 50, 1000}).rank, 1);
    EXPECT_EQ(AwaitPut(*store_, {"b", "g", "B", 70, 1000}).rank, 1);
    EXPECT_EQ(AwaitPut(*store_, {"c", "g", "C", 50, 1000}).rank, 3);  // behind A's equal score
    EXPECT_EQ(AwaitPut(*store_, {"d", "g", "D", -5, 1000}).rank, 4);
    EXPECT_EQ(AwaitPut(*store_, {"e", "h", "E", 1, 1000}).rank, 1);  // games are ranked apart
    // A retry is ranked where its row stands now, which later rows may have moved.
    EXPECT_EQ(AwaitPut(*store_, {"f", "g", "F", 90, 1000}).rank, 1);
    const PutResult retry = AwaitPut(*store_, {"a", "g", "A", 50, 5000});
    EXPECT_EQ(retry.outcome, PutOutcome::AlreadyStored);
    EXPECT_EQ(retry.rank, 3);
    EXPECT_EQ(AwaitPut(*store_, {"c", "g", "C", 50, 5000}).rank, 4);
    const PutResult conflict = AwaitPut(*store_, {"a", "g", "A", 51, 5000});
    EXPECT_EQ(conflict.outcome, PutOutcome::Conflict);
    EXPECT_EQ(conflict.rank, 0);
}

TEST_P(StoreTest, RanksOfPutsCommittedTogetherMatchTheTable) {
    // Enough rows, in a scrambled order with many ties, for the ranks to be
    // kept in several pieces; each id then retried, all at once, and again
    // by a fresh store that must rebuild what it kept in memory.
    constexpr int kRows = 3000;
    const auto putAll = [&](PutOutcome expected) {
        std::mutex mutex;
        std::condition_variable allDone;
        std::map<std::string, std::int64_t> ranks;
        int bad = 0;
        for (int i = 0; i < kRows; ++i) {
            const ScoreRecord record{"r" + std::to_string(i), "g", "p" + std::to_string(i), (i * 7919) % 500, 1000};
            store_->PutAsync(record, [&, id = record.id](PutResult result, std::exception_ptr error) {
                std::lock_guard lock(mutex);
                if (error || result.outcome != expected) ++bad;
                ranks[id] = result.rank;
                if (ranks.size() == kRows) allDone.notify_all();
            });
        }
        std::unique_lock lock(mutex);
        EXPECT_TRUE(allDone.wait_for(lock, std::chrono::seconds(30), [&] { return ranks.size() == kRows; }));
        EXPECT_EQ(bad, 0);
        return ranks;
    };
    putAll(PutOutcome::Stored);
    const auto check = [&](const std::map<std::string, std::int64_t>& ranks) {
        const TablePage table = store_->Read("g", kRows, 0);
        ASSERT_EQ(table.rows.size(), static_cast<std::size_t>(kRows));
        int wrong = 0;
        for (const auto& row : table.rows)
            if (ranks.at("r" + row.name.substr(1)) != row.rank) ++wrong;
        EXPECT_EQ(wrong, 0);
    };
    check(putAll(PutOutcome::AlreadyStored));
    if (GetParam() == "Memory") return;
    Reopen();
    check(putAll(PutOutcome::AlreadyStored));
}

TEST_P(StoreTest, WeeksAndDaysRankAndPageTheirOwnRows) { scoreboard_test::CheckDayTables(*store_); }

TEST_P(StoreTest, APlayersBestRowInEachGameWithItsRank) {
    EXPECT_TRUE(store_->PlayerBests("Ann").empty());
    Put("1", "zeta", "Ann", 10, 1000);
    Put("2", "zeta", "Bo", 30, 2000);
    Put("3", "zeta", "Ann", 20, 3000);
    Put("4", "zeta", "Ann", 20, 4000);  // equal to her best: the earlier one counts
    Put("5", "alpha", "Ann", 5, 5000);
    Put("6", "alpha", "Cy", 5, 6000);
    Put("7", "alpha", "ann", 99, 7000);  // another name
    Put("8", "mid", "Bo", 1, 8000);
    const auto bests = store_->PlayerBests("Ann");
    ASSERT_EQ(bests.size(), 2u);
    EXPECT_EQ(bests[0].game, "alpha");
    EXPECT_EQ(bests[0].score, 5);
    EXPECT_EQ(bests[0].timeMs, 5000);
    EXPECT_EQ(bests[0].rank, 2);
    EXPECT_EQ(bests[1].game, "zeta");
    EXPECT_EQ(bests[1].score, 20);
    EXPECT_EQ(bests[1].timeMs, 3000);
    EXPECT_EQ(bests[1].rank, 2);
    const auto bo = store_->PlayerBests("Bo");
    ASSERT_EQ(bo.size(), 2u);
    EXPECT_EQ(bo[0].game, "mid");
    EXPECT_EQ(bo[0].rank, 1);
    EXPECT_EQ(bo[1].game, "zeta");
    EXPECT_EQ(bo[1].rank, 1);
    EXPECT_TRUE(store_->PlayerBests("An").empty());
    EXPECT_TRUE(store_->PlayerBests("").empty());
}

namespace {

// A store that counts what reaches it, and may tell of its commits.
class CountingStore : public scoreboard_test::MemoryStore {
public:
    explicit CountingStore(bool sole) : sole_(sole) {}
    void PutAsync(const ScoreRecord& record, PutCallback done) override {
        ++puts;
        MemoryStore::PutAsync(record, std::move(done));
        if (watcher_) watcher_({{record.game, 1}});
    }
    TablePage Read(std::string_view game, int limit, std::int64_t offset) override {
        ++reads;
        return MemoryStore::Read(game, limit, offset);
    }
    bool WatchCommits(CommitWatcher watcher) override {
        if (sole_) watcher_ = std::move(watcher);
        return sole_;
    }
    int puts = 0;
    int reads = 0;

private:
    bool sole_;
    CommitWatcher watcher_;
};

std::string Text(const std::shared_ptr<const std::string>& kept) { return kept ? *kept : "(none)"; }

}  // namespace

// The layer once forwarded only puts: every call must reach the store below.
TEST(CachedStoreTest, PutsReadsAndMemosReachTheStoreBelowAndFollowEachCommit) {
    auto below = std::make_unique<CountingStore>(true);
    CountingStore& counted = *below;
    CachedStore store(std::move(below));
    ASSERT_TRUE(store.Caching());
    EXPECT_EQ(AwaitPut(store, {"a", "g", "Ann", 5, 1000}).outcome, PutOutcome::Stored);
    EXPECT_EQ(counted.puts, 1);
    EXPECT_EQ(store.Read("g", 10, 0).total, 1);
    EXPECT_EQ(store.Read("g", 10, 0).rows.at(0).name, "Ann");
    const int reads = counted.reads;
    EXPECT_EQ(store.Read("g", 5, 0).total, 1);
    EXPECT_EQ(counted.reads, reads) << "the top rows are kept until the next commit";
    EXPECT_EQ(store.Read("g", 10, 200).total, 1);
    EXPECT_EQ(counted.reads, reads + 1) << "rows past those kept come from the store";
    EXPECT_TRUE(store.Read("nothing", 10, 0).rows.empty());

    EXPECT_EQ(Text(store.Memo("k", [] { return "one"; })), "one");
    EXPECT_EQ(Text(store.Memo("k", [] { return "two"; })), "one");
    AwaitPut(store, {"b", "g", "Bo", 9, 1000});
    EXPECT_EQ(Text(store.Memo("k", [] { return "three"; })), "three");
    EXPECT_EQ(store.Read("g", 10, 0).rows.at(0).name, "Bo");
    ASSERT_EQ(store.Games().size(), 1u);
    EXPECT_EQ(store.Games()[0].scores, 2);
}

// Over a database others write to, nothing read may be kept.
TEST(CachedStoreTest, OverASharedDatabaseEveryReadGoesThroughAndNoMemoIsKept) {
    auto below = std::make_unique<CountingStore>(false);
    CountingStore& counted = *below;
    CachedStore store(std::move(below));
    EXPECT_FALSE(store.Caching());
    AwaitPut(store, {"a", "g", "Ann", 5, 1000});
    store.Read("g", 10, 0);
    store.Read("g", 10, 0);
    EXPECT_EQ(counted.reads, 2);
    EXPECT_EQ(Text(store.Memo("k", [] { return "one"; })), "one");
    EXPECT_EQ(Text(store.Memo("k", [] { return "two"; })), "two");
}
