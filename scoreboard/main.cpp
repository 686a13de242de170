// barnblast-scoreboard: the online score table server.
#include "Handler.h"
#include "Log.h"
#include "Options.h"
#include "Page.h"
#include "RateLimiter.h"
#include "Server.h"
#include "StoreFactory.h"

#include <boost/asio/error.hpp>
#include <boost/json.hpp>
#include <boost/system/system_error.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <variant>
#include <vector>

#ifndef BARNBLAST_VERSION
#define BARNBLAST_VERSION "unknown"
#endif

namespace {

using namespace scoreboard;

// One line on standard error, in the same form for every start-up failure.
int Fail(int status, const std::string& sentence) {
    std::fprintf(stderr, "barnblast-scoreboard: %s\n", sentence.c_str());
    return status;
}

std::string Where(const ServerConfig& config) {
    const bool v6 = config.address.is_v6();
    return (v6 ? "[" : "") + config.address.to_string() + (v6 ? "]:" : ":") + std::to_string(config.port);
}

// Why the port cannot be had, and what to do about it.
std::string ListenFailure(const ServerConfig& config, const boost::system::system_error& error) {
    namespace asioError = boost::asio::error;
    const auto code = error.code();
    const std::string port = std::to_string(config.port);
    if (code == asioError::address_in_use)
        return "port " + port + " on " + config.address.to_string() +
               " is already in use, most likely by another barnblast-scoreboard; stop that one or choose another "
               "port with --port.";
    if (code == asioError::access_denied)
        return "this user may not listen on port " + port +
               " (ports below 1024 need root or CAP_NET_BIND_SERVICE); choose a port from 1024 up with --port.";
    if (code == boost::system::errc::address_not_available)
        return config.address.to_string() +
               " is not an address of this machine; name one of its addresses with --bind.";
    return "cannot listen on " + Where(config) + " (" + code.message() + "); check --bind and --port.";
}

// The files SQLite may create for a database at `db`.
std::vector<std::filesystem::path> DatabaseFiles(const std::string& db) {
    return {db, db + "-wal", db + "-shm", db + "-journal"};
}

// A connection URI without its password, for the log.
std::string Redacted(const std::string& db) {
    if (!NamesPostgres(db)) return db;
    const auto scheme = db.find("://") + 3;
    const auto at = db.find('@', scheme);
    const auto colon = db.find(':', scheme);
    if (at == std::string::npos || colon == std::string::npos || colon > at) return db;
    return db.substr(0, colon + 1) + "***" + db.substr(at);
}

// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

// The operator tools: an export to standard output, or a deletion, on the
// database a server may be running on at the same time.
int RunTool(const Options& opt) {
    if (opt.exportFormat && opt.deleteName) return Fail(2, "--export and --delete-name go one at a time.");
    if (!NamesPostgres(opt.db) && !std::filesystem::exists(opt.db))
        return Fail(1, "there is no database at " + opt.db + "; name the server's database with --db.");
    std::unique_ptr<CachedStore> store;
    try {
        store = OpenStore(opt.db, 1);
    } catch (const std::exception& e) {
        return Fail(1, "cannot open the database " + Redacted(opt.db) + " (" + e.what() + ").");
    }
    try {
        if (opt.deleteName) {
            const auto deleted = store->DeleteName(*opt.deleteName);
            LogLine("deleted " + std::to_string(deleted) + " scores of the name " +
                    boost::json::serialize(boost::json::string(*opt.deleteName)) + " from " + Redacted(opt.db));
            return 0;
        }
        const bool csv = *opt.exportFormat == "csv";
        if (csv) std::fputs("game,rank,name,score,time,id\n", stdout);
        std::string line;
        store->Export(opt.game, [&](const ExportRow& r) {
            if (csv) {
                line = CsvField(r.game) + "," + std::to_string(r.rank) + "," + CsvField(r.name) + "," +
                       std::to_string(r.score) + "," + IsoTime(r.timeMs) + "," + CsvField(r.id) + "\n";
            } else {
                line = boost::json::serialize(boost::json::object{{"game", r.game},
                                                                  {"rank", r.rank},
                                                                  {"name", r.name},
                                                                  {"score", r.score},
                                                                  {"time", IsoTime(r.timeMs)},
                                                                  {"id", r.id}}) +
                       "\n";
            }
            if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size())
                throw std::runtime_error("could not write the export to standard output");
        });
        if (std::fflush(stdout) != 0) return Fail(1, "could not write the export to standard output.");
        return 0;
    } catch (const std::exception& e) {
        return Fail(1, e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = ParseOptions(argc, argv);
    if (const auto* err = std::get_if<std::string>(&parsed))
        return Fail(2, *err + "; see barnblast-scoreboard --help for the options.");
    const Options& opt = std::get<Options>(parsed);
    if (opt.help) {
        std::fputs(Usage(argv[0]).c_str(), stdout);
        return 0;
    }
    if (opt.version) {
        std::printf("barnblast-scoreboard %s\n", BARNBLAST_VERSION);
        return 0;
    }

    if (opt.game && !opt.exportFormat) return Fail(2, "--game goes with --export.");
    if (opt.exportFormat || opt.deleteName) return RunTool(opt);

    // A client that goes away mid-answer must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    ServerConfig config;
    boost::system::error_code ec;
    config.address = boost::asio::ip::make_address(opt.bind, ec);
    if (ec) return Fail(2, "--bind " + opt.bind + " is not an IP address; give one such as 127.0.0.1 or ::1.");
    config.port = opt.port;
    config.threads = opt.threads;
    config.trustProxy = opt.trustProxy;

    // The port first, then the database: a start that fails on the port
    // leaves no database file behind. The store is declared first, so it
    // outlives the server and any answer still on its way.
    std::unique_ptr<CachedStore> store;
    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>(config);
    } catch (const boost::system::system_error& e) {
        return Fail(1, ListenFailure(config, e));
    }

    if (NamesPostgres(opt.db)) {
        try {
            store = OpenStore(opt.db, opt.threads);
        } catch (const std::exception& e) {
            return Fail(1, "cannot open the PostgreSQL database " + Redacted(opt.db) + " (" + e.what() +
                               "); check that it runs, that the address, role and database in --db are right, "
                               "and that the role may create tables there.");
        }
    } else {
        std::vector<std::filesystem::path> created;
        for (const auto& file : DatabaseFiles(opt.db)) {
            std::error_code existsError;
            if (!std::filesystem::exists(file, existsError) && !existsError) created.push_back(file);
        }
        try {
            store = OpenStore(opt.db, opt.threads);
        } catch (const std::exception& e) {
            // Only what this start made goes: an existing database stays as it was.
            for (const auto& file : created) {
                std::error_code removeError;
                std::filesystem::remove(file, removeError);
            }
            const bool existed = created.empty() || created.front() != std::filesystem::path(opt.db);
            const std::string reason = "cannot open the database " + opt.db + " (" + e.what() + "); ";
            if (existed) return Fail(1, reason + "if it is not a score table's database, name another file with --db.");
            return Fail(1, reason +
                               "make sure its folder exists and this user may write there, or name another file "
                               "with --db.");
        }
    }

    RateLimiter limiter(opt.rateLimit);
    Service service{.store = *store,
                    .limiter = limiter,
                    .nowMs =
                        [] {
                            return std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                .count();
                        },
                    .memos = store.get()};

    try {
        config.port = server->Port();
        LogLine("listening on http://" + Where(config) + " with database " + Redacted(opt.db));
        server->Run(service);
        server.reset();
        LogLine("stopped");
        return 0;
    } catch (const std::exception& e) {
        return Fail(1, e.what());
    }
}
