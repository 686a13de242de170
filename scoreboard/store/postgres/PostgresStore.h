// The store for several servers sharing one database: PostgreSQL over libpq.
//
// Its writer stores each group commit (GroupCommitStore) with one statement,
// so one commit (and one WAL flush) answers them all; a retry racing on
// another server waits on the id's unique index and finds the row.
// Reads take a connection from a small pool, one per serving thread. Another
// server may commit unseen, so the caching layer keeps nothing over it.
//
// A connection the database dropped is reopened on its next use. Until the
// database answers again, every call fails with a busy StoreError, which the
// server turns into 503 with Retry-After.
#pragma once

#include "store/GroupCommitStore.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace scoreboard {

class PostgresStore final : public GroupCommitStore {
public:
    // Connects, and creates or upgrades the schema; takes the counts of
    // ranks afresh when the layout was upgraded, their totals disagree with
    // the rows, or always with `recount`. `readers` is the most connections
    // reads hold at once; the writer has one more. Throws StoreError.
    PostgresStore(std::string conninfo, int readers, bool recount = false);
    // Stores what is queued, then stops the writer.
    ~PostgresStore() override;
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    // Refuses text with a NUL, which libpq cannot send; queues the rest.
    void PutAsync(const ScoreRecord& record, PutCallback done) override;
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

    // Stores the rows `next` gives (false: no more) in their order, in one
    // transaction by COPY, their counts taken once at its end: a restore,
    // into a database without scores. Returns how many; throws StoreError,
    // or what `next` throws, and then nothing is stored.
    std::int64_t Load(const std::function<bool(ScoreRecord&)>& next);

private:
    class Connection;
    // A pooled connection, back in the pool when this goes.
    class Lease;

    // Tries again a batch that lost a deadlock to another server's.
    std::vector<PutResult> CommitBatch(const std::vector<PendingPut>& batch) override;
    std::vector<PutResult> TryStore(const std::vector<PendingPut>& batch);
    Lease Borrow();
    void GiveBack(std::unique_ptr<Connection> c);

    std::string conninfo_;
    std::unique_ptr<Connection> writer_;  // the writer thread's alone

    std::mutex poolMutex_;
    std::condition_variable poolFree_;
    std::vector<std::unique_ptr<Connection>> idle_;
    int lent_ = 0;
    int readers_;
    std::string roundKey_;
};

}  // namespace scoreboard
