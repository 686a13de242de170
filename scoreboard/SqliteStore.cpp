#include "SqliteStore.h"

#include <sqlite3.h>

#include <utility>

namespace scoreboard {
namespace {

[[noreturn]] void Fail(sqlite3* db, int rc, std::string_view doing) {
    std::string what(doing);
    what += ": ";
    what += db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const int primary = rc & 0xff;
    throw StoreError(what, primary == SQLITE_BUSY || primary == SQLITE_LOCKED);
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

private:
    void Check(int rc) {
        if (rc != SQLITE_OK) Fail(st_.Db(), rc, "bind");
    }
    Statement& st_;
};

sqlite3* OpenDb(const std::string& path) {
    sqlite3* db = nullptr;
    // Each connection is used under its own mutex, so SQLite's are not needed.
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

void Exec(sqlite3* db, const char* sql) {
    char* msg = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
        std::string what = std::string("exec: ") + (msg ? msg : sqlite3_errstr(rc));
        sqlite3_free(msg);
        const int primary = rc & 0xff;
        throw StoreError(what, primary == SQLITE_BUSY || primary == SQLITE_LOCKED);
    }
}

}  // namespace

struct SqliteStore::Connection {
    explicit Connection(const std::string& path) : db(OpenDb(path)) {
        try {
            sqlite3_busy_timeout(db, 5000);
            // A commit returns only after the WAL is synced: a 201 survives a
            // crash or power loss. Per connection, so set on every one.
            Exec(db, "PRAGMA synchronous=FULL");
        } catch (...) {
            sqlite3_close(db);
            throw;
        }
    }
    ~Connection() {
        statements.clear();
        sqlite3_close(db);
    }
    Statement& Prepare(const char* sql) {
        statements.push_back(std::make_unique<Statement>(db, sql));
        return *statements.back();
    }

    sqlite3* db;
    std::vector<std::unique_ptr<Statement>> statements;
    Statement* insert = nullptr;
    Statement* find = nullptr;
    Statement* table = nullptr;
    Statement* count = nullptr;
    Statement* games = nullptr;
};

SqliteStore::SqliteStore(const std::string& path) {
    writer_ = std::make_unique<Connection>(path);
    {
        sqlite3* db = writer_->db;
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &st, nullptr);
        if (rc != SQLITE_OK) Fail(db, rc, "journal_mode");
        rc = sqlite3_step(st);
        const std::string mode =
            rc == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(st, 0)) : std::string();
        sqlite3_finalize(st);
        if (mode != "wal") throw StoreError("could not switch " + path + " to WAL mode (got '" + mode + "')", false);

        // seq orders equal scores by arrival even within one millisecond.
        Exec(db,
             "CREATE TABLE IF NOT EXISTS scores ("
             " seq INTEGER PRIMARY KEY,"
             " id TEXT NOT NULL UNIQUE,"
             " game TEXT NOT NULL,"
             " name TEXT NOT NULL,"
             " score INTEGER NOT NULL,"
             " time_ms INTEGER NOT NULL);"
             "CREATE INDEX IF NOT EXISTS scores_by_rank ON scores (game, score DESC, seq);"
             // Counts kept beside the rows, in the same transaction, so that
             // the total of a table costs nothing however long it grows.
             "CREATE TABLE IF NOT EXISTS games ("
             " game TEXT PRIMARY KEY,"
             " scores INTEGER NOT NULL) WITHOUT ROWID;"
             "CREATE TRIGGER IF NOT EXISTS count_score AFTER INSERT ON scores BEGIN"
             " INSERT INTO games (game, scores) VALUES (NEW.game, 1)"
             " ON CONFLICT (game) DO UPDATE SET scores = scores + 1;"
             " END;");
    }
    writer_->insert = &writer_->Prepare(
        "INSERT INTO scores (id, game, name, score, time_ms) VALUES (?1, ?2, ?3, ?4, ?5)"
        " ON CONFLICT (id) DO NOTHING");
    writer_->find = &writer_->Prepare("SELECT game, name, score, time_ms FROM scores WHERE id = ?1");

    reader_ = std::make_unique<Connection>(path);
    reader_->table = &reader_->Prepare(
        "SELECT name, score, time_ms FROM scores WHERE game = ?1"
        " ORDER BY score DESC, seq ASC LIMIT ?2 OFFSET ?3");
    reader_->count = &reader_->Prepare("SELECT scores FROM games WHERE game = ?1");
    reader_->games = &reader_->Prepare("SELECT game, scores FROM games ORDER BY game");
}

SqliteStore::~SqliteStore() = default;

PutResult SqliteStore::Put(const ScoreRecord& record) {
    std::lock_guard lock(writeMutex_);
    {
        Use ins(*writer_->insert);
        ins.Bind(1, record.id).Bind(2, record.game).Bind(3, record.name);
        ins.Bind(4, std::int64_t{record.score}).Bind(5, record.timeMs);
        ins.Step();
        if (sqlite3_changes(writer_->db) == 1) return {PutOutcome::Stored, record};
    }
    // The id is taken: under the write lock nothing can change it between the
    // insert and this read, so racing retries all see the same row.
    Use find(*writer_->find);
    find.Bind(1, record.id);
    if (!find.Step()) throw StoreError("row for id " + record.id + " vanished", false);
    ScoreRecord kept{record.id, find.Text(0), find.Text(1), static_cast<std::int32_t>(find.Integer(2)),
                     find.Integer(3)};
    const bool same = kept.game == record.game && kept.name == record.name && kept.score == record.score;
    return {same ? PutOutcome::AlreadyStored : PutOutcome::Conflict, std::move(kept)};
}

std::vector<RankedScore> SqliteStore::Table(std::string_view game, int limit, std::int64_t offset) {
    std::vector<RankedScore> rows;
    std::lock_guard lock(readMutex_);
    Use q(*reader_->table);
    q.Bind(1, game).Bind(2, std::int64_t{limit}).Bind(3, offset);
    std::int64_t rank = offset;
    while (q.Step()) rows.push_back({++rank, q.Text(0), static_cast<std::int32_t>(q.Integer(1)), q.Integer(2)});
    return rows;
}

std::int64_t SqliteStore::Count(std::string_view game) {
    std::lock_guard lock(readMutex_);
    Use q(*reader_->count);
    q.Bind(1, game);
    return q.Step() ? q.Integer(0) : 0;
}

std::vector<GameSummary> SqliteStore::Games() {
    std::vector<GameSummary> out;
    std::lock_guard lock(readMutex_);
    Use q(*reader_->games);
    while (q.Step()) out.push_back({q.Text(0), q.Integer(1)});
    return out;
}

}  // namespace scoreboard
