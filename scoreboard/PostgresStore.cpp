#include "PostgresStore.h"

#include "Schema.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace scoreboard {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kMaxBatch = 1024;
// How long a connection that could not be reopened waits before trying
// again: meanwhile its calls fail at once instead of each knocking.
constexpr auto kReconnectPause = 200ms;
// The longest a statement may take before its connection is given up for
// lost: far beyond any of these statements on a healthy database, and well
// within the time a client waits for its answer.
constexpr std::chrono::seconds kAnswerTimeout{8};
// Attempts at a batch that lost a deadlock to another server's batch.
constexpr int kPutAttempts = 3;
// Any constant: servers take it while one of them sets the schema up.
constexpr long long kSchemaLockKey = 0x4261726e;

// Layouts by version: step i brings a database from version i to i + 1.
// Text columns compare byte by byte ("C"), as SQLite does, so that both
// stores order games and names alike.
constexpr std::array<const char*, kSchemaVersion> kSchemaSteps = {
    // seq orders equal scores by arrival even within one millisecond.
    "CREATE TABLE IF NOT EXISTS scores ("
    " seq bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
    " id text NOT NULL UNIQUE,"
    " game text COLLATE \"C\" NOT NULL,"
    " name text COLLATE \"C\" NOT NULL,"
    " score integer NOT NULL,"
    " time_ms bigint NOT NULL);"
    "CREATE INDEX IF NOT EXISTS scores_by_rank ON scores (game, score DESC, seq);"
    "CREATE INDEX IF NOT EXISTS scores_by_name ON scores (name, game, score DESC, seq);"
    // Counts kept beside the rows, in the same transaction, so that the
    // total of a table costs nothing however long it grows. Once per
    // statement and game by game in order, so that two servers' commits take
    // the count rows in the same order and cannot deadlock on them.
    "CREATE TABLE IF NOT EXISTS games ("
    " game text COLLATE \"C\" PRIMARY KEY,"
    " scores bigint NOT NULL);"
    "CREATE OR REPLACE FUNCTION count_scores() RETURNS trigger LANGUAGE plpgsql AS $$"
    " BEGIN"
    "  INSERT INTO games (game, scores) SELECT game, count(*) FROM new_rows GROUP BY game ORDER BY game"
    "  ON CONFLICT (game) DO UPDATE SET scores = games.scores + EXCLUDED.scores;"
    "  RETURN NULL;"
    " END $$;"
    "DROP TRIGGER IF EXISTS count_scores ON scores;"
    "CREATE TRIGGER count_scores AFTER INSERT ON scores REFERENCING NEW TABLE AS new_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION count_scores();",
};

struct Prepared {
    const char* name;
    const char* sql;
};

constexpr std::array kStatements = {
    // The batch in its order; ids already stored (or twice in it) are left
    // as they are. Answers the ids it stored.
    Prepared{"put",
             "WITH input AS (SELECT * FROM unnest($1::text[], $2::text[], $3::text[], $4::integer[], $5::bigint[])"
             " WITH ORDINALITY AS t (id, game, name, score, time_ms, ord)),"
             " stored AS (INSERT INTO scores (id, game, name, score, time_ms)"
             " SELECT id, game, name, score, time_ms FROM input ORDER BY ord"
             " ON CONFLICT (id) DO NOTHING RETURNING id)"
             " SELECT id FROM stored"},
    Prepared{"kept",
             // A row's rank: 1 + the rows of its game above it, counted as two
             // ranges of the rank index.
             "SELECT s.id, s.game, s.name, s.score, s.time_ms,"
             " 1 + (SELECT count(*) FROM scores o WHERE o.game = s.game AND o.score > s.score)"
             " + (SELECT count(*) FROM scores o WHERE o.game = s.game AND o.score = s.score AND o.seq < s.seq)"
             " FROM scores s WHERE s.id = ANY ($1::text[])"},
    // The total and a slice in one statement, so one snapshot: at least one
    // row, the slice's columns null when it is empty.
    Prepared{"page",
             "SELECT coalesce((SELECT scores FROM games WHERE game = $1), 0), r.name, r.score, r.time_ms"
             " FROM (SELECT 1) AS one LEFT JOIN LATERAL"
             " (SELECT name, score, time_ms, seq FROM scores WHERE game = $1"
             " ORDER BY score DESC, seq LIMIT $2 OFFSET $3) AS r ON true"
             " ORDER BY r.score DESC, r.seq"},
    Prepared{"games", "SELECT game, scores FROM games ORDER BY game"},
    Prepared{"bests",
             "SELECT b.game, b.score, b.time_ms,"
             " 1 + (SELECT count(*) FROM scores o WHERE o.game = b.game AND o.score > b.score)"
             " + (SELECT count(*) FROM scores o WHERE o.game = b.game AND o.score = b.score AND o.seq < b.seq)"
             " FROM (SELECT DISTINCT ON (game) game, score, time_ms, seq FROM scores WHERE name = $1"
             " ORDER BY game, score DESC, seq) AS b ORDER BY b.game"},
};

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// Failures worth a retry: the connection or the server went away or is
// starting, stopping or full, or this statement lost a race with another.
bool Transient(PGconn* conn, const PGresult* result) {
    if (PQstatus(conn) != CONNECTION_OK) return true;
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (!state) return true;  // no answer from the server at all
    const std::string_view s(state);
    return s.starts_with("08") || s.starts_with("53") || s.starts_with("57") || s == "40001" || s == "40P01" ||
           s == "55P03";
}

bool LostARace(const PGresult* result) {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    return state && (std::string_view(state) == "40P01" || std::string_view(state) == "40001");
}

class PgError : public StoreError {
public:
    PgError(const std::string& what, bool busy, bool lostRace) : StoreError(what, busy), lostRace_(lostRace) {}
    bool LostRace() const noexcept { return lostRace_; }

private:
    bool lostRace_;
};

std::string Message(PGconn* conn, const PGresult* result) {
    const char* m = result ? PQresultErrorMessage(result) : nullptr;
    const std::string_view text = m && *m ? m : PQerrorMessage(conn);
    // One line for the log: libpq ends lines, and indents hints, with whitespace.
    std::string what;
    for (const char c : text) {
        const bool space = c == '\n' || c == '\t' || c == ' ';
        if (!space)
            what += c;
        else if (!what.empty() && what.back() != ' ')
            what += ' ';
    }
    if (!what.empty() && what.back() == ' ') what.pop_back();
    return what;
}

// Runs SQL that needs no parameters (several statements at once allowed).
Result Run(PGconn* conn, const char* sql) {
    Result r(PQexec(conn, sql));
    const auto status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw PgError(Message(conn, r.get()), Transient(conn, r.get()), LostARace(r.get()));
    return r;
}

std::int64_t Integer(const PGresult* r, int row, int col) {
    const char* p = PQgetvalue(r, row, col);
    const char* end = p + PQgetlength(r, row, col);
    std::int64_t v = 0;
    std::from_chars(p, end, v);
    return v;
}

std::string Text(const PGresult* r, int row, int col) {
    return {PQgetvalue(r, row, col), static_cast<std::size_t>(PQgetlength(r, row, col))};
}

// An element of an array literal, quoted, so any text goes through.
void AppendElement(std::string& array, std::string_view text) {
    array += array.size() > 1 ? ",\"" : "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') array += '\\';
        array += c;
    }
    array += '"';
}

std::string CloseArray(std::string array) {
    array += '}';
    return array;
}

// Text parameters travel as C strings, so text with a NUL in it cannot be
// asked about; no stored text has one (posts with control characters are
// refused).
bool Askable(std::string_view text) { return text.find('\0') == std::string_view::npos; }

}  // namespace

class PostgresStore::Connection {
public:
    explicit Connection(const std::string& conninfo) : conninfo_(conninfo) {}
    ~Connection() {
        if (conn_) PQfinish(conn_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connected, with the statements prepared; reopened when the database
    // dropped it. Throws a busy StoreError while the database is away.
    PGconn* Ready() {
        if (conn_ && PQstatus(conn_) == CONNECTION_OK && prepared_) return conn_;
        Connect();
        for (const auto& st : kStatements) {
            const Result r(PQprepare(conn_, st.name, st.sql, 0, nullptr));
            if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
                const PgError error(std::string("prepare ") + st.name + ": " + Message(conn_, r.get()),
                                    Transient(conn_, r.get()), false);
                // The next attempt prepares them all again, on this session if it lives.
                if (PQstatus(conn_) == CONNECTION_OK) Result(PQexec(conn_, "DEALLOCATE ALL"));
                throw error;
            }
        }
        prepared_ = true;
        return conn_;
    }

    // Connected, without the statements (which need the schema).
    PGconn* Connect() {
        if (conn_ && PQstatus(conn_) == CONNECTION_OK) return conn_;
        prepared_ = false;
        const auto now = Clock::now();
        if (now < retryAt_) throw PgError("the database is unreachable: " + lastError_, true, false);
        if (conn_) {
            PQreset(conn_);
        } else {
            // Earlier keywords are defaults that the connection string
            // overrides. Over TCP, a database host that vanishes without a
            // word is noticed within about a minute rather than never.
            const std::array<const char*, 8> keys{
                "connect_timeout",  "application_name", "keepalives_idle", "keepalives_interval",
                "keepalives_count", "tcp_user_timeout", "dbname",          nullptr};
            const std::array<const char*, 8> values{"5",     "barnblast-scoreboard", "30",   "10", "3",
                                                    "60000", conninfo_.c_str(),      nullptr};
            conn_ = PQconnectdbParams(keys.data(), values.data(), 1);
            if (!conn_) throw PgError("out of memory for a database connection", true, false);
            // Notices ("already exists, skipping") are not for the log.
            PQsetNoticeProcessor(
                conn_, [](void*, const char*) {}, nullptr);
        }
        if (PQstatus(conn_) != CONNECTION_OK) {
            lastError_ = Message(conn_, nullptr);
            retryAt_ = now + kReconnectPause;
            throw PgError("cannot connect to the database: " + lastError_, true, false);
        }
        // A put is answered once its commit is flushed: refuse a setting that
        // would answer before (stronger ones, for standbys, are kept).
        const Result mode = Run(conn_, "SHOW synchronous_commit");
        if (Text(mode.get(), 0, 0) == "off") Run(conn_, "SET synchronous_commit TO on");
        return conn_;
    }

    Result Exec(const char* statement, const std::vector<std::string>& params) {
        PGconn* conn = Ready();
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const auto& p : params) values.push_back(p.c_str());
        if (!PQsendQueryPrepared(conn, statement, static_cast<int>(values.size()), values.data(), nullptr, nullptr, 0))
            throw PgError(std::string(statement) + ": " + Message(conn, nullptr), Transient(conn, nullptr), false);
        Result r;
        if (!AwaitAnswer(conn)) {
            // A database that neither answers nor drops the connection (stopped
            // mid-query, or behind a network that lost it): give up on this
            // connection, which cannot be used again, and reopen it next time.
            PQfinish(conn_);
            conn_ = nullptr;
            prepared_ = false;
            throw PgError(std::string(statement) + ": no answer from the database within " +
                              std::to_string(kAnswerTimeout.count()) + " s",
                          true, false);
        }
        // One statement gives one result, then a null one.
        while (PGresult* next = PQgetResult(conn)) {
            if (!r)
                r.reset(next);
            else
                PQclear(next);
        }
        const auto status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
            throw PgError(std::string(statement) + ": " + Message(conn, r.get()), Transient(conn, r.get()),
                          LostARace(r.get()));
        return r;
    }

private:
    // Waits until the whole answer to what was sent is in, or the connection
    // fails (true: PQgetResult then returns at once), or kAnswerTimeout passes
    // without either (false).
    static bool AwaitAnswer(PGconn* conn) {
        const auto deadline = Clock::now() + kAnswerTimeout;
        for (;;) {
            const int flushed = PQflush(conn);
            if (flushed < 0) return true;  // failed: the error is in the result
            if (flushed == 0 && !PQisBusy(conn)) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            pollfd fd{PQsocket(conn), static_cast<short>(POLLIN | (flushed == 1 ? POLLOUT : 0)), 0};
            const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno != EINTR) return true;
            if (ready > 0 && !PQconsumeInput(conn)) return true;
        }
    }

    std::string conninfo_;
    PGconn* conn_ = nullptr;
    bool prepared_ = false;
    Clock::time_point retryAt_{};
    std::string lastError_;
};

class PostgresStore::Lease {
public:
    Lease(PostgresStore& store, std::unique_ptr<Connection> c) : store_(store), c_(std::move(c)) {}
    ~Lease() {
        if (c_) store_.GiveBack(std::move(c_));
    }
    Lease(Lease&& other) noexcept : store_(other.store_), c_(std::move(other.c_)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Lease& operator=(Lease&&) = delete;

    Connection* operator->() const { return c_.get(); }

private:
    PostgresStore& store_;
    std::unique_ptr<Connection> c_;
};

namespace {

void CreateSchema(PGconn* conn) {
    Run(conn, "BEGIN");
    try {
        // One server at a time: the others wait here, then find it done.
        Run(conn, ("SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) + ")").c_str());
        Run(conn, "CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)");
        const Result r = Run(conn, "SELECT coalesce(max(version), 0) FROM schema_version");
        const auto version = Integer(r.get(), 0, 0);
        if (version > kSchemaVersion)
            throw StoreError("the database's schema is version " + std::to_string(version) +
                                 ", newer than this server's (" + std::to_string(kSchemaVersion) +
                                 "); run the newer barnblast-scoreboard that made it",
                             false);
        for (auto v = version; v < kSchemaVersion; ++v) Run(conn, kSchemaSteps.at(static_cast<std::size_t>(v)));
        if (version < kSchemaVersion) {
            Run(conn, "DELETE FROM schema_version");
            Run(conn, ("INSERT INTO schema_version (version) VALUES (" + std::to_string(kSchemaVersion) + ")").c_str());
        }
        Run(conn, "COMMIT");
    } catch (...) {
        Result(PQexec(conn, "ROLLBACK"));
        throw;
    }
}

}  // namespace

PostgresStore::PostgresStore(std::string conninfo, int readers)
    : conninfo_(std::move(conninfo)), readers_(std::max(readers, 1)) {
    writer_ = std::make_unique<Connection>(conninfo_);
    CreateSchema(writer_->Connect());
    writer_->Ready();
    writerThread_ = std::thread([this] { WriterLoop(); });
}

PostgresStore::~PostgresStore() {
    queue_.Close();
    writerThread_.join();
}

PostgresStore::Lease PostgresStore::Borrow() {
    std::unique_lock lock(poolMutex_);
    poolFree_.wait(lock, [this] { return !idle_.empty() || lent_ < readers_; });
    ++lent_;
    if (idle_.empty()) return {*this, std::make_unique<Connection>(conninfo_)};
    auto c = std::move(idle_.back());
    idle_.pop_back();
    return {*this, std::move(c)};
}

void PostgresStore::GiveBack(std::unique_ptr<Connection> c) {
    {
        std::lock_guard lock(poolMutex_);
        --lent_;
        idle_.push_back(std::move(c));
    }
    poolFree_.notify_one();
}

void PostgresStore::PutAsync(const ScoreRecord& record, PutCallback done) {
    if (!Askable(record.id) || !Askable(record.game) || !Askable(record.name)) {
        done({}, std::make_exception_ptr(StoreError("a score's text has a NUL character", false)));
        return;
    }
    queue_.Push(record, std::move(done));
}

void PostgresStore::WriterLoop() {
    std::vector<PendingPut> batch;
    while (queue_.Take(batch, kMaxBatch)) StoreBatch(batch);
}

void PostgresStore::StoreBatch(std::vector<PendingPut>& batch) {
    std::vector<PutResult> results;
    std::exception_ptr error;
    for (int attempt = 1;; ++attempt) {
        try {
            results = TryStore(batch);
            error = nullptr;
            break;
        } catch (const PgError& e) {
            error = std::current_exception();
            // The statement was undone whole: nothing of it is stored.
            if (!e.LostRace() || attempt == kPutAttempts) break;
        } catch (...) {
            error = std::current_exception();
            break;
        }
    }
    // Only now, with the commit flushed, does anyone hear of it.
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (error)
            batch[i].done({}, error);
        else
            batch[i].done(std::move(results[i]), nullptr);
    }
}

std::vector<PutResult> PostgresStore::TryStore(const std::vector<PendingPut>& batch) {
    std::string ids = "{";
    std::string games = "{";
    std::string names = "{";
    std::string scores = "{";
    std::string times = "{";
    for (const auto& p : batch) {
        AppendElement(ids, p.record.id);
        AppendElement(games, p.record.game);
        AppendElement(names, p.record.name);
        AppendElement(scores, std::to_string(p.record.score));
        AppendElement(times, std::to_string(p.record.timeMs));
    }
    ids = CloseArray(std::move(ids));
    // One statement, so one transaction and one flush for the whole batch.
    const Result put = writer_->Exec("put", {ids, CloseArray(std::move(games)), CloseArray(std::move(names)),
                                             CloseArray(std::move(scores)), CloseArray(std::move(times))});
    std::unordered_set<std::string> stored;
    for (int row = 0; row < PQntuples(put.get()); ++row) stored.insert(Text(put.get(), row, 0));

    // Every row the batch names, as committed, whoever stored it.
    const Result kept = writer_->Exec("kept", {ids});
    struct Row {
        ScoreRecord record;
        std::int64_t rank = 0;
    };
    std::unordered_map<std::string, Row> rows;
    for (int row = 0; row < PQntuples(kept.get()); ++row) {
        ScoreRecord r{Text(kept.get(), row, 0), Text(kept.get(), row, 1), Text(kept.get(), row, 2),
                      static_cast<std::int32_t>(Integer(kept.get(), row, 3)), Integer(kept.get(), row, 4)};
        rows[r.id] = {r, Integer(kept.get(), row, 5)};
    }

    std::vector<PutResult> results(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const ScoreRecord& record = batch[i].record;
        const auto at = rows.find(record.id);
        if (at == rows.end()) throw StoreError("row for id " + record.id + " vanished", false);
        const Row& row = at->second;
        // The first of the batch with a new id made the row; later ones are retries.
        if (stored.erase(record.id) == 1) {
            results[i] = {PutOutcome::Stored, row.record, row.rank};
            continue;
        }
        const bool same =
            row.record.game == record.game && row.record.name == record.name && row.record.score == record.score;
        if (same)
            results[i] = {PutOutcome::AlreadyStored, row.record, row.rank};
        else
            results[i] = {PutOutcome::Conflict, row.record, 0};
    }
    return results;
}

TablePage PostgresStore::Read(std::string_view game, int limit, std::int64_t offset) {
    if (!Askable(game)) return {};
    auto c = Borrow();
    const Result r = c->Exec("page", {std::string(game), std::to_string(limit), std::to_string(offset)});
    TablePage page;
    std::int64_t rank = offset;
    for (int row = 0; row < PQntuples(r.get()); ++row) {
        page.total = Integer(r.get(), row, 0);
        if (PQgetisnull(r.get(), row, 1)) continue;
        page.rows.push_back({++rank, Text(r.get(), row, 1), static_cast<std::int32_t>(Integer(r.get(), row, 2)),
                             Integer(r.get(), row, 3)});
    }
    return page;
}

std::vector<RankedScore> PostgresStore::Table(std::string_view game, int limit, std::int64_t offset) {
    return Read(game, limit, offset).rows;
}

std::int64_t PostgresStore::Count(std::string_view game) { return Read(game, 0, 0).total; }

std::vector<GameSummary> PostgresStore::Games() {
    auto c = Borrow();
    const Result r = c->Exec("games", {});
    std::vector<GameSummary> games;
    games.reserve(static_cast<std::size_t>(PQntuples(r.get())));
    for (int row = 0; row < PQntuples(r.get()); ++row)
        games.push_back({Text(r.get(), row, 0), Integer(r.get(), row, 1)});
    return games;
}

std::vector<PlayerBest> PostgresStore::PlayerBests(std::string_view name) {
    if (!Askable(name)) return {};
    auto c = Borrow();
    const Result r = c->Exec("bests", {std::string(name)});
    std::vector<PlayerBest> bests;
    for (int row = 0; row < PQntuples(r.get()); ++row)
        bests.push_back({Text(r.get(), row, 0), static_cast<std::int32_t>(Integer(r.get(), row, 1)),
                         Integer(r.get(), row, 2), Integer(r.get(), row, 3)});
    return bests;
}

}  // namespace scoreboard
