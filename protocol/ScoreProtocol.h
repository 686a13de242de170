// Where the score table listens and what it takes: the numbers the game's
// service and the server must agree on.
#pragma once

#include <cstddef>
#include <string_view>

namespace score_protocol {

// The table's default port, on the machine the game runs on.
inline constexpr unsigned short kDefaultPort = 8765;
// Scores are posted to, and read from, this path under the table's base URL.
inline constexpr std::string_view kScoresPath = "/api/scores";
// A round's token is asked for here, under the same base URL.
inline constexpr std::string_view kRoundsPath = "/api/rounds";

// Texts are counted in characters (code points), not bytes.
inline constexpr std::size_t kMaxGameCharacters = 64;
inline constexpr std::size_t kMaxNameCharacters = 32;

}  // namespace score_protocol
