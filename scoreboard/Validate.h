// Checks on what clients send: the score body and the table query.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace scoreboard {

inline constexpr std::size_t kMaxGameChars = 64;
inline constexpr std::size_t kMaxNameChars = 32;
inline constexpr int kDefaultTableLimit = 10;
inline constexpr int kMaxTableLimit = 100;

bool ValidUtf8(std::string_view s);
// Number of code points in valid UTF-8.
std::size_t CodePoints(std::string_view s);
// C0, DEL and C1 controls; s must be valid UTF-8.
bool HasControl(std::string_view s);

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
std::variant<Submission, FieldError> ParseSubmission(std::string_view body);

struct TableQuery {
    std::string game;
    int limit = kDefaultTableLimit;
    std::int64_t offset = 0;
};

// Parses the query string (without '?') of GET /api/scores.
std::variant<TableQuery, FieldError> ParseTableQuery(std::string_view query);

// application/x-www-form-urlencoded decoding; nullopt on a bad escape.
std::optional<std::string> FormDecode(std::string_view s);

}  // namespace scoreboard
