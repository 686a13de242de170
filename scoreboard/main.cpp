// barnblast-scoreboard: the online score table server.
#include "Handler.h"
#include "Log.h"
#include "Options.h"
#include "RateLimiter.h"
#include "Server.h"
#include "SqliteStore.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <variant>

int main(int argc, char** argv) {
    using namespace scoreboard;
    const auto parsed = ParseOptions(argc, argv);
    if (const auto* err = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "barnblast-scoreboard: %s\n%s", err->c_str(), Usage(argv[0]).c_str());
        return 2;
    }
    const Options& opt = std::get<Options>(parsed);
    if (opt.help) {
        std::fputs(Usage(argv[0]).c_str(), stdout);
        return 0;
    }

    // A client that goes away mid-answer must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        ServerConfig config;
        boost::system::error_code ec;
        config.address = boost::asio::ip::make_address(opt.bind, ec);
        if (ec) {
            std::fprintf(stderr, "barnblast-scoreboard: --bind: not an IP address: %s\n", opt.bind.c_str());
            return 2;
        }
        config.port = opt.port;
        config.threads = opt.threads;
        config.trustProxy = opt.trustProxy;

        SqliteStore store(opt.db);
        RateLimiter limiter(opt.rateLimit);
        Service service{store, limiter, [] {
                            return std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                .count();
                        }};
        Server server(config, service);
        const bool v6 = config.address.is_v6();
        LogLine("listening on http://" + std::string(v6 ? "[" : "") + config.address.to_string() + (v6 ? "]" : "") +
                ":" + std::to_string(server.Port()) + " with database " + opt.db);
        server.Run();
        LogLine("stopped");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "barnblast-scoreboard: %s\n", e.what());
        return 1;
    }
}
