// The SQLite store's writer: group commits, and the rank order of each game
// it keeps in step with them.
#include "SqliteDb.h"

namespace scoreboard {
using namespace sqlite;

namespace {

constexpr std::size_t kMaxBatch = 1024;

}  // namespace

void SqliteStore::WriterLoop() {
    std::vector<PendingPut> batch;
    while (queue_.Take(batch, kMaxBatch)) CommitBatch(batch);
}

void SqliteStore::CommitBatch(std::vector<PendingPut>& batch) {
    std::vector<PutResult> results(batch.size());
    std::vector<std::int64_t> seqs(batch.size());
    std::unordered_map<std::string, std::int64_t> added;  // new rows by game
    std::exception_ptr error;
    try {
        Exec(writer_->db, "BEGIN IMMEDIATE");
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const ScoreRecord& record = batch[i].record;
            {
                Use ins(*writer_->insert);
                ins.Bind(1, record.id).Bind(2, record.game).Bind(3, record.name);
                ins.Bind(4, std::int64_t{record.score}).Bind(5, record.timeMs);
                ins.Step();
            }
            if (sqlite3_changes(writer_->db) == 1) {
                results[i] = {PutOutcome::Stored, record};
                seqs[i] = sqlite3_last_insert_rowid(writer_->db);
                ++added[record.game];
                continue;
            }
            // The id is taken, by an earlier commit or earlier in this one:
            // only this thread writes, so every retry sees the same row.
            Use find(*writer_->find);
            find.Bind(1, record.id);
            if (!find.Step()) throw StoreError("row for id " + record.id + " vanished", false);
            ScoreRecord kept{record.id, find.Text(0), find.Text(1), static_cast<std::int32_t>(find.Integer(2)),
                             find.Integer(3)};
            seqs[i] = find.Integer(4);
            const bool same = kept.game == record.game && kept.name == record.name && kept.score == record.score;
            results[i] = {same ? PutOutcome::AlreadyStored : PutOutcome::Conflict, std::move(kept)};
        }
        // Ranks as the commit leaves them, the whole batch in place.
        UpdateRanks(batch, results, seqs);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (results[i].outcome != PutOutcome::Conflict)
                results[i].rank = RankOf(results[i].kept.game, results[i].kept.score, seqs[i]);
        }
        Exec(writer_->db, "COMMIT");
    } catch (...) {
        error = std::current_exception();
        if (!sqlite3_get_autocommit(writer_->db)) sqlite3_exec(writer_->db, "ROLLBACK", nullptr, nullptr, nullptr);
        // They may hold rows that were rolled back: read them afresh when next needed.
        for (const auto& pending : batch) DropRanks(pending.record.game);
    }
    if (!error && !added.empty() && watcher_) watcher_(added);
    // Only now, with the commit on disk, does anyone hear of it.
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (error)
            batch[i].done({}, error);
        else
            batch[i].done(std::move(results[i]), nullptr);
    }
}

void SqliteStore::UpdateRanks(const std::vector<PendingPut>& batch, const std::vector<PutResult>& results,
                              const std::vector<std::int64_t>& seqs) {
    std::unordered_map<std::string, bool> loadedNow;  // by game: read from disk in this batch
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (results[i].outcome == PutOutcome::Conflict) continue;
        const std::string& game = results[i].kept.game;
        auto seen = loadedNow.find(game);
        if (seen == loadedNow.end()) seen = loadedNow.emplace(game, !ranks_.contains(game) && LoadRanks(game)).first;
        // A game read from disk just now has this batch's rows already.
        if (results[i].outcome != PutOutcome::Stored || seen->second) continue;
        const auto index = ranks_.find(game);
        if (index == ranks_.end()) continue;
        index->second.Insert(results[i].kept.score, seqs[i]);
        ++rankedRows_;
    }
}

bool SqliteStore::LoadRanks(const std::string& game) {
    std::int64_t rows = 0;
    {
        Use q(*writer_->count);
        q.Bind(1, game);
        rows = q.Step() ? q.Integer(0) : 0;
    }
    if (rankedRows_ + rows > maxRankedRows_) return false;
    if (!writer_->rankScan)
        writer_->rankScan = &writer_->Prepare("SELECT score, seq FROM scores WHERE game = ?1 ORDER BY score DESC, seq");
    RankIndex index;
    Use q(*writer_->rankScan);
    q.Bind(1, game);
    while (q.Step()) index.Insert(static_cast<std::int32_t>(q.Integer(0)), q.Integer(1));
    rankedRows_ += index.Size();
    ranks_.insert_or_assign(game, std::move(index));
    return true;
}

void SqliteStore::DropRanks(const std::string& game) {
    const auto at = ranks_.find(game);
    if (at == ranks_.end()) return;
    rankedRows_ -= at->second.Size();
    ranks_.erase(at);
}

std::int64_t SqliteStore::RankOf(const std::string& game, std::int32_t score, std::int64_t seq) {
    const auto index = ranks_.find(game);
    if (index != ranks_.end()) return index->second.Rank(score, seq);
    return CountRank(*writer_, game, score, seq);
}

std::int64_t SqliteStore::CountRank(Connection& c, std::string_view game, std::int32_t score, std::int64_t seq) {
    Use q(*c.rankAbove);
    q.Bind(1, game).Bind(2, std::int64_t{score}).Bind(3, seq);
    return (q.Step() ? q.Integer(0) : 0) + 1;
}

}  // namespace scoreboard
