// The public web page: plain HTML rendered on the server, readable without
// scripts and with a screen reader.
#pragma once

#include "store.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace scoreboard {

inline constexpr int page_rows_per_game = 10;
inline constexpr int page_max_games = 50;

// No scripts, no inline styles, nothing from elsewhere: only our stylesheet.
inline constexpr std::string_view page_csp =
    "default-src 'none'; style-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

std::string html_escape(std::string_view text);

// 2024-05-01T12:03:04.250Z
std::string iso_time(std::int64_t time_ms);

std::string render_page(ScoreStore& store);
std::string_view stylesheet();

}  // namespace scoreboard
