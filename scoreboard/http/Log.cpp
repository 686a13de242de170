#include "http/Log.h"

#include <unistd.h>

#include <cerrno>
#include <string>

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

}  // namespace scoreboard
