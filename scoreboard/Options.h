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
    // Operator tools: instead of serving, export the table (csv or jsonl)
    // to standard output, of one game or all, or delete one name's scores.
    std::optional<std::string> exportFormat;
    std::optional<std::string> game;
    std::optional<std::string> deleteName;
    bool help = false;
    bool version = false;
};

// The options, or a message saying what is wrong with them (without the
// program's name or the hint to --help).
std::variant<Options, std::string> ParseOptions(int argc, const char* const* argv);

std::string Usage(const std::string& program);

}  // namespace scoreboard
