#include "MemoryStore.h"

#include <algorithm>
#include <map>

namespace scoreboard_test {

using namespace scoreboard;

void MemoryStore::ThrowIfFailing() {
    if (!failNext_) return;
    const bool busy = *failNext_;
    failNext_.reset();
    throw StoreError(busy ? "database is locked" : "disk I/O error", busy);
}

void MemoryStore::FailNext(bool busy) {
    std::lock_guard lock(mutex_);
    failNext_ = busy;
}

std::size_t MemoryStore::Rows() {
    std::lock_guard lock(mutex_);
    return rows_.size();
}

PutResult MemoryStore::Put(const ScoreRecord& record) {
    std::lock_guard lock(mutex_);
    ThrowIfFailing();
    const auto found = std::find_if(rows_.begin(), rows_.end(), [&](const auto& r) { return r.id == record.id; });
    if (found == rows_.end()) {
        rows_.push_back(record);
        return {PutOutcome::Stored, record};
    }
    const bool same = found->game == record.game && found->name == record.name && found->score == record.score;
    return {same ? PutOutcome::AlreadyStored : PutOutcome::Conflict, *found};
}

std::vector<RankedScore> MemoryStore::Table(std::string_view game, int limit, std::int64_t offset) {
    std::lock_guard lock(mutex_);
    ThrowIfFailing();
    std::vector<ScoreRecord> rows;
    std::copy_if(rows_.begin(), rows_.end(), std::back_inserter(rows), [&](const auto& r) { return r.game == game; });
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.score > b.score; });
    std::vector<RankedScore> out;
    for (auto i = offset; i < static_cast<std::int64_t>(rows.size()) && i < offset + limit; ++i) {
        const auto& r = rows[static_cast<std::size_t>(i)];
        out.push_back({i + 1, r.name, r.score, r.timeMs});
    }
    return out;
}

std::int64_t MemoryStore::Count(std::string_view game) {
    std::lock_guard lock(mutex_);
    ThrowIfFailing();
    return std::count_if(rows_.begin(), rows_.end(), [&](const auto& r) { return r.game == game; });
}

std::vector<GameSummary> MemoryStore::Games() {
    std::lock_guard lock(mutex_);
    ThrowIfFailing();
    std::map<std::string, std::int64_t> counts;
    for (const auto& r : rows_) ++counts[r.game];
    std::vector<GameSummary> out;
    for (const auto& [game, n] : counts) out.push_back({game, n});
    return out;
}

}  // namespace scoreboard_test
