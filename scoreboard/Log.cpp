#include "Log.h"

#include <unistd.h>

#include <cerrno>

namespace scoreboard {

void LogLine(std::string_view line) {
    std::string buf;
    buf.reserve(line.size() + 1);
    buf.append(line);
    buf += '\n';
    const char* p = buf.data();
    std::size_t left = buf.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to report it
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

std::string LogSafe(std::string_view text, std::size_t max) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (char ch : text.substr(0, max)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    if (text.size() > max) out += "...";
    return out;
}

}  // namespace scoreboard
