#include "Folders.h"

#include <cstdlib>

namespace platform {
namespace {

// A folder named in the environment counts only when absolute, as the XDG
// base directory rules say.
std::filesystem::path AbsoluteFromEnv(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value || *value != '/') return {};
    return value;
}

// $<variable>/barnblast, else ~/<underHome>/barnblast; empty without a home.
std::filesystem::path XdgFolder(const char* variable, const char* underHome) {
    if (auto base = AbsoluteFromEnv(variable); !base.empty()) return base / "barnblast";
    const std::filesystem::path home = AbsoluteFromEnv("HOME");
    if (home.empty()) return {};
    return home / underHome / "barnblast";
}

}  // namespace

const char* const kNameFileShown = "~/.local/share/barnblast/name.dat";
const char* const kOutboxFolderShown = "~/.local/state/barnblast/outbox";
const char* const kSettingsFileShown = "~/.config/barnblast/settings";

std::string InstalledDataFolder(const std::string& compiledIn) { return compiledIn; }

std::string SpeechDataFolder() { return {}; }

std::filesystem::path DefaultOutboxFolder() {
    if (auto folder = XdgFolder("XDG_STATE_HOME", ".local/state"); !folder.empty()) return folder / "outbox";
    // A relative or missing home still gets an outbox, below the working folder.
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / ".local" / "state" / "barnblast" / "outbox";
}

std::filesystem::path PlayerFolder() { return XdgFolder("XDG_DATA_HOME", ".local/share"); }

std::filesystem::path SettingsFile() {
    const std::filesystem::path folder = XdgFolder("XDG_CONFIG_HOME", ".config");
    return folder.empty() ? folder : folder / "settings";
}

}  // namespace platform
