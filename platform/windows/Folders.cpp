#include "Environment.h"
#include "Files.h"
#include "windows/Utf16.h"

#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

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

std::string EnvText(const char* name) {
    const std::wstring wideName = Utf16Of(name);
    const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
    value.resize(length < size ? length : 0);
    return Utf8Of(value);
}

void SetEnvDefault(const char* name, const char* value) {
    if (!EnvText(name).empty()) return;
    // Both the process's block and the C runtime's copy, which libraries
    // built on the runtime read with getenv.
    SetEnvironmentVariableW(Utf16Of(name).c_str(), Utf16Of(value).c_str());
    _wputenv_s(Utf16Of(name).c_str(), Utf16Of(value).c_str());
}

void FillRandom(unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, 1U << 30));
        // The system's preferred generator; it does not fail with valid
        // arguments.
        BCryptGenRandom(nullptr, data, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        data += chunk;
        size -= chunk;
    }
}

void QuietSoundSystem() {}

// SDL already runs its audio thread at the highest priority Windows gives
// a thread without asking the user.
std::int64_t CurrentThreadNumber() { return static_cast<std::int64_t>(GetCurrentThreadId()); }

bool RaiseAudioThread(std::int64_t /*thread*/) { return false; }

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

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace platform
