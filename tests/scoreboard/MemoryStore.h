// A score store in memory, for testing the HTTP layer without a database:
// the same answers as the real store, and a way to make it fail.
#pragma once

#include "store/Store.h"

#include <mutex>
#include <optional>
#include <vector>

namespace scoreboard_test {

class MemoryStore : public scoreboard::ScoreStore {
public:
    // Answers at once, on the caller's thread.
    void PutAsync(const scoreboard::ScoreRecord& record, scoreboard::PutCallback done) override;
    // The same, returning the outcome; throws what PutAsync would pass on.
    scoreboard::PutResult Put(const scoreboard::ScoreRecord& record);
    std::vector<scoreboard::RankedScore> Table(std::string_view game, int limit, std::int64_t offset) override;
    std::int64_t Count(std::string_view game) override;
    scoreboard::TablePage ReadDays(std::string_view game, scoreboard::DayRange days, int limit,
                                   std::int64_t offset) override;
    scoreboard::TablePage ReadChecked(std::string_view game, scoreboard::Check least,
                                      std::optional<scoreboard::DayRange> days, int limit,
                                      std::int64_t offset) override;
    std::string RoundKey() override { return "a key for the tests' tokens"; }
    std::optional<scoreboard::PutResult> Find(std::string_view id) override;
    void Export(const std::optional<std::string>& game,
                const std::function<void(const scoreboard::ExportRow&)>& row) override;
    std::int64_t DeleteName(std::string_view name) override;
    std::vector<scoreboard::GameSummary> Games() override;
    std::vector<scoreboard::PlayerBest> PlayerBests(std::string_view name) override;

    // The next call throws a StoreError, busy or not.
    void FailNext(bool busy);
    std::size_t Rows();

private:
    void ThrowIfFailing();  // with mutex_ held
    // The rank of rows_[at] in its game (among the rows of `days` only,
    // when given), with mutex_ held.
    std::int64_t RankOf(std::size_t at, std::optional<scoreboard::DayRange> days = std::nullopt) const;
    scoreboard::PutResult Answer(scoreboard::PutOutcome outcome, std::size_t at) const;

    std::mutex mutex_;
    std::vector<scoreboard::ScoreRecord> rows_;  // in the order stored
    std::optional<bool> failNext_;               // busy or not
};

}  // namespace scoreboard_test
