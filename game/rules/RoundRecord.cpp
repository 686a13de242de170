#include "RoundRecord.h"

namespace round_rules {

// Not yet written: nothing encodes, every record is refused.
std::string EncodeRecord(const Record&) { return {}; }
Decoded DecodeRecord(std::string_view) { return {std::nullopt, "round records are not read yet"}; }
Replay ReplayRecord(const Record&, platform::Generator) { return {false, "round records are not replayed yet", 0}; }

}  // namespace round_rules
