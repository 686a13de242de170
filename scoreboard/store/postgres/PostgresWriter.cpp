// The PostgreSQL store's writer: each batch of puts in one statement, so one
// commit answers them all.
#include "store/postgres/PgConnection.h"

#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace scoreboard {
using namespace pg;

namespace {

// Attempts at a batch that lost a deadlock to another server's batch.
constexpr int kPutAttempts = 3;

// An element of an array literal, quoted, so any text goes through.
void AppendElement(std::string& array, std::string_view text) {
    array += array.size() > 1 ? ",\"" : "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') array += '\\';
        array += c;
    }
    array += '"';
}

// The same, NULL when empty; bytes as bytea's hex form.
void AppendBytes(std::string& array, std::string_view bytes) {
    if (bytes.empty()) {
        array += array.size() > 1 ? ",NULL" : "NULL";
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex = "\\x";
    for (const char c : bytes) {
        hex += kHex[static_cast<unsigned char>(c) >> 4];
        hex += kHex[static_cast<unsigned char>(c) & 0xf];
    }
    AppendElement(array, hex);
}

std::string CloseArray(std::string array) {
    array += '}';
    return array;
}

}  // namespace

std::vector<PutResult> PostgresStore::CommitBatch(const std::vector<PendingPut>& batch) {
    for (int attempt = 1;; ++attempt) {
        try {
            return TryStore(batch);
        } catch (const PgError& e) {
            // The statement was undone whole: nothing of it is stored.
            if (!e.LostRace() || attempt == kPutAttempts) throw;
        }
    }
}

std::vector<PutResult> PostgresStore::TryStore(const std::vector<PendingPut>& batch) {
    std::string ids = "{";
    std::string games = "{";
    std::string names = "{";
    std::string scores = "{";
    std::string times = "{";
    std::string checks = "{";
    std::string rounds = "{";
    std::string tokens = "{";
    for (const auto& p : batch) {
        AppendElement(checks, std::to_string(static_cast<int>(p.record.check)));
        AppendBytes(rounds, p.record.round);
        AppendElement(tokens, p.record.token);
        AppendElement(ids, p.record.id);
        AppendElement(games, p.record.game);
        AppendElement(names, p.record.name);
        AppendElement(scores, std::to_string(p.record.score));
        AppendElement(times, std::to_string(p.record.timeMs));
    }
    ids = CloseArray(std::move(ids));
    // One statement, so one transaction and one flush for the whole batch.
    const Result put = writer_->Exec(
        "put", {ids, CloseArray(std::move(games)), CloseArray(std::move(names)), CloseArray(std::move(scores)),
                CloseArray(std::move(times)), CloseArray(std::move(checks)), CloseArray(std::move(rounds)),
                CloseArray(std::move(tokens))});
    std::unordered_set<std::string> stored;
    for (int row = 0; row < PQntuples(put.get()); ++row) stored.insert(Text(put.get(), row, 0));

    // Every row the batch names, as committed, whoever stored it.
    const Result kept = writer_->Exec("kept", {ids});
    struct Row {
        ScoreRecord record;
        std::int64_t rank = 0;
        std::int64_t weekRank = 0;
        std::int64_t dayRank = 0;
    };
    std::unordered_map<std::string, Row> rows;
    for (int row = 0; row < PQntuples(kept.get()); ++row) {
        ScoreRecord r{Text(kept.get(), row, 0),    Text(kept.get(), row, 1),
                      Text(kept.get(), row, 2),    static_cast<std::int32_t>(Integer(kept.get(), row, 3)),
                      Integer(kept.get(), row, 4), CheckOf(Integer(kept.get(), row, 8))};
        rows[r.id] = {r, Integer(kept.get(), row, 5), Integer(kept.get(), row, 6), Integer(kept.get(), row, 7)};
    }

    std::vector<PutResult> results(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const ScoreRecord& record = batch[i].record;
        const auto at = rows.find(record.id);
        if (at == rows.end()) {
            // Only the round token can have stood in the way.
            results[i] = {PutOutcome::TokenUsed, record};
            continue;
        }
        const Row& row = at->second;
        // The first of the batch with a new id made the row; later ones are retries.
        if (stored.erase(record.id) == 1) {
            results[i] = {PutOutcome::Stored, row.record, row.rank, row.weekRank, row.dayRank};
            continue;
        }
        const bool same =
            row.record.game == record.game && row.record.name == record.name && row.record.score == record.score;
        if (same)
            results[i] = {PutOutcome::AlreadyStored, row.record, row.rank, row.weekRank, row.dayRank};
        else
            results[i] = {PutOutcome::Conflict, row.record, 0};
    }
    return results;
}

}  // namespace scoreboard
