// Log lines on standard error, one write() each so threads never interleave.
#pragma once

#include <string_view>

namespace scoreboard {

void LogLine(std::string_view line);

}  // namespace scoreboard
