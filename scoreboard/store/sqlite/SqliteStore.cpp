#include "store/sqlite/SqliteStore.h"

#include "store/sqlite/SqliteDb.h"

#include "store/Buckets.h"
#include "store/Schema.h"
#include "store/Secret.h"

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <utility>

namespace scoreboard {
using namespace sqlite;

namespace {

// The rows of each game at each bucket of scores (Buckets.h), of all time
// and of each day (UTC), kept by triggers in the insert's transaction.
std::string BucketSchema() {
    std::string sql =
        "CREATE TABLE IF NOT EXISTS score_buckets (game TEXT NOT NULL, level INTEGER NOT NULL,"
        " bucket INTEGER NOT NULL, n INTEGER NOT NULL, PRIMARY KEY (game, level, bucket)) WITHOUT ROWID;"
        "CREATE TABLE IF NOT EXISTS day_buckets (game TEXT NOT NULL, day INTEGER NOT NULL, level INTEGER NOT NULL,"
        " bucket INTEGER NOT NULL, n INTEGER NOT NULL, PRIMARY KEY (game, day, level, bucket)) WITHOUT ROWID;";
    std::string all = " INSERT INTO score_buckets (game, level, bucket, n) VALUES ";
    std::string day = " INSERT INTO day_buckets (game, day, level, bucket, n) VALUES ";
    std::string uncount;
    for (int level = 0; level < kBucketLevels; ++level) {
        const std::string l = std::to_string(level);
        const std::string b = "(NEW.score >> " + std::to_string(kBucketBits * level) + ")";
        const std::string old = "game = OLD.game AND level = " + l + " AND bucket = (OLD.score >> " +
                                std::to_string(kBucketBits * level) + ")";
        const std::string oldDay = old + " AND day = OLD.time_ms / 86400000";
        all += (level ? ", (NEW.game, " : "(NEW.game, ") + l + ", " + b + ", 1)";
        day += (level ? ", (NEW.game, NEW.time_ms / 86400000, " : "(NEW.game, NEW.time_ms / 86400000, ") + l + ", " +
               b + ", 1)";
        uncount += " UPDATE score_buckets SET n = n - 1 WHERE " + old + "; DELETE FROM score_buckets WHERE " + old +
                   " AND n <= 0; UPDATE day_buckets SET n = n - 1 WHERE " + oldDay +
                   "; DELETE FROM day_buckets WHERE " + oldDay + " AND n <= 0;";
    }
    sql += "CREATE TRIGGER IF NOT EXISTS count_buckets AFTER INSERT ON scores BEGIN" + all +
           " ON CONFLICT (game, level, bucket) DO UPDATE SET n = n + 1;" + day +
           " ON CONFLICT (game, day, level, bucket) DO UPDATE SET n = n + 1; END;";
    sql += "CREATE TRIGGER IF NOT EXISTS uncount_buckets AFTER DELETE ON scores BEGIN" + uncount + " END;";
    return sql;
}

// SQL: fills temp table `fresh` like `table` (keyed by `key`, then level
// and bucket) from the rows, the finer levels first, each from the one below.
std::string FreshBucketsSql(const std::string& table, const std::string& fresh, const std::string& key,
                            const std::string& keyOfRow) {
    std::string sql = "CREATE TEMP TABLE " + fresh + " AS SELECT * FROM " + table +
                      " WHERE 0;"
                      "CREATE UNIQUE INDEX temp." +
                      fresh + "_key ON " + fresh + " (" + key +
                      ", level, bucket);"
                      "INSERT INTO " +
                      fresh + " SELECT " + keyOfRow + ", 0, score, count(*) FROM scores GROUP BY " + keyOfRow +
                      ", score;";
    for (int level = 1; level < kBucketLevels; ++level)
        sql += "INSERT INTO " + fresh + " SELECT " + key + ", " + std::to_string(level) + ", bucket >> " +
               std::to_string(kBucketBits) + ", sum(n) FROM " + fresh + " WHERE level = " + std::to_string(level - 1) +
               " GROUP BY " + key + ", bucket >> " + std::to_string(kBucketBits) + ";";
    // Only the counts that differ are rewritten.
    std::string same;
    for (const char* c : {"level", "bucket", "n"}) same += std::string(" AND f.") + c + " = t." + c;
    std::string keySame;
    std::string pos = key;
    for (std::size_t at = 0; at != std::string::npos;) {
        const auto comma = pos.find(", ", at);
        const std::string col = pos.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        keySame += " AND f." + col + " = t." + col;
        at = comma == std::string::npos ? comma : comma + 2;
    }
    sql += "DELETE FROM " + table + " AS t WHERE NOT EXISTS (SELECT 1 FROM " + fresh + " f WHERE 1" + keySame + same +
           ");";
    sql += "INSERT INTO " + table + " SELECT * FROM " + fresh + " f WHERE NOT EXISTS (SELECT 1 FROM " + table +
           " t WHERE 1" + keySame + " AND f.level = t.level AND f.bucket = t.bucket);";
    return sql;
}

// Lays the file out at this version; true when it was at one whose counts
// are not this version's (or new).
bool CreateSchema(sqlite3* db, const std::string& path) {
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

    if (version < 4) Exec(db, "DROP INDEX IF EXISTS scores_by_day");
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
         " END;"
         "CREATE TRIGGER IF NOT EXISTS uncount_score AFTER DELETE ON scores BEGIN"
         " UPDATE games SET scores = scores - 1 WHERE game = OLD.game;"
         " DELETE FROM games WHERE game = OLD.game AND scores <= 0;"
         " END;"
         // time_ms last: a count of a day's equal rows reads the index alone.
         "CREATE INDEX IF NOT EXISTS scores_by_day ON scores (game, time_ms / 86400000, score DESC, seq, time_ms);"
         "CREATE TABLE IF NOT EXISTS secrets (name TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;");
    // Version 2 counted each score alone, so a rank read one count for each
    // higher score; its counts give way to the buckets, filled from the rows
    // by VerifyCounts.
    if (version < 3)
        Exec(db,
             "DROP TRIGGER IF EXISTS count_score_value; DROP TRIGGER IF EXISTS count_score_day;"
             "DROP TRIGGER IF EXISTS uncount_score; DROP TABLE IF EXISTS score_counts; DROP TABLE IF EXISTS day_counts;"
             "CREATE TRIGGER uncount_score AFTER DELETE ON scores BEGIN"
             " UPDATE games SET scores = scores - 1 WHERE game = OLD.game;"
             " DELETE FROM games WHERE game = OLD.game AND scores <= 0;"
             " END;");
    Exec(db, BucketSchema().c_str());
    // Version 3's columns: a file from before gets them, its rows unverified.
    bool checked = false;
    rc = sqlite3_prepare_v2(db, "SELECT 1 FROM pragma_table_info('scores') WHERE name = 'check_level'", -1, &st,
                            nullptr);
    if (rc != SQLITE_OK) Fail(db, rc, "table_info");
    checked = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    if (!checked)
        Exec(db,
             "ALTER TABLE scores ADD COLUMN check_level INTEGER NOT NULL DEFAULT 0;"
             "ALTER TABLE scores ADD COLUMN round BLOB;"
             "ALTER TABLE scores ADD COLUMN round_token TEXT;");
    Exec(db,
         "CREATE UNIQUE INDEX IF NOT EXISTS scores_by_token ON scores (round_token) WHERE round_token IS NOT NULL;"
         "CREATE INDEX IF NOT EXISTS scores_checked ON scores (game, score DESC, seq) WHERE check_level >= 1;");
    if (version < kSchemaVersion) Exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    return version < 3;
}

// Whether the counts agree with the rows as far as their totals tell: the
// rows against the games' counts, and each game's against the top level of
// its buckets, of all time and of each day (at most 256 counts a day). The
// triggers keep them together in each transaction, so they part only when
// rows came or went with the triggers dropped, or counts were edited by
// hand; a hand edit that keeps every total escapes this (--recount).
// Counts the rows along an index; reads 2 million in about 0.1 s.
bool CountsAgree(sqlite3* db) {
    std::map<std::string, std::int64_t> games;
    std::int64_t total = 0;
    {
        Statement st(db, "SELECT game, scores FROM games");
        Use q(st);
        while (q.Step()) total += games[q.Text(0)] = q.Integer(1);
    }
    {
        Statement st(db, "SELECT count(*) FROM scores");
        Use q(st);
        if (!q.Step() || q.Integer(0) != total) return false;
    }
    const std::string top = std::to_string(kBucketLevels - 1);
    // Each table's games (and days) one index seek at a time.
    const auto agree = [&](const std::string& table, const std::string& key) {
        std::map<std::string, std::int64_t> sums;
        const bool days = key != "game";
        Statement first(db, ("SELECT " + key + " FROM " + table + " ORDER BY " + key + " LIMIT 1").c_str());
        Statement next(db, ("SELECT " + key + " FROM " + table + " WHERE (" + key + ") > (?1" + (days ? ", ?2" : "") +
                            ") ORDER BY " + key + " LIMIT 1")
                               .c_str());
        Statement sum(db, ("SELECT coalesce(sum(n), 0) FROM " + table + " WHERE game = ?1" +
                           (days ? " AND day = ?2" : "") + " AND level = " + top)
                              .c_str());
        std::string game;
        std::int64_t day = 0;
        for (Statement* at = &first;; at = &next) {
            {
                Use q(*at);
                if (at == &next) {
                    q.Bind(1, game);
                    if (days) q.Bind(2, day);
                }
                if (!q.Step()) break;
                game = q.Text(0);
                if (days) day = q.Integer(1);
            }
            Use q(sum);
            q.Bind(1, game);
            if (days) q.Bind(2, day);
            if (q.Step()) sums[game] += q.Integer(0);
        }
        std::erase_if(sums, [](const auto& s) { return s.second == 0; });
        return sums == games;
    };
    return agree("score_buckets", "game") && agree("day_buckets", "game, day");
}

// Rows that reached the file without the triggers (another program, a file
// from before the counts) count once the server starts: when the counts are
// another layout's, or disagree with the rows (CountsAgree), or `recount`
// asks, they are taken afresh from the rows and only those that differ
// rewritten. That reads every row: about 30 s for 2 million.
void VerifyCounts(sqlite3* db, bool recount) {
    Exec(db, "BEGIN IMMEDIATE");
    try {
        if (!recount && CountsAgree(db)) {
            Exec(db, "COMMIT");
            return;
        }
        Exec(db, (FreshBucketsSql("score_buckets", "fresh_buckets", "game", "game") +
                  FreshBucketsSql("day_buckets", "fresh_days", "game, day", "game, time_ms / 86400000") +
                  "CREATE TEMP TABLE fresh_games (game TEXT PRIMARY KEY, scores INTEGER) WITHOUT ROWID;"
                  "INSERT INTO fresh_games SELECT game, sum(n) FROM fresh_buckets WHERE level = 0 GROUP BY game;"
                  "DELETE FROM games WHERE NOT EXISTS (SELECT 1 FROM fresh_games f"
                  " WHERE f.game = games.game AND f.scores = games.scores);"
                  "INSERT INTO games (game, scores) SELECT game, scores FROM fresh_games f"
                  " WHERE NOT EXISTS (SELECT 1 FROM games g WHERE g.game = f.game);"
                  "DROP TABLE fresh_buckets; DROP TABLE fresh_days; DROP TABLE fresh_games;"
                  "COMMIT")
                     .c_str());
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace

SqliteStore::SqliteStore(const std::string& path, bool recount) : path_(path) {
    writer_ = std::make_unique<Connection>(path);
    const bool upgraded = CreateSchema(writer_->db, path);
    VerifyCounts(writer_->db, recount || upgraded);
    // For a player's best rows; an existing file gets it on its next start.
    Exec(writer_->db, "CREATE INDEX IF NOT EXISTS scores_by_name ON scores (name, game, score DESC, seq)");
    {
        // The first server on the file makes the key; every later one reads it.
        Statement& keep = writer_->Prepare("INSERT OR IGNORE INTO secrets (name, value) VALUES ('round key', ?1)");
        const std::string fresh = NewSecret();
        Use made(keep);
        made.Bind(1, fresh).Step();
        Statement& read = writer_->Prepare("SELECT value FROM secrets WHERE name = 'round key'");
        Use q(read);
        if (q.Step()) roundKey_ = q.Text(0);
    }
    // A used round token is a conflict too: nothing is stored, and the id is
    // not found (TokenUsed).
    writer_->insert = &writer_->Prepare(
        "INSERT INTO scores (id, game, name, score, time_ms, check_level, round, round_token)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, nullif(?8, '')) ON CONFLICT DO NOTHING");
    writer_->find = &writer_->Prepare("SELECT game, name, score, time_ms, seq, check_level FROM scores WHERE id = ?1");
    writer_->PrepareReads();
    writer_->dataVersion = &writer_->Prepare("PRAGMA data_version");
    {
        Use q(*writer_->dataVersion);
        dataVersion_ = q.Step() ? q.Integer(0) : 0;
    }
    readers_.push_back(OpenReader());
    StartWriter(kOutsideCheck);
}

SqliteStore::~SqliteStore() { StopWriter(); }

bool SqliteStore::WatchCommits(CommitWatcher watcher) {
    watcher_ = std::move(watcher);
    return true;
}

std::unique_ptr<SqliteStore::Connection> SqliteStore::OpenReader() const {
    auto c = std::make_unique<Connection>(path_);
    c->PrepareReads();
    return c;
}

namespace {

// (bucket, rows) of one level under one parent, best first.
using Buckets = std::vector<std::pair<std::int64_t, std::int64_t>>;

// Walks the buckets from the top level down to the score holding rank
// `offset` + 1: that score, and how many rows come before its first.
// `children(level, first, last)` gives a level's buckets in that range.
template <typename Children>
bool FindStart(Children&& children, std::int64_t offset, std::int64_t& score, std::int64_t& above) {
    std::int64_t first = kAnyBucketFrom;
    std::int64_t last = kAnyBucketTo;
    for (int level = kBucketLevels - 1; level >= 0; --level) {
        bool found = false;
        for (const auto& [bucket, n] : children(level, first, last)) {
            if (above + n > offset) {
                first = FirstChild(bucket);
                last = LastChild(bucket);
                score = bucket;
                found = true;
                break;
            }
            above += n;
        }
        if (!found) return false;
    }
    return true;
}

Buckets ReadBuckets(Use& q) {
    Buckets rows;
    while (q.Step()) rows.emplace_back(q.Integer(0), q.Integer(1));
    return rows;
}

}  // namespace

TablePage SqliteStore::ReadWith(Connection& c, std::string_view game, int limit, std::int64_t offset) {
    TablePage page;
    ReadTransaction tx(c.db);
    {
        Use q(*c.count);
        q.Bind(1, game);
        page.total = q.Step() ? q.Integer(0) : 0;
    }
    if (limit <= 0 || offset >= page.total) return page;
    // The score the page starts at, and how many rows of it come before.
    std::int64_t above = 0;
    std::int64_t first = 0;
    const auto children = [&](int level, std::int64_t from, std::int64_t to) {
        Use q(*c.children);
        q.Bind(1, game).Bind(2, std::int64_t{level}).Bind(3, from).Bind(4, to);
        return ReadBuckets(q);
    };
    if (!FindStart(children, offset, first, above)) return page;
    std::int64_t fromSeq = 0;
    {
        Use q(*c.seqAt);
        q.Bind(1, game).Bind(2, first).Bind(3, offset - above);
        if (!q.Step()) return page;
        fromSeq = q.Integer(0);
    }
    std::int64_t rank = offset;
    const auto take = [&](Use& q) {
        while (q.Step())
            page.rows.push_back(
                {++rank, q.Text(0), static_cast<std::int32_t>(q.Integer(1)), q.Integer(2), CheckOf(q.Integer(3))});
    };
    {
        Use q(*c.equalFrom);
        q.Bind(1, game).Bind(2, first).Bind(3, fromSeq).Bind(4, std::int64_t{limit});
        take(q);
    }
    const auto left = static_cast<std::int64_t>(limit) - std::ssize(page.rows);
    if (left > 0) {
        Use q(*c.below);
        q.Bind(1, game).Bind(2, first).Bind(3, left);
        take(q);
    }
    return page;
}

TablePage SqliteStore::ReadDaysWith(Connection& c, std::string_view game, DayRange days, int limit,
                                    std::int64_t offset) {
    TablePage page;
    ReadTransaction tx(c.db);
    for (auto day = days.first; day <= days.last; ++day) {
        Use q(*c.dayTotal);
        q.Bind(1, game).Bind(2, day);
        if (q.Step()) page.total += q.Integer(0);
    }
    if (limit <= 0 || offset >= page.total) return page;
    std::int64_t above = 0;
    std::int64_t first = 0;
    // The days' buckets summed, each day one range of its own.
    const auto children = [&](int level, std::int64_t from, std::int64_t to) {
        std::map<std::int64_t, std::int64_t, std::greater<>> sum;
        for (auto day = days.first; day <= days.last; ++day) {
            Use q(*c.dayChildren);
            q.Bind(1, game).Bind(2, std::int64_t{level}).Bind(3, from).Bind(4, to).Bind(5, day);
            while (q.Step()) sum[q.Integer(0)] += q.Integer(1);
        }
        return Buckets(sum.begin(), sum.end());
    };
    if (!FindStart(children, offset, first, above)) return page;
    struct Row {
        RankedScore row;
        std::int64_t seq;
    };
    // Each day's rows in rank order, at most as many as may be needed; then
    // merged. The rows of the page's first score come first, the skipped
    // ones of them dropped.
    const auto gather = [&](Statement& st, std::int64_t most) {
        std::vector<Row> rows;
        for (auto day = days.first; day <= days.last; ++day) {
            Use q(st);
            q.Bind(1, game).Bind(2, day).Bind(3, first).Bind(4, most);
            while (q.Step())
                rows.push_back(
                    {{0, q.Text(0), static_cast<std::int32_t>(q.Integer(1)), q.Integer(2), CheckOf(q.Integer(4))},
                     q.Integer(3)});
        }
        std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
            return a.row.score != b.row.score ? a.row.score > b.row.score : a.seq < b.seq;
        });
        return rows;
    };
    const std::int64_t skip = offset - above;
    auto equal = gather(*c.dayEqual, skip + limit);
    std::int64_t rank = offset;
    for (auto i = static_cast<std::size_t>(skip); i < equal.size() && std::ssize(page.rows) < limit; ++i) {
        equal[i].row.rank = ++rank;
        page.rows.push_back(std::move(equal[i].row));
    }
    const auto left = static_cast<std::int64_t>(limit) - std::ssize(page.rows);
    if (left > 0) {
        auto below = gather(*c.dayBelow, left);
        for (std::size_t i = 0; i < below.size() && std::ssize(page.rows) < limit; ++i) {
            below[i].row.rank = ++rank;
            page.rows.push_back(std::move(below[i].row));
        }
    }
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

TablePage SqliteStore::ReadDays(std::string_view game, DayRange days, int limit, std::int64_t offset) {
    return WithReader([&](Connection& c) { return ReadDaysWith(c, game, days, limit, offset); });
}

TablePage SqliteStore::ReadChecked(std::string_view game, Check least, std::optional<DayRange> days, int limit,
                                   std::int64_t offset) {
    const DayRange range = days.value_or(
        DayRange{std::numeric_limits<std::int64_t>::min() / 2, std::numeric_limits<std::int64_t>::max() / 2});
    const auto level = static_cast<std::int64_t>(least);
    return WithReader([&](Connection& c) {
        TablePage page;
        ReadTransaction tx(c.db);
        {
            Use q(*c.checkedTotal);
            q.Bind(1, game).Bind(2, level).Bind(3, range.first).Bind(4, range.last);
            page.total = q.Step() ? q.Integer(0) : 0;
        }
        if (limit <= 0 || offset >= page.total) return page;
        Use q(*c.checkedRows);
        q.Bind(1, game).Bind(2, level).Bind(3, range.first).Bind(4, range.last);
        q.Bind(5, std::int64_t{limit}).Bind(6, offset);
        std::int64_t rank = offset;
        while (q.Step())
            page.rows.push_back(
                {++rank, q.Text(0), static_cast<std::int32_t>(q.Integer(1)), q.Integer(2), CheckOf(q.Integer(3))});
        return page;
    });
}

std::optional<PutResult> SqliteStore::Find(std::string_view id) {
    return WithReader([&](Connection& c) -> std::optional<PutResult> {
        ReadTransaction tx(c.db);
        PutResult found{PutOutcome::AlreadyStored, {std::string(id), "", "", 0, 0}};
        std::int64_t seq = 0;
        {
            Use q(*c.byId);
            q.Bind(1, id);
            if (!q.Step()) return std::nullopt;
            found.kept.game = q.Text(0);
            found.kept.name = q.Text(1);
            found.kept.score = static_cast<std::int32_t>(q.Integer(2));
            found.kept.timeMs = q.Integer(3);
            seq = q.Integer(4);
            found.kept.check = CheckOf(q.Integer(5));
        }
        const ScoreRecord& r = found.kept;
        const std::int64_t day = DayOf(r.timeMs);
        found.rank = RankOf(c, r.game, r.score, seq);
        found.weekRank = RankInDays(c, r.game, WeekOf(day), r.score, seq, false);
        found.dayRank = RankInDays(c, r.game, DayOnly(day), r.score, seq, false);
        return found;
    });
}

void SqliteStore::Export(const std::optional<std::string>& game, const std::function<void(const ExportRow&)>& row) {
    // A connection of its own: an export may take long, and holds its snapshot.
    const auto c = OpenReader();
    Statement& st =
        c->Prepare(game ? "SELECT game, name, score, time_ms, id, check_level, round, round_token FROM scores"
                          " WHERE game = ?1 ORDER BY game, score DESC, seq"
                        : "SELECT game, name, score, time_ms, id, check_level, round, round_token FROM scores"
                          " ORDER BY game, score DESC, seq");
    ReadTransaction tx(c->db);
    Use q(st);
    if (game) q.Bind(1, *game);
    ExportRow r;
    while (q.Step()) {
        std::string g = q.Text(0);
        r.rank = g == r.game ? r.rank + 1 : 1;
        r.game = std::move(g);
        r.name = q.Text(1);
        r.score = static_cast<std::int32_t>(q.Integer(2));
        r.timeMs = q.Integer(3);
        r.id = q.Text(4);
        r.check = CheckOf(q.Integer(5));
        r.round = q.Blob(6);
        r.token = q.Text(7);
        row(r);
    }
}

std::int64_t SqliteStore::DeleteName(std::string_view name) {
    // Beside the writer, as another program would: a server on the same file
    // notices when its writer next wakes (Woken), this store's own included.
    Connection c(path_);
    Statement& del = c.Prepare("DELETE FROM scores WHERE name = ?1");
    Exec(c.db, "BEGIN IMMEDIATE");
    try {
        {
            Use q(del);
            q.Bind(1, name);
            q.Step();
        }
        const std::int64_t deleted = sqlite3_changes(c.db);
        Exec(c.db, "COMMIT");
        return deleted;
    } catch (...) {
        sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
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
            bests[i].rank = RankOf(c, bests[i].game, bests[i].score, seqs[i]);
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
