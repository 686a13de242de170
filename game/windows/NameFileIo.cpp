// Reading and keeping the name file with the wide-character Win32 calls,
// so that a folder with any name (a user name in any script) works.
#include "NameFile.h"
#include "UserFolders.h"

#include <windows.h>

#include <algorithm>
#include <random>

std::string ReadNameFile(const std::string& path) {
    const std::wstring name = WidePath(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return {};
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string text;
    // Only a file on disk is read: never a pipe or a device opened by name.
    if (GetFileType(file) == FILE_TYPE_DISK) {
        char buffer[4096];
        while (text.size() < kMaxNameFileBytes) {
            DWORD n = 0;
            const auto want = static_cast<DWORD>(std::min(sizeof buffer, kMaxNameFileBytes - text.size()));
            if (!ReadFile(file, buffer, want, &n, nullptr) || n == 0) break;
            text.append(buffer, n);
            if (text.find('\n', text.size() - n) != std::string::npos) break;
        }
    }
    CloseHandle(file);
    return NameFromText(text);
}

bool StoreNameFile(const std::string& path, const std::string& name) {
    const std::wstring target = WidePath(path);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    std::random_device random;
    const std::wstring temporary = target + L".tmp" + std::to_wstring(random());
    // A new file only: an existing one under that name is never opened.
    const HANDLE file =
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool written = true;
    std::string_view rest = name;
    while (written && !rest.empty()) {
        DWORD n = 0;
        written = WriteFile(file, rest.data(), static_cast<DWORD>(rest.size()), &n, nullptr) && n > 0;
        rest.remove_prefix(n);
    }
    written = CloseHandle(file) && written;
    // One step: a link at `path` is replaced, never followed.
    if (!written || !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}
