// What the posting tests share: a scratch folder holding the outbox, waiting
// for the outbox to drain, and the score table read back.
#pragma once

#include "Corvane.h"
#include "LoopbackPort.h"
#include "ScoreServer.h"
#include "TempFolder.h"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace postscore_test {

namespace fs = std::filesystem;
using testsupport::BoundLoopbackSocket;
using testsupport::FreeLoopbackPort;
using testsupport::ScoreServer;

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

struct Row {
    std::string name;
    std::int64_t score;
};

// The whole table of one game, best first.
inline std::vector<Row> Table(const ScoreServer& server, const std::string& game) {
    const std::string body =
        testsupport::HttpGet(server.Port(), "/api/scores?limit=100&game=" + testsupport::UrlEncoded(game));
    const boost::json::value answer = boost::json::parse(body);
    std::vector<Row> rows;
    for (const auto& r : answer.at("scores").as_array())
        rows.push_back({std::string(r.at("name").as_string()), r.at("score").as_int64()});
    return rows;
}

// Each test gets a scratch folder holding its outbox; the service is closed
// and the folder removed after it.
class OutboxFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("BARNBLAST_OUTBOX", (dir_ / "outbox").c_str(), 1);
        ::unsetenv("BARNBLAST_SCORE_SITE");
    }
    void TearDown() override {
        Corvane::CloseLib();
        std::error_code ignored;
        // A test may have shut the outbox; the folder goes with the fixture.
        fs::permissions(dir_ / "outbox", fs::perms::owner_all, ignored);
    }

    // A score table with its database in this test's folder, on `port` (0:
    // any), with no rate limit unless given (posts a minute).
    ScoreServer StartServer(int port = 0, int rateLimit = 0) const {
        return ScoreServer((dir_ / "scores.db").string(), {"--rate-limit", std::to_string(rateLimit)}, port);
    }

    testsupport::TempFolder dir_{"postscore"};
};

}  // namespace postscore_test
