// The real score table server as a child process on loopback, and what the
// tests read back from it.
#pragma once

#include "Corvane.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace postscore_test {

namespace fs = std::filesystem;

// Polls until `done` holds; the bound is for liveness only.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::seconds bound = std::chrono::seconds(30)) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A socket bound to a free loopback port, and the port.
inline std::pair<int, int> BoundLoopbackSocket() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("no free loopback port");
    }
    return {fd, ntohs(a.sin_port)};
}

// A loopback port nobody listens on right now.
inline int FreePort() {
    const auto [fd, port] = BoundLoopbackSocket();
    ::close(fd);
    return port;
}

class Scoreboard {
public:
    Scoreboard(fs::path dir, int port, int rateLimit = 0) : dir_(std::move(dir)), log_(dir_ / "server.log") {
        fs::create_directories(dir_);
        const std::vector<std::string> args = {SCOREBOARD_BINARY,
                                               "--port",
                                               std::to_string(port),
                                               "--db",
                                               (dir_ / "scores.db").string(),
                                               "--rate-limit",
                                               std::to_string(rateLimit),
                                               "--threads",
                                               "2"};
        const std::size_t logStart = fs::exists(log_) ? fs::file_size(log_) : 0;
        pid_ = ::fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            // It must not outlive a test that crashes, nor hold its output open.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            std::FILE* log = std::fopen(log_.c_str(), "a");
            ::dup2(::fileno(log), STDERR_FILENO);
            ::dup2(::fileno(log), STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        // The server says where it listens once it does.
        const bool up = WaitFor([&] {
            const std::string text = ReadFile(log_).substr(logStart);
            const auto at = text.find("listening on http://127.0.0.1:");
            if (at == std::string::npos) return false;
            port_ = std::atoi(text.c_str() + at + 30);
            return true;
        });
        if (!up) throw std::runtime_error("the score table server did not start");
    }
    ~Scoreboard() { Stop(); }

    int Port() const { return port_; }
    std::string Log() const { return ReadFile(log_); }

    // SIGTERM: it finishes what is in flight, then exits.
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // Answers to POST /api/scores with this status, as logged.
    int Posts(int status) const {
        const std::string log = Log(), needle = "POST /api/scores " + std::to_string(status) + " ";
        int n = 0;
        for (auto at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
        return n;
    }

    struct Row {
        std::string name;
        std::int64_t score;
    };
    // The whole table of one game, best first.
    std::vector<Row> Table(const std::string& game) const {
        std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/api/scores?limit=100&game=";
        CURL* curl = curl_easy_init();
        char* escaped = curl_easy_escape(curl, game.c_str(), static_cast<int>(game.size()));
        url += escaped;
        curl_free(escaped);
        std::string body;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(
            curl, CURLOPT_WRITEFUNCTION, +[](char* d, size_t s, size_t n, void* u) {
                static_cast<std::string*>(u)->append(d, s * n);
                return s * n;
            });
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        const CURLcode rc = curl_easy_perform(curl);
        curl_easy_cleanup(curl);
        if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
        std::vector<Row> rows;
        const boost::json::value answer = boost::json::parse(body);
        for (const auto& r : answer.at("scores").as_array()) {
            rows.push_back({std::string(r.at("name").as_string()), r.at("score").as_int64()});
        }
        return rows;
    }

private:
    fs::path dir_;
    fs::path log_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// Each test gets a scratch folder holding its outbox; the service is closed
// and the folder removed after it.
class OutboxFixture : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::path(::testing::TempDir()) / ("postscore-" + std::to_string(::getpid())) / info->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ::setenv("BARNBLAST_OUTBOX", (dir_ / "outbox").c_str(), 1);
        ::unsetenv("BARNBLAST_SCORE_SITE");
    }
    void TearDown() override {
        Corvane::CloseLib();
        std::error_code ignored;
        fs::permissions(dir_ / "outbox", fs::perms::owner_all, ignored);
        fs::remove_all(dir_, ignored);
    }

    fs::path dir_;
};

}  // namespace postscore_test
