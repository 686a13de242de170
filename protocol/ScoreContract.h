// The score table's answers as both sides read them: the error body, the
// stored answer, and what each status means for the score that was posted.
// The request body itself is in ScoreJson.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace score_protocol {

// The statuses the table answers a score post with. Deployed servers and
// games rely on each of them; none may change.
namespace status {
inline constexpr int kAlreadyStored = 200;  // a retry of a score already kept
inline constexpr int kStored = 201;
inline constexpr int kBadBody = 400;  // and a bad Content-Length
inline constexpr int kLengthRequired = 411;
inline constexpr int kTooLarge = 413;
inline constexpr int kNotJson = 415;       // Content-Type or Content-Encoding
inline constexpr int kIdTaken = 422;       // the id was used for another score
inline constexpr int kTooManyPosts = 429;  // with Retry-After in seconds
inline constexpr int kInternalError = 500;
inline constexpr int kStoreBusy = 503;  // with Retry-After in seconds
}  // namespace status

// What an answer means for the score the sender holds.
enum class Outcome {
    Stored,      // the table has it: drop it
    RetryLater,  // keep it and send the same bytes again, after Retry-After if given
    GiveUp,      // the same bytes will never be taken: drop it
};

// The one reading of a status; anything not named here (a proxy's 502, a
// 404 from a wrong address, a 411 from a server that lost the length) is
// worth another try.
Outcome OutcomeOf(long httpStatus);

// The error body, {"error": message} with "field" naming the member at fault
// when there is one.
struct ErrorAnswer {
    std::string message;
    std::string field;
};
std::string ErrorBody(std::string_view message, std::string_view field = {});
// nullopt when the answer is not an error body (a proxy's page, say).
std::optional<ErrorAnswer> ReadErrorBody(std::string_view answer);

// The answer to a stored or already stored score: the row as kept, and its rank.
struct StoredAnswer {
    std::string id;
    std::string game;
    std::string name;
    std::int32_t score = 0;
    std::string time;  // ISO 8601, UTC, milliseconds
    std::int64_t rank = 0;
};
std::string StoredBody(const StoredAnswer& answer);

}  // namespace score_protocol
