// What the handler's routes share: responses of each kind, the parts of a
// target, and the routes themselves, the JSON API (ApiRoutes.cpp) and the
// HTML pages (PageRoutes.cpp). Only for the handler's own files.
#pragma once

#include "ScoreContract.h"
#include "http/Handler.h"
#include "http/Log.h"

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace scoreboard::routes {

inline constexpr std::string_view kGamesPath = "/api/games";
inline constexpr std::string_view kRoundsPath = "/api/rounds";
inline constexpr std::string_view kApiDescriptionPath = "/api/openapi.json";
inline constexpr std::string_view kPlayersApiPrefix = "/api/players/";
inline constexpr std::string_view kGamePagePrefix = "/games/";
inline constexpr std::string_view kPlayerPagePrefix = "/players/";

// The statuses of a score post are the wire contract's.
namespace wire = score_protocol::status;
inline http::status Status(int code) { return static_cast<http::status>(code); }

// What an answer needs of its request, kept while a post waits for the disk.
struct Asked {
    unsigned version;
    bool keepAlive;
    bool head;
};
Asked AskedOf(const Request& req);

Response MakeResponse(http::status status, unsigned version, bool keepAlive, std::string_view type, std::string body);
// The store's failures, logged as a run rather than one line each.
RepeatedError& StoreErrors();
// 503 for a transient failure of the store, 500 for any other.
Response FailureResponse(const Asked& asked, const std::exception_ptr& error);
// The same question gets the same answer until the next commit.
std::shared_ptr<const std::string> Kept(HandlerDeps& deps, std::string_view key,
                                        const std::function<std::string()>& make);

std::string_view PathOf(std::string_view target);
std::string_view QueryOf(std::string_view target);
// The one path segment after prefix: nullopt when there is none, or more than one.
std::optional<std::string_view> SegmentAfter(std::string_view path, std::string_view prefix);

// The JSON API.
// Answers through `done` once the store has the score on disk.
void PostScore(const Request& req, HandlerDeps& deps, std::function<void(Response)> done);
// A round token for a round starting now.
Response PostRound(const Request& req, HandlerDeps& deps);
Response GetScores(const Request& req, HandlerDeps& deps);
Response GetGames(const Request& req, HandlerDeps& deps);
// A name with no scores has an empty list, as a game with none has an empty table.
Response GetPlayer(const Request& req, HandlerDeps& deps);
// The API's description: http/openapi.json as built in.
Response GetApiDescription(const Request& req);

// The HTML pages.
Response GetPage(const Request& req, HandlerDeps& deps);
Response GetGamePage(const Request& req, HandlerDeps& deps);
Response GetPlayerPage(const Request& req, HandlerDeps& deps);
Response GetStylesheet(const Request& req);
// A page for browsers, a JSON error for programs under /api/.
Response NotFound(const Request& req);

}  // namespace scoreboard::routes
