// Whatever arrives on the socket, the server answers or closes, and goes on
// serving.
#include "support.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace scoreboard_test;

namespace {

class robustness_test : public ::testing::Test {
protected:
    TempDir dir;
    ServerProcess server{dir.path() / "scores.db"};

    void TearDown() override
    {
        ASSERT_TRUE(server.running()) << server.log();
        EXPECT_EQ(get(server.port(), "/api/games").result_int(), 200);
    }

    std::string status_of(const std::string& raw)
    {
        const std::string reply = raw_exchange(server.port(), raw);
        return reply.substr(0, 12);
    }
};

std::string binary(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

const std::string post_head = "POST /api/scores HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n";

std::string post_with(const std::string& body)
{
    return post_head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

TEST_F(robustness_test, truncated_requests_are_dropped)
{
    for (const std::string& raw : {std::string("GET / HTT"), std::string("GET / HTTP/1.1\r\nHost: x\r\n"),
                                   post_head + "Content-Length: 50\r\n\r\n{\"game\":", std::string("\r\n")}) {
        const std::string reply = raw_exchange(server.port(), raw);
        EXPECT_TRUE(reply.empty() || reply.rfind("HTTP/1.1 400", 0) == 0) << raw << " -> " << reply;
    }
}

TEST_F(robustness_test, binary_garbage_gets_400_or_a_close)
{
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const std::string reply = raw_exchange(server.port(), binary(1 + seed * 200, seed));
        EXPECT_TRUE(reply.empty() || reply.rfind("HTTP/1.1 400", 0) == 0 || reply.rfind("HTTP/1.1 431", 0) == 0)
            << "seed " << seed << " -> " << reply.substr(0, 40);
    }
    using namespace std::string_literals;
    EXPECT_EQ(status_of("\0\0\0\0GET / HTTP/1.1\r\n\r\n"s), "HTTP/1.1 400");
}

TEST_F(robustness_test, huge_headers_get_431)
{
    EXPECT_EQ(status_of("GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(16 * 1024, 'a') + "\r\n\r\n"),
              "HTTP/1.1 431");
    std::string many = "GET / HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 2000; ++i)
        many += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(status_of(many + "\r\n"), "HTTP/1.1 431");
    EXPECT_EQ(status_of("GET /" + std::string(20 * 1024, 'p') + " HTTP/1.1\r\nHost: x\r\n\r\n"), "HTTP/1.1 431");
}

TEST_F(robustness_test, malformed_framing_gets_400)
{
    for (const std::string& raw : {
             std::string("GET / HTTP/9.9\r\n\r\n"),
             std::string("G\x01T / HTTP/1.1\r\n\r\n"),
             std::string("GET / HTTP/1.1\r\nBad Header\r\n\r\n"),
             post_head + "Content-Length: -1\r\n\r\n",
             post_head + "Content-Length: abc\r\n\r\n",
             post_head + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}",
             std::string("PUT / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"),
         })
        EXPECT_EQ(status_of(raw), "HTTP/1.1 400") << raw;
}

TEST_F(robustness_test, malformed_json_gets_400)
{
    std::string deep(2000, '[');
    deep += std::string(2000, ']');
    for (const std::string& body : {binary(300, 7), std::string("{\"game\":\"g\",\"score\":1"), deep,
                                    std::string("{\"game\":\"g\",\"score\":1,\"name\":\"a\",\"id\":\"\\ud800\"}"),
                                    std::string("{\"game\":\"g\",\"score\":99999999999999999999999,\"name\":\"\",\"id\":1}"),
                                    std::string("\xef\xbb\xbf{}"), std::string(4000, ' ')})
        EXPECT_EQ(status_of(post_with(body)), "HTTP/1.1 400") << body.substr(0, 40);
}

TEST_F(robustness_test, keeps_serving_a_connection_after_a_refused_body)
{
    // Two requests on one connection: a 400 for bad JSON leaves it usable.
    const std::string raw = post_with("nope") + "GET /api/games HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    const std::string reply = raw_exchange(server.port(), raw);
    EXPECT_EQ(reply.rfind("HTTP/1.1 400", 0), 0u) << reply;
    EXPECT_NE(reply.find("HTTP/1.1 200"), std::string::npos) << reply;
}
