// The API's description, http/openapi.json, built into the program (see
// EmbedText.cmake) so that an installed server serves it without the file.
#pragma once

#include <string_view>

namespace scoreboard {

std::string_view ApiDescription();

}  // namespace scoreboard
