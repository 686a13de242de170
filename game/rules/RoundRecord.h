// A round as the game played it, kept so that the score table can replay it:
// the rules' version, the generator at the start, and every key the round
// handled with the time it was read.
#pragma once

#include "Generator.h"
#include "RoundRules.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace round_rules {

struct Record {
    int version = kVersion;
    std::string token;  // empty: the table did not answer at the round's start
    Start start;
    platform::GeneratorKind generatorKind = platform::NativeGeneratorKind();
    // The generator at the round's start; empty when the token gives it
    // (Seeded(kind, the token's seed)).
    std::vector<std::uint32_t> generatorState;
    std::vector<Key> keys;  // every key the round handled (Other for s, -, =, h and any unknown key)
    friend bool operator==(const Record&, const Record&) = default;
};

// The most keys a record may hold: a person's most keys a second through
// the two minutes and a little over for pauses. Longer is refused unread.
inline constexpr std::size_t kMaxKeys = static_cast<std::size_t>(kMaxKeysPerSecond) * (kRoundMs / 1000 + 10);
inline constexpr std::size_t kMaxTokenBytes = 255;
// Longer text is refused before it is decoded.
inline constexpr std::size_t kMaxRecordText = 32768;

// Compact text: base64url (no padding) of a binary form, with a CRC-32 of
// the bytes at the end. A two-minute round at 10 keys a second is well
// under 3 KB.
std::string EncodeRecord(const Record& record);

struct Decoded {
    std::optional<Record> record;
    std::string error;  // one clear sentence, for the 422 body
};
// Refuses bad base64, a bad CRC, a truncated record, trailing bytes, an
// unknown version of the rules, too many keys and anything malformed, with
// bounded work before any allocation the record's counts ask for.
Decoded DecodeRecord(std::string_view text);

struct Replay {
    bool ok = false;
    std::string error;  // one clear sentence when !ok
    std::int32_t score = 0;
};
// Replays under the rules: times never going backwards, no key before
// kSettleMs, no key sooner than kAfterHitMs after a hit, no keys after the
// key that ended the round, the round lasting its two minutes of play (it
// must end by a key), no more than kMaxKeysPerSecond keys in any 1000 ms.
// start: the generator the table derived (the record's state, or seeded from
// the token).
Replay ReplayRecord(const Record& record, platform::Generator start);

}  // namespace round_rules
