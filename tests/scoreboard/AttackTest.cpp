// One client trying to take the server down: endless requests, many idle
// connections, the descriptor limit reached. Each flood is bounded in count
// and time; only loopback addresses are used.
#include "ScoreTable.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using namespace testsupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Sends `head`, then `filler` again and again until the server stops taking
// it, `maxBytes` have gone or `maxTime` has passed. Returns the bytes sent.
std::size_t SendEndlessly(unsigned short port, const std::string& head, char filler, std::size_t maxBytes,
                          std::chrono::milliseconds maxTime) {
    const int fd = ConnectLoopback(port);
    const timeval tv{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const std::string block(64 * 1024, filler);
    std::size_t sent = 0;
    if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size())) {
        const auto end = Clock::now() + maxTime;
        while (sent < maxBytes && Clock::now() < end) {
            const ssize_t n = ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
            if (n <= 0) break;  // refused and closed, or no longer read
            sent += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    return sent;
}

// Closes the sockets the server has closed; returns how many are left open.
std::size_t DropClosed(std::vector<int>& fds) {
    std::vector<pollfd> polls;
    for (int fd : fds) polls.push_back({fd, POLLIN, 0});
    ::poll(polls.data(), polls.size(), 0);
    std::vector<int> open;
    for (const auto& p : polls) {
        if (p.revents != 0) {
            ::close(p.fd);
        } else {
            open.push_back(p.fd);
        }
    }
    fds.swap(open);
    return fds.size();
}

void CloseAll(std::vector<int>& fds) {
    for (int fd : fds) ::close(fd);
    fds.clear();
}

}  // namespace

TEST(MemoryBoundTest, EndlessChunkedRequestsOnEveryRouteLeaveMemoryFlat) {
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "scores.db"));
    // Warm up every path once, so the threads' stacks and arenas are counted
    // before the floods start.
    for (int i = 0; i < 20; ++i) ASSERT_EQ(Get(server.Port(), "/api/games").result_int(), 200);
    ASSERT_EQ(PostScore(server.Port(), "g", 1, "a", Uuid(1)).result_int(), 201);
    const long before = server.RssKb();
    ASSERT_GT(before, 0);

    std::atomic<std::size_t> total{0};
    for (const char* route : {"GET /", "GET /api/scores?game=g", "GET /api/games", "HEAD /style.css",
                              "DELETE /api/scores", "GET /nowhere", "POST /api/scores", "POST /"}) {
        const std::string chunked = std::string(route) + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
        // An endless chunk extension, an endless size line, an endless trailer.
        for (const std::string& head : {chunked + "1;ext=", chunked + "1", chunked + "0\r\nX-Trailer: "}) {
            std::vector<std::thread> floods;
            for (int i = 0; i < 4; ++i)
                floods.emplace_back([&, head] { total += SendEndlessly(server.Port(), head, '7', 8 << 20, 2s); });
            for (auto& t : floods) t.join();
        }
        // And an endless header line, which no route can refuse in advance.
        total += SendEndlessly(server.Port(), std::string(route) + " HTTP/1.1\r\nX-Long: ", 'a', 8 << 20, 2s);
    }
    const long after = server.RssKb();
    std::printf("sent %zu bytes of endless requests; server resident %ld kB before, %ld kB after\n", total.load(),
                before, after);
    EXPECT_LT(after - before, 4 * 1024) << "resident memory grew from " << before << " kB to " << after << " kB";
    ASSERT_TRUE(server.Running());
    EXPECT_EQ(Get(server.Port(), "/api/games").result_int(), 200);
}

TEST(FairnessTest, OneAddressHoldingManyConnectionsLeavesRoomForOthers) {
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "scores.db"));
    ASSERT_EQ(PostScore(server.Port(), "g", 1, "a", Uuid(1)).result_int(), 201);

    // 127.0.0.1 opens idle connections as fast as it can and opens new ones
    // as the server closes them, for a bounded time and count.
    std::atomic<bool> stop{false};
    std::size_t held = 0;
    std::size_t opened = 0;
    std::thread flood([&] {
        std::vector<int> fds;
        const auto end = Clock::now() + 3s;
        while (!stop && Clock::now() < end && opened < 20000) {
            try {
                fds.push_back(ConnectLoopback(server.Port()));
                ++opened;
            } catch (const std::exception&) {
                std::this_thread::sleep_for(1ms);
            }
            if (opened % 64 == 0) DropClosed(fds);
        }
        std::this_thread::sleep_for(200ms);
        held = DropClosed(fds);
        CloseAll(fds);
    });

    // Meanwhile another client, from another address, is served as usual.
    std::this_thread::sleep_for(300ms);
    for (int i = 0; i < 50; ++i) {
        const auto reply = RequestFrom("127.0.0.2", server.Port(), boost::beast::http::verb::get, "/api/scores?game=g");
        EXPECT_EQ(reply.result_int(), 200);
    }
    stop = true;
    flood.join();
    std::printf("flood opened %zu connections and held %zu\n", opened, held);
    EXPECT_LE(held, 128u);  // the per-address cap
    EXPECT_NE(server.Log().find("127.0.0.1 connection refused: too many open"), std::string::npos);
}

TEST(FairnessTest, ConnectionsThatSendNothingAreClosedByTheServer) {
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "scores.db"));
    const int fd = ConnectLoopback(server.Port());
    const timeval patience{120, 0};  // far beyond the server's idle limit
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    char c = 0;
    EXPECT_EQ(::recv(fd, &c, 1, 0), 0);  // an orderly close, not a timeout here
    ::close(fd);
}

TEST(FairnessTest, OutOfDescriptorsAcceptPausesAndRecovers) {
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "scores.db"));
    // Take the server's descriptors down to a handful, below what its cap
    // on connections assumed at start.
    rlimit old{};
    ASSERT_EQ(::prlimit(server.Pid(), RLIMIT_NOFILE, nullptr, &old), 0);
    const rlimit low{48, old.rlim_max};
    ASSERT_EQ(::prlimit(server.Pid(), RLIMIT_NOFILE, &low, nullptr), 0);
    std::vector<int> fds;
    for (int i = 0; i < 80; ++i) fds.push_back(ConnectLoopback(server.Port(), i % 2 ? "127.0.0.3" : "127.0.0.4"));
    bool paused = false;
    for (int i = 0; i < 500 && !paused; ++i) {
        paused = server.Log().find("pausing accepts") != std::string::npos;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(paused) << server.Log();
    CloseAll(fds);
    // Once the server has seen the idle ones go (a slower build takes a
    // while to read their ends), accepting goes on.
    int status = 0;
    for (int i = 0; i < 100 && status != 200; ++i) {
        try {
            status = RequestFrom("127.0.0.2", server.Port(), boost::beast::http::verb::get, "/api/games").result_int();
        } catch (const std::exception&) {
            std::this_thread::sleep_for(50ms);
        }
    }
    EXPECT_EQ(status, 200) << server.Log();
    ASSERT_EQ(::prlimit(server.Pid(), RLIMIT_NOFILE, &old, nullptr), 0);
    EXPECT_EQ(Get(server.Port(), "/api/games").result_int(), 200);
    EXPECT_NE(server.Log().find("accept: working again"), std::string::npos) << server.Log();
}

TEST(FairnessTest, BehindAProxyRequestsUnderWayAreCappedPerForwardedAddress) {
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "scores.db"), {"--trust-proxy", "--rate-limit", "0"});
    // Posts whose bodies never come: each holds its request open.
    const std::string head =
        "POST /api/scores HTTP/1.1\r\nHost: x\r\nX-Real-IP: 203.0.113.9\r\nContent-Type: application/json\r\n"
        "Content-Length: 10\r\n\r\n";
    std::vector<int> fds;
    for (int i = 0; i < 128; ++i) {
        fds.push_back(ConnectLoopback(server.Port()));
        ASSERT_EQ(::send(fds.back(), head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
    }
    // The proxy's one address is not capped; the forwarded one is.
    std::this_thread::sleep_for(200ms);
    const std::string reply = RawExchange(server.Port(), head);
    EXPECT_EQ(reply.rfind("HTTP/1.1 503", 0), 0u) << reply;
    EXPECT_EQ(Request(server.Port(), boost::beast::http::verb::get, "/api/games", {}, {{"X-Real-IP", "198.51.100.1"}})
                  .result_int(),
              200);
    CloseAll(fds);
}

TEST(LogTest, ControlCharactersInTargetsAreEscaped) {
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "scores.db"));
    // An 8-bit CSI, and the same in UTF-8 (a 7-bit escape is not taken in a
    // target at all).
    RawExchange(server.Port(),
                "GET /a\x9b"
                "31mb HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    RawExchange(server.Port(),
                "GET /c\xc2\x9b"
                "31md HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    std::this_thread::sleep_for(100ms);
    const std::string log = server.Log();
    EXPECT_NE(log.find("/a\\x9b31mb"), std::string::npos) << log;
    EXPECT_NE(log.find("/c\\xc2\\x9b31md"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x9b'), std::string::npos);
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
}
