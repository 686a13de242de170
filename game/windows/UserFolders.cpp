#include "UserFolders.h"

#include "windows/Utf16.h"

std::wstring WidePath(const std::string& text) { return platform::Utf16Of(text); }

std::filesystem::path PlayerFolder() {
    // Beside the outbox, so that one folder holds all the game keeps.
    const DWORD size = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (size == 0) return {};
    std::wstring local(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local.data(), size);
    if (length == 0 || length >= size) return {};
    local.resize(length);
    return std::filesystem::path(local) / L"Barnblast";
}

std::filesystem::path PathFromText(const std::string& text) { return std::filesystem::path(WidePath(text)); }

std::string TextOfPath(const std::filesystem::path& path) { return platform::Utf8Of(path.wstring()); }
