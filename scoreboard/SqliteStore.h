// The default store: one SQLite file in WAL mode with synchronous=FULL, so a
// commit is on disk before a put is answered.
//
// One writer thread takes every put waiting at the time into one transaction
// and one sync (a group commit), and answers each only after that commit.
// Reads run on their own connections beside it. It is the only writer to its
// file, so it tells the caching layer of every commit (WatchCommits).
#pragma once

#include "RankIndex.h"
#include "Store.h"
#include "WriteQueue.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace scoreboard {

class SqliteStore final : public ScoreStore {
public:
    // Rows whose rank order the writer keeps in memory (16 bytes each); the
    // ranks of games beyond it are counted with SQL instead.
    static constexpr std::int64_t kMaxRankedRows = 4'000'000;

    // Creates the file and its schema when missing. Throws StoreError.
    explicit SqliteStore(const std::string& path, std::int64_t maxRankedRows = kMaxRankedRows);
    // Commits what is queued, then stops the writer.
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    void PutAsync(const ScoreRecord& record, PutCallback done) override;
    std::vector<RankedScore> Table(std::string_view game, int limit, std::int64_t offset) override;
    std::int64_t Count(std::string_view game) override;
    TablePage Read(std::string_view game, int limit, std::int64_t offset) override;
    std::vector<GameSummary> Games() override;
    std::vector<PlayerBest> PlayerBests(std::string_view name) override;
    bool WatchCommits(CommitWatcher watcher) override;

private:
    struct Connection;

    void WriterLoop();
    void CommitBatch(std::vector<PendingPut>& batch);
    // The writer's rank order of each game, kept in step with its commits.
    void UpdateRanks(const std::vector<PendingPut>& batch, const std::vector<PutResult>& results,
                     const std::vector<std::int64_t>& seqs);
    bool LoadRanks(const std::string& game);  // false: too many rows to keep
    void DropRanks(const std::string& game);
    std::int64_t RankOf(const std::string& game, std::int32_t score, std::int64_t seq);
    static std::int64_t CountRank(Connection& c, std::string_view game, std::int32_t score, std::int64_t seq);
    std::unique_ptr<Connection> OpenReader() const;
    // Runs read(connection) on an idle reader connection.
    template <typename Fn>
    auto WithReader(Fn&& read);
    static TablePage ReadWith(Connection& c, std::string_view game, int limit, std::int64_t offset);

    std::string path_;
    std::unique_ptr<Connection> writer_;  // the writer thread's alone
    // The writer thread's alone too: the rank order of the games it wrote to.
    std::unordered_map<std::string, RankIndex> ranks_;
    std::int64_t rankedRows_ = 0;
    std::int64_t maxRankedRows_;

    WriteQueue queue_;

    // Idle reader connections; more are opened when all are busy.
    std::mutex readersMutex_;
    std::vector<std::unique_ptr<Connection>> readers_;

    // Told of each commit by the writer thread; set before the first put.
    CommitWatcher watcher_;

    std::thread writerThread_;  // last: started once the rest is ready
};

}  // namespace scoreboard
