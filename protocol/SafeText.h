// Text from the player or the network, made safe for where it goes: the
// score table, or one line of a log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace score_protocol {

// `text` as valid UTF-8, each control character replaced by a space, cut
// after `maxCharacters` characters: what the table takes without refusing.
std::string Presentable(std::string_view text, std::size_t maxCharacters);

// `text` for one line of a log: each byte that could end the line, start a
// terminal escape or pass for one of these escapes (controls, backslash,
// bytes of invalid UTF-8) shown as \xNN; cut after `maxBytes` with "...".
std::string LogSafe(std::string_view text, std::size_t maxBytes = 200);

}  // namespace score_protocol
