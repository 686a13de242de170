#include "SafeText.h"

#include "Utf8.h"

namespace score_protocol {

std::string Presentable(std::string_view text, std::size_t maxCharacters) {
    const std::string valid = ValidUtf8(text);
    std::string out;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < valid.size() && characters < maxCharacters; ++characters) {
        const std::size_t len = SequenceAt(valid, i);
        if (ControlAt(valid, i)) {
            out += ' ';
        } else {
            out.append(valid, i, len);
        }
        i += len;
    }
    return out;
}

std::string LogSafe(std::string_view text, std::size_t maxBytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    const std::string_view kept = text.substr(0, maxBytes);
    std::string out;
    for (std::size_t i = 0; i < kept.size();) {
        const std::size_t len = SequenceAt(kept, i);
        const bool escape = len == 0 || ControlAt(kept, i) || kept[i] == '\\';
        const std::size_t n = len == 0 ? 1 : len;
        if (escape) {
            for (std::size_t k = i; k < i + n; ++k) {
                const auto c = static_cast<unsigned char>(kept[k]);
                out += "\\x";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
        } else {
            out.append(kept.substr(i, n));
        }
        i += n;
    }
    if (text.size() > maxBytes) out += "...";
    return out;
}

}  // namespace score_protocol
