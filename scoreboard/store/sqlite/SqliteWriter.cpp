// The SQLite store's writer: group commits, each put answered with its rank.
#include "store/sqlite/SqliteDb.h"

namespace scoreboard {
using namespace sqlite;

void SqliteStore::Woken() {
    std::int64_t version = 0;
    try {
        Use q(*writer_->dataVersion);
        version = q.Step() ? q.Integer(0) : 0;
    } catch (const StoreError&) {
        return;  // asked again next time
    }
    if (version == dataVersion_) return;
    dataVersion_ = version;
    if (watcher_) watcher_({});
}

std::vector<PutResult> SqliteStore::CommitBatch(const std::vector<PendingPut>& batch) {
    std::vector<PutResult> results(batch.size());
    std::vector<std::int64_t> seqs(batch.size());
    std::unordered_map<std::string, std::int64_t> added;  // new rows by game
    try {
        Exec(writer_->db, "BEGIN IMMEDIATE");
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const ScoreRecord& record = batch[i].record;
            {
                Use ins(*writer_->insert);
                ins.Bind(1, record.id).Bind(2, record.game).Bind(3, record.name);
                ins.Bind(4, std::int64_t{record.score}).Bind(5, record.timeMs);
                ins.Bind(6, static_cast<std::int64_t>(record.check)).BindBlob(7, record.round).Bind(8, record.token);
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
            if (!find.Step()) {
                // Only the round token can have stood in the way.
                results[i] = {PutOutcome::TokenUsed, record};
                continue;
            }
            ScoreRecord kept{record.id,       find.Text(0),
                             find.Text(1),    static_cast<std::int32_t>(find.Integer(2)),
                             find.Integer(3), CheckOf(find.Integer(5))};
            seqs[i] = find.Integer(4);
            const bool same = kept.game == record.game && kept.name == record.name && kept.score == record.score;
            results[i] = {same ? PutOutcome::AlreadyStored : PutOutcome::Conflict, std::move(kept)};
        }
        // Ranks as the commit leaves them, the whole batch in place.
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (results[i].outcome == PutOutcome::Conflict || results[i].outcome == PutOutcome::TokenUsed) continue;
            const ScoreRecord& kept = results[i].kept;
            results[i].rank = RankOfRecent(*writer_, kept.game, kept.score, seqs[i]);
            const std::int64_t day = DayOf(kept.timeMs);
            results[i].weekRank = RankInDays(*writer_, kept.game, WeekOf(day), kept.score, seqs[i], true);
            results[i].dayRank = RankInDays(*writer_, kept.game, DayOnly(day), kept.score, seqs[i], true);
        }
        Exec(writer_->db, "COMMIT");
    } catch (...) {
        if (!sqlite3_get_autocommit(writer_->db)) sqlite3_exec(writer_->db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    if (!added.empty() && watcher_) watcher_(added);
    return results;
}

std::int64_t SqliteStore::RankOf(Connection& c, std::string_view game, std::int32_t score, std::int64_t seq) {
    Use q(*c.rankBefore);
    q.Bind(1, game).Bind(2, std::int64_t{score}).Bind(3, seq);
    return q.Step() ? q.Integer(0) : 0;
}

std::int64_t SqliteStore::RankOfRecent(Connection& c, std::string_view game, std::int32_t score, std::int64_t seq) {
    Use q(*c.rankAfter);
    q.Bind(1, game).Bind(2, std::int64_t{score}).Bind(3, seq);
    return q.Step() ? q.Integer(0) : 0;
}

std::int64_t SqliteStore::RankInDays(Connection& c, std::string_view game, DayRange days, std::int32_t score,
                                     std::int64_t seq, bool recent) {
    // 1 + the rows above and the equal ones before; for a row stored lately,
    // the rows above and equal less the equal ones after it, which are few.
    std::int64_t rank = recent ? 0 : 1;
    for (auto day = days.first; day <= days.last; ++day) {
        {
            Use q(*c.dayAbove);
            q.Bind(1, game).Bind(2, day).Bind(3, std::int64_t{score});
            if (q.Step()) rank += q.Integer(0) + (recent ? q.Integer(1) : 0);
        }
        Use q(recent ? *c.dayEqualAfter : *c.dayEqualBefore);
        q.Bind(1, game).Bind(2, day).Bind(3, std::int64_t{score}).Bind(4, seq);
        if (q.Step()) rank += recent ? -q.Integer(0) : q.Integer(0);
    }
    return rank;
}

}  // namespace scoreboard
