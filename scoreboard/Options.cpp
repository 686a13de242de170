#include "Options.h"

#include <charconv>
#include <string_view>

namespace scoreboard {
namespace {

bool ToInt(std::string_view s, long min, long max, long& out) {
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size() && !s.empty() && out >= min && out <= max;
}

}  // namespace

std::variant<Options, std::string> ParseOptions(int argc, const char* const* argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        const auto next = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        long n = 0;
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--trust-proxy") {
            o.trustProxy = true;
        } else if (arg == "--port") {
            if (!next() || !ToInt(value, 0, 65535, n)) return "--port needs a number from 0 to 65535";
            o.port = static_cast<unsigned short>(n);
        } else if (arg == "--bind") {
            if (!next() || value.empty()) return "--bind needs an address";
            o.bind = value;
        } else if (arg == "--db") {
            if (!next() || value.empty()) return "--db needs a file name or a postgresql:// URI";
            o.db = value;
        } else if (arg == "--threads") {
            if (!next() || !ToInt(value, 1, 64, n)) return "--threads needs a number from 1 to 64";
            o.threads = static_cast<int>(n);
        } else if (arg == "--rate-limit") {
            if (!next() || !ToInt(value, 0, 1000000, n))
                return "--rate-limit needs a number of posts per minute (0: no limit)";
            o.rateLimit = static_cast<int>(n);
        } else if (arg == "--export") {
            if (!next() || (value != "csv" && value != "jsonl")) return "--export needs a format: csv or jsonl";
            o.exportFormat = value;
        } else if (arg == "--game") {
            if (!next() || value.empty()) return "--game needs a game's name";
            o.game = value;
        } else if (arg == "--delete-name") {
            if (!next()) return "--delete-name needs a player's name";
            o.deleteName = value;
        } else {
            return "unknown option " + std::string(arg);
        }
    }
    return o;
}

std::string Usage(const std::string& program) {
    const Options d;
    return "Usage: " + program +
           " [options]\n"
           "Serves the online score table: POST " +
           std::string(score_protocol::kScoresPath) + ", GET " + std::string(score_protocol::kScoresPath) +
           ", GET /api/games\n"
           "and a web page at /.\n\n"
           "Options:\n"
           "  --port N          TCP port to listen on (default " +
           std::to_string(d.port) +
           "; 0 picks a free one)\n"
           "  --bind ADDRESS    address to listen on (default " +
           d.bind +
           ")\n"
           "  --db FILE         SQLite database file, created if missing (default " +
           d.db +
           ")\n"
           "  --db postgresql://USER@HOST/DATABASE\n"
           "                    a PostgreSQL database instead (a libpq connection URI),\n"
           "                    which several servers may share\n"
           "  --threads N       threads serving requests (default " +
           std::to_string(d.threads) +
           ")\n"
           "  --rate-limit N    score posts allowed per minute from one address (default " +
           std::to_string(d.rateLimit) +
           "; 0: no limit)\n"
           "  --trust-proxy     take the client address from X-Real-IP (behind a reverse proxy)\n"
           "\nOperator tools, on the database of --db, also while a server runs on it:\n"
           "  --export csv|jsonl  write every score to standard output in rank order,\n"
           "                    game by game, and exit\n"
           "  --game NAME       with --export: only this game\n"
           "  --delete-name NAME  delete every score of exactly this name, and exit\n\n"
           "  --version         print the version\n"
           "  -h, --help        show this help\n\n"
           "Logs one line per request to standard error. Stops on SIGINT or SIGTERM after\n"
           "finishing the requests in progress.\n";
}

}  // namespace scoreboard
