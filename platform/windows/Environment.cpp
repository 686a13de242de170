#include "Environment.h"
#include "windows/Utf16.h"

#include <windows.h>

#include <cstdlib>

namespace platform {

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

}  // namespace platform
