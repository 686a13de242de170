#include "Platform.h"

#include <cstdlib>

namespace platform {

// The C library's generator, never seeded: every run of the game on one
// system draws the sequence that system's C library starts with.
int rand() { return std::rand(); }

}  // namespace platform
