#include "NginxServer.h"

#include "ChildProcess.h"
#include "LoopbackPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<unsigned short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;  // NOLINT(*-reinterpret-cast)
    ::close(fd);
    return ok;
}

}  // namespace

NginxServer::NginxServer(int tablePort, const std::string& maxBody) : port_(FreeLoopbackPort()) {
    const std::string dir = folder_.path().string();
    std::ofstream(folder_ / "nginx.conf")
        << "daemon off;\nmaster_process off;\npid " << dir << "/nginx.pid;\nerror_log " << dir
        << "/error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
        << "  client_body_temp_path " << dir << "/body;\n  proxy_temp_path " << dir << "/proxy;\n"
        << "  fastcgi_temp_path " << dir << "/fastcgi;\n  uwsgi_temp_path " << dir << "/uwsgi;\n"
        << "  scgi_temp_path " << dir << "/scgi;\n  server {\n    listen 127.0.0.1:" << port_ << ";\n"
        << "    client_max_body_size " << maxBody << ";\n    location / {\n"
        << "      proxy_pass http://127.0.0.1:" << tablePort << ";\n"
        << "      proxy_set_header X-Real-IP $remote_addr;\n    }\n  }\n}\n";
    pid_ = Spawn({"nginx", "-p", dir, "-e", dir + "/error.log", "-c", dir + "/nginx.conf"}, {}, -1, -1);
    for (int i = 0; i < 400; ++i) {
        if (Accepts(port_)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string log = ErrorLog();
    KillAndReap(pid_);
    throw std::runtime_error("nginx did not listen within 20 s: " + log);
}

NginxServer::~NginxServer() { KillAndReap(pid_); }

std::string NginxServer::ErrorLog() const {
    std::ifstream in(folder_ / "error.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace testsupport
