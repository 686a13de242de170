// A round's token from the score table: asked for as the round starts, and
// never waited for longer than the game allows.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Corvane::detail {

struct RoundToken {
    std::string token;
    std::uint32_t seed = 0;
};

// The table's answer to a token request: {"token": text, "seed": 0..2^32-1}.
// nullopt for anything else, and for a token that is empty, longer than
// kMaxTokenBytes or not printable ASCII (it travels in the round's record).
std::optional<RoundToken> ReadRoundToken(std::string_view answer);
inline constexpr std::size_t kMaxTokenBytes = 128;

// POSTs {"game": game} to `url` and reads a 201 answer; nullopt when none
// comes within `wait`, or the answer is anything else.
std::optional<RoundToken> FetchRoundToken(const std::string& url, std::string_view game,
                                          std::chrono::milliseconds wait);

}  // namespace Corvane::detail
