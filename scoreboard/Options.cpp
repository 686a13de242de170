#include "Options.h"

#include <charconv>
#include <fstream>
#include <functional>
#include <string_view>

namespace scoreboard {
namespace {

bool ToInt(std::string_view s, long min, long max, long& out) {
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size() && !s.empty() && out >= min && out <= max;
}

// Sets one option from its name (without the dashes); `next` yields its
// value, false when there is none. The message when the option is unknown
// or its value is bad.
std::optional<std::string> Apply(Options& o, std::string_view name, const std::function<bool(std::string_view&)>& next,
                                 bool hasValue) {
    std::string_view value;
    long n = 0;
    if (name == "help" || name == "h") {
        o.help = true;
    } else if (name == "version") {
        o.version = true;
    } else if (name == "trust-proxy") {
        // A flag, or with a value (as in a file) true or false.
        if (hasValue) {
            if (!next(value) || (value != "true" && value != "false")) return "trust-proxy is true or false";
            o.trustProxy = value == "true";
        } else {
            o.trustProxy = true;
        }
    } else if (name == "port") {
        if (!next(value) || !ToInt(value, 0, 65535, n)) return "--port needs a number from 0 to 65535";
        o.port = static_cast<unsigned short>(n);
    } else if (name == "bind") {
        if (!next(value) || value.empty()) return "--bind needs an address";
        o.bind = value;
    } else if (name == "db") {
        if (!next(value) || value.empty()) return "--db needs a file name or a postgresql:// URI";
        o.db = value;
    } else if (name == "threads") {
        if (!next(value) || !ToInt(value, 1, 64, n)) return "--threads needs a number from 1 to 64";
        o.threads = static_cast<int>(n);
    } else if (name == "rate-limit") {
        if (!next(value) || !ToInt(value, 0, 1000000, n))
            return "--rate-limit needs a number of posts per minute (0: no limit)";
        o.rateLimit = static_cast<int>(n);
    } else if (name == "log-format") {
        if (!next(value) || (value != "text" && value != "json")) return "--log-format needs text or json";
        o.logFormat = value;
    } else if (name == "metrics-bind") {
        if (!next(value) || value.find(':') == std::string_view::npos)
            return "--metrics-bind needs ADDRESS:PORT, such as 127.0.0.1:9464";
        o.metricsBind = value;
    } else if (name == "accept") {
        if (!next(value) || (value != "verified" && value != "replayed" && value != "any"))
            return "--accept needs verified, replayed or any";
        o.accept = value;
    } else if (name == "recheck") {
        o.recheck = true;
    } else if (name == "recount") {
        o.recount = true;
    } else if (name == "export") {
        if (!next(value) || (value != "csv" && value != "jsonl")) return "--export needs a format: csv or jsonl";
        o.exportFormat = value;
    } else if (name == "game") {
        if (!next(value) || value.empty()) return "--game needs a game's name";
        o.game = value;
    } else if (name == "delete-name") {
        if (!next(value)) return "--delete-name needs a player's name";
        o.deleteName = value;
    } else if (name == "backup") {
        if (!next(value) || value.empty()) return "--backup needs the file to write the copy to";
        o.backup = value;
    } else if (name == "restore") {
        if (!next(value) || value.empty()) return "--restore needs the backup file to load";
        o.restore = value;
    } else if (name == "config") {
        if (!next(value) || value.empty()) return "--config needs a file";
        o.config = value;
    } else {
        return "unknown option --" + std::string(name);
    }
    return std::nullopt;
}

// What a configuration file may set: what a server is started with, not the
// one-off tools or another file.
bool SettableInFile(std::string_view name) {
    for (const std::string_view settable :
         {"port", "bind", "db", "threads", "rate-limit", "trust-proxy", "log-format", "metrics-bind", "accept"})
        if (name == settable) return true;
    return false;
}

std::string_view Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The command line's own words, each applied to `o`; --config is taken
// before the rest when `configOnly`.
std::optional<std::string> ApplyArguments(Options& o, int argc, const char* const* argv, bool configOnly) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view given;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            given = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        const auto next = [&](std::string_view& value) -> bool {
            if (hasValue) {
                value = given;
                return true;
            }
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        std::string_view name;
        if (arg == "-h")
            name = "h";
        else if (arg.starts_with("--"))
            name = arg.substr(2);
        else
            return "unknown option " + std::string(arg);
        if (configOnly != (name == "config")) {
            // Skip the value of an option that takes one.
            if (!hasValue && name != "help" && name != "h" && name != "version" && name != "trust-proxy" &&
                name != "recheck" && name != "recount")
                ++i;
            continue;
        }
        if (auto error = Apply(o, name, next, hasValue)) return error;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> ApplyConfigFile(Options& o, const std::string& file) {
    std::ifstream in(file);
    if (!in) return "cannot read the configuration file " + file;
    std::string text;
    for (int lineNo = 1; std::getline(in, text); ++lineNo) {
        const std::string where = file + ":" + std::to_string(lineNo) + ": ";
        const std::string_view line = Trimmed(text);
        if (line.empty() || line.front() == '#') continue;
        const auto eq = line.find('=');
        const std::string_view name = Trimmed(line.substr(0, eq));
        const bool hasValue = eq != std::string_view::npos;
        const std::string_view value = hasValue ? Trimmed(line.substr(eq + 1)) : std::string_view();
        if (name.empty()) return where + "a line is \"name = value\"";
        if (!SettableInFile(name)) {
            if (name.find_first_of(" \t") != std::string_view::npos)
                return where + "a line is \"name = value\", with an = between them";
            return where + "unknown name " + std::string(name) +
                   "; a configuration file sets port, bind, db, threads, rate-limit, trust-proxy, log-format, "
                   "metrics-bind, accept";
        }
        const auto next = [&](std::string_view& out) {
            out = value;
            return hasValue;
        };
        if (auto error = Apply(o, name, next, hasValue)) return where + *error;
    }
    return std::nullopt;
}

std::variant<Options, std::string> ParseOptions(int argc, const char* const* argv) {
    Options o;
    if (auto error = ApplyArguments(o, argc, argv, true)) return *error;
    // The file first, so that the command line wins over it.
    if (o.config)
        if (auto error = ApplyConfigFile(o, *o.config)) return *error;
    if (auto error = ApplyArguments(o, argc, argv, false)) return *error;
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
           "  --log-format text|json  one line of text per event (default) or one JSON object\n"
           "  --metrics-bind ADDRESS:PORT  serve the Prometheus metrics there, apart from the\n"
           "                    public port (default: at /metrics on the public port)\n"
           "  --accept verified|replayed|any  refuse scores checked less (default any):\n"
           "                    verified rounds began with this table's token, replayed ones\n"
           "                    were replayed to their score, any takes scores without a round\n"
           "  --config FILE     read options from FILE (\"name = value\" lines, # comments);\n"
           "                    the command line wins over it\n"
           "\nOperator tools, on the database of --db, also while a server runs on it:\n"
           "  --export csv|jsonl  write every score to standard output in rank order,\n"
           "                    game by game, and exit\n"
           "  --game NAME       with --export: only this game\n"
           "  --delete-name NAME  delete every score of exactly this name, and exit\n"
           "  --recheck         replay every stored round under this version's rules, report\n"
           "                    each that disagrees with its score, and exit (1 if any did)\n"
           "  --recount         take the counts of ranks afresh from the rows, and exit\n"
           "  --backup FILE     copy a live SQLite database to FILE (a new file), and exit\n"
           "  --restore FILE    load a backup into the empty database of --db, and exit\n\n"
           "  --version         print the version\n"
           "  -h, --help        show this help\n\n"
           "Logs one line per request to standard error. Stops on SIGINT or SIGTERM after\n"
           "finishing the requests in progress.\n";
}

}  // namespace scoreboard
