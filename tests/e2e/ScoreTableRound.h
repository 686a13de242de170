// What a round played end to end needs around the game: a scratch folder and
// a real score table on loopback, started before and stopped after each test.
#pragma once

#include "LoopbackPort.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace e2etest {

// A plain HTTP/1.0 GET on loopback; returns the body.
inline std::string HttpGet(int port, const std::string& target) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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

inline pid_t Spawn(const std::vector<std::string>& argv) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

// `scoreboard` is the server's program; the folder's name starts with
// `folderPrefix`.
class ScoreTableRound : public ::testing::Test {
protected:
    ScoreTableRound(std::string scoreboard, std::string folderPrefix)
        : scoreboard_(std::move(scoreboard)), folderPrefix_(std::move(folderPrefix)) {}

    void SetUp() override {
        using namespace std::chrono_literals;
        std::string pattern = (std::filesystem::temp_directory_path() / (folderPrefix_ + "-XXXXXX")).string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        port_ = testsupport::FreeLoopbackPort();
        server_ = Spawn({scoreboard_, "--port", std::to_string(port_), "--db", (dir_ / "scores.db").string()});
        for (int i = 0; i < 200 && HttpGet(port_, "/api/games").empty(); ++i) std::this_thread::sleep_for(50ms);
        ASSERT_FALSE(HttpGet(port_, "/api/games").empty()) << "the score table did not start";
    }
    void TearDown() override {
        if (server_ > 0) {
            ::kill(server_, SIGTERM);
            ::waitpid(server_, nullptr, 0);
        }
        std::filesystem::remove_all(dir_);
    }

    std::filesystem::path dir_;
    int port_ = 0;
    pid_t server_ = -1;

private:
    std::string scoreboard_;
    std::string folderPrefix_;
};

}  // namespace e2etest
