// The caching layer over a store: each game's top rows and the list of games
// as the last commit left them, and rendered answers (memos) until the next
// commit, so the common reads cost no query at all.
//
// It keeps anything only over a store that sees every commit to its database
// (ScoreStore::WatchCommits); over one that shares its database with other
// servers it passes every read through and keeps no memo.
#pragma once

#include "store/Memos.h"
#include "store/Store.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace scoreboard {

class CachedStore final : public ScoreStore, public Memos {
public:
    // Rows of each game kept in memory: the largest page a client may ask for.
    static constexpr int kSnapshotRows = 100;

    explicit CachedStore(std::unique_ptr<ScoreStore> store);
    CachedStore(const CachedStore&) = delete;
    CachedStore& operator=(const CachedStore&) = delete;

    // False when the store below shares its database, and nothing is kept.
    bool Caching() const { return caching_; }

    void PutAsync(const ScoreRecord& record, PutCallback done) override { store_->PutAsync(record, std::move(done)); }
    std::vector<RankedScore> Table(std::string_view game, int limit, std::int64_t offset) override;
    std::int64_t Count(std::string_view game) override;
    TablePage Read(std::string_view game, int limit, std::int64_t offset) override;
    TablePage ReadDays(std::string_view game, DayRange days, int limit, std::int64_t offset) override {
        return store_->ReadDays(game, days, limit, offset);
    }
    TablePage ReadChecked(std::string_view game, Check least, std::optional<DayRange> days, int limit,
                          std::int64_t offset) override {
        return store_->ReadChecked(game, least, days, limit, offset);
    }
    std::string RoundKey() override { return store_->RoundKey(); }
    std::optional<PutResult> Find(std::string_view id) override { return store_->Find(id); }
    void Export(const std::optional<std::string>& game, const std::function<void(const ExportRow&)>& row) override {
        store_->Export(game, row);
    }
    std::int64_t DeleteName(std::string_view name) override { return store_->DeleteName(name); }
    std::vector<GameSummary> Games() override;
    std::vector<PlayerBest> PlayerBests(std::string_view name) override { return store_->PlayerBests(name); }
    void Ping() override { store_->Ping(); }
    std::shared_ptr<const std::string> Memo(std::string_view key, const std::function<std::string()>& make) override;

private:
    // A game's total and best rows as of one commit.
    using Top = TablePage;

    // On the writer's thread, after a commit and before its answers.
    void Publish(const CommitNote& added);

    std::unique_ptr<ScoreStore> store_;
    bool caching_ = false;

    std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<const Top>> tops_;
    std::shared_ptr<const std::vector<GameSummary>> games_;
    std::uint64_t generation_ = 0;  // counts commits, so a slow read cannot overwrite a newer top
    std::unordered_map<std::string, std::shared_ptr<const std::string>> memos_;  // emptied by each commit
};

}  // namespace scoreboard
