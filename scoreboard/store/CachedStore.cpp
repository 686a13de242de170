#include "store/CachedStore.h"

#include <algorithm>
#include <utility>

namespace scoreboard {
namespace {

// Games whose top rows are kept in memory; others are read from the store.
constexpr std::size_t kMaxCachedGames = 256;
constexpr std::size_t kMaxMemos = 256;

TablePage Slice(const TablePage& top, int limit, std::int64_t offset) {
    TablePage page{top.total, {}};
    const auto begin = static_cast<std::size_t>(std::min<std::int64_t>(offset, std::ssize(top.rows)));
    const auto end = std::min(top.rows.size(), begin + static_cast<std::size_t>(std::max(limit, 0)));
    page.rows.assign(top.rows.begin() + static_cast<std::ptrdiff_t>(begin),
                     top.rows.begin() + static_cast<std::ptrdiff_t>(end));
    return page;
}

}  // namespace

CachedStore::CachedStore(std::unique_ptr<ScoreStore> store) : store_(std::move(store)) {
    // No put has been made yet, so the list read here misses no commit.
    caching_ = store_->WatchCommits([this](const CommitNote& added) { Publish(added); });
    if (caching_) games_ = std::make_shared<const std::vector<GameSummary>>(store_->Games());
}

void CachedStore::Publish(const CommitNote& added) {
    if (added.empty()) {
        // Changed by another program: nothing kept can be trusted.
        auto games = std::make_shared<const std::vector<GameSummary>>(store_->Games());
        std::lock_guard lock(mutex_);
        ++generation_;
        memos_.clear();
        tops_.clear();
        games_ = std::move(games);
        return;
    }
    std::vector<std::pair<std::string, std::shared_ptr<const Top>>> fresh;
    for (const auto& [game, n] : added) {
        try {
            fresh.emplace_back(game, std::make_shared<const Top>(store_->Read(game, kSnapshotRows, 0)));
        } catch (const StoreError&) {
            fresh.emplace_back(game, nullptr);  // read from the store next time instead
        }
    }
    std::lock_guard lock(mutex_);
    ++generation_;
    memos_.clear();
    for (auto& [game, top] : fresh) {
        if (!top)
            tops_.erase(game);
        else if (tops_.size() < kMaxCachedGames || tops_.contains(game))
            tops_[game] = std::move(top);
    }
    auto games = std::make_shared<std::vector<GameSummary>>(*games_);
    for (const auto& [game, n] : added) {
        auto at = std::lower_bound(games->begin(), games->end(), game,
                                   [](const GameSummary& g, const std::string& name) { return g.game < name; });
        if (at == games->end() || at->game != game) at = games->insert(at, {game, 0});
        at->scores += n;
    }
    games_ = std::move(games);
}

TablePage CachedStore::Read(std::string_view game, int limit, std::int64_t offset) {
    if (!caching_ || offset + limit > kSnapshotRows) return store_->Read(game, limit, offset);
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        const auto top = tops_.find(std::string(game));
        if (top != tops_.end()) return Slice(*top->second, limit, offset);
        // The list of games is kept whole: one not in it has no rows.
        const auto at = std::lower_bound(games_->begin(), games_->end(), game,
                                         [](const GameSummary& g, std::string_view name) { return g.game < name; });
        if (at == games_->end() || at->game != game) return {};
        generation = generation_;
    }
    auto top = std::make_shared<const Top>(store_->Read(game, kSnapshotRows, 0));
    TablePage page = Slice(*top, limit, offset);
    std::lock_guard lock(mutex_);
    // Keep it only if no commit came since: a newer top may already be here.
    if (generation == generation_ && tops_.size() < kMaxCachedGames) tops_.emplace(std::string(game), std::move(top));
    return page;
}

std::vector<RankedScore> CachedStore::Table(std::string_view game, int limit, std::int64_t offset) {
    if (!caching_) return store_->Table(game, limit, offset);
    return Read(game, limit, offset).rows;
}

std::int64_t CachedStore::Count(std::string_view game) {
    if (!caching_) return store_->Count(game);
    return Read(game, 1, 0).total;
}

std::vector<GameSummary> CachedStore::Games() {
    if (!caching_) return store_->Games();
    std::shared_ptr<const std::vector<GameSummary>> games;
    {
        std::lock_guard lock(mutex_);
        games = games_;
    }
    return *games;
}

std::shared_ptr<const std::string> CachedStore::Memo(std::string_view key, const std::function<std::string()>& make) {
    if (!caching_) return std::make_shared<const std::string>(make());
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        const auto at = memos_.find(std::string(key));
        if (at != memos_.end()) return at->second;
        generation = generation_;
    }
    auto made = std::make_shared<const std::string>(make());
    std::lock_guard lock(mutex_);
    // Made from what a commit since may have changed: used once, not kept.
    if (generation == generation_ && memos_.size() < kMaxMemos) memos_.emplace(std::string(key), made);
    return made;
}

}  // namespace scoreboard
