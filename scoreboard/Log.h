// Log lines on standard error, one write() each so threads never interleave.
#pragma once

#include <string>
#include <string_view>

namespace scoreboard {

void LogLine(std::string_view line);

// Bytes that could forge a log line or a terminal escape, shown as \xNN;
// long text cut short.
std::string LogSafe(std::string_view text, std::size_t max = 200);

}  // namespace scoreboard
