#include "store/postgres/PostgresStore.h"

#include "store/Buckets.h"
#include "store/Schema.h"
#include "store/Secret.h"
#include "store/postgres/PgConnection.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

namespace scoreboard {
using namespace pg;

namespace {

// Any constant: servers take it while one of them sets the schema up.
constexpr long long kSchemaLockKey = 0x4261726e;

// Layouts by version: step i brings a database from version i to i + 1.
// Text columns compare byte by byte ("C"), as SQLite does, so that both
// stores order games and names alike.
constexpr std::array<const char*, 2> kSchemaSteps = {
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
    // Rows at each score of each game, so a rank sums a few counts rather
    // than counting every row above; both counts follow deletes too. The
    // count rows are taken in (game, score) order, after the games'.
    "CREATE TABLE IF NOT EXISTS score_counts ("
    " game text COLLATE \"C\" NOT NULL,"
    " score integer NOT NULL,"
    " n bigint NOT NULL,"
    " PRIMARY KEY (game, score));"
    // The same by day (UTC), for this week's and today's tables, and the
    // rows of each day in rank order.
    "CREATE TABLE IF NOT EXISTS day_counts ("
    " game text COLLATE \"C\" NOT NULL,"
    " day bigint NOT NULL,"
    " score integer NOT NULL,"
    " n bigint NOT NULL,"
    " PRIMARY KEY (game, day, score));"
    "CREATE INDEX IF NOT EXISTS scores_by_day ON scores (game, (time_ms / 86400000), score DESC, seq);"
    // A row's rank among the rows of some days: their counts above it, and
    // the equal rows before it, one range of the day index a day.
    "CREATE OR REPLACE FUNCTION rank_in_days(p_game text, p_first bigint, p_last bigint, p_score integer,"
    " p_seq bigint) RETURNS bigint LANGUAGE sql STABLE AS $$"
    " SELECT 1 + coalesce((SELECT sum(n) FROM day_counts WHERE game = p_game"
    "  AND day BETWEEN p_first AND p_last AND score > p_score), 0)::bigint"
    " + (SELECT coalesce(sum((SELECT count(*) FROM scores o WHERE o.game = p_game"
    "  AND o.time_ms / 86400000 = d AND o.score = p_score AND o.seq < p_seq)), 0)"
    "  FROM generate_series(p_first, p_last) AS d)::bigint $$;"
    "CREATE OR REPLACE FUNCTION count_scores() RETURNS trigger LANGUAGE plpgsql AS $$"
    " BEGIN"
    "  INSERT INTO games (game, scores) SELECT game, count(*) FROM new_rows GROUP BY game ORDER BY game"
    "  ON CONFLICT (game) DO UPDATE SET scores = games.scores + EXCLUDED.scores;"
    "  INSERT INTO score_counts (game, score, n) SELECT game, score, count(*) FROM new_rows"
    "  GROUP BY game, score ORDER BY game, score"
    "  ON CONFLICT (game, score) DO UPDATE SET n = score_counts.n + EXCLUDED.n;"
    "  INSERT INTO day_counts (game, day, score, n) SELECT game, time_ms / 86400000, score, count(*) FROM new_rows"
    "  GROUP BY 1, 2, 3 ORDER BY 1, 2, 3"
    "  ON CONFLICT (game, day, score) DO UPDATE SET n = day_counts.n + EXCLUDED.n;"
    "  RETURN NULL;"
    " END $$;"
    "CREATE OR REPLACE FUNCTION uncount_scores() RETURNS trigger LANGUAGE plpgsql AS $$"
    " BEGIN"
    "  UPDATE games g SET scores = g.scores - d.n"
    "  FROM (SELECT game, count(*) AS n FROM old_rows GROUP BY game) d WHERE g.game = d.game;"
    "  DELETE FROM games WHERE scores <= 0;"
    "  UPDATE score_counts c SET n = c.n - d.n"
    "  FROM (SELECT game, score, count(*) AS n FROM old_rows GROUP BY game, score) d"
    "  WHERE c.game = d.game AND c.score = d.score;"
    "  DELETE FROM score_counts WHERE n <= 0;"
    "  UPDATE day_counts c SET n = c.n - d.n"
    "  FROM (SELECT game, time_ms / 86400000 AS day, score, count(*) AS n FROM old_rows GROUP BY 1, 2, 3) d"
    "  WHERE c.game = d.game AND c.day = d.day AND c.score = d.score;"
    "  DELETE FROM day_counts WHERE n <= 0;"
    "  RETURN NULL;"
    " END $$;"
    "DROP TRIGGER IF EXISTS uncount_scores ON scores;"
    "CREATE TRIGGER uncount_scores AFTER DELETE ON scores REFERENCING OLD TABLE AS old_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION uncount_scores();",
};

// Version 3: the counts by score give way to counts by bucket of scores
// (Buckets.h), of all time and of each day, so that a rank reads a bounded
// number of them however the scores spread. Filled by the counts' check.
// With it, the scores' check levels and round records.
std::string BucketStep() {
    const std::string levels = "CROSS JOIN LATERAL (" + LevelsOfSql("r.score::bigint") + ") AS l";
    return "DROP FUNCTION IF EXISTS rank_in_days(text, bigint, bigint, integer, bigint);"
           "DROP TABLE IF EXISTS score_counts; DROP TABLE IF EXISTS day_counts;"
           "CREATE TABLE IF NOT EXISTS score_buckets (game text COLLATE \"C\" NOT NULL, level integer NOT NULL,"
           " bucket bigint NOT NULL, n bigint NOT NULL, PRIMARY KEY (game, level, bucket));"
           "CREATE TABLE IF NOT EXISTS day_buckets (game text COLLATE \"C\" NOT NULL, day bigint NOT NULL, level "
           "integer NOT NULL,"
           " bucket bigint NOT NULL, n bigint NOT NULL, PRIMARY KEY (game, day, level, bucket));"
           "CREATE OR REPLACE FUNCTION count_scores() RETURNS trigger LANGUAGE plpgsql AS $$"
           " BEGIN"
           "  INSERT INTO games (game, scores) SELECT game, count(*) FROM new_rows GROUP BY game ORDER BY game"
           "  ON CONFLICT (game) DO UPDATE SET scores = games.scores + EXCLUDED.scores;"
           "  INSERT INTO score_buckets (game, level, bucket, n) SELECT r.game, l.level, l.bucket, count(*)"
           "  FROM new_rows r " +
           levels +
           " GROUP BY 1, 2, 3 ORDER BY 1, 2, 3"
           "  ON CONFLICT (game, level, bucket) DO UPDATE SET n = score_buckets.n + EXCLUDED.n;"
           "  INSERT INTO day_buckets (game, day, level, bucket, n)"
           "  SELECT r.game, r.time_ms / 86400000, l.level, l.bucket, count(*)"
           "  FROM new_rows r " +
           levels +
           " GROUP BY 1, 2, 3, 4 ORDER BY 1, 2, 3, 4"
           "  ON CONFLICT (game, day, level, bucket) DO UPDATE SET n = day_buckets.n + EXCLUDED.n;"
           "  RETURN NULL;"
           " END $$;"
           "CREATE OR REPLACE FUNCTION uncount_scores() RETURNS trigger LANGUAGE plpgsql AS $$"
           " BEGIN"
           "  UPDATE games g SET scores = g.scores - d.n"
           "  FROM (SELECT game, count(*) AS n FROM old_rows GROUP BY game) d WHERE g.game = d.game;"
           "  DELETE FROM games WHERE scores <= 0;"
           "  UPDATE score_buckets c SET n = c.n - d.n"
           "  FROM (SELECT r.game, l.level, l.bucket, count(*) AS n FROM old_rows r " +
           levels +
           "  GROUP BY 1, 2, 3) d WHERE c.game = d.game AND c.level = d.level AND c.bucket = d.bucket;"
           "  DELETE FROM score_buckets WHERE n <= 0;"
           "  UPDATE day_buckets c SET n = c.n - d.n"
           "  FROM (SELECT r.game, r.time_ms / 86400000 AS day, l.level, l.bucket, count(*) AS n FROM old_rows r " +
           levels +
           "  GROUP BY 1, 2, 3, 4) d WHERE c.game = d.game AND c.day = d.day AND c.level = d.level"
           "  AND c.bucket = d.bucket;"
           "  DELETE FROM day_buckets WHERE n <= 0;"
           "  RETURN NULL;"
           " END $$;"
           // And how far each score was checked (older rows unverified), its
           // round's record, compressed, and the round token it used, once.
           "ALTER TABLE scores ADD COLUMN IF NOT EXISTS check_level smallint NOT NULL DEFAULT 0,"
           " ADD COLUMN IF NOT EXISTS round bytea, ADD COLUMN IF NOT EXISTS round_token text;"
           "CREATE UNIQUE INDEX IF NOT EXISTS scores_by_token ON scores (round_token) WHERE round_token IS NOT NULL;"
           "CREATE INDEX IF NOT EXISTS scores_checked ON scores (game, score DESC, seq) WHERE check_level >= 1;"
           "CREATE TABLE IF NOT EXISTS secrets (name text PRIMARY KEY, value text NOT NULL);";
}

// SQL: fills temp table `fresh` like `table` (keyed by `key`, then level and
// bucket) from the rows, each level from the one below, and rewrites the
// counts of `table` that differ.
std::string FreshBucketsSql(const std::string& table, const std::string& fresh, const std::string& key,
                            const std::string& keyOfRow) {
    std::string sql = "CREATE TEMP TABLE " + fresh + " ON COMMIT DROP AS SELECT " + keyOfRow +
                      ", 0 AS level, score::bigint AS bucket, count(*) AS n FROM scores GROUP BY " +
                      (key.find(',') == std::string::npos ? "1" : "1, 2") + ", score;";
    for (int level = 1; level < kBucketLevels; ++level)
        sql += "INSERT INTO " + fresh + " SELECT " + key + ", " + std::to_string(level) + ", bucket >> " +
               std::to_string(kBucketBits) + ", sum(n) FROM " + fresh + " WHERE level = " + std::to_string(level - 1) +
               " GROUP BY " + key + ", bucket >> " + std::to_string(kBucketBits) + ";";
    std::string same;
    std::size_t at = 0;
    for (;;) {
        const auto comma = key.find(", ", at);
        const std::string col = key.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        same += "f." + col + " = t." + col + " AND ";
        if (comma == std::string::npos) break;
        at = comma + 2;
    }
    same += "f.level = t.level AND f.bucket = t.bucket";
    sql += "DELETE FROM " + table + " t WHERE NOT EXISTS (SELECT 1 FROM " + fresh + " f WHERE " + same +
           " AND f.n = t.n);";
    sql += "INSERT INTO " + table + " SELECT * FROM " + fresh + " f WHERE NOT EXISTS (SELECT 1 FROM " + table +
           " t WHERE " + same + ");";
    return sql;
}

// Rows that reached the table without the triggers (a restore whose
// triggers came after its data, a table from before the counts) count once
// a server starts: after an upgrade, when the totals disagree with the rows
// (CountsAgreeSql) or when `--recount` asks, the counts are taken afresh from
// the rows and those that differ rewritten. Writers wait meanwhile (the
// lock), so the counts taken are the rows'. Reads every row: 4 to 120 s for
// 2 million, by how widely their scores and days spread.
std::string VerifyCountsSql() {
    return "LOCK TABLE scores IN SHARE ROW EXCLUSIVE MODE;" +
           FreshBucketsSql("score_buckets", "fresh_buckets", "game", "game") +
           FreshBucketsSql("day_buckets", "fresh_days", "game, day", "game, time_ms / 86400000 AS day") +
           "CREATE TEMP TABLE fresh_games ON COMMIT DROP AS"
           " SELECT game, sum(n)::bigint AS scores FROM fresh_buckets WHERE level = 0 GROUP BY game;"
           "DELETE FROM games g WHERE NOT EXISTS (SELECT 1 FROM fresh_games f"
           " WHERE f.game = g.game AND f.scores = g.scores);"
           "INSERT INTO games (game, scores) SELECT game, scores FROM fresh_games f"
           " WHERE NOT EXISTS (SELECT 1 FROM games g WHERE g.game = f.game);";
}

// SQL, one boolean: whether the counts agree with the rows as far as their
// totals tell: the rows against the games' counts, and each game's against
// the top level of its buckets, of all time and summed over its days. The
// triggers keep them together in each transaction, so in one snapshot they
// part only when rows came or went without the triggers, or counts were
// edited by hand; an edit that keeps every total escapes this (--recount).
// The games and days are walked one index seek at a time, so it reads the
// top-level counts and not every bucket: about 0.2 s for 2 million rows.
std::string CountsAgreeSql() {
    const std::string top = std::to_string(kBucketLevels - 1);
    return "WITH RECURSIVE g(game) AS ("
           " (SELECT game FROM score_buckets ORDER BY game LIMIT 1) UNION ALL"
           " SELECT (SELECT b.game FROM score_buckets b WHERE b.game > g.game ORDER BY b.game LIMIT 1)"
           " FROM g WHERE g.game IS NOT NULL),"
           " d(game, day) AS ("
           " (SELECT game, day FROM day_buckets ORDER BY game, day LIMIT 1) UNION ALL"
           " SELECT n.game, n.day FROM d CROSS JOIN LATERAL (SELECT b.game, b.day FROM day_buckets b"
           " WHERE (b.game, b.day) > (d.game, d.day) ORDER BY b.game, b.day LIMIT 1) n),"
           " counted AS (SELECT game, scores::numeric AS n FROM games WHERE scores <> 0),"
           " alltime AS (SELECT * FROM (SELECT game, (SELECT sum(n) FROM score_buckets b"
           " WHERE b.game = g.game AND b.level = " +
           top +
           ") AS n FROM g WHERE game IS NOT NULL) a WHERE n <> 0),"
           " days AS (SELECT * FROM (SELECT game, sum((SELECT sum(n) FROM day_buckets b WHERE b.game = d.game"
           " AND b.day = d.day AND b.level = " +
           top +
           ")) AS n FROM d GROUP BY game) a WHERE n <> 0)"
           " SELECT (SELECT count(*) FROM scores) = (SELECT coalesce(sum(scores), 0) FROM games)"
           " AND NOT EXISTS (SELECT 1 FROM counted c FULL JOIN alltime a USING (game) WHERE c.n IS DISTINCT FROM a.n)"
           " AND NOT EXISTS (SELECT 1 FROM counted c FULL JOIN days a USING (game) WHERE c.n IS DISTINCT FROM a.n)";
}

// Version 4: the day index holds each row's time too, so that a count of a
// day's equal rows reads the index alone (an index on an expression serves
// a scan without the rows only when the columns it is made of are in it).
constexpr const char* kDayIndexStep =
    "DROP INDEX IF EXISTS scores_by_day;"
    "CREATE INDEX scores_by_day ON scores (game, (time_ms / 86400000), score DESC, seq) INCLUDE (time_ms);";

// bytea as PostgreSQL writes it in text, \\x and hex digits, as bytes.
std::string FromHexBytea(std::string_view text) {
    if (!text.starts_with("\\x")) return {};
    std::string bytes;
    bytes.reserve((text.size() - 2) / 2);
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (std::size_t i = 2; i + 1 < text.size(); i += 2)
        bytes += static_cast<char>(nibble(text[i]) << 4 | nibble(text[i + 1]));
    return bytes;
}

// Text parameters travel as C strings, so text with a NUL in it cannot be
// asked about; no stored text has one (posts with control characters are
// refused).
bool Askable(std::string_view text) { return text.find('\0') == std::string_view::npos; }

// The answer of "page" or "days": the total in every row, and the rows.
TablePage PageOf(const PGresult* r, std::int64_t offset) {
    TablePage page;
    std::int64_t rank = offset;
    for (int row = 0; row < PQntuples(r); ++row) {
        page.total = Integer(r, row, 0);
        if (PQgetisnull(r, row, 1)) continue;
        page.rows.push_back({++rank, Text(r, row, 1), static_cast<std::int32_t>(Integer(r, row, 2)), Integer(r, row, 3),
                             CheckOf(Integer(r, row, 4))});
    }
    return page;
}

}  // namespace

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

// Returns whether it upgraded the layout.
bool CreateSchema(PGconn* conn) {
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
        for (auto v = version; v < kSchemaVersion; ++v)
            Run(conn, v < std::ssize(kSchemaSteps) ? kSchemaSteps.at(static_cast<std::size_t>(v))
                      : v == 2                     ? BucketStep().c_str()
                                                   : kDayIndexStep);
        if (version < kSchemaVersion) {
            Run(conn, "DELETE FROM schema_version");
            Run(conn, ("INSERT INTO schema_version (version) VALUES (" + std::to_string(kSchemaVersion) + ")").c_str());
        }
        Run(conn, "COMMIT");
        return version < kSchemaVersion;
    } catch (...) {
        Result(PQexec(conn, "ROLLBACK"));
        throw;
    }
}

// The totals are read in one snapshot, so other servers' posts meanwhile
// cannot make them seem to disagree.
void VerifyCounts(PGconn* conn, bool recount) {
    if (!recount) {
        Run(conn, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
        try {
            const bool agree = Text(Run(conn, CountsAgreeSql().c_str()).get(), 0, 0) == "t";
            Run(conn, "COMMIT");
            if (agree) return;
        } catch (...) {
            Result(PQexec(conn, "ROLLBACK"));
            throw;
        }
    }
    Run(conn, "BEGIN");
    try {
        Run(conn, VerifyCountsSql().c_str());
        Run(conn, "COMMIT");
    } catch (...) {
        Result(PQexec(conn, "ROLLBACK"));
        throw;
    }
}

}  // namespace

PostgresStore::PostgresStore(std::string conninfo, int readers, bool recount)
    : conninfo_(std::move(conninfo)), readers_(std::max(readers, 1)) {
    writer_ = std::make_unique<Connection>(conninfo_);
    PGconn* conn = writer_->Connect();
    VerifyCounts(conn, CreateSchema(conn) || recount);
    // The first server on the database makes the key; every later one reads it.
    const std::string fresh = NewSecret();
    const char* values[] = {fresh.c_str()};
    const Result key(PQexecParams(conn,
                                  "INSERT INTO secrets (name, value) VALUES ('round key', $1) ON CONFLICT DO NOTHING;",
                                  1, nullptr, values, nullptr, nullptr, 0));
    if (!key || PQresultStatus(key.get()) != PGRES_COMMAND_OK)
        throw PgError("round key: " + Message(conn, key.get()), Transient(conn, key.get()), false);
    roundKey_ = Text(Run(conn, "SELECT value FROM secrets WHERE name = 'round key'").get(), 0, 0);
    writer_->Ready();
    StartWriter();
}

PostgresStore::~PostgresStore() { StopWriter(); }

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
    GroupCommitStore::PutAsync(record, std::move(done));
}

TablePage PostgresStore::Read(std::string_view game, int limit, std::int64_t offset) {
    if (!Askable(game)) return {};
    auto c = Borrow();
    const Result r = c->Exec("page", {std::string(game), std::to_string(limit), std::to_string(offset)});
    return PageOf(r.get(), offset);
}

TablePage PostgresStore::ReadDays(std::string_view game, DayRange days, int limit, std::int64_t offset) {
    if (!Askable(game)) return {};
    auto c = Borrow();
    const Result r = c->Exec("days", {std::string(game), std::to_string(days.first), std::to_string(days.last),
                                      std::to_string(limit), std::to_string(offset)});
    return PageOf(r.get(), offset);
}

std::vector<RankedScore> PostgresStore::Table(std::string_view game, int limit, std::int64_t offset) {
    return Read(game, limit, offset).rows;
}

std::int64_t PostgresStore::Count(std::string_view game) { return Read(game, 0, 0).total; }

TablePage PostgresStore::ReadChecked(std::string_view game, Check least, std::optional<DayRange> days, int limit,
                                     std::int64_t offset) {
    if (!Askable(game)) return {};
    const DayRange range = days.value_or(
        DayRange{std::numeric_limits<std::int64_t>::min() / 2, std::numeric_limits<std::int64_t>::max() / 2});
    auto c = Borrow();
    const Result r =
        c->Exec("checked", {std::string(game), std::to_string(static_cast<int>(least)), std::to_string(range.first),
                            std::to_string(range.last), std::to_string(limit), std::to_string(offset)});
    return PageOf(r.get(), offset);
}

std::optional<PutResult> PostgresStore::Find(std::string_view id) {
    if (!Askable(id)) return std::nullopt;
    std::string array = "{\"";
    for (const char ch : id) {
        if (ch == '"' || ch == '\\') array += '\\';
        array += ch;
    }
    array += "\"}";
    auto c = Borrow();
    const Result r = c->Exec("kept", {array});
    if (PQntuples(r.get()) == 0) return std::nullopt;
    return PutResult{
        PutOutcome::AlreadyStored,
        {Text(r.get(), 0, 0), Text(r.get(), 0, 1), Text(r.get(), 0, 2),
         static_cast<std::int32_t>(Integer(r.get(), 0, 3)), Integer(r.get(), 0, 4), CheckOf(Integer(r.get(), 0, 8))},
        Integer(r.get(), 0, 5),
        Integer(r.get(), 0, 6),
        Integer(r.get(), 0, 7)};
}

void PostgresStore::Export(const std::optional<std::string>& game, const std::function<void(const ExportRow&)>& row) {
    if (game && !Askable(*game)) return;
    // A connection of its own, and a cursor read a thousand rows at a time,
    // so that neither this process nor libpq holds the whole table.
    Connection c(conninfo_);
    PGconn* conn = c.Connect();
    std::string where;
    if (game) {
        char* quoted = PQescapeLiteral(conn, game->data(), game->size());
        if (!quoted) throw StoreError("cannot quote the game's name: " + Message(conn, nullptr), false);
        where = std::string(" WHERE game = ") + quoted;
        PQfreemem(quoted);
    }
    Run(conn, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    try {
        Run(conn, ("DECLARE rows NO SCROLL CURSOR FOR SELECT game, name, score, time_ms, id, check_level, round,"
                   " coalesce(round_token, '') FROM scores" +
                   where + " ORDER BY game, score DESC, seq")
                      .c_str());
        ExportRow r;
        for (;;) {
            const Result batch = Run(conn, "FETCH 1000 FROM rows");
            const int n = PQntuples(batch.get());
            for (int i = 0; i < n; ++i) {
                std::string g = Text(batch.get(), i, 0);
                r.rank = g == r.game ? r.rank + 1 : 1;
                r.game = std::move(g);
                r.name = Text(batch.get(), i, 1);
                r.score = static_cast<std::int32_t>(Integer(batch.get(), i, 2));
                r.timeMs = Integer(batch.get(), i, 3);
                r.id = Text(batch.get(), i, 4);
                r.check = CheckOf(Integer(batch.get(), i, 5));
                r.round = FromHexBytea(Text(batch.get(), i, 6));
                r.token = Text(batch.get(), i, 7);
                row(r);
            }
            if (n == 0) break;
        }
        Run(conn, "COMMIT");
    } catch (...) {
        Result(PQexec(conn, "ROLLBACK"));
        throw;
    }
}

std::int64_t PostgresStore::DeleteName(std::string_view name) {
    if (!Askable(name)) return 0;
    Connection c(conninfo_);
    PGconn* conn = c.Connect();
    const std::string text(name);
    const char* values[] = {text.c_str()};
    // One statement: the rows and, by the trigger, their counts go together.
    const Result r(PQexecParams(conn, "DELETE FROM scores WHERE name = $1", 1, nullptr, values, nullptr, nullptr, 0));
    if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK)
        throw PgError("delete: " + Message(conn, r.get()), Transient(conn, r.get()), false);
    return std::stoll(PQcmdTuples(r.get()));
}

namespace {

// Text for COPY's text format: its delimiters and escapes escaped.
void AppendCopyText(std::string& line, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '\\': line += "\\\\"; break;
            case '\t': line += "\\t"; break;
            case '\n': line += "\\n"; break;
            case '\r': line += "\\r"; break;
            default: line += c;
        }
    }
}

// A score as one line of COPY's text format, in Load's column order; an
// empty record or token is NULL, as a put stores them.
void AppendCopyLine(std::string& out, const ScoreRecord& r) {
    static constexpr char kHex[] = "0123456789abcdef";
    AppendCopyText(out, r.id);
    out += '\t';
    AppendCopyText(out, r.game);
    out += '\t';
    AppendCopyText(out, r.name);
    out += '\t' + std::to_string(r.score) + '\t' + std::to_string(r.timeMs) + '\t' +
           std::to_string(static_cast<int>(r.check)) + '\t';
    if (r.round.empty()) {
        out += "\\N";
    } else {
        out += "\\\\x";  // bytea's hex form, its backslash escaped
        for (const char c : r.round) {
            out += kHex[static_cast<unsigned char>(c) >> 4];
            out += kHex[static_cast<unsigned char>(c) & 0xf];
        }
    }
    out += '\t';
    if (r.token.empty())
        out += "\\N";
    else
        AppendCopyText(out, r.token);
    out += '\n';
}

}  // namespace

std::int64_t PostgresStore::Load(const std::function<bool(ScoreRecord&)>& next) {
    Connection c(conninfo_);
    PGconn* conn = c.Connect();
    const auto fail = [conn](const std::string& doing, const PGresult* r) {
        return PgError(doing + ": " + Message(conn, r), Transient(conn, r), false);
    };
    Run(conn, "BEGIN");
    try {
        // No server reads or stores meanwhile, and none has stored before.
        Run(conn, "LOCK TABLE scores IN ACCESS EXCLUSIVE MODE");
        if (Text(Run(conn, "SELECT EXISTS (SELECT 1 FROM scores)").get(), 0, 0) == "t")
            throw StoreError("the database already holds scores", false);
        // Built once from all the rows rather than row by row, which took
        // most of the time: the indexes but the keys', and the counts.
        const Result indexes = Run(conn,
                                   "SELECT format('DROP INDEX %I', indexname), indexdef FROM pg_indexes"
                                   " WHERE schemaname = current_schema() AND tablename = 'scores' AND indexname NOT IN"
                                   " (SELECT conname FROM pg_constraint WHERE conrelid = 'scores'::regclass)");
        for (int i = 0; i < PQntuples(indexes.get()); ++i) Run(conn, PQgetvalue(indexes.get(), i, 0));
        Run(conn, "ALTER TABLE scores DISABLE TRIGGER count_scores");
        // The rows in their order take seq in that order, so ties rank as before.
        const Result copy(PQexec(conn,
                                 "COPY scores (id, game, name, score, time_ms, check_level, round, round_token)"
                                 " FROM STDIN"));
        if (!copy || PQresultStatus(copy.get()) != PGRES_COPY_IN) throw fail("copy", copy.get());
        std::int64_t loaded = 0;
        std::string chunk;
        const auto send = [&] {
            if (PQputCopyData(conn, chunk.data(), static_cast<int>(chunk.size())) != 1) throw fail("copy", nullptr);
            chunk.clear();
        };
        ScoreRecord record;
        try {
            while (next(record)) {
                AppendCopyLine(chunk, record);
                ++loaded;
                if (chunk.size() >= (1 << 20)) send();
            }
            if (!chunk.empty()) send();
        } catch (...) {
            PQputCopyEnd(conn, "the rows stopped coming");
            Result(PQgetResult(conn));
            throw;
        }
        if (PQputCopyEnd(conn, nullptr) != 1) throw fail("copy", nullptr);
        const Result done(PQgetResult(conn));
        if (!done || PQresultStatus(done.get()) != PGRES_COMMAND_OK) throw fail("copy", done.get());
        while (PGresult* more = PQgetResult(conn)) PQclear(more);
        for (int i = 0; i < PQntuples(indexes.get()); ++i) Run(conn, PQgetvalue(indexes.get(), i, 1));
        Run(conn, "ALTER TABLE scores ENABLE TRIGGER count_scores");
        Run(conn, VerifyCountsSql().c_str());
        Run(conn, "COMMIT");
        return loaded;
    } catch (...) {
        Result(PQexec(conn, "ROLLBACK"));
        throw;
    }
}

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
