// The default store: one SQLite file in WAL mode with synchronous=FULL, so a
// commit is on disk before a put is answered.
//
// Its writer makes the group commits (GroupCommitStore); reads run on their
// own connections beside it. It is the only writer to its file, so it tells
// the caching layer of every commit (WatchCommits).
#pragma once

#include "store/GroupCommitStore.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace scoreboard {

class SqliteStore final : public GroupCommitStore {
public:
    // Creates the file and its schema when missing, and sets the counts
    // right if rows came or went without them (as far as their totals
    // tell), or always with `recount`. Throws StoreError.
    explicit SqliteStore(const std::string& path, bool recount = false);
    // Commits what is queued, then stops the writer.
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    std::vector<RankedScore> Table(std::string_view game, int limit, std::int64_t offset) override;
    std::int64_t Count(std::string_view game) override;
    TablePage Read(std::string_view game, int limit, std::int64_t offset) override;
    TablePage ReadDays(std::string_view game, DayRange days, int limit, std::int64_t offset) override;
    TablePage ReadChecked(std::string_view game, Check least, std::optional<DayRange> days, int limit,
                          std::int64_t offset) override;
    std::string RoundKey() override { return roundKey_; }
    std::optional<PutResult> Find(std::string_view id) override;
    void Export(const std::optional<std::string>& game, const std::function<void(const ExportRow&)>& row) override;
    std::int64_t DeleteName(std::string_view name) override;
    std::vector<GameSummary> Games() override;
    std::vector<PlayerBest> PlayerBests(std::string_view name) override;
    bool WatchCommits(CommitWatcher watcher) override;

private:
    struct Connection;

    // Tells the watcher when another program committed to the file since
    // last asked (the writer's own commits do not count).
    void Woken() override;
    std::vector<PutResult> CommitBatch(const std::vector<PendingPut>& batch) override;
    // 1 + the rows of the game with a higher score, or an equal one and a lower seq.
    static std::int64_t RankOf(Connection& c, std::string_view game, std::int32_t score, std::int64_t seq);
    // The same for a row stored lately, counting the equal rows after it.
    static std::int64_t RankOfRecent(Connection& c, std::string_view game, std::int32_t score, std::int64_t seq);
    // The same among the rows of `days` (a week at most: one count a day);
    // `recent` as RankOfRecent counts.
    static std::int64_t RankInDays(Connection& c, std::string_view game, DayRange days, std::int32_t score,
                                   std::int64_t seq, bool recent);
    static TablePage ReadDaysWith(Connection& c, std::string_view game, DayRange days, int limit, std::int64_t offset);
    std::unique_ptr<Connection> OpenReader() const;
    // Runs read(connection) on an idle reader connection.
    template <typename Fn>
    auto WithReader(Fn&& read);
    static TablePage ReadWith(Connection& c, std::string_view game, int limit, std::int64_t offset);

    std::string path_;
    std::unique_ptr<Connection> writer_;  // the writer thread's alone

    // Idle reader connections; more are opened when all are busy.
    std::mutex readersMutex_;
    std::vector<std::unique_ptr<Connection>> readers_;

    // Told of each commit by the writer thread; set before the first put.
    CommitWatcher watcher_;
    std::int64_t dataVersion_ = 0;  // the writer's
    std::string roundKey_;
};

}  // namespace scoreboard
