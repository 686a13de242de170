#include "Backup.h"

#include "StoreFactory.h"
#include "store/Schema.h"
#include "store/postgres/PostgresStore.h"

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>

namespace scoreboard {
namespace {

using Db = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

Db Open(const std::string& path, int flags) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    Db db(raw, &sqlite3_close);
    if (rc != SQLITE_OK)
        throw std::runtime_error("cannot open " + path + ": " + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
    sqlite3_busy_timeout(raw, 5000);
    return db;
}

void Exec(sqlite3* db, const char* sql, const std::string& what) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string reason = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw std::runtime_error(what + ": " + reason);
    }
}

// The scores of a copy, read in the order they were first stored.
class CopyReader {
public:
    explicit CopyReader(const std::string& file) : db_(Open(file, SQLITE_OPEN_READONLY)) {
        sqlite3_stmt* version = nullptr;
        sqlite3_prepare_v2(db_.get(), "PRAGMA user_version", -1, &version, nullptr);
        const int layout = sqlite3_step(version) == SQLITE_ROW ? sqlite3_column_int(version, 0) : -1;
        sqlite3_finalize(version);
        if (layout < 1 || layout > kSchemaVersion)
            throw std::runtime_error(file + " is not a score table's backup that this version can read");
        // From layout 3 on, how far each score was checked goes with it, or a
        // restored table would show its checked rounds as unchecked.
        checks_ = layout >= 3;
        const char* sql = checks_ ? "SELECT id, game, name, score, time_ms, check_level, round, round_token FROM scores"
                                    " ORDER BY seq"
                                  : "SELECT id, game, name, score, time_ms FROM scores ORDER BY seq";
        if (sqlite3_prepare_v2(db_.get(), sql, -1, &rows_, nullptr) != SQLITE_OK)
            throw std::runtime_error(file + " is not a score table's backup: " + sqlite3_errmsg(db_.get()));
    }
    ~CopyReader() { sqlite3_finalize(rows_); }
    CopyReader(const CopyReader&) = delete;
    CopyReader& operator=(const CopyReader&) = delete;

    bool Next(ScoreRecord& r) {
        const int rc = sqlite3_step(rows_);
        if (rc == SQLITE_DONE) return false;
        if (rc != SQLITE_ROW) throw std::runtime_error(std::string("reading the backup: ") + sqlite3_errmsg(db_.get()));
        const auto text = [&](int column) {
            return std::string(reinterpret_cast<const char*>(sqlite3_column_text(rows_, column)),  // NOLINT
                               static_cast<std::size_t>(sqlite3_column_bytes(rows_, column)));
        };
        r.id = text(0);
        r.game = text(1);
        r.name = text(2);
        r.score = sqlite3_column_int(rows_, 3);
        r.timeMs = sqlite3_column_int64(rows_, 4);
        if (checks_) {
            const int level = sqlite3_column_int(rows_, 5);
            r.check = level == 1 ? Check::Replayed : level == 2 ? Check::Verified : Check::Unverified;
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(rows_, 6));
            r.round = bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(rows_, 6))) : "";
            r.token = sqlite3_column_type(rows_, 7) == SQLITE_NULL ? std::string() : text(7);
        }
        return true;
    }

private:
    Db db_;
    sqlite3_stmt* rows_ = nullptr;
    bool checks_ = false;
};

// The pages of `from` into `to`, in one step: `to` becomes a copy of it.
void CopyPages(sqlite3* from, sqlite3* to, const std::string& what) {
    sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
    if (!backup) throw std::runtime_error(what + ": " + sqlite3_errmsg(to));
    int rc = SQLITE_OK;
    while ((rc = sqlite3_backup_step(backup, -1)) == SQLITE_BUSY || rc == SQLITE_LOCKED)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) throw std::runtime_error(what + ": " + sqlite3_errstr(rc));
}

}  // namespace

void BackUp(const std::string& db, const std::string& file) {
    if (NamesPostgres(db))
        throw std::runtime_error(
            "--backup copies an SQLite database; back up PostgreSQL with pg_dump (see the manual)");
    if (!std::filesystem::exists(db))
        throw std::runtime_error("there is no database at " + db + "; name the server's database with --db");
    if (std::filesystem::exists(file)) throw std::runtime_error(file + " already exists; name a new file");
    // Written beside the target and renamed once whole, so that a copy
    // under the name is never half one.
    const std::string part = file + ".part";
    std::filesystem::remove(part);
    try {
        const Db source = Open(db, SQLITE_OPEN_READWRITE);
        {
            const Db copy = Open(part, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            // All pages in one step, inside one read transaction: in WAL mode
            // the writer goes on meanwhile, and the copy is as of its start.
            CopyPages(source.get(), copy.get(), "copying");
            // One self-contained file, without a -wal beside it.
            Exec(copy.get(), "PRAGMA journal_mode = DELETE", "finishing the copy");
        }
        std::filesystem::rename(part, file);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(part, ignored);
        throw;
    }
}

long long Restore(const std::string& file, const std::string& db) {
    if (!std::filesystem::exists(file)) throw std::runtime_error("there is no backup at " + file);
    CopyReader reader(file);
    const auto refuseFull = [&](ScoreStore& store) {
        if (!store.Games().empty())
            throw std::runtime_error("the database " + (NamesPostgres(db) ? std::string("of --db") : db) +
                                     " already holds scores; restore only into an empty one (a new file or a new "
                                     "PostgreSQL database)");
    };
    if (!NamesPostgres(db)) {
        // An SQLite file becomes a page-for-page copy of the backup; a start
        // then brings its layout up to this version and takes its counts.
        if (std::filesystem::exists(db)) refuseFull(*OpenStore(db, 1));
        {
            const Db target = Open(db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            const Db copy = Open(file, SQLITE_OPEN_READONLY);
            CopyPages(copy.get(), target.get(), "restoring");
        }
        (void)OpenStore(db, 1);
        const Db target = Open(db, SQLITE_OPEN_READONLY);
        sqlite3_stmt* count = nullptr;
        sqlite3_prepare_v2(target.get(), "SELECT COUNT(*) FROM scores", -1, &count, nullptr);
        const long long loaded = sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int64(count, 0) : 0;
        sqlite3_finalize(count);
        return loaded;
    }
    // In bulk, in one transaction: through the store's puts, each ranked
    // as it was stored, it took ten times as long.
    PostgresStore store(db, 1);
    refuseFull(store);
    return store.Load([&](ScoreRecord& record) { return reader.Next(record); });
}

}  // namespace scoreboard
