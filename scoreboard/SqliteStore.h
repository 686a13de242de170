// The default store: one SQLite file in WAL mode with synchronous=FULL, so a
// commit is on disk before put() returns.
#pragma once

#include "Store.h"

#include <memory>
#include <mutex>
#include <string>

namespace scoreboard {

class SqliteStore final : public ScoreStore {
public:
    // Creates the file and its schema when missing. Throws StoreError.
    explicit SqliteStore(const std::string& path);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    PutResult Put(const ScoreRecord& record) override;
    std::vector<RankedScore> Table(std::string_view game, int limit, std::int64_t offset) override;
    std::int64_t Count(std::string_view game) override;
    std::vector<GameSummary> Games() override;

private:
    struct Connection;
    // SQLite serialises writers anyway; readers get their own connection so
    // WAL lets them run beside a commit.
    std::mutex writeMutex_;
    std::unique_ptr<Connection> writer_;
    std::mutex readMutex_;
    std::unique_ptr<Connection> reader_;
};

}  // namespace scoreboard
