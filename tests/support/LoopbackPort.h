// Loopback TCP ports for a server a test starts, or for nobody, where a test
// needs a port that refuses or never answers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace testsupport {

// A socket bound to a free loopback port, and the port; {-1, 0} when none.
inline std::pair<int, int> BoundLoopbackSocket() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(s);
        return {-1, 0};
    }
    return {s, ntohs(address.sin_port)};
}

// A loopback port that was free a moment ago; 0 when none.
inline int FreeLoopbackPort() {
    const auto [s, port] = BoundLoopbackSocket();
    if (s >= 0) ::close(s);
    return port;
}

}  // namespace testsupport
