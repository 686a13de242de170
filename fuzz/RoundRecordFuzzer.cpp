// A round record as the score table receives it: decoded, and if it decodes,
// replayed. Whatever decodes is exactly what encoding that record gives back
// (one text per record, so a changed text is never the same round); a
// replay the rules accept never scores above the most any round can; a
// refusal always says why.
#include "RoundRecord.h"

#include <cstdint>
#include <string>
#include <string_view>

using namespace round_rules;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Decoded decoded = DecodeRecord(text);
    if (!decoded.record) {
        if (decoded.error.empty()) __builtin_trap();
        return 0;
    }
    const Record& record = *decoded.record;
    if (EncodeRecord(record) != text) __builtin_trap();

    // The generator the table derives: the record's state, or one seeded
    // from a token's seed.
    const auto start = record.generatorState.empty()
                           ? platform::Generator::Seeded(record.generatorKind, 0x9E3779B9U)
                           : platform::Generator::FromState(record.generatorKind, record.generatorState);
    if (!start) __builtin_trap();
    const Replay replay = ReplayRecord(record, *start);
    if (replay.ok ? replay.score > kMaxScore : replay.error.empty()) __builtin_trap();
    return 0;
}
