// The real program in a pseudo-terminal, played as a player would: one full
// two-minute round in real time, the score sent to a real score table.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

int FreePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// A plain HTTP/1.0 GET on loopback; returns the body.
std::string HttpGet(int port, const std::string& target) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return {};
    }
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    (void)!::write(s, request.data(), request.size());
    std::string response;
    char buf[4096];
    for (ssize_t n; (n = ::read(s, buf, sizeof buf)) > 0;) response.append(buf, static_cast<size_t>(n));
    ::close(s);
    auto body = response.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : response.substr(body + 4);
}

pid_t Spawn(const std::vector<std::string>& argv) {
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

class FullRound : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "barnblast-e2e-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        fs::create_directory_symlink(fs::path(SOURCE_DIR) / "Media", dir_ / "Media");
        port_ = FreePort();
        server_ = Spawn({SCOREBOARD_BIN, "--port", std::to_string(port_), "--db", (dir_ / "scores.db").string()});
        for (int i = 0; i < 200 && HttpGet(port_, "/api/games").empty(); ++i) std::this_thread::sleep_for(50ms);
        ASSERT_FALSE(HttpGet(port_, "/api/games").empty()) << "the score table did not start";
    }
    void TearDown() override {
        if (server_ > 0) {
            ::kill(server_, SIGTERM);
            ::waitpid(server_, nullptr, 0);
        }
        fs::remove_all(dir_);
    }

    fs::path dir_;
    int port_ = 0;
    pid_t server_ = -1;
};

TEST_F(FullRound, PlayedByKeysScoreSentAndTerminalRestored) {
    // The chicken's first hiding place after a hit comes from the unseeded
    // C generator, which the game shares with this process's C library.
    std::srand(1);
    const int second = std::rand() % 15 + 1;

    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ::tcgetattr(slave, &before);

    const fs::path capture = dir_ / "round.capture.wav";
    pid_t game = ::fork();
    if (game == 0) {
        ::setsid();
        ::ioctl(slave, TIOCSCTTY, 0);
        ::dup2(slave, 0);
        ::dup2(slave, 1);
        ::dup2(slave, 2);
        ::close(master);
        if (::chdir(dir_.c_str()) != 0) ::_exit(126);
        ::setenv("SDL_AUDIODRIVER", "dummy", 1);
        ::setenv("BARNBLAST_CAPTURE", capture.c_str(), 1);
        ::setenv("BARNBLAST_OUTBOX", (dir_ / "outbox").c_str(), 1);
        ::setenv("BARNBLAST_SCORE_SITE", ("127.0.0.1:" + std::to_string(port_)).c_str(), 1);
        ::execl(GAME_BIN, GAME_BIN, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(game, 0);

    // Everything the game writes is drained, so it never blocks on output.
    std::mutex outputMutex;
    std::string output;
    std::thread reader([&] {
        char buf[1024];
        for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) {
            std::lock_guard lock(outputMutex);
            output.append(buf, static_cast<size_t>(n));
        }
    });
    auto type = [&](const std::string& keys, std::chrono::milliseconds pause = 150ms) {
        for (char c : keys) {
            ASSERT_EQ(::write(master, &c, 1), 1);
            std::this_thread::sleep_for(pause);
        }
    };
    const auto start = std::chrono::steady_clock::now();

    std::this_thread::sleep_for(1500ms);
    type(" ");                       // on target from the start: +5
    type(std::string(second, 'l'));  // over to the chicken's new place
    type(" ");                       // +5
    type("\x1b[D");                  // left arrow: off target
    type(" ");                       // miss: -5
    type("s");
    std::this_thread::sleep_for(start + 123s - std::chrono::steady_clock::now());
    type("x", 2000ms);            // the key after time is up ends the round
    type("y", 1000ms);            // send the score
    type("Test Player\r", 20ms);  // the name, typed with echo
    std::this_thread::sleep_for(1000ms);
    type("n");  // no more rounds

    int status = -1;
    for (int i = 0; i < 300 && ::waitpid(game, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(100ms);
    if (!WIFEXITED(status)) ::kill(game, SIGKILL);
    termios after{};
    ::tcgetattr(slave, &after);
    ::close(slave);
    reader.join();
    ::close(master);

    {
        std::lock_guard lock(outputMutex);
        ASSERT_TRUE(WIFEXITED(status)) << output;
        EXPECT_EQ(WEXITSTATUS(status), 0) << output;
        EXPECT_NE(output.find("Test Player"), std::string::npos) << "the name is echoed: " << output;
    }
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(0, std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc));

    std::ifstream nameFile(dir_ / "name.dat");
    std::string stored((std::istreambuf_iterator<char>(nameFile)), {});
    EXPECT_EQ(stored, "Test Player");

    const std::string table = HttpGet(port_, "/api/scores?game=Barnblast%20V2");
    EXPECT_NE(table.find("\"name\":\"Test Player\""), std::string::npos) << table;
    EXPECT_NE(table.find("\"score\":5"), std::string::npos) << table;
    EXPECT_EQ(table.find("\"rank\":2"), std::string::npos) << "exactly one score: " << table;

    SF_INFO info{};
    SNDFILE* f = sf_open(capture.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.channels, 2);
    EXPECT_GE(info.frames, 48000LL * 120);
    std::vector<float> samples(static_cast<size_t>(info.frames) * 2);
    sf_readf_float(f, samples.data(), info.frames);
    sf_close(f);
    // The cluck and the music are heard through the round.
    int loudSeconds = 0;
    for (long s = 0; s + 48000 <= info.frames; s += 48000) {
        double energy = 0;
        for (long i = s; i < s + 48000; ++i) energy += samples[2 * i] * samples[2 * i];
        if (std::sqrt(energy / 48000) > 0.01) ++loudSeconds;
    }
    EXPECT_GE(loudSeconds, 115);
}

}  // namespace
