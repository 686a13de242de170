#include "ScoreTable.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

const char* PostgresSocketDir() {
    const char* dir = std::getenv("BARNBLAST_TEST_POSTGRES");
    return dir && *dir ? dir : nullptr;
}

struct PgConnDeleter {
    void operator()(PGconn* c) const { PQfinish(c); }
};
using PgConn = std::unique_ptr<PGconn, PgConnDeleter>;
struct PgResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;

PgConn PgConnect(const std::string& name) {
    PgConn c(PQconnectdb(PostgresUri(PostgresSocketDir(), name).c_str()));
    if (PQstatus(c.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to the test PostgreSQL: " + std::string(PQerrorMessage(c.get())));
    PQsetNoticeProcessor(
        c.get(), [](void*, const char*) {}, nullptr);
    return c;
}

PgResult PgRun(PGconn* c, const std::string& sql) {
    PgResult r(PQexec(c, sql.c_str()));
    const auto status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error(sql + ": " + PQresultErrorMessage(r.get()));
    return r;
}

// A database name for a path: the paths of distinct TableFolders never meet.
std::string DatabaseFor(const std::filesystem::path& db) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "t_%016zx", std::hash<std::string>{}(db.lexically_normal().string()));
    return buf;
}

// The databases made for paths in each TableFolder, to drop with it.
std::mutex madeMutex;
std::vector<std::pair<std::filesystem::path, std::string>> made;

}  // namespace

TableFolder::~TableFolder() {
    std::vector<std::string> drop;
    {
        std::lock_guard lock(madeMutex);
        std::erase_if(made, [&](const auto& entry) {
            const bool inside = entry.first.parent_path() == path();
            if (inside) drop.push_back(entry.second);
            return inside;
        });
    }
    if (!drop.empty()) {
        try {
            const PgConn c = PgConnect("postgres");
            for (const auto& name : drop) PgRun(c.get(), "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
        } catch (const std::exception&) {
            // The cluster goes at the end of the run anyway.
        }
    }
}

bool UsingPostgres() { return PostgresSocketDir() != nullptr; }

std::string PostgresUri(const std::string& socketDir, const std::string& name) {
    return "postgresql:///" + name + "?host=" + socketDir + "&user=postgres";
}

std::string DbArgument(const std::filesystem::path& db) {
    if (!UsingPostgres()) return db.string();
    const std::string name = DatabaseFor(db);
    {
        std::lock_guard lock(madeMutex);
        for (const auto& entry : made)
            if (entry.second == name) return PostgresUri(PostgresSocketDir(), name);
    }
    const PgConn c = PgConnect("postgres");
    PgResult r(PQexec(c.get(), ("CREATE DATABASE " + name).c_str()));
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
        const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
        if (!state || std::string_view(state) != "42P04")  // it exists: a path named again
            throw std::runtime_error("CREATE DATABASE " + name + ": " + PQresultErrorMessage(r.get()));
    }
    std::lock_guard lock(madeMutex);
    made.emplace_back(db.lexically_normal(), name);
    return PostgresUri(PostgresSocketDir(), name);
}

std::vector<std::vector<std::string>> Query(const std::filesystem::path& db, const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    if (UsingPostgres()) {
        const PgConn c = PgConnect(DatabaseFor(db));
        const PgResult r = PgRun(c.get(), sql);
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            auto& row = rows.emplace_back();
            for (int j = 0; j < PQnfields(r.get()); ++j) row.emplace_back(PQgetvalue(r.get(), i, j));
        }
        return rows;
    }
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(h);
        throw std::runtime_error("cannot open " + db.string());
    }
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        const std::string what = sql + ": " + sqlite3_errmsg(h);
        sqlite3_close(h);
        throw std::runtime_error(what);
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
        auto& row = rows.emplace_back();
        for (int j = 0; j < sqlite3_column_count(st); ++j) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, j));
            row.emplace_back(text ? text : "");
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return rows;
}

long long RowsIn(const std::filesystem::path& db, const std::string& where) {
    const auto rows = Query(db, "SELECT COUNT(*) FROM scores WHERE " + where);
    return rows.empty() ? -1 : std::stoll(rows.front().front());
}

bool AwaitServersGone(const std::filesystem::path& db, std::chrono::seconds patience, bool busyOnly) {
    if (!UsingPostgres()) return true;
    const auto until = std::chrono::steady_clock::now() + patience;
    const std::string left = std::string(
                                 "SELECT COUNT(*) FROM pg_stat_activity WHERE datname = current_database()"
                                 " AND backend_type = 'client backend' AND pid <> pg_backend_pid()") +
                             (busyOnly ? " AND state IS DISTINCT FROM 'idle'" : "");
    while (Query(db, left).front().front() != "0") {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace testsupport
