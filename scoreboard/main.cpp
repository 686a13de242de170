// barnblast-scoreboard: the online score table server.
#include "Backup.h"
#include "Options.h"
#include "StoreFactory.h"
#include "http/Handler.h"
#include "http/Log.h"
#include "http/Metrics.h"
#include "http/RateLimiter.h"
#include "http/Rounds.h"
#include "pages/Page.h"
#include "server/Notify.h"
#include "server/Server.h"

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

// A start that cannot go on: the status to exit with, and why (for Fail).
struct StartFailure {
    int status;
    std::string sentence;
};

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

// --recheck: every stored round replayed again under this build's rules (after
// a fix of them); one line for each row that disagrees, then a summary.
// 1 when any did.
int RecheckRounds(ScoreStore& store) {
    const std::string key = store.RoundKey();
    long long rounds = 0;
    long long disagree = 0;
    store.Export(std::nullopt, [&](const ExportRow& r) {
        if (r.round.empty()) return;
        ++rounds;
        if (const auto why = Recheck(r, key)) {
            ++disagree;
            std::printf("%s\n", boost::json::serialize(boost::json::object{{"id", r.id},
                                                                           {"game", r.game},
                                                                           {"name", r.name},
                                                                           {"score", r.score},
                                                                           {"check", CheckName(r.check)},
                                                                           {"error", *why}})
                                    .c_str());
        }
    });
    LogLine("rechecked " + std::to_string(rounds) + " rounds: " + std::to_string(disagree) + " disagree");
    if (std::fflush(stdout) != 0) return Fail(1, "could not write the report to standard output.");
    return disagree == 0 ? 0 : 1;
}

// The operator tools: an export to standard output, or a deletion, on the
// database a server may be running on at the same time.
int RunTool(const Options& opt) {
    if (!NamesPostgres(opt.db) && !std::filesystem::exists(opt.db))
        return Fail(1, "there is no database at " + opt.db + "; name the server's database with --db.");
    std::unique_ptr<CachedStore> store;
    try {
        store = OpenStore(opt.db, 1, opt.recount);
    } catch (const std::exception& e) {
        return Fail(1, "cannot open the database " + Redacted(opt.db) + " (" + e.what() + ").");
    }
    if (opt.recount) {
        LogLine("recounted the ranks of " + Redacted(opt.db));
        return 0;
    }
    try {
        if (opt.recheck) return RecheckRounds(*store);
        if (opt.deleteName) {
            const auto deleted = store->DeleteName(*opt.deleteName);
            LogLine("deleted " + std::to_string(deleted) + " scores of the name " +
                    boost::json::serialize(boost::json::string(*opt.deleteName)) + " from " + Redacted(opt.db));
            return 0;
        }
        const bool csv = *opt.exportFormat == "csv";
        if (csv) std::fputs("game,rank,name,score,time,id,check\n", stdout);
        std::string line;
        store->Export(opt.game, [&](const ExportRow& r) {
            if (csv) {
                line = CsvField(r.game) + "," + std::to_string(r.rank) + "," + CsvField(r.name) + "," +
                       std::to_string(r.score) + "," + IsoTime(r.timeMs) + "," + CsvField(r.id) + "," +
                       std::string(CheckName(r.check)) + "\n";
            } else {
                line = boost::json::serialize(boost::json::object{{"game", r.game},
                                                                  {"rank", r.rank},
                                                                  {"name", r.name},
                                                                  {"score", r.score},
                                                                  {"time", IsoTime(r.timeMs)},
                                                                  {"id", r.id},
                                                                  {"check", CheckName(r.check)}}) +
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

// --backup or --restore, then exit.
int RunCopy(const Options& opt) {
    const auto began = std::chrono::steady_clock::now();
    const auto seconds = [&] {
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
        char text[32];
        std::snprintf(text, sizeof text, "%.2f s", took.count());
        return std::string(text);
    };
    try {
        if (opt.backup) {
            BackUp(opt.db, *opt.backup);
            LogLine("backed up " + opt.db + " to " + *opt.backup + " in " + seconds());
        } else {
            const auto loaded = Restore(*opt.restore, opt.db);
            LogLine("restored " + std::to_string(loaded) + " scores from " + *opt.restore + " into " +
                    Redacted(opt.db) + " in " + seconds());
        }
        return 0;
    } catch (const std::exception& e) {
        return Fail(1, std::string(e.what()) + ".");
    }
}

// The options, or a StartFailure with status 2.
Options ParsedOptions(int argc, char** argv) {
    auto parsed = ParseOptions(argc, argv);
    if (const auto* err = std::get_if<std::string>(&parsed))
        throw StartFailure{2, *err + "; see barnblast-scoreboard --help for the options."};
    return std::get<Options>(std::move(parsed));
}

// --help or --version: what was asked, on standard output.
int PrintAsked(const Options& opt, const char* program) {
    if (opt.help)
        std::fputs(Usage(program).c_str(), stdout);
    else
        std::printf("barnblast-scoreboard %s\n", BARNBLAST_VERSION);
    return 0;
}

// Where and how to listen, as the options say.
ServerConfig ServerConfigOf(const Options& opt) {
    ServerConfig config;
    boost::system::error_code ec;
    config.address = boost::asio::ip::make_address(opt.bind, ec);
    if (ec) throw StartFailure{2, "--bind " + opt.bind + " is not an IP address; give one such as 127.0.0.1 or ::1."};
    config.port = opt.port;
    config.threads = opt.threads;
    config.trustProxy = opt.trustProxy;
    return config;
}

// --metrics-bind's ADDRESS:PORT, a v6 address in brackets.
boost::asio::ip::tcp::endpoint MetricsEndpointOf(const std::string& text) {
    const auto bad = [&] {
        return StartFailure{
            2, "--metrics-bind " + text + " is not ADDRESS:PORT; give one such as 127.0.0.1:9464 or [::1]:9464."};
    };
    const auto colon = text.rfind(':');
    std::string address = text.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    boost::system::error_code ec;
    const auto ip = boost::asio::ip::make_address(address, ec);
    const std::string port = text.substr(colon + 1);
    if (ec || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535)
        throw bad();
    return {ip, static_cast<unsigned short>(std::stoi(port))};
}

// Takes the port at once, so that a start that fails on it leaves no
// database file behind.
std::unique_ptr<Server> MakeServer(const ServerConfig& config, const Options& opt) {
    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>(config);
    } catch (const boost::system::system_error& e) {
        throw StartFailure{1, ListenFailure(config, e)};
    }
    if (!opt.metricsBind) return server;
    const auto endpoint = MetricsEndpointOf(*opt.metricsBind);
    try {
        server->ListenForMetrics(endpoint);
    } catch (const boost::system::system_error& e) {
        throw StartFailure{1, "cannot listen for the metrics on " + *opt.metricsBind + " (" + e.code().message() +
                                  "); choose another address or port with --metrics-bind."};
    }
    return server;
}

// The store --db names, opened (and made when missing). A start that fails
// here leaves behind no file it made.
std::unique_ptr<CachedStore> OpenServedStore(const Options& opt) {
    if (NamesPostgres(opt.db)) {
        try {
            return OpenStore(opt.db, opt.threads);
        } catch (const std::exception& e) {
            throw StartFailure{1, "cannot open the PostgreSQL database " + Redacted(opt.db) + " (" + e.what() +
                                      "); check that it runs, that the address, role and database in --db are "
                                      "right, and that the role may create tables there."};
        }
    }
    std::vector<std::filesystem::path> created;
    for (const auto& file : DatabaseFiles(opt.db)) {
        std::error_code existsError;
        if (!std::filesystem::exists(file, existsError) && !existsError) created.push_back(file);
    }
    try {
        return OpenStore(opt.db, opt.threads);
    } catch (const std::exception& e) {
        // Only what this start made goes: an existing database stays as it was.
        for (const auto& file : created) {
            std::error_code removeError;
            std::filesystem::remove(file, removeError);
        }
        const bool existed = created.empty() || created.front() != std::filesystem::path(opt.db);
        const std::string reason = "cannot open the database " + opt.db + " (" + e.what() + "); ";
        if (existed)
            throw StartFailure{1, reason + "if it is not a score table's database, name another file with --db."};
        throw StartFailure{1, reason +
                                  "make sure its folder exists and this user may write there, or name another file "
                                  "with --db."};
    }
}

// Serves until SIGINT or SIGTERM, then ends the server, before the store
// goes: the store must outlive any answer still on its way.
int RunUntilSignalled(std::unique_ptr<Server> server, CachedStore& store, Metrics& metrics, const Options& opt,
                      ServerConfig config) {
    RateLimiter limiter(opt.rateLimit);
    ReadyCheck ready(store);
    HandlerDeps deps{.store = store,
                     .limiter = limiter,
                     .nowMs =
                         [] {
                             return std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                 .count();
                         },
                     .memos = &store,
                     .ready = &ready,
                     .metrics = &metrics,
                     .metricsApart = server->MetricsPort() != 0,
                     .accept = opt.accept == "verified"   ? Check::Verified
                               : opt.accept == "replayed" ? Check::Replayed
                                                          : Check::Unverified};
    try {
        config.port = server->Port();
        // Before the line that says the table listens, which a harness waits for.
        if (const auto port = server->MetricsPort()) {
            const auto address = MetricsEndpointOf(*opt.metricsBind).address();
            LogLine("metrics on http://" + Where({.address = address, .port = port}) + std::string(kMetricsPath));
        }
        LogLine("listening on http://" + Where(config) + " with database " + Redacted(opt.db));
        // The port takes connections since the server was made, and the
        // database is open: under systemd, units ordered after this one go.
        NotifyServiceManager("READY=1");
        server->Run(deps);
        server.reset();
        LogLine("stopped");
        return 0;
    } catch (const std::exception& e) {
        return Fail(1, e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options opt = ParsedOptions(argc, argv);
        if (opt.help || opt.version) return PrintAsked(opt, argv[0]);
        if (opt.game && !opt.exportFormat) return Fail(2, "--game goes with --export.");
        if (int(opt.exportFormat.has_value()) + int(opt.deleteName.has_value()) + int(opt.backup.has_value()) +
                int(opt.restore.has_value()) + int(opt.recheck) + int(opt.recount) >
            1)
            return Fail(2, "--export, --delete-name, --recheck, --recount, --backup and --restore go one at a time.");
        if (opt.backup || opt.restore) return RunCopy(opt);
        if (opt.exportFormat || opt.deleteName || opt.recheck || opt.recount) return RunTool(opt);
        SetLogFormat(opt.logFormat == "json" ? LogFormat::Json : LogFormat::Text);
        // A client that goes away mid-answer must not end the process.
        std::signal(SIGPIPE, SIG_IGN);
        const ServerConfig config = ServerConfigOf(opt);
        // The port first, then the database; the server ends before the store.
        auto server = MakeServer(config, opt);
        // Counts from the store's first connection on; it outlives the store.
        static Metrics metrics;
        ObserveStores(&metrics);
        const auto store = OpenServedStore(opt);
        return RunUntilSignalled(std::move(server), *store, metrics, opt, config);
    } catch (const StartFailure& failure) {
        return Fail(failure.status, failure.sentence);
    }
}
