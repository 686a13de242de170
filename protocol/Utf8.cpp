#include "Utf8.h"

#include <cstdint>

namespace score_protocol {

std::size_t SequenceAt(std::string_view text, std::size_t at) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) return 1;
    std::size_t len = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if ((c & 0xE0) == 0xC0) {
        len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < len) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto d = static_cast<unsigned char>(text[at + k]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and values past Unicode.
    if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
    return len;
}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = SequenceAt(text, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = SequenceAt(text, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::size_t CodePoints(std::string_view text) {
    std::size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

bool ControlAt(std::string_view text, std::size_t at) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c < 0x20 || c == 0x7F) return true;
    // U+0080..U+009F are encoded as C2 80..C2 9F.
    if (c != 0xC2 || at + 1 >= text.size()) return false;
    const auto d = static_cast<unsigned char>(text[at + 1]);
    return d >= 0x80 && d <= 0x9F;
}

bool HasControl(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i)
        if (ControlAt(text, i)) return true;
    return false;
}

}  // namespace score_protocol
