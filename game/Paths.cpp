#include "Paths.h"

#include <cstdlib>
#include <filesystem>

namespace {

constexpr const char* kNameFileName = "name.dat";

// A folder named in the environment counts only when absolute, as the XDG
// base directory rules say.
std::filesystem::path AbsoluteFromEnv(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value || *value != '/') return {};
    return value;
}

}  // namespace

std::string NameFilePath() {
    std::error_code error;
    if (std::filesystem::exists(kNameFileName, error) || std::filesystem::is_directory("Media", error))
        return kNameFileName;
    std::filesystem::path dataHome = AbsoluteFromEnv("XDG_DATA_HOME");
    if (dataHome.empty()) {
        const std::filesystem::path home = AbsoluteFromEnv("HOME");
        if (home.empty()) return kNameFileName;
        dataHome = home / ".local" / "share";
    }
    return (dataHome / "barnblast" / kNameFileName).string();
}

void MakeNameFileFolder() {
    const std::filesystem::path folder = std::filesystem::path(NameFilePath()).parent_path();
    if (folder.empty()) return;
    // When it cannot be made, storing the name fails and the player is
    // asked again next time: better than a name.dat in a stranger's folder.
    std::error_code error;
    std::filesystem::create_directories(folder, error);
}
