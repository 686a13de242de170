// UTF-8 as the score protocol takes it: no overlong forms, no surrogates,
// nothing past U+10FFFF.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace score_protocol {

bool IsValidUtf8(std::string_view text);

// `text` with each byte that is not part of a valid sequence replaced by
// U+FFFD.
std::string ValidUtf8(std::string_view text);

// Number of code points in valid UTF-8.
std::size_t CodePoints(std::string_view text);

// Whether a C0 control, DEL or a C1 control starts at text[at]; `text` must
// be valid UTF-8.
bool ControlAt(std::string_view text, std::size_t at);
bool HasControl(std::string_view text);

// The length of the valid sequence that starts at text[at], or 0 when the
// byte there starts none.
std::size_t SequenceAt(std::string_view text, std::size_t at);

}  // namespace score_protocol
