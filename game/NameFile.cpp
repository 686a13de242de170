#include "NameFile.h"

#include "Files.h"
#include "Folders.h"

#include <filesystem>

namespace {

constexpr const char* kNameFileName = "name.dat";

}  // namespace

std::string NameFilePath() {
    std::error_code error;
    if (std::filesystem::exists(kNameFileName, error) || std::filesystem::is_directory("Media", error))
        return kNameFileName;
    const std::filesystem::path folder = platform::PlayerFolder();
    if (folder.empty()) return kNameFileName;
    return platform::Utf8Of(folder / kNameFileName);
}

void MakeNameFileFolder() {
    const std::filesystem::path folder = platform::PathFromUtf8(NameFilePath()).parent_path();
    if (folder.empty()) return;
    // When it cannot be made, storing the name fails and the player is
    // asked again next time: better than a name.dat in a stranger's folder.
    std::error_code error;
    std::filesystem::create_directories(folder, error);
}

std::string NameFromText(std::string_view text) {
    std::string_view line = text.substr(0, text.find('\n'));
    // Files written on Windows end their line with CR LF.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return std::string(line);
}

std::string ReadNameFile(const std::string& path) {
    return NameFromText(platform::ReadTextFileStart(path, kMaxNameFileBytes));
}

bool StoreNameFile(const std::string& path, const std::string& name) { return platform::ReplaceTextFile(path, name); }
