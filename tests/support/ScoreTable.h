// Test support: the real server with a database of its own, what is in that
// database, and small HTTP clients to talk to the server.
#pragma once

#include "ScoreServer.h"

#include <boost/beast/http.hpp>
#include <boost/json.hpp>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace scoreboard_test {

namespace http = boost::beast::http;
using Reply = http::response<http::string_body>;

// A fresh directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The store under test. With BARNBLAST_TEST_POSTGRES set (to the socket
// folder of a PostgreSQL that trusts the role "postgres"), each database
// file a test names stands for a PostgreSQL database of its own, made on
// first use and dropped with the TempDir it is in; otherwise it is the
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

// The server (see ScoreServer) with its store as DbArgument takes `db`, or
// with --db exactly as given.
class ServerProcess : public testsupport::ScoreServer {
public:
    explicit ServerProcess(const std::filesystem::path& db, std::vector<std::string> extraArgs = {})
        : ScoreServer(DbArgument(db), std::move(extraArgs)) {}
    ServerProcess(const std::string& dbArgument, std::vector<std::string> extraArgs)
        : ScoreServer(dbArgument, std::move(extraArgs)) {}
};

// One request on a fresh connection. Bounded: a silent server fails the
// call rather than hanging the test.
Reply Request(unsigned short port, http::verb method, const std::string& target, const std::string& body = {},
              const std::vector<std::pair<std::string, std::string>>& headers = {});

Reply PostJson(unsigned short port, const std::string& body,
               const std::vector<std::pair<std::string, std::string>>& headers = {});
Reply PostScore(unsigned short port, const std::string& game, long long score, const std::string& name,
                const std::string& id);
Reply Get(unsigned short port, const std::string& target);
boost::json::value JsonOf(const Reply& reply);

// The same from another loopback address (127.x.y.z), as another client.
Reply RequestFrom(const std::string& source, unsigned short port, http::verb method, const std::string& target);

// A connected socket to the server, with 10 s send and receive timeouts;
// from `source` when given (a 127.x address).
int ConnectLoopback(unsigned short port, const char* source = nullptr);

// Sends raw bytes (then half-closes unless keep_open) and returns all that
// comes back until the server closes or a few seconds pass.
std::string RawExchange(unsigned short port, const std::string& bytes, bool halfClose = true);

// A well-formed UUID made from n, for many distinct ids.
std::string Uuid(unsigned long long n);

}  // namespace scoreboard_test
