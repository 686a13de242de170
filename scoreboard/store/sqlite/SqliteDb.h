// What the SQLite store's files share: statements prepared once and used
// safely, and a connection with the statements it reads with.
#pragma once

#include "store/sqlite/SqliteStore.h"

#include "store/Buckets.h"

#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace scoreboard {
namespace sqlite {

// How soon an idle server notices rows changed by another program.
inline constexpr std::chrono::milliseconds kOutsideCheck{100};

// What a retry may get past (the server answers 503): lock contention, and a
// full disk, which the operator frees. A failed commit leaves the file as it
// was, so the writer stores again once there is room.
inline bool Busy(int rc) {
    const int primary = rc & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_FULL;
}

[[noreturn]] inline void Fail(sqlite3* db, int rc, std::string_view doing) {
    std::string what(doing);
    what += ": ";
    what += db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    throw StoreError(what, Busy(rc));
}

// A statement prepared once per connection and reused for every call.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        const int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
        if (rc != SQLITE_OK) Fail(db, rc, "prepare");
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    sqlite3* Db() const { return db_; }
    sqlite3_stmt* Get() const { return stmt_; }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// One use of a prepared statement: binds, steps, and leaves it reset and
// unbound however the use ends.
class Use {
public:
    explicit Use(Statement& st) : st_(st) {}
    ~Use() {
        sqlite3_reset(st_.Get());
        sqlite3_clear_bindings(st_.Get());
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    Use& Bind(int i, std::string_view text) {
        Check(sqlite3_bind_text(st_.Get(), i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC));
        return *this;
    }
    // NULL when empty.
    Use& BindBlob(int i, std::string_view bytes) {
        Check(bytes.empty()
                  ? sqlite3_bind_null(st_.Get(), i)
                  : sqlite3_bind_blob(st_.Get(), i, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC));
        return *this;
    }
    Use& Bind(int i, std::int64_t v) {
        Check(sqlite3_bind_int64(st_.Get(), i, v));
        return *this;
    }
    // True while there is a row to read.
    bool Step() {
        const int rc = sqlite3_step(st_.Get());
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        Fail(st_.Db(), rc, "step");
    }
    std::int64_t Integer(int col) const { return sqlite3_column_int64(st_.Get(), col); }
    std::string Text(int col) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st_.Get(), col));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(st_.Get(), col))) : std::string();
    }

    // A BLOB (or text) column's bytes; empty for NULL.
    std::string Blob(int col) const {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(st_.Get(), col));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(st_.Get(), col))) : std::string();
    }

private:
    void Check(int rc) {
        if (rc != SQLITE_OK) Fail(st_.Db(), rc, "bind");
    }
    Statement& st_;
};

inline sqlite3* OpenDb(const std::string& path) {
    sqlite3* db = nullptr;
    // Each connection is used by one thread at a time, so SQLite's mutexes are not needed.
    const int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string what = "open " + path;
        if (db) {
            what += ": ";
            what += sqlite3_errmsg(db);
            sqlite3_close(db);
        }
        throw StoreError(what, false);
    }
    return db;
}

inline void Exec(sqlite3* db, const char* sql) {
    char* msg = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
        std::string what = std::string("exec: ") + (msg ? msg : sqlite3_errstr(rc));
        sqlite3_free(msg);
        throw StoreError(what, Busy(rc));
    }
}

// Ends a read transaction however the read ends.
class ReadTransaction {
public:
    explicit ReadTransaction(sqlite3* db) : db_(db) { Exec(db_, "BEGIN"); }
    ~ReadTransaction() { sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr); }
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;

private:
    sqlite3* db_;
};

}  // namespace sqlite

struct SqliteStore::Connection {
    explicit Connection(const std::string& path) : db(sqlite::OpenDb(path)) {
        try {
            sqlite3_busy_timeout(db, 5000);
            // A commit returns only after the WAL is synced: a 201 survives a
            // crash or power loss. Per connection, so set on every one.
            sqlite::Exec(db, "PRAGMA synchronous=FULL");
        } catch (...) {
            sqlite3_close(db);
            throw;
        }
    }
    ~Connection() {
        statements.clear();
        sqlite3_close(db);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Once the schema is there.
    void PrepareReads() {
        // A page is found by rank, not skipped to: walk the buckets down to
        // the score the page starts at, find the row there, and read on
        // from it along the rank index.
        children = &Prepare(
            "SELECT bucket, n FROM score_buckets WHERE game = ?1 AND level = ?2 AND bucket BETWEEN ?3 AND ?4"
            " ORDER BY bucket DESC");
        seqAt = &Prepare("SELECT seq FROM scores WHERE game = ?1 AND score = ?2 ORDER BY seq LIMIT 1 OFFSET ?3");
        equalFrom = &Prepare(
            "SELECT name, score, time_ms, check_level FROM scores WHERE game = ?1 AND score = ?2 AND seq >= ?3"
            " ORDER BY seq LIMIT ?4");
        below = &Prepare(
            "SELECT name, score, time_ms, check_level FROM scores WHERE game = ?1 AND score < ?2"
            " ORDER BY score DESC, seq LIMIT ?3");
        count = &Prepare("SELECT scores FROM games WHERE game = ?1");
        byId = &Prepare("SELECT game, name, score, time_ms, seq, check_level FROM scores WHERE id = ?1");
        games = &Prepare("SELECT game, scores FROM games ORDER BY game");
        // A rank: the counts of the higher scores, then the equal scores
        // stored before (or, for a row just stored, those after it, which
        // are few). The count of equal scores is the one part that reads
        // rows, at most those of one score.
        rankBefore = &Prepare(("SELECT 1 + " + RowsAboveSql("score_buckets", "game = ?1", "?2") +
                               " + (SELECT count(*) FROM scores WHERE game = ?1 AND score = ?2 AND seq < ?3)")
                                  .c_str());
        rankAfter =
            &Prepare(("SELECT " + RowsAboveSql("score_buckets", "game = ?1", "?2") +
                      " + coalesce((SELECT n FROM score_buckets WHERE game = ?1 AND level = 0 AND bucket = ?2), 0)"
                      " - (SELECT count(*) FROM scores WHERE game = ?1 AND score = ?2 AND seq > ?3)")
                         .c_str());
        // The same by day, for the tables of a week or a day: each day's
        // buckets, and each day's rows in rank order, merged.
        dayTotal = &Prepare("SELECT coalesce(sum(n), 0) FROM day_buckets WHERE game = ?1 AND day = ?2 AND level = " +
                            std::to_string(kBucketLevels - 1));
        dayChildren = &Prepare(
            "SELECT bucket, n FROM day_buckets WHERE game = ?1 AND day = ?5 AND level = ?2"
            " AND bucket BETWEEN ?3 AND ?4 ORDER BY bucket DESC");
        dayEqual = &Prepare(
            "SELECT name, score, time_ms, seq, check_level FROM scores WHERE game = ?1 AND time_ms / 86400000 = ?2"
            " AND score = ?3 ORDER BY seq LIMIT ?4");
        dayBelow = &Prepare(
            "SELECT name, score, time_ms, seq, check_level FROM scores WHERE game = ?1 AND time_ms / 86400000 = ?2"
            " AND score < ?3 ORDER BY score DESC, seq LIMIT ?4");
        dayAbove = &Prepare(("SELECT " + RowsAboveSql("day_buckets", "game = ?1 AND day = ?2", "?3") +
                             ", coalesce((SELECT n FROM day_buckets WHERE game = ?1 AND day = ?2 AND level = 0"
                             " AND bucket = ?3), 0)")
                                .c_str());
        dayEqualBefore = &Prepare(
            "SELECT count(*) FROM scores WHERE game = ?1 AND time_ms / 86400000 = ?2 AND score = ?3 AND seq < ?4");
        dayEqualAfter = &Prepare(
            "SELECT count(*) FROM scores WHERE game = ?1 AND time_ms / 86400000 = ?2 AND score = ?3 AND seq > ?4");
        // The checked rows of some days, ranked among themselves: read along
        // the index of checked rows (its condition spelled out, so that the
        // planner may take it).
        checkedTotal = &Prepare(
            "SELECT count(*) FROM scores WHERE game = ?1 AND check_level >= 1 AND check_level >= ?2"
            " AND time_ms / 86400000 BETWEEN ?3 AND ?4");
        checkedRows = &Prepare(
            "SELECT name, score, time_ms, check_level FROM scores WHERE game = ?1 AND check_level >= 1"
            " AND check_level >= ?2 AND time_ms / 86400000 BETWEEN ?3 AND ?4 ORDER BY score DESC, seq"
            " LIMIT ?5 OFFSET ?6");
        // The player's games one index seek at a time, then each one's best
        // row by a second seek, so a player with many rows costs no scan.
        playerBests = &Prepare(
            "WITH RECURSIVE g(game) AS ("
            " SELECT MIN(game) FROM scores WHERE name = ?1"
            " UNION ALL"
            " SELECT (SELECT MIN(game) FROM scores WHERE name = ?1 AND game > g.game) FROM g"
            " WHERE g.game IS NOT NULL)"
            " SELECT b.game, b.score, b.time_ms, b.seq FROM g JOIN scores b ON b.seq ="
            " (SELECT seq FROM scores WHERE name = ?1 AND game = g.game ORDER BY score DESC, seq LIMIT 1)"
            " ORDER BY b.game");
    }

    sqlite::Statement& Prepare(const std::string& sql) {
        statements.push_back(std::make_unique<sqlite::Statement>(db, sql.c_str()));
        return *statements.back();
    }

    sqlite3* db;
    std::vector<std::unique_ptr<sqlite::Statement>> statements;
    sqlite::Statement* insert = nullptr;
    sqlite::Statement* find = nullptr;
    sqlite::Statement* children = nullptr;
    sqlite::Statement* seqAt = nullptr;
    sqlite::Statement* equalFrom = nullptr;
    sqlite::Statement* below = nullptr;
    sqlite::Statement* count = nullptr;
    sqlite::Statement* byId = nullptr;
    sqlite::Statement* dataVersion = nullptr;  // the writer's
    sqlite::Statement* games = nullptr;
    sqlite::Statement* rankBefore = nullptr;
    sqlite::Statement* rankAfter = nullptr;
    sqlite::Statement* playerBests = nullptr;
    sqlite::Statement* dayTotal = nullptr;
    sqlite::Statement* dayChildren = nullptr;
    sqlite::Statement* dayEqual = nullptr;
    sqlite::Statement* dayBelow = nullptr;
    sqlite::Statement* dayAbove = nullptr;
    sqlite::Statement* dayEqualBefore = nullptr;
    sqlite::Statement* dayEqualAfter = nullptr;
    sqlite::Statement* checkedTotal = nullptr;
    sqlite::Statement* checkedRows = nullptr;
};

}  // namespace scoreboard
