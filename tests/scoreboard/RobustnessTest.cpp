// Whatever arrives on the socket, the server answers or closes, and goes on
// serving.
#include "ScoreTable.h"

#include <gtest/gtest.h>

#include <random>

using namespace testsupport;

namespace {

class RobustnessTest : public ::testing::Test {
protected:
    TableFolder dir_;
    ScoreServer server_{DbArgument(dir_.path() / "scores.db")};

    void TearDown() override {
        ASSERT_TRUE(server_.Running()) << server_.Log();
        EXPECT_EQ(Get(server_.Port(), "/api/games").result_int(), 200);
    }

    std::string StatusOf(const std::string& raw) {
        const std::string reply = RawExchange(server_.Port(), raw);
        return reply.substr(0, 12);
    }
};

std::string Binary(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

const std::string kPostHead = "POST /api/scores HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n";

std::string PostWith(const std::string& body) {
    return kPostHead + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

TEST_F(RobustnessTest, TruncatedRequestsAreDropped) {
    for (const std::string& raw : {std::string("GET / HTT"), std::string("GET / HTTP/1.1\r\nHost: x\r\n"),
                                   kPostHead + "Content-Length: 50\r\n\r\n{\"game\":", std::string("\r\n")}) {
        const std::string reply = RawExchange(server_.Port(), raw);
        EXPECT_TRUE(reply.empty() || reply.rfind("HTTP/1.1 400", 0) == 0) << raw << " -> " << reply;
    }
}

TEST_F(RobustnessTest, BinaryGarbageGets400OrAClose) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const std::string reply = RawExchange(server_.Port(), Binary(1 + seed * 200, seed));
        EXPECT_TRUE(reply.empty() || reply.rfind("HTTP/1.1 400", 0) == 0 || reply.rfind("HTTP/1.1 431", 0) == 0)
            << "seed " << seed << " -> " << reply.substr(0, 40);
    }
    using namespace std::string_literals;
    EXPECT_EQ(StatusOf("\0\0\0\0GET / HTTP/1.1\r\n\r\n"s), "HTTP/1.1 400");
}

TEST_F(RobustnessTest, HugeHeadersGet431) {
    EXPECT_EQ(StatusOf("GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(16 * 1024, 'a') + "\r\n\r\n"),
              "HTTP/1.1 431");
    std::string many = "GET / HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 2000; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(StatusOf(many + "\r\n"), "HTTP/1.1 431");
    EXPECT_EQ(StatusOf("GET /" + std::string(20 * 1024, 'p') + " HTTP/1.1\r\nHost: x\r\n\r\n"), "HTTP/1.1 431");
}

TEST_F(RobustnessTest, MalformedFramingGets400) {
    for (const std::string& raw : {
             std::string("GET / HTTP/9.9\r\n\r\n"),
             std::string("G\x01T / HTTP/1.1\r\n\r\n"),
             std::string("GET / HTTP/1.1\r\nBad Header\r\n\r\n"),
             kPostHead + "Content-Length: -1\r\n\r\n",
             kPostHead + "Content-Length: abc\r\n\r\n",
             kPostHead + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}",
             // Both framings at once is how requests are smuggled past a
             // proxy: refused as malformed rather than asked for a length.
             kPostHead + "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n",
             std::string("GET / HTTP/1.1\r\nContent-Length: 0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
         })
        EXPECT_EQ(StatusOf(raw), "HTTP/1.1 400") << raw;
}

TEST_F(RobustnessTest, BodiesWhereNoneIsTakenGet413BeforeAnyIsRead) {
    for (const std::string& raw : {
             std::string("PUT / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"),
             std::string("GET /api/scores HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1;a=b\r\nx\r\n0\r\n\r\n"),
             std::string("GET /api/games HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"),
             std::string("POST /api/games HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"),
             std::string("HEAD /style.css HTTP/1.1\r\nContent-Length: 1\r\n\r\nx"),
         })
        EXPECT_EQ(StatusOf(raw), "HTTP/1.1 413") << raw;
    // An empty body is no body.
    EXPECT_EQ(StatusOf("GET /api/games HTTP/1.1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"), "HTTP/1.1 200");
}

TEST_F(RobustnessTest, MalformedJsonGets400) {
    std::string deep(2000, '[');
    deep += std::string(2000, ']');
    for (const std::string& body :
         {Binary(300, 7), std::string("{\"game\":\"g\",\"score\":1"), deep,
          std::string("{\"game\":\"g\",\"score\":1,\"name\":\"a\",\"id\":\"\\ud800\"}"),
          std::string("{\"game\":\"g\",\"score\":99999999999999999999999,\"name\":\"\",\"id\":1}"),
          std::string("\xef\xbb\xbf{}"), std::string(4000, ' ')})
        EXPECT_EQ(StatusOf(PostWith(body)), "HTTP/1.1 400") << body.substr(0, 40);
}

TEST_F(RobustnessTest, KeepsServingAConnectionAfterARefusedBody) {
    // Two requests on one connection: a 400 for bad JSON leaves it usable.
    const std::string raw = PostWith("nope") + "GET /api/games HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    const std::string reply = RawExchange(server_.Port(), raw);
    EXPECT_EQ(reply.rfind("HTTP/1.1 400", 0), 0u) << reply;
    EXPECT_NE(reply.find("HTTP/1.1 200"), std::string::npos) << reply;
}
