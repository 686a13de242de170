#include "UserFolders.h"

#include <cstdlib>

namespace {

// A folder named in the environment counts only when absolute, as the XDG
// base directory rules say.
std::filesystem::path AbsoluteFromEnv(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value || *value != '/') return {};
    return value;
}

}  // namespace

std::filesystem::path PlayerFolder() {
    std::filesystem::path dataHome = AbsoluteFromEnv("XDG_DATA_HOME");
    if (dataHome.empty()) {
        const std::filesystem::path home = AbsoluteFromEnv("HOME");
        if (home.empty()) return {};
        dataHome = home / ".local" / "share";
    }
    return dataHome / "barnblast";
}

std::filesystem::path PathFromText(const std::string& text) { return text; }

std::string TextOfPath(const std::filesystem::path& path) { return path.string(); }
