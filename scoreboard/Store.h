// The score store: what the HTTP layer needs from a database, and nothing of
// how it keeps it, so that another engine can stand in for SQLite.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace scoreboard {

struct ScoreRecord {
    std::string id;  // the client's UUID, lower case
    std::string game;
    std::string name;
    std::int32_t score = 0;
    std::int64_t timeMs = 0;  // when first stored, Unix epoch milliseconds
};

struct RankedScore {
    std::int64_t rank = 0;  // 1 is best; ties rank by who stored first
    std::string name;
    std::int32_t score = 0;
    std::int64_t timeMs = 0;
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
};

struct PutResult {
    PutOutcome outcome = PutOutcome::Stored;
    ScoreRecord kept;  // the row as it is on disk
    // The kept row's rank in its game once durable: 1 + the rows of that game
    // with a higher score, or an equal one stored earlier. 0 for a Conflict.
    std::int64_t rank = 0;
};

// Thrown for any failure of the engine. busy() marks a transient one that is
// worth retrying (lock contention), so the server can answer 503.
class StoreError : public std::runtime_error {
public:
    StoreError(const std::string& what, bool busy) : std::runtime_error(what), busy_(busy) {}
    bool Busy() const noexcept { return busy_; }

private:
    bool busy_;
};

// The outcome of a put, or the failure (a StoreError, mostly) instead.
using PutCallback = std::function<void(PutResult result, std::exception_ptr error)>;

// Implementations are safe to call from several threads at once.
class ScoreStore {
public:
    virtual ~ScoreStore() = default;

    // Returns only once the outcome is durable: a crash after this returns
    // loses nothing.
    virtual PutResult Put(const ScoreRecord& record) = 0;

    // As Put, without holding the caller: `done` runs once the outcome is
    // durable, on whichever thread got it there (here, at once). Never throws;
    // failures go to `done`.
    virtual void PutAsync(const ScoreRecord& record, PutCallback done) {
        PutResult result;
        std::exception_ptr error;
        try {
            result = Put(record);
        } catch (...) {
            error = std::current_exception();
        }
        done(std::move(result), error);
    }

    // Best first; equal scores in the order they were stored.
    virtual std::vector<RankedScore> Table(std::string_view game, int limit, std::int64_t offset) = 0;
    virtual std::int64_t Count(std::string_view game) = 0;

    // Table and Count as of one moment.
    virtual TablePage Read(std::string_view game, int limit, std::int64_t offset) {
        return {Count(game), Table(game, limit, offset)};
    }

    // Games with at least one score, by name.
    virtual std::vector<GameSummary> Games() = 0;

    // Text made from what is stored (a rendered answer), which a store may
    // keep under `key` until a commit changes its content. Here: made anew.
    virtual std::shared_ptr<const std::string> Memo(std::string_view key, const std::function<std::string()>& make) {
        (void)key;
        return std::make_shared<const std::string>(make());
    }
};

}  // namespace scoreboard
