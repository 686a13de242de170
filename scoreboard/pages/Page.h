// The public web page: plain HTML rendered on the server, readable without
// scripts and with a screen reader.
#pragma once

#include "store/Period.h"
#include "store/Store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace scoreboard {

inline constexpr int kPageRowsPerGame = 10;
inline constexpr int kPageMaxGames = 50;
// Rows on each page of one game's table.
inline constexpr int kGamePageRows = 25;
// Beyond any table's length, and small enough that no offset overflows.
inline constexpr std::int64_t kMaxGamePage = 1'000'000'000;

// No scripts, no inline styles, nothing from elsewhere: only our stylesheet.
inline constexpr std::string_view kPageCsp =
    "default-src 'none'; style-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

std::string HtmlEscape(std::string_view text);

// 2024-05-01T12:03:04.250Z
std::string IsoTime(std::int64_t timeMs);

// One path segment: every byte but letters, digits and -._~ as %XX.
std::string PathEncode(std::string_view segment);
// The inverse, for a segment as it arrives: %XX escapes, '+' as itself.
// nullopt on a bad escape or when the bytes are not UTF-8.
std::optional<std::string> PathDecode(std::string_view segment);

// Where a game's table (page 1 at /games/<game>) and a player's page are;
// `you` names the player whose row the table marks as theirs.
// `checkedOnly`: the view of checked rounds only (replayed or verified).
std::string GamePath(std::string_view game, std::int64_t page = 1, Period period = Period::All,
                     std::string_view you = {}, bool checkedOnly = false);
std::string PlayerPath(std::string_view name);
// The page of a game's table that shows the row of this rank.
std::int64_t GamePageOf(std::int64_t rank);

// An HTML page and the status it goes with: pages for what has no scores
// are 404s, so that links to them are seen to be broken.
struct HtmlPage {
    int status = 200;
    std::string html;
};

// The front page: each game's best rows, each linking to its own table.
std::string RenderPage(ScoreStore& store);
// Page `page` (1 is the best rows) of one game's table, of all time or of
// this week or today as of nowMs, with links to the other two. The first
// row on it of the player named `you`, if any, is marked as theirs.
HtmlPage RenderGamePage(ScoreStore& store, std::string_view game, std::int64_t page, Period period = Period::All,
                        std::int64_t nowMs = 0, std::string_view you = {}, bool checkedOnly = false);
// How far a score was checked, in words for the table's cell.
std::string_view CheckWords(Check check);
// A player's best score and rank in each game.
HtmlPage RenderPlayerPage(ScoreStore& store, std::string_view name);
// A page for an error: a heading, a sentence, and the way back to the front page.
std::string RenderErrorPage(std::string_view heading, std::string_view message);
std::string_view Stylesheet();

}  // namespace scoreboard
