// UTF-8, the text the game passes around, to and from the UTF-16 of the
// wide-character Win32 calls. Malformed input converts to nothing.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

inline std::wstring Utf16Of(const std::string& text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

// `codePage` other than UTF-8 is for the few libraries that take narrow,
// code-page text.
inline std::string Utf8Of(const std::wstring& text, UINT codePage = CP_UTF8) {
    if (text.empty()) return {};
    const int size =
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                            nullptr);
    }
    return out;
}

}  // namespace platform
