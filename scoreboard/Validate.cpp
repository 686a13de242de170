#include "Validate.h"

#include <boost/json.hpp>

#include <charconv>
#include <limits>

namespace scoreboard {
namespace json = boost::json;

bool ValidUtf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra = 0;
        unsigned cp = 0;
        unsigned min = 0;
        if ((c & 0xE0) == 0xC0) {
            extra = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (end - p <= extra) return false;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and values past Unicode.
        if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
        p += extra + 1;
    }
    return true;
}

std::size_t CodePoints(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

bool HasControl(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) return true;
        // U+0080..U+009F are encoded as C2 80..C2 9F.
        if (c == 0xC2 && i + 1 < s.size()) {
            const auto d = static_cast<unsigned char>(s[i + 1]);
            if (d >= 0x80 && d <= 0x9F) return true;
        }
    }
    return false;
}

namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The canonical 8-4-4-4-12 form; any version, since the client makes it.
bool IsUuid(std::string_view s) {
    if (s.size() != 36) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !IsHex(s[i])) return false;
    }
    return true;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::optional<FieldError> CheckText(const char* field, const json::value* v, std::size_t min, std::size_t max) {
    if (!v) return FieldError{field, "is required"};
    if (!v->is_string()) return FieldError{field, "must be a string"};
    const json::string& s = v->get_string();
    const std::string_view text(s.data(), s.size());
    if (!ValidUtf8(text)) return FieldError{field, "is not valid UTF-8"};
    const std::size_t n = CodePoints(text);
    if (n < min) return FieldError{field, "must not be empty"};
    if (n > max) return FieldError{field, "must be at most " + std::to_string(max) + " characters"};
    if (HasControl(text)) return FieldError{field, "must not contain control characters"};
    return std::nullopt;
}

}  // namespace

std::variant<Submission, FieldError> ParseSubmission(std::string_view body) {
    // Checked on the raw bytes too, so invalid UTF-8 in a member we ignore is
    // still refused.
    if (!ValidUtf8(body)) return FieldError{"", "body is not valid UTF-8"};
    json::error_code ec;
    json::value doc = json::parse(body, ec);
    if (ec) return FieldError{"", "body is not valid JSON: " + ec.message()};
    if (!doc.is_object()) return FieldError{"", "body must be a JSON object"};
    const json::object& obj = doc.get_object();

    if (auto err = CheckText("game", obj.if_contains("game"), 1, kMaxGameChars)) return *err;
    if (auto err = CheckText("name", obj.if_contains("name"), 0, kMaxNameChars)) return *err;

    const json::value* score = obj.if_contains("score");
    if (!score) return FieldError{"score", "is required"};
    std::int64_t points = 0;
    if (score->is_int64()) {
        points = score->get_int64();
    } else if (score->is_uint64()) {
        return FieldError{"score", "must fit in a signed 32-bit integer"};
    } else {
        return FieldError{"score", "must be an integer"};
    }
    if (points < std::numeric_limits<std::int32_t>::min() || points > std::numeric_limits<std::int32_t>::max())
        return FieldError{"score", "must fit in a signed 32-bit integer"};

    const json::value* id = obj.if_contains("id");
    if (!id) return FieldError{"id", "is required"};
    if (!id->is_string()) return FieldError{"id", "must be a string"};
    const std::string_view idText(id->get_string().data(), id->get_string().size());
    if (!IsUuid(idText)) return FieldError{"id", "must be a UUID (8-4-4-4-12 hexadecimal digits)"};

    return Submission{std::string(obj.at("game").get_string()), static_cast<std::int32_t>(points),
                      std::string(obj.at("name").get_string()), Lower(idText)};
}

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
            if (!ValidUtf8(*value)) return FieldError{"game", "is not valid UTF-8"};
            q.game = *value;
            haveGame = true;
        } else if (*key == "limit") {
            if (!ParseInt(*value, q.limit) || q.limit < 1 || q.limit > kMaxTableLimit)
                return FieldError{"limit", "must be an integer from 1 to " + std::to_string(kMaxTableLimit)};
        } else if (*key == "offset") {
            if (!ParseInt(*value, q.offset) || q.offset < 0)
                return FieldError{"offset", "must be a non-negative integer"};
        }
    }
    if (!haveGame || q.game.empty()) return FieldError{"game", "is required"};
    return q;
}

}  // namespace scoreboard
