#include "Environment.h"

#include <cstdlib>

namespace platform {

std::string EnvText(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void SetEnvDefault(const char* name, const char* value) { ::setenv(name, value, 0); }

}  // namespace platform
