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

namespace {

bool Within(const ScoreRecord& r, const std::optional<DayRange>& days) {
    return !days || (DayOf(r.timeMs) >= days->first && DayOf(r.timeMs) <= days->last);
}

}  // namespace

std::int64_t MemoryStore::RankOf(std::size_t at, std::optional<DayRange> days) const {
    const ScoreRecord& row = rows_[at];
    std::int64_t above = 0;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const ScoreRecord& r = rows_[i];
        if (r.game == row.game && Within(r, days) && (r.score > row.score || (r.score == row.score && i < at))) ++above;
    }
    return above + 1;
}

PutResult MemoryStore::Answer(PutOutcome outcome, std::size_t at) const {
    const std::int64_t day = DayOf(rows_[at].timeMs);
    return {outcome, rows_[at], RankOf(at), RankOf(at, WeekOf(day)), RankOf(at, DayOnly(day))};
}

PutResult MemoryStore::Put(const ScoreRecord& record) {
    std::lock_guard lock(mutex_);
    ThrowIfFailing();
    const auto found = std::find_if(rows_.begin(), rows_.end(), [&](const auto& r) { return r.id == record.id; });
    const bool tokenUsed = !record.token.empty() && std::any_of(rows_.begin(), rows_.end(),
                                                                [&](const auto& r) { return r.token == record.token; });
    if (found == rows_.end() && tokenUsed) return {PutOutcome::TokenUsed, record, 0};
    if (found == rows_.end()) {
        rows_.push_back(record);
        return Answer(PutOutcome::Stored, rows_.size() - 1);
    }
    const bool same = found->game == record.game && found->name == record.name && found->score == record.score;
    if (!same) return {PutOutcome::Conflict, *found, 0};
    return Answer(PutOutcome::AlreadyStored, static_cast<std::size_t>(found - rows_.begin()));
}

void MemoryStore::PutAsync(const ScoreRecord& record, PutCallback done) {
    PutResult result;
    std::exception_ptr error;
    try {
        result = Put(record);
    } catch (...) {
        error = std::current_exception();
    }
    done(std::move(result), error);
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
        out.push_back({i + 1, r.name, r.score, r.timeMs, r.check});
    }
    return out;
}

TablePage MemoryStore::ReadDays(std::string_view game, DayRange days, int limit, std::int64_t offset) {
    return ReadChecked(game, Check::Unverified, days, limit, offset);
}

TablePage MemoryStore::ReadChecked(std::string_view game, Check least, std::optional<DayRange> days, int limit,
                                   std::int64_t offset) {
    std::lock_guard lock(mutex_);
    ThrowIfFailing();
    std::vector<ScoreRecord> rows;
    std::copy_if(rows_.begin(), rows_.end(), std::back_inserter(rows),
                 [&](const auto& r) { return r.game == game && Within(r, days) && r.check >= least; });
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.score > b.score; });
    TablePage page{std::ssize(rows), {}};
    for (auto i = offset; i < std::ssize(rows) && i < offset + limit; ++i) {
        const auto& r = rows[static_cast<std::size_t>(i)];
        page.rows.push_back({i + 1, r.name, r.score, r.timeMs, r.check});
    }
    return page;
}

std::optional<PutResult> MemoryStore::Find(std::string_view id) {
    std::lock_guard lock(mutex_);
    ThrowIfFailing();
    const auto found = std::find_if(rows_.begin(), rows_.end(), [&](const auto& r) { return r.id == id; });
    if (found == rows_.end()) return std::nullopt;
    return Answer(PutOutcome::AlreadyStored, static_cast<std::size_t>(found - rows_.begin()));
}

void MemoryStore::Export(const std::optional<std::string>& game, const std::function<void(const ExportRow&)>& row) {
    std::vector<ScoreRecord> rows;
    {
        std::lock_guard lock(mutex_);
        ThrowIfFailing();
        std::copy_if(rows_.begin(), rows_.end(), std::back_inserter(rows),
                     [&](const auto& r) { return !game || r.game == *game; });
    }
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.game != b.game ? a.game < b.game : a.score > b.score;
    });
    std::int64_t rank = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rank = i > 0 && rows[i - 1].game == rows[i].game ? rank + 1 : 1;
        const ScoreRecord& r = rows[i];
        row({r.game, rank, r.name, r.score, r.timeMs, r.id, r.check, r.round, r.token});
    }
}

std::int64_t MemoryStore::DeleteName(std::string_view name) {
    std::lock_guard lock(mutex_);
    ThrowIfFailing();
    return std::erase_if(rows_, [&](const auto& r) { return r.name == name; });
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

std::vector<PlayerBest> MemoryStore::PlayerBests(std::string_view name) {
    std::lock_guard lock(mutex_);
    ThrowIfFailing();
    std::map<std::string, std::size_t> best;  // game -> index in rows_
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].name != name) continue;
        const auto [at, added] = best.try_emplace(rows_[i].game, i);
        if (!added && rows_[i].score > rows_[at->second].score) at->second = i;
    }
    std::vector<PlayerBest> out;
    for (const auto& [game, i] : best) out.push_back({game, rows_[i].score, rows_[i].timeMs, RankOf(i)});
    return out;
}

}  // namespace scoreboard_test
