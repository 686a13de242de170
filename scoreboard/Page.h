// The public web page: plain HTML rendered on the server, readable without
// scripts and with a screen reader.
#pragma once

#include "Store.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace scoreboard {

inline constexpr int kPageRowsPerGame = 10;
inline constexpr int kPageMaxGames = 50;

// No scripts, no inline styles, nothing from elsewhere: only our stylesheet.
inline constexpr std::string_view kPageCsp =
    "default-src 'none'; style-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

std::string HtmlEscape(std::string_view text);

// 2024-05-01T12:03:04.250Z
std::string IsoTime(std::int64_t timeMs);

std::string RenderPage(ScoreStore& store);
std::string_view Stylesheet();

}  // namespace scoreboard
