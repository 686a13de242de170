// The command line.
#pragma once

#include <string>
#include <variant>

namespace scoreboard {

inline constexpr unsigned short default_port = 8765;

struct Options {
    std::string bind = "127.0.0.1";
    unsigned short port = default_port;
    std::string db = "scoreboard.db";
    int threads = 4;
    int rate_limit = 30;  // posts per minute per address; a round lasts two
    bool trust_proxy = false;
    bool help = false;
};

// The options, or a message saying what is wrong with them.
std::variant<Options, std::string> parse_options(int argc, const char* const* argv);

std::string usage(const std::string& program);

}  // namespace scoreboard
