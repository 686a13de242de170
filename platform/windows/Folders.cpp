#include "Folders.h"
#include "Environment.h"
#include "Files.h"
#include "windows/Utf16.h"

#include <windows.h>

namespace platform {
namespace {

// The folder holding barnblast.exe, as UTF-8 with '/' between folders.
std::string ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return ".";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t slash = path.find_last_of(L"\\/");
    path.resize(slash == std::wstring::npos ? 0 : slash);
    std::string folder = Utf8Of(path);
    for (char& c : folder) {
        if (c == '\\') c = '/';
    }
    return folder.empty() ? "." : folder;
}

}  // namespace

const char* const kNameFileShown = "%LOCALAPPDATA%\\Barnblast\\name.dat";
const char* const kOutboxFolderShown = "%LOCALAPPDATA%\\Barnblast\\outbox";
const char* const kSettingsFileShown = "%APPDATA%\\Barnblast\\settings.ini";

std::string InstalledDataFolder(const std::string& /*compiledIn*/) { return ProgramFolder() + "/Media"; }

std::string SpeechDataFolder() {
    // eSpeak NG opens its files with the narrow, code-page API, so a folder
    // whose name the code page cannot spell is handed over by its short
    // (8.3) name, which is plain ASCII.
    const std::wstring folder = Utf16Of(ProgramFolder());
    const DWORD size = GetShortPathNameW(folder.c_str(), nullptr, 0);
    std::wstring shortName(size, L'\0');
    const DWORD length = size > 0 ? GetShortPathNameW(folder.c_str(), shortName.data(), size) : 0;
    shortName.resize(length > 0 && length < size ? length : 0);
    return Utf8Of(shortName.empty() ? folder : shortName, CP_ACP);
}

std::filesystem::path DefaultOutboxFolder() {
    const std::string local = EnvText("LOCALAPPDATA");
    return (local.empty() ? std::filesystem::path(L".") : PathFromUtf8(local)) / L"Barnblast" / L"outbox";
}

std::filesystem::path PlayerFolder() {
    // Beside the outbox, so that one folder holds all the game keeps.
    const std::string local = EnvText("LOCALAPPDATA");
    if (local.empty()) return {};
    return PathFromUtf8(local) / L"Barnblast";
}

std::filesystem::path SettingsFile() {
    // Roaming, unlike the player's files: settings follow the player.
    const std::string roaming = EnvText("APPDATA");
    if (roaming.empty()) return {};
    return PathFromUtf8(roaming) / L"Barnblast" / L"settings.ini";
}

}  // namespace platform
