// Ids for scores, so the score table can tell a retry from a new score.
#pragma once

#include <string>

namespace Corvane::detail {

// A random (version 4) UUID in lower-case 8-4-4-4-12 form.
std::string NewUuid();

}  // namespace Corvane::detail
