#include "ScoreServer.h"

#include "ChildProcess.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace testsupport {
namespace net = boost::asio;
namespace beast = boost::beast;
using Tcp = net::ip::tcp;

ScoreServer::ScoreServer(const std::string& db, std::vector<std::string> extraArgs, int port) {
    std::string logName = (std::filesystem::temp_directory_path() / "score-server-XXXXXX.log").string();
    const int log = ::mkstemps(logName.data(), 4);
    if (log < 0) throw std::runtime_error("cannot make the server's log file");
    logPath_ = logName;

    std::vector<std::string> args{
        BARNBLAST_SCOREBOARD_EXE, "--port", std::to_string(port), "--bind", "127.0.0.1", "--db", db, "--threads", "4"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    pid_ = Spawn(args, {}, -1, log);
    ::close(log);
    if (pid_ < 0) throw std::runtime_error("cannot start " + args[0]);

    // Bounded: 20 s for the first log line, on however loaded a machine.
    const std::regex listening(R"(listening on http://127\.0\.0\.1:(\d+))");
    for (int i = 0; i < 2000; ++i) {
        std::smatch m;
        const std::string text = Log();
        if (std::regex_search(text, m, listening)) {
            port_ = std::stoi(m[1]);
            return;
        }
        if (!Running()) Fail("the score server exited at start: " + text);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Fail("the score server did not start: " + Log());
}

void ScoreServer::Fail(const std::string& why) {
    Stop(SIGKILL);
    std::error_code ignored;
    std::filesystem::remove(logPath_, ignored);
    throw std::runtime_error(why);
}

ScoreServer::~ScoreServer() {
    Stop(SIGKILL);
    std::error_code ignored;
    std::filesystem::remove(logPath_, ignored);
}

bool ScoreServer::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = -1;
    return false;
}

void ScoreServer::Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

int ScoreServer::Wait() {
    int status = 0;
    if (pid_ > 0) {
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
        pid_ = -1;
    }
    return status;
}

int ScoreServer::Stop(int sig) {
    Signal(sig);
    return Wait();
}

long ScoreServer::RssKb() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

std::string ScoreServer::Log() const {
    std::ifstream in(logPath_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int ScoreServer::Posts(int status) const {
    const std::string log = Log(), needle = "POST /api/scores " + std::to_string(status) + " ";
    int n = 0;
    for (auto at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
    return n;
}

std::string HttpGet(int port, const std::string& target) {
    try {
        return Get(static_cast<unsigned short>(port), target).body();
    } catch (const std::exception&) {
        return {};
    }
}

std::string UrlEncoded(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += {'%', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return out;
}

namespace {

ReplyCheck& EveryReplyCheck() {
    static ReplyCheck check;
    return check;
}

void SetTimeouts(int fd) {
    const timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

Reply Exchange(const char* source, unsigned short port, http::verb method, const std::string& target,
               const std::string& body, const std::vector<std::pair<std::string, std::string>>& headers) {
    net::io_context ioc;
    Tcp::socket socket(ioc);
    if (source) {
        socket.open(Tcp::v4());
        socket.bind(Tcp::endpoint(net::ip::make_address(source), 0));
    }
    socket.connect(Tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    SetTimeouts(socket.native_handle());

    http::request<http::string_body> req{method, target, 11};
    req.set(http::field::host, "127.0.0.1");
    for (const auto& [k, v] : headers) req.set(k, v);
    if (!body.empty() || method == http::verb::post) {
        req.body() = body;
        req.prepare_payload();
    }
    http::write(socket, req);

    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.skip(method == http::verb::head);
    http::read(socket, buffer, parser);
    Reply reply = parser.release();
    if (const auto& check = EveryReplyCheck()) check(method, target, reply);
    return reply;
}

}  // namespace

void CheckEveryReply(ReplyCheck check) { EveryReplyCheck() = std::move(check); }

Reply Request(unsigned short port, http::verb method, const std::string& target, const std::string& body,
              const std::vector<std::pair<std::string, std::string>>& headers) {
    return Exchange(nullptr, port, method, target, body, headers);
}

Reply RequestFrom(const std::string& source, unsigned short port, http::verb method, const std::string& target,
                  const std::string& body, const std::vector<std::pair<std::string, std::string>>& headers) {
    return Exchange(source.c_str(), port, method, target, body, headers);
}

Reply PostJson(unsigned short port, const std::string& body,
               const std::vector<std::pair<std::string, std::string>>& headers) {
    auto all = headers;
    bool typed = false;
    for (const auto& [k, v] : headers) typed = typed || beast::iequals(k, "Content-Type");
    if (!typed) all.emplace_back("Content-Type", "application/json");
    return Request(port, http::verb::post, "/api/scores", body, all);
}

Reply PostScore(unsigned short port, const std::string& game, long long score, const std::string& name,
                const std::string& id) {
    const boost::json::object o{{"game", game}, {"score", score}, {"name", name}, {"id", id}};
    return PostJson(port, boost::json::serialize(o));
}

Reply Get(unsigned short port, const std::string& target) { return Request(port, http::verb::get, target); }

boost::json::value JsonOf(const Reply& reply) { return boost::json::parse(reply.body()); }

int ConnectLoopback(unsigned short port, const char* source) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (source) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &from.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            ::close(fd);
            throw std::runtime_error("bind failed");
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        throw std::runtime_error("connect failed");
    }
    SetTimeouts(fd);
    return fd;
}

std::string RawExchange(unsigned short port, const std::string& bytes, bool halfClose) {
    const int fd = ConnectLoopback(port);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may refuse before taking it all
        sent += static_cast<std::size_t>(n);
    }
    if (halfClose) ::shutdown(fd, SHUT_WR);
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

std::string Uuid(unsigned long long n) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08llx-0000-4000-8000-%012llx", n >> 48, n & 0xffffffffffffULL);
    return buf;
}

}  // namespace testsupport
