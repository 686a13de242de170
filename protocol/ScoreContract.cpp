#include "ScoreContract.h"

#include <boost/json.hpp>

namespace score_protocol {
namespace json = boost::json;

Outcome OutcomeOf(long httpStatus) {
    switch (httpStatus) {
        case status::kAlreadyStored:
        case status::kStored: return Outcome::Stored;
        case status::kBadBody:
        case status::kTooLarge:
        case status::kIdTaken: return Outcome::GiveUp;
        default: return Outcome::RetryLater;
    }
}

std::string ErrorBody(std::string_view message, std::string_view field) {
    json::object body{{"error", message}};
    if (!field.empty()) body["field"] = field;
    return json::serialize(body);
}

std::optional<ErrorAnswer> ReadErrorBody(std::string_view answer) {
    json::error_code ec;
    const json::value v = json::parse(answer, ec);
    if (ec || !v.is_object()) return std::nullopt;
    const json::object& o = v.get_object();
    const json::value* error = o.if_contains("error");
    if (!error || !error->is_string()) return std::nullopt;
    ErrorAnswer read{std::string(error->get_string()), {}};
    if (const json::value* field = o.if_contains("field"); field && field->is_string())
        read.field = std::string(field->get_string());
    return read;
}

std::string StoredBody(const StoredAnswer& a) {
    return json::serialize(json::object{
        {"id", a.id}, {"game", a.game}, {"name", a.name}, {"score", a.score}, {"time", a.time}, {"rank", a.rank}});
}

}  // namespace score_protocol
