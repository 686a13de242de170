// The score body, {"game","score","name","id"} and, when the round was
// recorded, "round", as the game's service writes it and as the score table
// reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace score_protocol {

// The body to post. Texts are made Presentable within the table's limits,
// so a name typed with a stray tab or at length does not lose the score;
// the id is only made valid UTF-8. `round`, the round's record as text, is
// left out when empty, so a score without one posts as it always has. Always
// valid JSON.
std::string ScoreBody(std::string_view game, std::int32_t score, std::string_view name, std::string_view id,
                      std::string_view round = {});

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
    // The round's record as the game encoded it, when it sent one; the table
    // judges what is in it.
    std::optional<std::string> round = std::nullopt;
};

// Reads a posted body as the table takes it: nothing is repaired, and
// anything outside the limits is refused. Unknown members are ignored.
std::variant<Submission, FieldError> ParseSubmission(std::string_view body);

// A body as the sender keeps it: the four members with their JSON types,
// none of the table's limits (the table judges those). The score is any
// integer JSON holds as signed 64 bits.
struct ScoreRequest {
    std::string game;
    std::int64_t score = 0;
    std::string name;
    std::string id;
};
// nullopt unless the body is a JSON object with a string "game", "name" and
// "id" and an integer "score".
std::optional<ScoreRequest> ReadScoreRequest(std::string_view body);

// The canonical 8-4-4-4-12 form; any version.
bool IsUuid(std::string_view text);

}  // namespace score_protocol
