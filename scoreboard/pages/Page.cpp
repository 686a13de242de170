#include "pages/Page.h"

#include "Utf8.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>
#include <utility>
#include <vector>

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

std::string PathEncode(std::string_view segment) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(segment.size());
    for (const char c : segment) {
        const auto u = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::optional<std::string> PathDecode(std::string_view segment) {
    std::string out;
    out.reserve(segment.size());
    for (std::size_t i = 0; i < segment.size(); ++i) {
        if (segment[i] != '%') {
            out += segment[i];
            continue;
        }
        unsigned v = 0;
        const char* hex = segment.data() + i + 1;
        if (i + 2 >= segment.size() || std::isxdigit(static_cast<unsigned char>(hex[0])) == 0 ||
            std::isxdigit(static_cast<unsigned char>(hex[1])) == 0)
            return std::nullopt;
        std::from_chars(hex, hex + 2, v, 16);
        out += static_cast<char>(v);
        i += 2;
    }
    if (!score_protocol::IsValidUtf8(out)) return std::nullopt;
    return out;
}

std::string GamePath(std::string_view game, std::int64_t page, Period period, std::string_view you, bool checkedOnly) {
    std::string path = "/games/" + PathEncode(game);
    const auto add = [&path](std::string_view key, const std::string& value) {
        path += path.find('?') == std::string::npos ? "?" : "&";
        path += std::string(key) + "=" + value;
    };
    if (period != Period::All) add("period", std::string(PeriodName(period)));
    if (checkedOnly) add("checked", "1");
    if (page > 1) add("page", std::to_string(page));
    if (!you.empty()) add("you", PathEncode(you));
    return path;
}

std::string PlayerPath(std::string_view name) { return "/players/" + PathEncode(name); }

std::string_view CheckWords(Check check) {
    switch (check) {
        case Check::Verified: return "Verified: replayed, from a round the table timed";
        case Check::Replayed: return "Replayed: the round was played back to this score";
        case Check::Unverified: break;
    }
    return "Not checked: sent without its round";
}

std::int64_t GamePageOf(std::int64_t rank) { return rank < 1 ? 1 : (rank - 1) / kGamePageRows + 1; }

namespace {

constexpr std::string_view kSiteName = "Barnblast score table";

std::string Head(std::string_view title) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
           HtmlEscape(title) + "</title>\n<link rel=\"stylesheet\" href=\"/style.css\">\n</head>\n<body>\n";
}

// A name or a game, set apart from the text around it: a right-to-left one
// neither drags the words beside it along nor is reordered by them.
std::string Isolated(std::string_view text) { return "<bdi>" + HtmlEscape(text) + "</bdi>"; }
// The same where markup cannot go (a title): between FIRST STRONG ISOLATE
// and POP DIRECTIONAL ISOLATE.
std::string IsolatedText(std::string_view text) { return "\u2068" + std::string(text) + "\u2069"; }

// The header of every page but the front one is the way back; the heading
// (HTML) opens main, where a jump to the content lands.
std::string Header(const std::string& heading) {
    return "<header>\n<nav aria-label=\"Site\"><a href=\"/\">All games</a></nav>\n</header>\n<main>\n<h1>" + heading +
           "</h1>\n";
}

constexpr std::string_view kFoot = "</main>\n</body>\n</html>\n";

std::string Plural(std::int64_t n, std::string_view one, std::string_view many) {
    return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

std::string TimeCell(std::int64_t timeMs) {
    return "<td><time datetime=\"" + IsoTime(timeMs) + "\">" + Format(Utc(timeMs), "%Y-%m-%d %H:%M") + "</time></td>";
}

// `html` is HTML already.
std::string Link(const std::string& href, const std::string& html, std::string_view rel = {}) {
    std::string a = "<a";
    if (!rel.empty()) a += " rel=\"" + std::string(rel) + "\"";
    return a + " href=\"" + HtmlEscape(href) + "\">" + html + "</a>";
}

// A name links to the player's page; a score sent without one cannot.
std::string NameCell(const std::string& name) {
    if (name.empty()) return "<td><i>no name</i></td>";
    return "<td>" + Link(PlayerPath(name), Isolated(name)) + "</td>";
}

// A table opens in a section of its own, named by its caption: a region that
// alone scrolls on a narrow screen, and from the keyboard too.
std::string TableStart(const std::string& captionId, const std::string& caption) {
    return "<section class=\"table-scroll\" aria-labelledby=\"" + captionId +
           "\" tabindex=\"0\">\n<table>\n<caption id=\"" + captionId + "\">" + caption + "</caption>\n";
}
constexpr std::string_view kTableEnd = "</tbody>\n</table>\n</section>\n";

// Rows carry `idPrefix` and their rank as an id, so a link can land on one.
// The first row of the player named `you` says it is theirs.
std::string ScoreTable(const std::string& idPrefix, const std::string& caption, const std::vector<RankedScore>& rows,
                       std::string_view you = {}) {
    std::string h = TableStart(idPrefix + "caption", caption);
    h += "<thead><tr><th scope=\"col\">Rank</th><th scope=\"col\">Name</th><th scope=\"col\">Score</th>"
         "<th scope=\"col\">Time (UTC)</th><th scope=\"col\">Checked</th></tr></thead>\n<tbody>\n";
    bool marked = you.empty();
    for (const auto& r : rows) {
        const std::string rank = std::to_string(r.rank);
        const bool yours = !marked && r.name == you;
        marked = marked || yours;
        // In the row header, so that it is read out with every cell of the row.
        h += "<tr id=\"" + idPrefix + "rank-" + rank + "\"" + (yours ? " aria-current=\"true\"" : "") +
             "><th scope=\"row\">" + rank + (yours ? "<span class=\"visually-hidden\"> (your score)</span>" : "") +
             "</th>" + NameCell(r.name) + "<td class=\"num\">" + std::to_string(r.score) + "</td>" +
             TimeCell(r.timeMs) + "<td>" + std::string(CheckWords(r.check)) + "</td></tr>\n";
    }
    return h + std::string(kTableEnd);
}

// `message` and `links` are HTML already; the header leads back to the front page.
std::string ErrorPage(std::string_view heading, const std::string& message, const std::string& links = {}) {
    return Head(std::string(heading) + " - " + std::string(kSiteName)) + Header(HtmlEscape(heading)) + "<p>" + message +
           "</p>\n" + links + std::string(kFoot);
}

std::string Lower(std::string_view title) {
    std::string s(title);
    if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z') s[0] = static_cast<char>(s[0] - 'A' + 'a');
    return s;
}

std::string Quoted(std::string_view text) { return "\u201c" + Isolated(text) + "\u201d"; }

}  // namespace

std::string RenderPage(ScoreStore& store) {
    auto games = store.Games();
    const bool cut = games.size() > static_cast<std::size_t>(kPageMaxGames);
    if (cut) games.resize(kPageMaxGames);

    std::string h = Head(kSiteName);
    h += "<main>\n<h1>Barnblast score table</h1>\n";
    if (games.empty()) {
        h += "<p>No scores yet. Play a round and send your score.</p>\n";
    } else {
        h += "<p>The best " + std::to_string(kPageRowsPerGame) +
             " scores of each game, best first. Equal scores are listed in the order they arrived. "
             "Times are in UTC. Each game's full table is a link below it; each name leads to that "
             "player's best scores.</p>\n";
    }
    if (games.size() > 1) {
        h += "<nav aria-label=\"Games\">\n<ul>\n";
        for (std::size_t i = 0; i < games.size(); ++i)
            h += "<li>" + Link("#game-" + std::to_string(i + 1), Isolated(games[i].game)) + "</li>\n";
        h += "</ul>\n</nav>\n";
    }
    for (std::size_t i = 0; i < games.size(); ++i) {
        const std::string id = "game-" + std::to_string(i + 1);
        const std::string& game = games[i].game;
        // Rows and total from one read, so the caption matches the table.
        const TablePage page = store.Read(game, kPageRowsPerGame, 0);
        h += "<section aria-labelledby=\"" + id + "\">\n<h2 id=\"" + id + "\">" + Isolated(game) + "</h2>\n";
        // Each game's rows have ids of their own: game-2-rank-1 and so on.
        h += ScoreTable(id + "-",
                        Isolated(game) + ": top " + std::to_string(page.rows.size()) + " of " +
                            Plural(page.total, "score", "scores"),
                        page.rows);
        h += "<p>" + Link(GamePath(game), "All scores of " + Isolated(game)) + "</p>\n</section>\n";
    }
    if (cut) h += "<p>Only the first " + std::to_string(kPageMaxGames) + " games by name are shown.</p>\n";
    h += kFoot;
    return h;
}

namespace {

// Links to the same game's table of the other periods; the one shown is
// marked as the current one.
std::string PeriodNav(std::string_view game, Period shown, bool checkedOnly) {
    std::string h = "<nav aria-label=\"Periods\" class=\"pager\">\n<ul>\n";
    for (const Period p : kPeriods) {
        if (p == shown)
            h += "<li aria-current=\"page\">" + std::string(PeriodTitle(p)) + "</li>\n";
        else
            h += "<li>" + Link(GamePath(game, 1, p, {}, checkedOnly), std::string(PeriodTitle(p))) + "</li>\n";
    }
    h += "</ul>\n</nav>\n<nav aria-label=\"Scores shown\" class=\"pager\">\n<ul>\n";
    for (const bool checked : {false, true}) {
        const std::string title = checked ? "Checked rounds only" : "All scores";
        if (checked == checkedOnly)
            h += "<li aria-current=\"page\">" + title + "</li>\n";
        else
            h += "<li>" + Link(GamePath(game, 1, shown, {}, checked), title) + "</li>\n";
    }
    return h + "</ul>\n</nav>\n";
}

}  // namespace

HtmlPage RenderGamePage(ScoreStore& store, std::string_view game, std::int64_t page, Period period, std::int64_t nowMs,
                        std::string_view you, bool checkedOnly) {
    page = std::clamp<std::int64_t>(page, 1, kMaxGamePage);
    const std::int64_t offset = (page - 1) * kGamePageRows;
    const bool all = period == Period::All;
    const TablePage t = checkedOnly ? store.ReadChecked(game, Check::Replayed,
                                                        all ? std::nullopt : std::optional(DaysOf(period, nowMs)),
                                                        kGamePageRows, offset)
                                    : ReadPeriod(store, game, period, nowMs, kGamePageRows, offset);
    const std::string when =
        (all ? std::string() : ", " + Lower(PeriodTitle(period))) + (checkedOnly ? ", checked rounds only" : "");
    if (t.total == 0) {
        if ((all && !checkedOnly) || store.Count(game) == 0)
            return {404, ErrorPage("No such game", "There are no scores for " + Quoted(game) + ".")};
        // The game is there, with no scores yet in this period or view.
        std::string h = Head(IsolatedText(game) + when + " - " + std::string(kSiteName)) + Header(Isolated(game));
        h += PeriodNav(game, period, checkedOnly);
        h += "<p>No " + std::string(checkedOnly ? "checked rounds" : "scores") +
             (all ? std::string() : " " + Lower(PeriodTitle(period))) + " yet (UTC).</p>\n" + std::string(kFoot);
        return {200, std::move(h)};
    }
    const std::int64_t pages = (t.total + kGamePageRows - 1) / kGamePageRows;
    if (t.rows.empty()) {
        return {404, ErrorPage("No scores on this page",
                               "There are no scores on page " + std::to_string(page) + " of " + Quoted(game) + when +
                                   ": it has " + Plural(pages, "page", "pages") + ".",
                               "<p>" +
                                   Link(GamePath(game, pages, period, {}, checkedOnly),
                                        "Last page of " + Isolated(game) + when) +
                                   "</p>\n")};
    }
    const std::int64_t first = t.rows.front().rank;
    const std::int64_t last = t.rows.back().rank;
    const std::string range = std::to_string(first) + " to " + std::to_string(last) + " of " + std::to_string(t.total);
    std::string title = IsolatedText(game) + when;
    if (pages > 1) title += ", page " + std::to_string(page) + " of " + std::to_string(pages);
    std::string h = Head(title + " - " + std::string(kSiteName)) + Header(Isolated(game));
    h += PeriodNav(game, period, checkedOnly);
    h += "<p>" + (t.total == 1 ? std::string("One score") : "Scores " + range) +
         (all ? std::string()
              : " " + Lower(PeriodTitle(period)) + " (since " + (period == Period::Week ? "Monday" : "midnight") +
                    ", UTC)") +
         (checkedOnly ? ", only those whose round the table replayed" : "") +
         ", best first. Equal scores are listed in the order they arrived. Times are in UTC.</p>\n";
    h += ScoreTable("",
                    Isolated(game) + (all ? "" : ", " + std::string(PeriodTitle(period))) +
                        (checkedOnly ? ", checked rounds" : "") + ": " +
                        (t.total == 1 ? std::string("1 score") : "scores " + range),
                    t.rows, you);
    if (pages > 1) {
        h += "<nav aria-label=\"Pages of this table\" class=\"pager\">\n<ul>\n";
        if (page > 1)
            h += "<li>" + Link(GamePath(game, page - 1, period, {}, checkedOnly), "Previous page", "prev") + "</li>\n";
        h += "<li aria-current=\"page\">Page " + std::to_string(page) + " of " + std::to_string(pages) + "</li>\n";
        if (page < pages)
            h += "<li>" + Link(GamePath(game, page + 1, period, {}, checkedOnly), "Next page", "next") + "</li>\n";
        h += "</ul>\n</nav>\n";
    }
    h += kFoot;
    return {200, std::move(h)};
}

HtmlPage RenderPlayerPage(ScoreStore& store, std::string_view name) {
    const auto bests = store.PlayerBests(name);
    if (bests.empty()) {
        return {404, ErrorPage("No such player", "There are no scores by " + Quoted(name) + ".")};
    }
    std::string h = Head(IsolatedText(name) + " - " + std::string(kSiteName)) + Header(Isolated(name));
    h += "<p>The best score of " + Quoted(name) +
         " in each game, and where it ranks in that game's table. Times are in UTC.</p>\n";
    h += TableStart("caption", Isolated(name) + ": best score in " + Plural(std::ssize(bests), "game", "games"));
    h += "<thead><tr><th scope=\"col\">Game</th><th scope=\"col\">Score</th><th scope=\"col\">Rank</th>"
         "<th scope=\"col\">Time (UTC)</th></tr></thead>\n<tbody>\n";
    for (const auto& b : bests) {
        // To the page of the game's table with this row, marked as the player's.
        const std::string href =
            GamePath(b.game, GamePageOf(b.rank), Period::All, name) + "#rank-" + std::to_string(b.rank);
        h += "<tr><th scope=\"row\">" + Link(href, Isolated(b.game)) + "</th><td class=\"num\">" +
             std::to_string(b.score) + "</td><td class=\"num\">" + std::to_string(b.rank) + "</td>" +
             TimeCell(b.timeMs) + "</tr>\n";
    }
    h += kTableEnd;
    h += kFoot;
    return {200, std::move(h)};
}

std::string RenderErrorPage(std::string_view heading, std::string_view message) {
    return ErrorPage(heading, HtmlEscape(message));
}

std::string_view Stylesheet() {
    return "body{font-family:system-ui,sans-serif;font-size:1.1rem;line-height:1.5;max-width:48rem;"
           "margin:0 auto;padding:1rem;color:#111;background:#fff}\n"
           // Long names wrap rather than widen the page; the tables scroll in their own regions.
           "h1,h2,p,li{overflow-wrap:anywhere}\n"
           ".table-scroll{overflow-x:auto;margin-bottom:2rem}\n"
           "table{border-collapse:collapse;width:100%}\n"
           "caption{text-align:left;font-weight:bold;padding:.5rem 0}\n"
           "th,td{border:1px solid #555;padding:.4rem .6rem;text-align:left}\n"
           "thead th{background:#e8e8e8}\n"
           ".num{text-align:right;font-variant-numeric:tabular-nums}\n"
           ".pager ul{list-style:none;padding:0;display:flex;flex-wrap:wrap;gap:1.5rem}\n"
           "header nav{margin-top:.5rem}\n"
           "a{color:#0645ad}\n"
           "a:focus,.table-scroll:focus{outline:3px solid #111}\n"
           // Read out, not shown: the highlight says it to the eye.
           ".visually-hidden{position:absolute;width:1px;height:1px;margin:-1px;padding:0;border:0;"
           "overflow:hidden;clip-path:inset(50%);white-space:nowrap}\n"
           // The row a player's page links to stands out.
           "tr:target,tr[aria-current]{background:#fff3b0;outline:3px solid #111}\n"
           "@media (prefers-color-scheme:dark){body{color:#eee;background:#111}thead th{background:#333}"
           "th,td{border-color:#aaa}a{color:#8ab4f8}a:focus,.table-scroll:focus{outline-color:#eee}"
           "tr:target,tr[aria-current]{background:#4a3f00;outline-color:#eee}}\n";
}

}  // namespace scoreboard
