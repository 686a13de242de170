// What an operator runs the server with: its probes, its log, its start
// under systemd, its configuration file, its backups.
#include "NginxServer.h"
#include "PrometheusServer.h"
#include "ScopedEnvironment.h"
#include "ScoreTable.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

using namespace testsupport;
namespace json = boost::json;

namespace {

int Lines(const std::string& text, const std::string& part) {
    int n = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) n += line.find(part) != std::string::npos;
    return n;
}

// A datagram socket standing for the service manager, at a path or, for
// a name starting with '@', in the abstract namespace.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& name) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, name.data(), name.size());
        if (name[0] == '@') addr.sun_path[0] = '\0';
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        // NOLINTNEXTLINE(*-reinterpret-cast)
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), length) != 0)
            throw std::runtime_error("cannot bind " + name);
        const timeval patience{.tv_sec = 30, .tv_usec = 0};  // only so as not to hang
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    }
    ~NotifySocket() { ::close(fd_); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // The next datagram; "" if none comes.
    std::string Next() {
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

private:
    int fd_;
};

// Runs the server's program with `args` (shell words, quoted by the caller);
// its standard error goes to `err`. Returns the wait status.
int RunProgram(const std::string& args, const std::filesystem::path& err) {
    const std::string command = std::string("'") + BARNBLAST_SCOREBOARD_EXE + "' " + args + " 2>'" + err.string() + "'";
    return std::system(command.c_str());
}

std::string Slurp(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// The rows of `sql` on an SQLite file, whichever store the run tests.
std::vector<std::vector<std::string>> SqliteRows(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + file.string());
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        const std::string why = sqlite3_errmsg(db);
        sqlite3_close(db);
        throw std::runtime_error(why);
    }
    std::vector<std::vector<std::string>> rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        auto& row = rows.emplace_back();
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
            const auto* text = sqlite3_column_text(stmt, c);
            row.emplace_back(text ? reinterpret_cast<const char*>(text) : "");  // NOLINT(*-reinterpret-cast)
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
}

}  // namespace

// Catches probes or Prometheus's scrapes that flood the request log (their answers over real HTTP
// are the API description test's).
TEST(ProbeTest, HealthAndReadinessStayOutOfTheLog) {
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "scores.db"));
    Get(server.Port(), "/healthz");
    Get(server.Port(), "/readyz");
    Get(server.Port(), "/metrics");
    EXPECT_EQ(Get(server.Port(), "/api/games").result_int(), 200);
    server.Stop(SIGTERM);
    EXPECT_EQ(Lines(server.Log(), "/healthz") + Lines(server.Log(), "/readyz") + Lines(server.Log(), "/metrics"), 0)
        << server.Log();
    EXPECT_EQ(Lines(server.Log(), "GET /api/games 200"), 1) << server.Log();
}

// Catches metrics text that Prometheus's own lint refuses, posts counted
// under the wrong outcome or reason, requests under the wrong route, and
// rows per game, commits or the queue that do not match what was stored.
TEST(MetricsTest, TheTextLintsCleanAndCountsWhatClientsWereAnswered) {
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "scores.db"));
    const auto port = server.Port();
    EXPECT_EQ(PostScore(port, "Counted", 5, "Ann", Uuid(1)).result_int(), 201);
    EXPECT_EQ(PostScore(port, "Counted", 7, "Bob", Uuid(2)).result_int(), 201);
    EXPECT_EQ(PostScore(port, "Counted", 7, "Bob", Uuid(2)).result_int(), 200);
    EXPECT_EQ(PostScore(port, "Counted", 8, "Bob", Uuid(2)).result_int(), 422);
    EXPECT_EQ(PostJson(port, R"({"game":"Counted"})").result_int(), 400);
    EXPECT_EQ(Get(port, "/api/players/Ann").result_int(), 200);
    const auto reply = Get(port, "/metrics");
    ASSERT_EQ(reply.result_int(), 200);
    const std::string text = reply.body();
    const auto verdict = CheckMetricsText(text);
    EXPECT_TRUE(verdict.clean && verdict.output.empty()) << verdict.output << text;
    for (const auto& [series, value] : std::vector<std::pair<std::string, double>>{
             {"scoreboard_posts_stored_total", 2},
             {"scoreboard_posts_repeated_total", 1},
             {R"(scoreboard_posts_refused_total{reason="id_taken"})", 1},
             {R"(scoreboard_posts_refused_total{reason="bad_body"})", 1},
             {R"(scoreboard_requests_total{method="POST",route="/api/scores",status="201"})", 2},
             {R"(scoreboard_requests_total{method="GET",route="/api/players/{name}",status="200"})", 1},
             {R"(scoreboard_request_duration_seconds_count{route="/api/scores"})", 5},
             {R"(scoreboard_game_rows{game="Counted"})", 2},
             {"scoreboard_commit_batch_size_sum", 4},  // every post that reached the database
             {"scoreboard_write_queue_depth", 0},
             {"scoreboard_database_errors_total", 0},
         })
        EXPECT_EQ(SampleOf(text, series), value) << series << "\n" << text;
}

// Catches metrics left on the public port when they have a listener of
// their own, or that listener not answering them.
TEST(MetricsTest, MetricsBindServesThemApartFromThePublicPort) {
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "scores.db"), {"--metrics-bind", "127.0.0.1:0"});
    std::smatch where;
    const std::string log = server.Log();
    ASSERT_TRUE(std::regex_search(log, where, std::regex(R"(metrics on http://127\.0\.0\.1:(\d+)/metrics)"))) << log;
    const auto apart = static_cast<unsigned short>(std::stoi(where[1]));
    EXPECT_EQ(Get(server.Port(), "/metrics").result_int(), 404);
    const auto reply = Get(apart, "/metrics");
    EXPECT_EQ(reply.result_int(), 200);
    EXPECT_EQ(SampleOf(reply.body(), R"(scoreboard_requests_total{method="GET",route="/metrics",status="404"})"), 1)
        << reply.body();
}

// Catches metrics that a real Prometheus cannot scrape, or whose counts do
// not rise as posts are stored: read back as a rate through its query API.
TEST(MetricsTest, PrometheusScrapesThemAndReadsBackThePostRate) {
    if (UsingPostgres()) GTEST_SKIP() << "what Prometheus reads does not depend on the store";
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "scores.db"), {"--metrics-bind", "127.0.0.1:0"});
    std::smatch where;
    const std::string log = server.Log();
    ASSERT_TRUE(std::regex_search(log, where, std::regex(R"(metrics on http://(127\.0\.0\.1:\d+))"))) << log;
    const PrometheusServer prometheus({where[1]});
    const auto valued = [](double wanted) {
        return [wanted](const json::array& result) { return FirstValue(result) == wanted; };
    };
    // A scrape before any post, for the rate to rise from.
    prometheus.QueryUntil("scoreboard_posts_stored_total", valued(0));
    constexpr int kPosts = 20;
    for (int i = 0; i < kPosts; ++i) ASSERT_EQ(PostScore(server.Port(), "Rated", i, "Ann", Uuid(i)).result_int(), 201);
    prometheus.QueryUntil("scoreboard_posts_stored_total", valued(kPosts));
    const auto rate = prometheus.QueryUntil("rate(scoreboard_posts_stored_total[10m])",
                                            [](const json::array& result) { return FirstValue(result) > 0; });
    EXPECT_EQ(rate.at(0).at("metric").at("job"), "scoreboard");
    EXPECT_EQ(FirstValue(prometheus.Query(R"(scoreboard_game_rows{game="Rated"})")), kPosts);
    EXPECT_EQ(FirstValue(prometheus.Query("up")), 1);
}

// Catches a table behind a proxy that limits or logs every player as the
// proxy, a body over the proxy's limit that still reaches the table, and a
// client that dawdles over its body holding one of the table's connections.
TEST(ProxyTest, BehindNginxPlayersAreLimitedAndLoggedByTheirOwnAddresses) {
    if (UsingPostgres()) GTEST_SKIP() << "the proxy does not depend on the store";
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "scores.db"), {"--trust-proxy", "--rate-limit", "1"});
    const NginxServer nginx(server.Port());
    const auto port = static_cast<unsigned short>(nginx.Port());
    const auto post = [&](const std::string& from, int n) {
        const json::object score{{"game", "Proxied"}, {"score", n}, {"name", "Ann"}, {"id", Uuid(n)}};
        return RequestFrom(from, port, http::verb::post, "/api/scores", json::serialize(score),
                           {{"Content-Type", "application/json"}})
            .result_int();
    };
    EXPECT_EQ(post("127.0.0.2", 1), 201);
    EXPECT_EQ(post("127.0.0.2", 2), 429);
    EXPECT_EQ(post("127.0.0.3", 3), 201);
    const std::string head = "POST /api/scores HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n";
    const std::string tooLarge = RawExchange(port, head + "Content-Length: 2048\r\n\r\n" + std::string(2048, ' '));
    EXPECT_TRUE(tooLarge.starts_with("HTTP/1.1 413")) << tooLarge;
    const int slow = ConnectLoopback(port, "127.0.0.4");
    const std::string half = head + "Content-Length: 100\r\n\r\n{\"game\":";
    ASSERT_EQ(::send(slow, half.data(), half.size(), MSG_NOSIGNAL), static_cast<ssize_t>(half.size()));
    EXPECT_EQ(post("127.0.0.3", 4), 429);  // still served meanwhile
    // The table's only connection is the one asking (those before close on their own).
    double open = 0;
    for (int i = 0; i < 300 && open != 1; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        open = SampleOf(Get(server.Port(), "/metrics").body(), "scoreboard_open_connections");
    }
    EXPECT_EQ(open, 1);
    ::close(slow);
    EXPECT_EQ(server.Stop(SIGTERM), 0);
    const std::string log = server.Log();
    for (const std::string line : {"127.0.0.2 POST /api/scores 201", "127.0.0.2 POST /api/scores 429",
                                   "127.0.0.3 POST /api/scores 201", "127.0.0.3 POST /api/scores 429"})
        EXPECT_EQ(Lines(log, line), 1) << line << "\n" << log;
    EXPECT_EQ(Lines(log, " 413 "), 0) << log;
}

// Catches a server that never tells systemd it is ready (the unit's start
// would time out), tells it before the port takes connections, never says
// it is stopping, or cannot reach an abstract socket.
TEST(NotifyTest, ReadyOnceThePortAcceptsAndStoppingOnSigterm) {
    TableFolder dir;
    for (const std::string& name :
         {(dir.path() / "notify").string(), "@barnblast-notify-test-" + std::to_string(::getpid())}) {
        SCOPED_TRACE(name);
        NotifySocket manager(name);
        ScopedEnvironment saved({"NOTIFY_SOCKET"});
        ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
        ScoreServer server(DbArgument(dir.path() / "scores.db"));
        EXPECT_EQ(manager.Next(), "READY=1");
        EXPECT_EQ(Get(server.Port(), "/healthz").result_int(), 200);
        server.Signal(SIGTERM);
        EXPECT_EQ(manager.Next(), "STOPPING=1");
        EXPECT_EQ(server.Wait(), 0);
    }
}

// Catches JSON log lines that do not parse or lack a field a log collector
// is told to expect, and a text log changed by the option's default.
TEST(LogFormatTest, JsonLinesParseWithTheirFieldsAndTextStaysAsItWas) {
    TableFolder dir;
    for (const std::string format : {"json", "text"}) {
        ScoreServer server(DbArgument(dir.path() / "scores.db"), {"--log-format", format});
        EXPECT_EQ(PostScore(server.Port(), "Logged", 5, "Ann", Uuid(1)).result_int(), format == "json" ? 201 : 200);
        EXPECT_EQ(Get(server.Port(), "/api/scores?game=Logged").result_int(), 200);
        EXPECT_EQ(server.Stop(SIGTERM), 0);
        const std::string log = server.Log();
        if (format == "text") {
            EXPECT_EQ(Lines(log, " POST /api/scores 200 "), 1) << log;
            EXPECT_EQ(Lines(log, "{"), 0) << log;
            continue;
        }
        std::istringstream in(log);
        int requests = 0;
        int lines = 0;
        for (std::string line; std::getline(in, line); ++lines) {
            boost::system::error_code ec;
            const auto value = json::parse(line, ec);
            ASSERT_FALSE(ec) << line;
            const auto& entry = value.as_object();
            for (const char* field : {"time", "level", "event"}) EXPECT_TRUE(entry.contains(field)) << line;
            if (entry.at("event") != "request") continue;
            ++requests;
            for (const char* field : {"method", "path", "status", "duration_ms", "client"})
                EXPECT_TRUE(entry.contains(field)) << line;
            if (entry.at("method") == "GET") {
                EXPECT_EQ(entry.at("path"), "/api/scores") << line;
                EXPECT_EQ(entry.at("query"), "game=Logged") << line;
                EXPECT_EQ(entry.at("status"), 200) << line;
            }
        }
        EXPECT_EQ(requests, 2) << log;
        EXPECT_GE(lines, 4) << log;  // listening, two requests, the signal, stopped
    }
}

// Catches a backup that misses scores answered before it began, that cannot
// be opened as a database, or that stops the writer for its whole length.
TEST(BackupTest, ACopyTakenWhileAWriterPostsHoldsEveryScoreAnsweredBeforeIt) {
    if (UsingPostgres()) GTEST_SKIP() << "PostgreSQL is backed up with pg_dump";
    TableFolder dir;
    const auto db = dir.path() / "scores.db";
    const auto copy = dir.path() / "copy.db";
    ScoreServer server(db.string(), {"--rate-limit", "0"});
    std::mutex mutex;
    std::set<std::string> answered;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (unsigned long long n = 0; !stop; ++n) {
            int status = 0;
            try {
                status = PostScore(server.Port(), "Live", static_cast<long long>(n % 50), "w", Uuid(n)).result_int();
            } catch (const boost::system::system_error& e) {
                // The backup's process ending signals this one; the post's outcome is unknown.
                if (e.code() == boost::system::errc::interrupted) continue;
                throw;
            }
            if (status != 201) continue;
            std::lock_guard lock(mutex);
            answered.insert(Uuid(n));
        }
    });
    // Some scores first; bounded so as not to hang.
    for (int i = 0; i < 1000; ++i) {
        {
            std::lock_guard lock(mutex);
            if (answered.size() >= 200) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::set<std::string> before;
    {
        std::lock_guard lock(mutex);
        before = answered;
    }
    const int status =
        RunProgram("--db " + Quoted(db.string()) + " --backup " + Quoted(copy.string()), dir.path() / "backup.err");
    stop = true;
    writer.join();
    ASSERT_EQ(status, 0) << Slurp(dir.path() / "backup.err");
    EXPECT_FALSE(std::filesystem::exists(copy.string() + "-wal"));
    std::set<std::string> copied;
    for (const auto& row : SqliteRows(copy, "SELECT id FROM scores")) copied.insert(row[0]);
    std::vector<std::string> missing;
    for (const auto& id : before)
        if (!copied.contains(id)) missing.push_back(id);
    EXPECT_TRUE(missing.empty()) << missing.size() << " answered scores missing, such as " << missing.front();
    EXPECT_EQ(SqliteRows(copy, "PRAGMA integrity_check")[0][0], "ok");
    // The copy's counts agree with its rows.
    EXPECT_EQ(SqliteRows(copy, "SELECT COALESCE(SUM(n), 0) FROM score_buckets WHERE level = 0")[0][0],
              std::to_string(copied.size()));
    // A second copy to the same name would overwrite the first.
    EXPECT_NE(
        RunProgram("--db " + Quoted(db.string()) + " --backup " + Quoted(copy.string()), dir.path() / "again.err"), 0);
    EXPECT_NE(Slurp(dir.path() / "again.err").find("already exists"), std::string::npos);
}

// Catches a restore that loses rows, times, checks or the order of ties, that
// cannot load into PostgreSQL, or that mixes a copy into a table that has
// scores of its own.
TEST(BackupTest, ARestoreLoadsACopyIntoAnEmptyDatabaseAndRefusesOneWithScores) {
    TableFolder dir;
    const auto source = dir.path() / "source.sqlite";  // always SQLite, whatever the target
    const auto copy = dir.path() / "copy.sqlite";
    {
        ScoreServer server(source.string(), {"--rate-limit", "0"});
        for (int i = 0; i < 40; ++i)
            ASSERT_EQ(PostScore(server.Port(), i % 2 ? "A" : "B", i % 3, "p" + std::to_string(i), Uuid(i)).result_int(),
                      201);
    }
    {  // Two rows as checked rounds leave them: their level, record and token go with them.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(source.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(
            sqlite3_exec(db,
                         "UPDATE scores SET check_level = seq % 2 + 1, round = x'00ff01', round_token = 't' || seq"
                         " WHERE seq <= 2",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
        sqlite3_close(db);
    }
    ASSERT_EQ(
        RunProgram("--db " + Quoted(source.string()) + " --backup " + Quoted(copy.string()), dir.path() / "backup.err"),
        0)
        << Slurp(dir.path() / "backup.err");
    const auto target = dir.path() / "restored.db";  // SQLite, or PostgreSQL under its run
    const std::string restore = "--db " + Quoted(DbArgument(target)) + " --restore " + Quoted(copy.string());
    ASSERT_EQ(RunProgram(restore, dir.path() / "restore.err"), 0) << Slurp(dir.path() / "restore.err");
    EXPECT_NE(Slurp(dir.path() / "restore.err").find("restored 40 scores"), std::string::npos);
    const std::string rows =
        "SELECT id, game, name, score, time_ms, check_level, length(round), round_token FROM scores ORDER BY seq";
    EXPECT_EQ(Query(target, rows), SqliteRows(copy, rows));
    {
        ScoreServer restored(DbArgument(target));
        ScoreServer original(source.string());
        for (const char* game : {"A", "B"}) {
            const std::string page = std::string("/api/scores?limit=100&game=") + game;
            EXPECT_EQ(JsonOf(Get(restored.Port(), page)), JsonOf(Get(original.Port(), page))) << game;
        }
    }
    EXPECT_NE(RunProgram(restore, dir.path() / "again.err"), 0);
    EXPECT_NE(Slurp(dir.path() / "again.err").find("already holds scores"), std::string::npos)
        << Slurp(dir.path() / "again.err");
    EXPECT_EQ(RowsIn(target), 40);
}
