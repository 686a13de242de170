// Checks on what clients send: the score body and the table query.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace scoreboard {

inline constexpr std::size_t max_game_chars = 64;
inline constexpr std::size_t max_name_chars = 32;
inline constexpr int default_table_limit = 10;
inline constexpr int max_table_limit = 100;

bool valid_utf8(std::string_view s);
// Number of code points in valid UTF-8.
std::size_t code_points(std::string_view s);
// C0, DEL and C1 controls; s must be valid UTF-8.
bool has_control(std::string_view s);

// What is wrong, and where: field is empty when the body as a whole is bad.
struct FieldError {
    std::string field;
    std::string reason;
};

struct Submission {
    std::string game;
    std::int32_t score = 0;
    std::string name;
    std::string id;  // normalised to lower case
};

// Parses a POST /api/scores body. Unknown members are ignored.
std::variant<Submission, FieldError> parse_submission(std::string_view body);

struct TableQuery {
    std::string game;
    int limit = default_table_limit;
    std::int64_t offset = 0;
};

// Parses the query string (without '?') of GET /api/scores.
std::variant<TableQuery, FieldError> parse_table_query(std::string_view query);

// application/x-www-form-urlencoded decoding; nullopt on a bad escape.
std::optional<std::string> form_decode(std::string_view s);

}  // namespace scoreboard
