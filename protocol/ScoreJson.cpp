#include "ScoreJson.h"

#include "SafeText.h"
#include "ScoreProtocol.h"
#include "Utf8.h"

#include <boost/json.hpp>

#include <limits>
#include <optional>
#include <utility>

namespace score_protocol {
namespace json = boost::json;

std::string ScoreBody(std::string_view game, std::int32_t score, std::string_view name, std::string_view id,
                      std::string_view round) {
    json::object o;
    o["game"] = Presentable(game, kMaxGameCharacters);
    o["score"] = score;
    o["name"] = Presentable(name, kMaxNameCharacters);
    o["id"] = ValidUtf8(id);
    if (!round.empty()) o["round"] = ValidUtf8(round);
    return json::serialize(o);
}

namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::string LowerHex(std::string_view s) {
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
    if (!IsValidUtf8(text)) return FieldError{field, "is not valid UTF-8"};
    const std::size_t n = CodePoints(text);
    if (n < min) return FieldError{field, "must not be empty"};
    if (n > max) return FieldError{field, "must be at most " + std::to_string(max) + " characters"};
    if (HasControl(text)) return FieldError{field, "must not contain control characters"};
    return std::nullopt;
}

}  // namespace

std::optional<ScoreRequest> ReadScoreRequest(std::string_view body) {
    json::error_code ec;
    const json::value v = json::parse(body, ec);
    if (ec || !v.is_object()) return std::nullopt;
    const json::object& o = v.get_object();
    const json::value* game = o.if_contains("game");
    const json::value* score = o.if_contains("score");
    const json::value* name = o.if_contains("name");
    const json::value* id = o.if_contains("id");
    if (!game || !game->is_string() || !name || !name->is_string() || !id || !id->is_string()) return std::nullopt;
    if (!score || !score->is_int64()) return std::nullopt;
    return ScoreRequest{std::string(game->get_string()), score->get_int64(), std::string(name->get_string()),
                        std::string(id->get_string())};
}

bool IsUuid(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !IsHex(text[i])) return false;
    }
    return true;
}

std::variant<Submission, FieldError> ParseSubmission(std::string_view body) {
    // Checked on the raw bytes too, so invalid UTF-8 in a member we ignore is
    // still refused.
    if (!IsValidUtf8(body)) return FieldError{"", "body is not valid UTF-8"};
    json::error_code ec;
    json::value doc = json::parse(body, ec);
    if (ec) return FieldError{"", "body is not valid JSON: " + ec.message()};
    if (!doc.is_object()) return FieldError{"", "body must be a JSON object"};
    const json::object& obj = doc.get_object();

    if (auto err = CheckText("game", obj.if_contains("game"), 1, kMaxGameCharacters)) return *err;
    if (auto err = CheckText("name", obj.if_contains("name"), 0, kMaxNameCharacters)) return *err;

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

    std::optional<std::string> round;
    if (const json::value* r = obj.if_contains("round")) {
        if (!r->is_string()) return FieldError{"round", "must be a string"};
        round = std::string(r->get_string());
    }

    return Submission{std::string(obj.at("game").get_string()), static_cast<std::int32_t>(points),
                      std::string(obj.at("name").get_string()), LowerHex(idText), std::move(round)};
}

}  // namespace score_protocol
