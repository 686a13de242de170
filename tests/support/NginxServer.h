// A real nginx (Debian's) as a reverse proxy in front of a score table on
// loopback, set up as the README's deployment is: X-Real-IP, a body limit,
// the request buffered before it goes to the table.
#pragma once

#include "TempFolder.h"

#include <sys/types.h>

#include <string>

namespace testsupport {

class NginxServer {
public:
    // Proxies everything to 127.0.0.1:`tablePort`, taking bodies up to
    // `maxBody` (nginx's client_max_body_size); waits until it listens.
    // Throws if it does not within 20 s, with its error log.
    NginxServer(int tablePort, const std::string& maxBody = "1k");
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    int Port() const { return port_; }
    std::string ErrorLog() const;

private:
    TempFolder folder_{"barnblast-nginx"};
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace testsupport
