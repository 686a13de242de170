// Where scores go: the score table's URL from the game's site.
#pragma once

#include <string>
#include <string_view>

namespace Corvane::detail {

// The URL to post scores to. `site` is a host with an optional port
// ("localhost:8765", "[::1]:8765", "scores.example.org"), or a whole base URL
// ("http://127.0.0.1:9000", "https://example.org/barnblast"). A bare host gets
// https, except loopback hosts (localhost, 127.x.x.x, ::1), which get http.
// `override` (from BARNBLAST_SCORE_SITE) wins when not empty. Empty when
// neither names a usable site.
std::string ScoresUrl(std::string_view site, std::string_view override);
// The URL to ask for round tokens, on the same table as ScoresUrl's.
std::string RoundsUrl(std::string_view site, std::string_view override);

}  // namespace Corvane::detail
