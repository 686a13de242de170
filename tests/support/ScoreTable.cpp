#include "Support.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace scoreboard_test {
namespace net = boost::asio;
namespace beast = boost::beast;
using Tcp = net::ip::tcp;

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

// A database name for a path: the paths of distinct TempDirs never meet.
std::string DatabaseFor(const std::filesystem::path& db) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "t_%016zx", std::hash<std::string>{}(db.lexically_normal().string()));
    return buf;
}

// The databases made for paths in each TempDir, to drop with it.
std::mutex madeMutex;
std::vector<std::pair<std::filesystem::path, std::string>> made;

}  // namespace

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "scoreboard-test-XXXXXX").string();
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    std::vector<std::string> drop;
    {
        std::lock_guard lock(madeMutex);
        std::erase_if(made, [&](const auto& entry) {
            const bool inside = entry.first.parent_path() == path_;
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
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
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

namespace {

void SetTimeouts(int fd) {
    const timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

namespace {

Reply Exchange(const char* source, unsigned short port, http::verb method, const std::string& target,
               const std::string& body, const std::vector<std::pair<std::string, std::string>>& headers) {
    net::io_context ioc;
    Tcp::socket socket(ioc);
    if (source) {
        socket.open(Tcp::v4());
        socket.bind(Tcp::endpoint(net::ip::make_address(source), 0));
    }
    socket.connect(Tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    SetTimeouts(socket.native_handle());

    http::request<http::string_body> req{method, target, 11};
    req.set(http::field::host, "127.0.0.1");
    for (const auto& [k, v] : headers) req.set(k, v);
    if (!body.empty() || method == http::verb::post) {
        req.body() = body;
        req.prepare_payload();
    }
    http::write(socket, req);

    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.skip(method == http::verb::head);
    http::read(socket, buffer, parser);
    return parser.release();
}

}  // namespace

Reply Request(unsigned short port, http::verb method, const std::string& target, const std::string& body,
              const std::vector<std::pair<std::string, std::string>>& headers) {
    return Exchange(nullptr, port, method, target, body, headers);
}

Reply RequestFrom(const std::string& source, unsigned short port, http::verb method, const std::string& target) {
    return Exchange(source.c_str(), port, method, target, {}, {});
}

Reply PostJson(unsigned short port, const std::string& body,
               const std::vector<std::pair<std::string, std::string>>& headers) {
    auto all = headers;
    bool typed = false;
    for (const auto& [k, v] : headers) typed = typed || beast::iequals(k, "Content-Type");
    if (!typed) all.emplace_back("Content-Type", "application/json");
    return Request(port, http::verb::post, "/api/scores", body, all);
}

Reply PostScore(unsigned short port, const std::string& game, long long score, const std::string& name,
                const std::string& id) {
    const boost::json::object o{{"game", game}, {"score", score}, {"name", name}, {"id", id}};
    return PostJson(port, boost::json::serialize(o));
}

Reply Get(unsigned short port, const std::string& target) { return Request(port, http::verb::get, target); }

boost::json::value JsonOf(const Reply& reply) { return boost::json::parse(reply.body()); }

int ConnectLoopback(unsigned short port, const char* source) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (source) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &from.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            ::close(fd);
            throw std::runtime_error("bind failed");
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        throw std::runtime_error("connect failed");
    }
    SetTimeouts(fd);
    return fd;
}

std::string RawExchange(unsigned short port, const std::string& bytes, bool halfClose) {
    const int fd = ConnectLoopback(port);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may refuse before taking it all
        sent += static_cast<std::size_t>(n);
    }
    if (halfClose) ::shutdown(fd, SHUT_WR);
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

std::string Uuid(unsigned long long n) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08llx-0000-4000-8000-%012llx", n >> 48, n & 0xffffffffffffULL);
    return buf;
}

}  // namespace scoreboard_test
