// The store a test's score table server keeps: a folder for its database,
// the --db that names it (an SQLite file, or a PostgreSQL database standing
// for one), and what is in that database.
#pragma once

#include "ScoreServer.h"
#include "TempFolder.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// A scratch folder for databases: with it go the files in it and the
// PostgreSQL databases that paths in it stood for.
class TableFolder : public TempFolder {
public:
    TableFolder() : TempFolder("scoreboard-test") {}
    ~TableFolder();
    TableFolder(const TableFolder&) = delete;
    TableFolder& operator=(const TableFolder&) = delete;
};

// The store under test. With BARNBLAST_TEST_POSTGRES set (to the socket
// folder of a PostgreSQL that trusts the role "postgres"), each database
// file a test names stands for a PostgreSQL database of its own, made on
// first use and dropped with the TableFolder it is in; otherwise it is the
// SQLite file itself.
bool UsingPostgres();
// The --db value for `db`; under PostgreSQL, the database is made if missing.
std::string DbArgument(const std::filesystem::path& db);
// A PostgreSQL URI for database `name` on the cluster whose socket is in `socketDir`.
std::string PostgresUri(const std::string& socketDir, const std::string& name);
// Runs `sql` on the database `db` stands for, the way any other client of
// that engine would, and returns its rows as text (NULL as "").
std::vector<std::vector<std::string>> Query(const std::filesystem::path& db, const std::string& sql);
// SELECT COUNT(*) FROM scores WHERE `where`.
long long RowsIn(const std::filesystem::path& db, const std::string& where = "1 = 1");
// Returns once no other client's session on the database `db` stands for
// is left (`busyOnly`: none is running a statement or holding a
// transaction, so idle servers may stay). A server killed mid-statement
// leaves its PostgreSQL session running that statement, which may still
// commit; an SQLite writer dies with its process, so there is nothing to
// wait for. False if one outlives `patience`.
bool AwaitServersGone(const std::filesystem::path& db, std::chrono::seconds patience = std::chrono::seconds(30),
                      bool busyOnly = false);

}  // namespace testsupport
