// What the PostgreSQL store's files share: results and errors of libpq,
// the statements every connection prepares, and a connection that reopens
// itself when the database dropped it.
#pragma once

#include "store/StoreObserver.h"
#include "store/postgres/PostgresStore.h"

#include "store/Buckets.h"

#include <libpq-fe.h>
#include <poll.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace scoreboard {
namespace pg {

using Clock = std::chrono::steady_clock;

// How long a connection that could not be reopened waits before trying
// again: meanwhile its calls fail at once instead of each knocking.
inline constexpr auto kReconnectPause = std::chrono::milliseconds(200);
// The longest a statement may take before its connection is given up for
// lost: far beyond any of these statements on a healthy database, and well
// within the time a client waits for its answer.
inline constexpr std::chrono::seconds kAnswerTimeout{8};

struct Prepared {
    std::string name;
    std::string sql;
};

// SQL: the days $2 to $3 (a week at most) as seven parts, each naming its
// day as a value, so that the plan made for the values walks that day's range
// of an index; `part` is one part's SQL with @day for its day, and keeps
// to days up to $3 itself.
inline std::string EachDay(const std::string& part, const char* glue = " UNION ALL ") {
    std::string sql;
    for (int k = 0; k < 7; ++k) {
        const std::string day = "($2::bigint + " + std::to_string(k) + ")";
        std::string one = part;
        for (auto at = one.find("@day"); at != std::string::npos; at = one.find("@day", at + day.size()))
            one.replace(at, 4, day);
        if (k > 0) sql += glue;
        sql += "(" + one + ")";
    }
    return sql;
}

// SQL: walks the buckets that `children` gives (an SQL selecting bucket and n
// of level `w.level - 1` between `lo` and `hi`) from the top down to the
// score holding rank $offset + 1: ends in a row of level 0 whose bucket is
// that score and whose `above` counts the rows before its first.
inline std::string WalkSql(const std::string& children, const std::string& offset) {
    const std::string top = std::to_string(kBucketLevels);
    return "walk (level, bucket, above) AS (SELECT " + top +
           ", 0::bigint, 0::bigint UNION ALL SELECT w.level - 1, x.bucket, x.above FROM walk w CROSS JOIN LATERAL ("
           "SELECT t.bucket, t.above FROM (SELECT c.bucket, c.n, w.above + coalesce(sum(c.n) OVER (ORDER BY c.bucket"
           " DESC ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING), 0)::bigint AS above FROM (" +
           children + ") AS c) AS t WHERE t.above + t.n > " + offset +
           " ORDER BY t.bucket DESC LIMIT 1) AS x WHERE w.level > 0)";
}

inline std::string ChildRange() {
    const std::string top = std::to_string(kBucketLevels);
    return " AND level = w.level - 1 AND bucket BETWEEN CASE WHEN w.level = " + top + " THEN " +
           std::to_string(kAnyBucketFrom) + " ELSE w.bucket * " + std::to_string(FirstChild(1)) +
           " END AND CASE WHEN w.level = " + top + " THEN " + std::to_string(kAnyBucketTo) + " ELSE w.bucket * " +
           std::to_string(FirstChild(1)) + " + " + std::to_string(LastChild(0)) + " END";
}

// Made once and never destroyed: a serving thread may still open a
// connection, and prepare them, while the process exits.
inline const std::vector<Prepared>& Statements() {
    static const auto* const kStatements = new std::vector<Prepared>{
        // The batch in its order; ids already stored (or twice in it) are left
        // as they are. Answers the ids it stored.
        {"put",
         "WITH input AS (SELECT * FROM unnest($1::text[], $2::text[], $3::text[], $4::integer[], $5::bigint[])"
         " WITH ORDINALITY AS t (id, game, name, score, time_ms, ord)),"
         " stored AS (INSERT INTO scores (id, game, name, score, time_ms, check_level, round, round_token)"
         " SELECT id, game, name, score, time_ms, c, r, nullif(t, '') FROM input"
         " JOIN unnest($6::smallint[], $7::bytea[], $8::text[]) WITH ORDINALITY AS x (c, r, t, o) ON x.o = ord"
         " ORDER BY ord"
         // A used round token is a conflict too: the row is not stored
         // and its id not found (TokenUsed).
         " ON CONFLICT DO NOTHING RETURNING id)"
         " SELECT id FROM stored"},
        // A row's rank: the rows above it and at its score, by the buckets,
        // less the equal rows stored after it (few, for rows just stored).
        // Those are one range of an index whose entries hold all they are
        // asked (read without the rows): of all time the rank index's, of a
        // day the day index's, each day of the week alone. The rank index
        // and a filter by day would read every equal row of all time.
        {"kept",
         "SELECT s.id, s.game, s.name, s.score, s.time_ms, " +
             RowsAboveSql("score_buckets", "game = s.game", "s.score::bigint") +
             " + coalesce((SELECT n FROM score_buckets WHERE game = s.game AND level = 0 AND bucket = s.score), 0)"
             " - (SELECT count(*) FROM scores o WHERE o.game = s.game AND o.score = s.score AND o.seq > s.seq),"
             // And among the rows of its own week and its own day.
             " (SELECT sum(" +
             RowsAboveSql("day_buckets", "game = s.game AND day = d", "s.score::bigint") +
             " + coalesce((SELECT n FROM day_buckets WHERE game = s.game AND day = d AND level = 0"
             " AND bucket = s.score), 0) - (SELECT count(*) FROM scores o WHERE o.game = s.game"
             " AND o.time_ms / 86400000 = d AND o.score = s.score AND o.seq > s.seq))"
             " FROM generate_series(w.first, w.first + 6) AS d)::bigint,"
             " " +
             RowsAboveSql("day_buckets", "game = s.game AND day = w.day", "s.score::bigint") +
             " + coalesce((SELECT n FROM day_buckets WHERE game = s.game AND day = w.day AND level = 0"
             " AND bucket = s.score), 0)"
             " - (SELECT count(*) FROM scores o WHERE o.game = s.game AND o.time_ms / 86400000 = w.day"
             " AND o.score = s.score AND o.seq > s.seq), s.check_level"
             " FROM scores s, LATERAL (SELECT s.time_ms / 86400000 AS day,"
             " s.time_ms / 86400000 - (s.time_ms / 86400000 + 3) % 7 AS first) AS w"
             " WHERE s.id = ANY ($1::text[])"},
        // The total and a slice in one statement, so one snapshot: at least one
        // row, the slice's columns null when it is empty. The slice is found by
        // rank: the buckets lead to the score it starts at, the rank index to
        // its first row there, and it reads on from that row.
        {"page",
         "WITH RECURSIVE " +
             WalkSql("SELECT bucket, n FROM score_buckets WHERE game = $1" + ChildRange(), "$3::bigint") +
             ", s AS (SELECT bucket AS score, above FROM walk WHERE level = 0),"
             " k AS (SELECT s.score, (SELECT o.seq FROM scores o WHERE o.game = $1 AND o.score = s.score"
             " ORDER BY o.seq OFFSET $3::bigint - s.above LIMIT 1) AS seq FROM s)"
             " SELECT coalesce((SELECT scores FROM games WHERE game = $1), 0), r.name, r.score, r.time_ms,"
             " r.check_level FROM (SELECT 1) AS one LEFT JOIN LATERAL (SELECT * FROM ("
             // The key as values, not joined, so that each part is one range of the index.
             " (SELECT o.name, o.score, o.time_ms, o.seq, o.check_level FROM scores o WHERE o.game = $1"
             " AND o.score = (SELECT score FROM k) AND o.seq >= (SELECT seq FROM k) ORDER BY o.seq LIMIT $2::bigint)"
             " UNION ALL"
             " (SELECT o.name, o.score, o.time_ms, o.seq, o.check_level FROM scores o WHERE o.game = $1"
             " AND o.score < (SELECT score FROM k) ORDER BY o.score DESC, o.seq LIMIT $2::bigint)) AS u"
             " ORDER BY u.score DESC, u.seq LIMIT $2::bigint) AS r ON true"
             " ORDER BY r.score DESC, r.seq"},
        // The same for the rows of days $2 to $3 (a week at most): the days'
        // buckets summed lead to the score the slice starts at, and each day's
        // rows in rank order are merged.
        {"days",
         "WITH RECURSIVE " +
             WalkSql(
                 "SELECT bucket, sum(n)::bigint AS n FROM (" +
                     EachDay("SELECT bucket, n FROM day_buckets WHERE game = $1 AND day = @day AND @day <= $3::bigint" +
                             ChildRange()) +
                     ") AS e GROUP BY bucket",
                 "$5::bigint") +
             ", s AS (SELECT bucket AS score, above FROM walk WHERE level = 0),"
             " eq AS (SELECT x.name, x.score, x.time_ms, x.seq, x.check_level FROM (" +
             EachDay("SELECT o.name, o.score, o.time_ms, o.seq, o.check_level FROM scores o WHERE o.game = $1"
                     " AND o.time_ms / 86400000 = @day AND @day <= $3::bigint AND o.score = (SELECT score FROM s)"
                     " ORDER BY o.seq"
                     " LIMIT $5::bigint - (SELECT above FROM s) + $4::bigint") +
             ") AS x ORDER BY x.seq OFFSET $5::bigint - (SELECT above FROM s) LIMIT $4::bigint),"
             " lo AS (" +
             EachDay("SELECT o.name, o.score, o.time_ms, o.seq, o.check_level FROM scores o WHERE o.game = $1"
                     " AND o.time_ms / 86400000 = @day AND @day <= $3::bigint AND o.score < (SELECT score FROM s)"
                     " ORDER BY o.score DESC, o.seq LIMIT $4::bigint") +
             ")"
             " SELECT (0 + " +
             EachDay("SELECT coalesce(sum(n), 0) FROM day_buckets WHERE game = $1 AND day = @day AND @day <= $3::bigint"
                     " AND level = " +
                         std::to_string(kBucketLevels - 1),
                     " + ") +
             ")::bigint, r.name, r.score, r.time_ms, r.check_level"
             " FROM (SELECT 1) AS one LEFT JOIN LATERAL (SELECT * FROM (SELECT * FROM eq UNION ALL SELECT * FROM lo) "
             "AS u"
             " ORDER BY u.score DESC, u.seq LIMIT $4::bigint) AS r ON true"
             " ORDER BY r.score DESC, r.seq"},
        // The checked rows of days $3 to $4, ranked among themselves, along the
        // index of checked rows (its condition spelled out, so that it is taken).
        {"checked",
         "WITH f AS (SELECT name, score, time_ms, check_level, seq FROM scores WHERE game = $1"
         " AND check_level >= 1 AND check_level >= $2::smallint AND time_ms / 86400000 BETWEEN $3::bigint AND"
         " $4::bigint)"
         " SELECT (SELECT count(*) FROM f), r.name, r.score, r.time_ms, r.check_level"
         " FROM (SELECT 1) AS one LEFT JOIN LATERAL (SELECT * FROM f ORDER BY score DESC, seq"
         " LIMIT $5::bigint OFFSET $6::bigint) AS r ON true ORDER BY r.score DESC, r.seq"},
        {"games", "SELECT game, scores FROM games ORDER BY game"},
        {"bests", "SELECT b.game, b.score, b.time_ms, 1 + " +
                      RowsAboveSql("score_buckets", "game = b.game", "b.score::bigint") +
                      " + (SELECT count(*) FROM scores o WHERE o.game = b.game AND o.score = b.score AND o.seq < b.seq)"
                      " FROM (SELECT DISTINCT ON (game) game, score, time_ms, seq FROM scores WHERE name = $1"
                      " ORDER BY game, score DESC, seq) AS b ORDER BY b.game"},
    };
    return *kStatements;
}

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// Failures worth a retry: the connection or the server went away or is
// starting, stopping or full, or this statement lost a race with another.
inline bool Transient(PGconn* conn, const PGresult* result) {
    if (PQstatus(conn) != CONNECTION_OK) return true;
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (!state) return true;  // no answer from the server at all
    const std::string_view s(state);
    return s.starts_with("08") || s.starts_with("53") || s.starts_with("57") || s == "40001" || s == "40P01" ||
           s == "55P03";
}

inline bool LostARace(const PGresult* result) {
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

inline std::string Message(PGconn* conn, const PGresult* result) {
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
inline Result Run(PGconn* conn, const char* sql) {
    Result r(PQexec(conn, sql));
    const auto status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw PgError(Message(conn, r.get()), Transient(conn, r.get()), LostARace(r.get()));
    return r;
}

inline std::int64_t Integer(const PGresult* r, int row, int col) {
    const char* p = PQgetvalue(r, row, col);
    const char* end = p + PQgetlength(r, row, col);
    std::int64_t v = 0;
    std::from_chars(p, end, v);
    return v;
}

inline std::string Text(const PGresult* r, int row, int col) {
    return {PQgetvalue(r, row, col), static_cast<std::size_t>(PQgetlength(r, row, col))};
}

}  // namespace pg

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
        for (const auto& st : pg::Statements()) {
            const pg::Result r(PQprepare(conn_, st.name.c_str(), st.sql.c_str(), 0, nullptr));
            if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
                const pg::PgError error(std::string("prepare ") + st.name + ": " + pg::Message(conn_, r.get()),
                                        pg::Transient(conn_, r.get()), false);
                // The next attempt prepares them all again, on this session if it lives.
                if (PQstatus(conn_) == CONNECTION_OK) pg::Result(PQexec(conn_, "DEALLOCATE ALL"));
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
        const auto now = pg::Clock::now();
        if (now < retryAt_) throw pg::PgError("the database is unreachable: " + lastError_, true, false);
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
            if (!conn_) throw pg::PgError("out of memory for a database connection", true, false);
            // Notices ("already exists, skipping") are not for the log.
            PQsetNoticeProcessor(
                conn_, [](void*, const char*) {}, nullptr);
        }
        if (PQstatus(conn_) != CONNECTION_OK) {
            lastError_ = pg::Message(conn_, nullptr);
            retryAt_ = now + pg::kReconnectPause;
            throw pg::PgError("cannot connect to the database: " + lastError_, true, false);
        }
        if (auto* observer = StoreObserverOf(); observer && connectedBefore_) observer->Reconnected();
        connectedBefore_ = true;
        // A put is answered once its commit is flushed: refuse a setting that
        // would answer before (stronger ones, for standbys, are kept).
        const pg::Result mode = pg::Run(conn_, "SHOW synchronous_commit");
        if (pg::Text(mode.get(), 0, 0) == "off") pg::Run(conn_, "SET synchronous_commit TO on");
        // Each statement planned for its values: a plan made once for any
        // values cannot tell a day with no rows from one with them all, and
        // after ANALYZE of rows played long ago walks the rank index for
        // rows of this week.
        pg::Run(conn_, "SET plan_cache_mode TO force_custom_plan");
        // These statements read a few hundred index entries at most, but
        // their estimates over a long table pass the JIT's threshold, and
        // compiling the rank statement's many parts took seconds a put.
        pg::Run(conn_, "SET jit TO off");
        return conn_;
    }

    pg::Result Exec(const char* statement, const std::vector<std::string>& params) {
        PGconn* conn = Ready();
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const auto& p : params) values.push_back(p.c_str());
        if (!PQsendQueryPrepared(conn, statement, static_cast<int>(values.size()), values.data(), nullptr, nullptr, 0))
            throw pg::PgError(std::string(statement) + ": " + pg::Message(conn, nullptr), pg::Transient(conn, nullptr),
                              false);
        pg::Result r;
        if (!AwaitAnswer(conn)) {
            // A database that neither answers nor drops the connection (stopped
            // mid-query, or behind a network that lost it): give up on this
            // connection, which cannot be used again, and reopen it next time.
            PQfinish(conn_);
            conn_ = nullptr;
            prepared_ = false;
            throw pg::PgError(std::string(statement) + ": no answer from the database within " +
                                  std::to_string(pg::kAnswerTimeout.count()) + " s",
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
            throw pg::PgError(std::string(statement) + ": " + pg::Message(conn, r.get()), pg::Transient(conn, r.get()),
                              pg::LostARace(r.get()));
        return r;
    }

private:
    // Waits until the whole answer to what was sent is in, or the connection
    // fails (true: PQgetResult then returns at once), or pg::kAnswerTimeout passes
    // without either (false).
    static bool AwaitAnswer(PGconn* conn) {
        const auto deadline = pg::Clock::now() + pg::kAnswerTimeout;
        for (;;) {
            const int flushed = PQflush(conn);
            if (flushed < 0) return true;  // failed: the error is in the result
            if (flushed == 0 && !PQisBusy(conn)) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - pg::Clock::now());
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
    pg::Clock::time_point retryAt_{};
    std::string lastError_;
    bool connectedBefore_ = false;  // a connection made again is a reconnect
};

}  // namespace scoreboard
