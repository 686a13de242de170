#include "Page.h"

#include <ctime>

namespace scoreboard {

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

namespace {

std::tm Utc(std::int64_t timeMs) {
    std::int64_t secs = timeMs / 1000;
    if (timeMs % 1000 < 0) --secs;
    const auto t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
}

std::string Format(const std::tm& tm, const char* fmt) {
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, fmt, &tm);
    return std::string(buf, n);
}

}  // namespace

std::string IsoTime(std::int64_t timeMs) {
    const int ms = static_cast<int>(((timeMs % 1000) + 1000) % 1000);
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03dZ", ms);
    return Format(Utc(timeMs), "%Y-%m-%dT%H:%M:%S") + frac;
}

std::string RenderPage(ScoreStore& store) {
    auto games = store.Games();
    const bool cut = games.size() > static_cast<std::size_t>(kPageMaxGames);
    if (cut) games.resize(kPageMaxGames);

    std::string h;
    h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         "<title>Barnblast score table</title>\n<link rel=\"stylesheet\" href=\"/style.css\">\n"
         "</head>\n<body>\n<header><h1>Barnblast score table</h1></header>\n<main>\n";
    if (games.empty()) {
        h += "<p>No scores yet. Play a round and send your score.</p>\n";
    } else {
        h += "<p>The best " + std::to_string(kPageRowsPerGame) +
             " scores of each game, best first. Equal scores are listed in the order they arrived. "
             "Times are in UTC.</p>\n";
    }
    if (games.size() > 1) {
        h += "<nav aria-label=\"Games\">\n<ul>\n";
        for (std::size_t i = 0; i < games.size(); ++i)
            h += "<li><a href=\"#game-" + std::to_string(i + 1) + "\">" + HtmlEscape(games[i].game) + "</a></li>\n";
        h += "</ul>\n</nav>\n";
    }
    for (std::size_t i = 0; i < games.size(); ++i) {
        const std::string id = "game-" + std::to_string(i + 1);
        const std::string game = HtmlEscape(games[i].game);
        // Rows and total from one read, so the caption matches the table.
        const TablePage page = store.Read(games[i].game, kPageRowsPerGame, 0);
        const auto& rows = page.rows;
        h += "<section aria-labelledby=\"" + id + "\">\n<h2 id=\"" + id + "\">" + game + "</h2>\n";
        h += "<table>\n<caption>" + game + ": top " + std::to_string(rows.size()) + " of " +
             std::to_string(page.total) + (page.total == 1 ? " score" : " scores") + "</caption>\n";
        h += "<thead><tr><th scope=\"col\">Rank</th><th scope=\"col\">Name</th><th scope=\"col\">Score</th>"
             "<th scope=\"col\">Time (UTC)</th></tr></thead>\n<tbody>\n";
        for (const auto& r : rows) {
            const std::tm tm = Utc(r.timeMs);
            h += "<tr><th scope=\"row\">" + std::to_string(r.rank) + "</th><td>";
            h += r.name.empty() ? std::string("<i>no name</i>") : HtmlEscape(r.name);
            h += "</td><td>" + std::to_string(r.score) + "</td><td><time datetime=\"" + IsoTime(r.timeMs) + "\">" +
                 Format(tm, "%Y-%m-%d %H:%M") + "</time></td></tr>\n";
        }
        h += "</tbody>\n</table>\n</section>\n";
    }
    if (cut) h += "<p>Only the first " + std::to_string(kPageMaxGames) + " games by name are shown.</p>\n";
    h += "</main>\n</body>\n</html>\n";
    return h;
}

std::string_view Stylesheet() {
    return "body{font-family:system-ui,sans-serif;font-size:1.1rem;line-height:1.5;max-width:48rem;"
           "margin:0 auto;padding:1rem;color:#111;background:#fff}\n"
           "table{border-collapse:collapse;width:100%;margin-bottom:2rem}\n"
           "caption{text-align:left;font-weight:bold;padding:.5rem 0}\n"
           "th,td{border:1px solid #555;padding:.4rem .6rem;text-align:left}\n"
           "thead th{background:#e8e8e8}\n"
           "td:nth-child(3){text-align:right;font-variant-numeric:tabular-nums}\n"
           "a{color:#0645ad}\n"
           "a:focus{outline:3px solid #111}\n"
           "@media (prefers-color-scheme:dark){body{color:#eee;background:#111}thead th{background:#333}"
           "th,td{border-color:#aaa}a{color:#8ab4f8}a:focus{outline-color:#eee}}\n";
}

}  // namespace scoreboard
