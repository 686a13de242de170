// Random bytes from the operating system, for what must not repeat between
// runs or machines (the scores' identifiers). A POSIX and a Windows version
// (posix/Random.cpp, windows/Random.cpp).
#pragma once

#include <cstddef>

namespace platform {

// Fills `data` with random bytes from the operating system.
void FillRandom(unsigned char* data, std::size_t size);

}  // namespace platform
