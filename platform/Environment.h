// The process's environment variables, for the game and the service. A
// POSIX and a Windows version (posix/Environment.cpp,
// windows/Environment.cpp).
//
// Text handed in and out is UTF-8 on every system.
#pragma once

#include <string>

namespace platform {

// The environment variable's value as UTF-8; "" when unset.
std::string EnvText(const char* name);
// Sets an environment variable for this process and the libraries it
// loads, unless the user has set it.
void SetEnvDefault(const char* name, const char* value);

}  // namespace platform
