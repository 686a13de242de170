#include "Paths.h"

#include "UserFolders.h"

#include <filesystem>

namespace {

constexpr const char* kNameFileName = "name.dat";

}  // namespace

std::string NameFilePath() {
    std::error_code error;
    if (std::filesystem::exists(kNameFileName, error) || std::filesystem::is_directory("Media", error))
        return kNameFileName;
    const std::filesystem::path folder = PlayerFolder();
    if (folder.empty()) return kNameFileName;
    return TextOfPath(folder / kNameFileName);
}

void MakeNameFileFolder() {
    const std::filesystem::path folder = PathFromText(NameFilePath()).parent_path();
    if (folder.empty()) return;
    // When it cannot be made, storing the name fails and the player is
    // asked again next time: better than a name.dat in a stranger's folder.
    std::error_code error;
    std::filesystem::create_directories(folder, error);
}
