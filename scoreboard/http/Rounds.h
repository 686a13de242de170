// Trusted scores: round tokens, and the replay of a posted round under the
// rules the game plays by. Only "Barnblast V2"'s rules are known here.
//
// A token is signed rather than stored: it carries its seed and the time it
// was issued, with an HMAC over them under a key kept in the database, so
// that every server on one database reads any server's token alike and
// issuing one writes nothing. That it is used once is the database's to
// keep: a stored score holds its token under a unique index.
#pragma once

#include "store/Store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace scoreboard {

// The game whose rounds the table can replay.
inline constexpr std::string_view kRulesGame = "Barnblast V2";

struct RoundToken {
    std::uint32_t seed = 0;     // the generator's seed for the round
    std::int64_t issuedMs = 0;  // Unix epoch ms
    std::uint64_t nonce = 0;    // so that two tokens of one millisecond and seed differ
};

// The token's text: the three fields and their HMAC-SHA1 under `key`, in hex.
std::string SignToken(std::string_view key, const RoundToken& token);
// nullopt unless `text` is a token signed under `key`.
std::optional<RoundToken> ReadToken(std::string_view key, std::string_view text);

// A new token for a round starting now: a seed and a nonce from the
// system's random source.
RoundToken NewToken(std::int64_t nowMs);

// What a post's round comes to: the check it earns, or why it is refused.
struct RoundChecked {
    Check check = Check::Unverified;
    std::string token;  // the round token it used, if any
};
struct RoundRefused {
    std::string field;  // the member at fault: "score" or "round"
    std::string message;
};

// Judges a score for `game` and the round record posted with it (none:
// nullopt) as of nowMs; `key` signs the tokens. Other games' scores are
// Unverified, as they always were.
std::variant<RoundChecked, RoundRefused> CheckRound(std::string_view game, std::int32_t score,
                                                    const std::optional<std::string>& round, std::string_view key,
                                                    std::int64_t nowMs);

// The message refusing a score checked less than `least`.
std::string WeakerThanAccepted(Check check, Check least);

// The record as stored: deflated; and back. Inflate's nullopt: not a
// deflated record.
std::string CompressRecord(std::string_view record);
std::optional<std::string> DecompressRecord(std::string_view stored);

// Replays a stored row's record again (after a fix of the rules); nullopt
// when it agrees with the row, or else what is wrong. A row without a
// record agrees.
std::optional<std::string> Recheck(const ExportRow& row, std::string_view key);

}  // namespace scoreboard
