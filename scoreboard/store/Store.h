// The score store: what the HTTP layer needs from a database, and nothing of
// how it keeps it, so that another engine can stand in for SQLite.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace scoreboard {

inline constexpr std::int64_t kDayMs = 86'400'000;

// Days since the Unix epoch, in UTC: what this week's and today's tables
// are made of. The database counts rows by the same division.
constexpr std::int64_t DayOf(std::int64_t timeMs) { return timeMs / kDayMs; }
// The Monday of a day's week (day 0, 1 January 1970, was a Thursday).
constexpr std::int64_t WeekStartOf(std::int64_t day) { return day - (day + 3) % 7; }

// Days first to last, both included.
struct DayRange {
    std::int64_t first = 0;
    std::int64_t last = 0;
};
inline DayRange DayOnly(std::int64_t day) { return {day, day}; }
inline DayRange WeekOf(std::int64_t day) { return {WeekStartOf(day), WeekStartOf(day) + 6}; }

// How far the table checked a score, weakest first; stored as this number.
enum class Check : std::uint8_t {
    Unverified = 0,  // no round record: the number as posted
    Replayed = 1,    // its round replayed to that score under the rules
    Verified = 2,    // replayed, and the round began from a token this table issued
};

// As the API names it.
constexpr std::string_view CheckName(Check c) {
    return c == Check::Verified ? "verified" : c == Check::Replayed ? "replayed" : "unverified";
}
inline std::optional<Check> ParseCheck(std::string_view name) {
    for (const Check c : {Check::Unverified, Check::Replayed, Check::Verified})
        if (CheckName(c) == name) return c;
    return std::nullopt;
}
// A stored number, anything unknown read as the weakest.
constexpr Check CheckOf(std::int64_t stored) {
    return stored == 2 ? Check::Verified : stored == 1 ? Check::Replayed : Check::Unverified;
}

struct ScoreRecord {
    std::string id;  // the client's UUID, lower case
    std::string game;
    std::string name;
    std::int32_t score = 0;
    std::int64_t timeMs = 0;  // when first stored, Unix epoch milliseconds
    Check check = Check::Unverified;
    std::string round = {};  // the round's record, compressed; empty when none came
    std::string token = {};  // the round token it began from, used once; empty when none
};

struct RankedScore {
    std::int64_t rank = 0;  // 1 is best; ties rank by who stored first
    std::string name;
    std::int32_t score = 0;
    std::int64_t timeMs = 0;
    Check check = Check::Unverified;
};

// A player's best row in one game (the earliest of equal bests) and its rank.
struct PlayerBest {
    std::string game;
    std::int32_t score = 0;
    std::int64_t timeMs = 0;
    std::int64_t rank = 0;
};

struct GameSummary {
    std::string game;
    std::int64_t scores = 0;
};

// One game's total and a slice of its rows, read together, so the two agree.
struct TablePage {
    std::int64_t total = 0;
    std::vector<RankedScore> rows;
};

enum class PutOutcome {
    Stored,         // new row
    AlreadyStored,  // same id, same content: a retry
    Conflict,       // same id, different content
    TokenUsed,      // a new id, but its round token was used by another score
};

struct PutResult {
    PutOutcome outcome = PutOutcome::Stored;
    ScoreRecord kept;  // the row as it is on disk
    // The kept row's rank in its game once durable: 1 + the rows of that game
    // with a higher score, or an equal one stored earlier. 0 for a Conflict.
    std::int64_t rank = 0;
    // The same among the rows of the kept row's own week and own day.
    std::int64_t weekRank = 0;
    std::int64_t dayRank = 0;
};

// Thrown for any failure of the engine. busy() marks a transient one that is
// worth retrying (lock contention, a full disk, a database away), so the
// server can answer 503.
class StoreError : public std::runtime_error {
public:
    StoreError(const std::string& what, bool busy) : std::runtime_error(what), busy_(busy) {}
    bool Busy() const noexcept { return busy_; }

private:
    bool busy_;
};

// The outcome of a put, or the failure (a StoreError, mostly) instead.
using PutCallback = std::function<void(PutResult result, std::exception_ptr error)>;

// New rows by game, as one commit added them; empty when the database was
// changed by another program (an operator's deletion), so that everything
// read from it before is to be read afresh.
using CommitNote = std::unordered_map<std::string, std::int64_t>;
using CommitWatcher = std::function<void(const CommitNote& added)>;

// One row as an export gives it: its game, its rank there, and the rest.
struct ExportRow {
    std::string game;
    std::int64_t rank = 0;
    std::string name;
    std::int32_t score = 0;
    std::int64_t timeMs = 0;
    std::string id;
    Check check = Check::Unverified;
    std::string round = {};  // compressed, as stored
    std::string token = {};
};

// Implementations are safe to call from several threads at once.
class ScoreStore {
public:
    virtual ~ScoreStore() = default;

    // `done` runs once the outcome is durable (a crash after that loses
    // nothing), on whichever thread got it there. Never throws; failures go
    // to `done`.
    virtual void PutAsync(const ScoreRecord& record, PutCallback done) = 0;

    // Best first; equal scores in the order they were stored.
    virtual std::vector<RankedScore> Table(std::string_view game, int limit, std::int64_t offset) = 0;
    virtual std::int64_t Count(std::string_view game) = 0;

    // The rows checked at least as far as `least` (of `days`, when given),
    // ranked among themselves; total and rows as of one moment.
    virtual TablePage ReadChecked(std::string_view game, Check least, std::optional<DayRange> days, int limit,
                                  std::int64_t offset) = 0;

    // The secret round tokens are signed with: made once per database, the
    // same for every server on it. Throws StoreError.
    virtual std::string RoundKey() = 0;

    // Table and Count as of one moment.
    virtual TablePage Read(std::string_view game, int limit, std::int64_t offset) {
        return {Count(game), Table(game, limit, offset)};
    }

    // The same for the rows whose time falls on the given days (UTC): the
    // table of a week or a day. Total and rows as of one moment.
    virtual TablePage ReadDays(std::string_view game, DayRange days, int limit, std::int64_t offset) = 0;

    // The stored row with this id and its ranks, of all time and in its own
    // week and day, as of now (outcome AlreadyStored); nullopt when none.
    virtual std::optional<PutResult> Find(std::string_view id) = 0;

    // Every row of one game, or of every game by name, in rank order, handed
    // to `row` one at a time as of one moment: memory does not grow with
    // the table.
    virtual void Export(const std::optional<std::string>& game, const std::function<void(const ExportRow&)>& row) = 0;

    // Deletes every score of exactly this name, in one transaction with the
    // counts; returns how many.
    virtual std::int64_t DeleteName(std::string_view name) = 0;

    // Games with at least one score, by name.
    virtual std::vector<GameSummary> Games() = 0;

    // The best row of exactly this name in each game it has scores in, by
    // game name; empty when it has none.
    virtual std::vector<PlayerBest> PlayerBests(std::string_view name) = 0;

    // A trivial query, past any cache: throws when the database does not
    // answer. What /readyz asks.
    virtual void Ping() { (void)Count({}); }

    // For a store that is the only writer to its database: from now on,
    // `watcher` runs on the writer's thread after each commit that added rows,
    // before any put of it is answered. Called once, before the first put.
    // False when others may write to the database unseen, so nothing read
    // from it may be kept.
    virtual bool WatchCommits(CommitWatcher watcher) {
        (void)watcher;
        return false;
    }
};

}  // namespace scoreboard
