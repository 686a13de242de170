#include "http/Validate.h"

#include "Utf8.h"

#include <charconv>

namespace scoreboard {

namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

std::optional<std::string> FormDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= s.size() || !IsHex(s[i + 1]) || !IsHex(s[i + 2])) return std::nullopt;
            unsigned v = 0;
            std::from_chars(s.data() + i + 1, s.data() + i + 3, v, 16);
            out += static_cast<char>(v);
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

template <typename Int>
bool ParseInt(std::string_view s, Int& out) {
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && ptr == s.data() + s.size() && !s.empty();
}

}  // namespace

std::variant<TableQuery, FieldError> ParseTableQuery(std::string_view query) {
    TableQuery q;
    bool haveGame = false;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty()) continue;
        const std::size_t eq = pair.find('=');
        const auto key = FormDecode(pair.substr(0, eq));
        const auto value = FormDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
        if (!key || !value) return FieldError{"", "query string has a bad %-escape"};
        if (*key == "game") {
            if (!score_protocol::IsValidUtf8(*value)) return FieldError{"game", "is not valid UTF-8"};
            q.game = *value;
            haveGame = true;
        } else if (*key == "limit") {
            if (!ParseInt(*value, q.limit) || q.limit < 1 || q.limit > kMaxTableLimit)
                return FieldError{"limit", "must be an integer from 1 to " + std::to_string(kMaxTableLimit)};
        } else if (*key == "around") {
            if (value->empty() || value->size() > 64) return FieldError{"around", "must be a score's id"};
            std::string id = *value;
            for (char& ch : id)
                if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
            q.around = std::move(id);
        } else if (*key == "period") {
            const auto period = ParsePeriod(*value);
            if (!period) return FieldError{"period", "must be all, week or day"};
            q.period = *period;
        } else if (*key == "verified") {
            if (*value != "0" && *value != "1") return FieldError{"verified", "must be 0 or 1"};
            q.checkedOnly = *value == "1";
        } else if (*key == "offset") {
            if (!ParseInt(*value, q.offset) || q.offset < 0)
                return FieldError{"offset", "must be a non-negative integer"};
        }
    }
    if (!haveGame || q.game.empty()) return FieldError{"game", "is required"};
    // A row's place is among all rows; among the checked ones it has none to find.
    if (q.around && q.checkedOnly) return FieldError{"around", "cannot be asked with verified=1"};
    return q;
}

}  // namespace scoreboard
