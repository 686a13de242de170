#include "ScoreServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

ScoreServer::ScoreServer(const std::string& db, std::vector<std::string> extraArgs, int port) {
    std::string logName = (std::filesystem::temp_directory_path() / "score-server-XXXXXX.log").string();
    const int log = ::mkstemps(logName.data(), 4);
    if (log < 0) throw std::runtime_error("cannot make the server's log file");
    logPath_ = logName;

    std::vector<std::string> args{
        BARNBLAST_SCOREBOARD_EXE, "--port", std::to_string(port), "--bind", "127.0.0.1", "--db", db, "--threads", "4"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // It must not outlive a test that crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
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
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval bound{10, 0};  // a silent server fails the call rather than hanging the test
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return {};
    }
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    (void)!::write(s, request.data(), request.size());
    std::string response;
    char buf[4096];
    for (ssize_t n; (n = ::read(s, buf, sizeof buf)) > 0;) response.append(buf, static_cast<std::size_t>(n));
    ::close(s);
    const auto body = response.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : response.substr(body + 4);
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

}  // namespace testsupport
