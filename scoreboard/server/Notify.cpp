#include "server/Notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace scoreboard {

bool NotifyServiceManager(std::string_view state) {
    const char* env = std::getenv("NOTIFY_SOCKET");
    if (env == nullptr) return false;
    const std::string_view path(env);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // A path, or "@name" for a socket in the abstract namespace, whose
    // address begins with a NUL and is only as long as the name.
    if (path.size() < 2 || path.size() > sizeof addr.sun_path - 1 || (path[0] != '/' && path[0] != '@')) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    if (path[0] == '@') addr.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&addr), length);  // NOLINT(*-reinterpret-cast)
    ::close(fd);
    return sent == static_cast<ssize_t>(state.size());
}

}  // namespace scoreboard
