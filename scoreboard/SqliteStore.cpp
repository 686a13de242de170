#include "SqliteStore.h"

#include "Schema.h"

#include <sqlite3.h>

#include <algorithm>
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
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Once the schema is there.
    void PrepareReads() {
        table = &Prepare(
            "SELECT name, score, time_ms FROM scores WHERE game = ?1"
            " ORDER BY score DESC, seq ASC LIMIT ?2 OFFSET ?3");
        count = &Prepare("SELECT scores FROM games WHERE game = ?1");
        games = &Prepare("SELECT game, scores FROM games ORDER BY game");
        // Two counts, each one range of the rank index; one OR'd count reads worse.
        rankAbove = &Prepare(
            "SELECT (SELECT COUNT(*) FROM scores WHERE game = ?1 AND score > ?2)"
            " + (SELECT COUNT(*) FROM scores WHERE game = ?1 AND score = ?2 AND seq < ?3)");
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
    Statement* rankAbove = nullptr;
    Statement* playerBests = nullptr;
    Statement* rankScan = nullptr;  // the writer's only
};

namespace {

constexpr std::size_t kMaxBatch = 1024;

void CreateSchema(sqlite3* db, const std::string& path) {
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &st, nullptr);
    if (rc != SQLITE_OK) Fail(db, rc, "journal_mode");
    rc = sqlite3_step(st);
    const std::string mode =
        rc == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(st, 0)) : std::string();
    sqlite3_finalize(st);
    if (mode != "wal") throw StoreError("could not switch " + path + " to WAL mode (got '" + mode + "')", false);

    // The layout's version, the same numbers as the PostgreSQL store's.
    // Files from before it was kept say 0 and have version 1's tables.
    rc = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr);
    if (rc != SQLITE_OK) Fail(db, rc, "user_version");
    rc = sqlite3_step(st);
    const std::int64_t version = rc == SQLITE_ROW ? sqlite3_column_int64(st, 0) : 0;
    sqlite3_finalize(st);
    if (version > kSchemaVersion)
        throw StoreError(path + " has schema version " + std::to_string(version) + ", newer than this server's (" +
                             std::to_string(kSchemaVersion) + "); run the newer barnblast-scoreboard that made it",
                         false);

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
    if (version < kSchemaVersion) Exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
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

}  // namespace

SqliteStore::SqliteStore(const std::string& path, std::int64_t maxRankedRows)
    : path_(path), maxRankedRows_(maxRankedRows) {
    writer_ = std::make_unique<Connection>(path);
    CreateSchema(writer_->db, path);
    // For a player's best rows; an existing file gets it on its next start.
    Exec(writer_->db, "CREATE INDEX IF NOT EXISTS scores_by_name ON scores (name, game, score DESC, seq)");
    writer_->insert = &writer_->Prepare(
        "INSERT INTO scores (id, game, name, score, time_ms) VALUES (?1, ?2, ?3, ?4, ?5)"
        " ON CONFLICT (id) DO NOTHING");
    writer_->find = &writer_->Prepare("SELECT game, name, score, time_ms, seq FROM scores WHERE id = ?1");
    writer_->PrepareReads();
    readers_.push_back(OpenReader());
    writerThread_ = std::thread([this] { WriterLoop(); });
}

SqliteStore::~SqliteStore() {
    queue_.Close();
    writerThread_.join();
}

void SqliteStore::PutAsync(const ScoreRecord& record, PutCallback done) { queue_.Push(record, std::move(done)); }

bool SqliteStore::WatchCommits(CommitWatcher watcher) {
    watcher_ = std::move(watcher);
    return true;
}

void SqliteStore::WriterLoop() {
    std::vector<PendingPut> batch;
    while (queue_.Take(batch, kMaxBatch)) CommitBatch(batch);
}

void SqliteStore::CommitBatch(std::vector<PendingPut>& batch) {
    std::vector<PutResult> results(batch.size());
    std::vector<std::int64_t> seqs(batch.size());
    std::unordered_map<std::string, std::int64_t> added;  // new rows by game
    std::exception_ptr error;
    try {
        Exec(writer_->db, "BEGIN IMMEDIATE");
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const ScoreRecord& record = batch[i].record;
            {
                Use ins(*writer_->insert);
                ins.Bind(1, record.id).Bind(2, record.game).Bind(3, record.name);
                ins.Bind(4, std::int64_t{record.score}).Bind(5, record.timeMs);
                ins.Step();
            }
            if (sqlite3_changes(writer_->db) == 1) {
                results[i] = {PutOutcome::Stored, record};
                seqs[i] = sqlite3_last_insert_rowid(writer_->db);
                ++added[record.game];
                continue;
            }
            // The id is taken, by an earlier commit or earlier in this one:
            // only this thread writes, so every retry sees the same row.
            Use find(*writer_->find);
            find.Bind(1, record.id);
            if (!find.Step()) throw StoreError("row for id " + record.id + " vanished", false);
            ScoreRecord kept{record.id, find.Text(0), find.Text(1), static_cast<std::int32_t>(find.Integer(2)),
                             find.Integer(3)};
            seqs[i] = find.Integer(4);
            const bool same = kept.game == record.game && kept.name == record.name && kept.score == record.score;
            results[i] = {same ? PutOutcome::AlreadyStored : PutOutcome::Conflict, std::move(kept)};
        }
        // Ranks as the commit leaves them, the whole batch in place.
        UpdateRanks(batch, results, seqs);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (results[i].outcome != PutOutcome::Conflict)
                results[i].rank = RankOf(results[i].kept.game, results[i].kept.score, seqs[i]);
        }
        Exec(writer_->db, "COMMIT");
    } catch (...) {
        error = std::current_exception();
        if (!sqlite3_get_autocommit(writer_->db)) sqlite3_exec(writer_->db, "ROLLBACK", nullptr, nullptr, nullptr);
        // They may hold rows that were rolled back: read them afresh when next needed.
        for (const auto& pending : batch) DropRanks(pending.record.game);
    }
    if (!error && !added.empty() && watcher_) watcher_(added);
    // Only now, with the commit on disk, does anyone hear of it.
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (error)
            batch[i].done({}, error);
        else
            batch[i].done(std::move(results[i]), nullptr);
    }
}

void SqliteStore::UpdateRanks(const std::vector<PendingPut>& batch, const std::vector<PutResult>& results,
                              const std::vector<std::int64_t>& seqs) {
    std::unordered_map<std::string, bool> loadedNow;  // by game: read from disk in this batch
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (results[i].outcome == PutOutcome::Conflict) continue;
        const std::string& game = results[i].kept.game;
        auto seen = loadedNow.find(game);
        if (seen == loadedNow.end()) seen = loadedNow.emplace(game, !ranks_.contains(game) && LoadRanks(game)).first;
        // A game read from disk just now has this batch's rows already.
        if (results[i].outcome != PutOutcome::Stored || seen->second) continue;
        const auto index = ranks_.find(game);
        if (index == ranks_.end()) continue;
        index->second.Insert(results[i].kept.score, seqs[i]);
        ++rankedRows_;
    }
}

bool SqliteStore::LoadRanks(const std::string& game) {
    std::int64_t rows = 0;
    {
        Use q(*writer_->count);
        q.Bind(1, game);
        rows = q.Step() ? q.Integer(0) : 0;
    }
    if (rankedRows_ + rows > maxRankedRows_) return false;
    if (!writer_->rankScan)
        writer_->rankScan = &writer_->Prepare("SELECT score, seq FROM scores WHERE game = ?1 ORDER BY score DESC, seq");
    RankIndex index;
    Use q(*writer_->rankScan);
    q.Bind(1, game);
    while (q.Step()) index.Insert(static_cast<std::int32_t>(q.Integer(0)), q.Integer(1));
    rankedRows_ += index.Size();
    ranks_.insert_or_assign(game, std::move(index));
    return true;
}

void SqliteStore::DropRanks(const std::string& game) {
    const auto at = ranks_.find(game);
    if (at == ranks_.end()) return;
    rankedRows_ -= at->second.Size();
    ranks_.erase(at);
}

std::int64_t SqliteStore::RankOf(const std::string& game, std::int32_t score, std::int64_t seq) {
    const auto index = ranks_.find(game);
    if (index != ranks_.end()) return index->second.Rank(score, seq);
    return CountRank(*writer_, game, score, seq);
}

std::int64_t SqliteStore::CountRank(Connection& c, std::string_view game, std::int32_t score, std::int64_t seq) {
    Use q(*c.rankAbove);
    q.Bind(1, game).Bind(2, std::int64_t{score}).Bind(3, seq);
    return (q.Step() ? q.Integer(0) : 0) + 1;
}

std::unique_ptr<SqliteStore::Connection> SqliteStore::OpenReader() const {
    auto c = std::make_unique<Connection>(path_);
    c->PrepareReads();
    return c;
}

TablePage SqliteStore::ReadWith(Connection& c, std::string_view game, int limit, std::int64_t offset) {
    TablePage page;
    ReadTransaction tx(c.db);
    {
        Use q(*c.count);
        q.Bind(1, game);
        page.total = q.Step() ? q.Integer(0) : 0;
    }
    Use q(*c.table);
    q.Bind(1, game).Bind(2, std::int64_t{limit}).Bind(3, offset);
    std::int64_t rank = offset;
    while (q.Step()) page.rows.push_back({++rank, q.Text(0), static_cast<std::int32_t>(q.Integer(1)), q.Integer(2)});
    return page;
}

template <typename Fn>
auto SqliteStore::WithReader(Fn&& read) {
    std::unique_ptr<Connection> c;
    {
        std::lock_guard lock(readersMutex_);
        if (!readers_.empty()) {
            c = std::move(readers_.back());
            readers_.pop_back();
        }
    }
    if (!c) c = OpenReader();
    auto result = read(*c);
    std::lock_guard lock(readersMutex_);
    readers_.push_back(std::move(c));
    return result;
}

TablePage SqliteStore::Read(std::string_view game, int limit, std::int64_t offset) {
    return WithReader([&](Connection& c) { return ReadWith(c, game, limit, offset); });
}

std::vector<PlayerBest> SqliteStore::PlayerBests(std::string_view name) {
    return WithReader([&](Connection& c) {
        std::vector<PlayerBest> bests;
        std::vector<std::int64_t> seqs;
        ReadTransaction tx(c.db);
        {
            Use q(*c.playerBests);
            q.Bind(1, name);
            while (q.Step()) {
                bests.push_back({q.Text(0), static_cast<std::int32_t>(q.Integer(1)), q.Integer(2), 0});
                seqs.push_back(q.Integer(3));
            }
        }
        for (std::size_t i = 0; i < bests.size(); ++i)
            bests[i].rank = CountRank(c, bests[i].game, bests[i].score, seqs[i]);
        return bests;
    });
}

std::vector<RankedScore> SqliteStore::Table(std::string_view game, int limit, std::int64_t offset) {
    return Read(game, limit, offset).rows;
}

std::int64_t SqliteStore::Count(std::string_view game) { return Read(game, 0, 0).total; }

std::vector<GameSummary> SqliteStore::Games() {
    return WithReader([](Connection& c) {
        std::vector<GameSummary> games;
        Use q(*c.games);
        while (q.Step()) games.push_back({q.Text(0), q.Integer(1)});
        return games;
    });
}

}  // namespace scoreboard
