// Checks on the table query; the score body is the score protocol's.
#pragma once

#include "ScoreJson.h"
#include "store/Period.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace scoreboard {

inline constexpr int kDefaultTableLimit = 10;
inline constexpr int kMaxTableLimit = 100;

using score_protocol::FieldError;

struct TableQuery {
    std::string game;
    int limit = kDefaultTableLimit;
    std::int64_t offset = 0;
    Period period = Period::All;
    // A stored score's id: the rows around it rather than from offset.
    std::optional<std::string> around;
    // verified=1: only the rows whose round was replayed, ranked among themselves.
    bool checkedOnly = false;
};

// Parses the query string (without '?') of GET /api/scores.
std::variant<TableQuery, FieldError> ParseTableQuery(std::string_view query);

// application/x-www-form-urlencoded decoding; nullopt on a bad escape.
std::optional<std::string> FormDecode(std::string_view s);

}  // namespace scoreboard
