#include "delivery/RoundToken.h"

#include "delivery/ScoreTransfer.h"

#include "ScoreContract.h"

#include <boost/json.hpp>

#include <algorithm>
#include <limits>

namespace Corvane::detail {

namespace json = boost::json;

std::optional<RoundToken> ReadRoundToken(std::string_view answer) {
    json::error_code ec;
    const json::value v = json::parse(answer, ec);
    if (ec || !v.is_object()) return std::nullopt;
    const json::value* token = v.get_object().if_contains("token");
    const json::value* seed = v.get_object().if_contains("seed");
    if (!token || !token->is_string() || !seed) return std::nullopt;
    const json::string& text = token->get_string();
    if (text.empty() || text.size() > kMaxTokenBytes ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7F; })) {
        return std::nullopt;
    }
    // Every seed a generator takes, and nothing else, is a JSON integer that
    // fits in 64 signed bits.
    if (!seed->is_int64() || seed->get_int64() < 0 || seed->get_int64() > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    return RoundToken{std::string(text), static_cast<std::uint32_t>(seed->get_int64())};
}

std::optional<RoundToken> FetchRoundToken(const std::string& url, std::string_view game,
                                          std::chrono::milliseconds wait) {
    StopDeadline deadline;
    deadline.Set(StopDeadline::Clock::now() + wait);
    json::object request;
    request["game"] = game;
    const TransferResult answer = TransferScore(url, json::serialize(request), deadline);
    if (answer.aborted || answer.status != score_protocol::status::kStored) return std::nullopt;
    return ReadRoundToken(answer.answer);
}

}  // namespace Corvane::detail
