// The command line.
#pragma once

#include "ScoreProtocol.h"

#include <optional>
#include <string>
#include <variant>

namespace scoreboard {

struct Options {
    std::string bind = "127.0.0.1";
    unsigned short port = score_protocol::kDefaultPort;
    std::string db = "scoreboard.db";
    int threads = 4;
    int rateLimit = 30;  // posts per minute per address; a round lasts two
    bool trustProxy = false;
    std::string logFormat = "text";  // or "json"
    // ADDRESS:PORT to serve /metrics at instead of the public port.
    std::optional<std::string> metricsBind;
    std::string accept = "any";         // the least check a score needs: verified, replayed or any
    std::optional<std::string> config;  // the file the rest was read from, if any
    // Operator tools: instead of serving, export the table (csv or jsonl)
    // to standard output, of one game or all, or delete one name's scores.
    std::optional<std::string> exportFormat;
    std::optional<std::string> game;
    std::optional<std::string> deleteName;
    // Or replay every stored round's record and report each that disagrees.
    bool recheck = false;
    // Or take the counts of every game afresh from its rows.
    bool recount = false;
    // Or copy a live SQLite database to a file, or load such a copy.
    std::optional<std::string> backup;
    std::optional<std::string> restore;
    bool help = false;
    bool version = false;
};

// The options, or a message saying what is wrong with them (without the
// program's name or the hint to --help).
// A --config FILE is read first and the rest of the command line applied
// over it.
std::variant<Options, std::string> ParseOptions(int argc, const char* const* argv);

// Applies the "name = value" lines of a configuration file to `o`; the
// message, naming the file and line, of the first bad one.
std::optional<std::string> ApplyConfigFile(Options& o, const std::string& file);

std::string Usage(const std::string& program);

}  // namespace scoreboard
