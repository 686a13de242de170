// PostScore end to end: the real service posting to the real score table
// server on loopback, with the outbox in a folder of its own per test.
#include "Corvane.h"
#include "OutboxFixture.h"
#include "RoundRecord.h"
#include "ScoreJson.h"
#include "delivery/Outbox.h"
#include "delivery/Uuid.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace postscore_test;
using Corvane::detail::Outbox;
using Corvane::detail::OutboxRecord;
using score_protocol::ScoreBody;

namespace {

std::string kGame = "Barnblast V2";

class PostScoreTest : public OutboxFixture {
protected:
    void Post(std::int32_t score, std::string name, int port) {
        std::string site = "localhost:" + std::to_string(port);
        Corvane::PostScore(kGame, score, name, site);
    }
    // Scores waiting in the outbox.
    std::size_t Waiting() const { return Outbox(dir_ / "outbox").List().size(); }
    bool Drained() const {
        return WaitFor([&] { return Waiting() == 0; });
    }
    // An entry written as PostScore would, to post to `port`.
    std::string Entry(std::int32_t score, const std::string& name, const std::string& id, int port,
                      const std::string& game = kGame) {
        std::string error;
        Outbox box(dir_ / "outbox");
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/api/scores";
        EXPECT_TRUE(box.Add(id, {url, score_protocol::ScoreBody(game, score, name, id)}, error)) << error;
        return box.List().back();
    }
    // The table holds `count` scores, each answered 201 once; the server has
    // ended after, so that its log holds every answer.
    void ExpectStoredOnce(ScoreServer& server, std::size_t count) const {
        EXPECT_EQ(Table(server, kGame).size(), count);
        server.Stop(SIGTERM);
        EXPECT_EQ(server.Posts(201), static_cast<int>(count));
    }
    // Starts the service on what waits in the outbox, lets it all go, and
    // returns what the service said on standard error meanwhile.
    std::string SendAllWaiting() {
        ::testing::internal::CaptureStderr();
        EXPECT_TRUE(Corvane::InitLib(5));
        EXPECT_TRUE(Drained());
        Corvane::CloseLib();
        return ::testing::internal::GetCapturedStderr();
    }
};

TEST_F(PostScoreTest, DeliveredOnce) {
    auto server = StartServer();
    ASSERT_TRUE(Corvane::InitLib(5));
    Post(35, "Ann", server.Port());
    ASSERT_TRUE(Drained());
    const auto rows = Table(server, kGame);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "Ann");
    EXPECT_EQ(rows[0].score, 35);
    server.Stop(SIGTERM);  // its log holds every answer once it has ended
    EXPECT_EQ(server.Posts(201), 1);
    EXPECT_EQ(server.Log().find("POST /api/scores 200"), std::string::npos);
}

TEST_F(PostScoreTest, PostedBeforeInitLibIsSentAtStart) {
    const auto server = StartServer();
    Post(10, "Early", server.Port());
    EXPECT_EQ(Waiting(), 1u);
    ASSERT_TRUE(Corvane::InitLib(5));
    ASSERT_TRUE(Drained());
    ASSERT_EQ(Table(server, kGame).size(), 1u);
}

TEST_F(PostScoreTest, ServerDownWhilePostingThenUpDeliversExactlyOnce) {
    const int port = FreeLoopbackPort();
    ASSERT_TRUE(Corvane::InitLib(5));
    Post(20, "Patient", port);
    Post(25, "Patient", port);
    // Let the first tries fail against the closed port.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Waiting(), 2u);

    auto server = StartServer(port);
    ASSERT_TRUE(Drained());
    const auto rows = Table(server, kGame);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].score, 25);
    EXPECT_EQ(rows[1].score, 20);
    server.Stop(SIGTERM);  // its log holds every answer once it has ended
    EXPECT_EQ(server.Posts(201), 2);
}

TEST_F(PostScoreTest, KilledProcessDeliversAtNextStart) {
    const int port = FreeLoopbackPort();
    // Forked before this process starts any thread of its own.
    const pid_t child = ::fork();
    if (child == 0) {
        Corvane::InitLib(5);  // its sender finds no server
        for (int i = 1; i <= 3; ++i) Post(i, "Ghost", port);
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(Waiting(), 3u);

    auto server = StartServer(port);
    ASSERT_TRUE(Corvane::InitLib(5));
    ASSERT_TRUE(Drained());
    const auto rows = Table(server, kGame);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].score, 3);
    server.Stop(SIGTERM);  // its log holds every answer once it has ended
    EXPECT_EQ(server.Posts(201), 3);
}

TEST_F(PostScoreTest, RefusedScoresAreDroppedWithOneLineEach) {
    const auto server = StartServer();
    // The table takes no score without a game (400) and no second score
    // under one id (422).
    const std::string id = "6a0c2e4b-1d3f-4a5b-9c7d-8e9f0a1b2c3d";
    Entry(50, "First", id, server.Port());
    Entry(51, "Second", id, server.Port());
    Entry(5, "Malformed", "1b2c3d4e-5f60-4718-9a0b-1c2d3e4f5a6b", server.Port(), "");
    const std::string err = SendAllWaiting();

    const auto rows = Table(server, kGame);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "First");
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        if (line.find("scores:") != std::string::npos) lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 2u) << err;
    EXPECT_NE(err.find("refused score 51 of \"Second\" (HTTP 422: id was already used"), std::string::npos) << err;
    EXPECT_NE(err.find("refused score 5 of \"Malformed\" (HTTP 400: game must"), std::string::npos) << err;
}

TEST_F(PostScoreTest, AnyNameArrivesByteForByte) {
    const auto server = StartServer();
    ASSERT_TRUE(Corvane::InitLib(5));
    const std::string names[] = {"\"O'Neil\" \\o/ {\"x\":1}",
                                 "Zoë Ångström 日本語 😀",
                                 "\\u0041 \\\" </script>",
                                 "bad \xff utf-8",
                                 "",
                                 "tab\there\nnewline",
                                 "A name far longer than the table's limit"};
    for (std::size_t i = 0; i < std::size(names); ++i) Post(static_cast<int>(i), names[i], server.Port());
    ASSERT_TRUE(Drained());
    const auto rows = Table(server, kGame);
    ASSERT_EQ(rows.size(), std::size(names));
    for (const auto& row : rows) {
        // What the table cannot take is made presentable rather than lost.
        const std::string expected = row.score == 3   ? "bad \uFFFD utf-8"
                                     : row.score == 5 ? "tab here newline"
                                     : row.score == 6 ? "A name far longer than the table"
                                                      : names[row.score];
        EXPECT_EQ(row.name, expected);
    }
}

TEST_F(PostScoreTest, SiteOverrideTakesAWholeBaseUrl) {
    const auto server = StartServer();
    ::setenv("BARNBLAST_SCORE_SITE", ("http://127.0.0.1:" + std::to_string(server.Port()) + "/").c_str(), 1);
    ASSERT_TRUE(Corvane::InitLib(5));
    std::string game = kGame, name = "Elsewhere", site = "scores.invalid";
    Corvane::PostScore(game, 7, name, site);
    ASSERT_TRUE(Drained());
    EXPECT_EQ(Table(server, kGame).size(), 1u);
}

TEST_F(PostScoreTest, DamagedEntriesAreNeverSent) {
    const auto server = StartServer();
    const int port = server.Port();
    Entry(1, "Good", "11111111-1111-4111-8111-111111111111", port);
    const fs::path box = dir_ / "outbox";
    // A cut entry, one with a changed score, and a temporary file left by a
    // writer that died before its rename.
    const std::string cut = Entry(2, "Cut", "22222222-2222-4222-8222-222222222222", port);
    fs::resize_file(box / cut, fs::file_size(box / cut) - 12);
    const std::string changed = Entry(3, "Changed", "33333333-3333-4333-8333-333333333333", port);
    std::string text = ReadFile(box / changed);
    text.replace(text.find("\"score\":3"), 9, "\"score\":9");
    std::ofstream(box / changed, std::ios::binary | std::ios::trunc) << text;
    const std::string temp = Entry(4, "Temp", "44444444-4444-4444-8444-444444444444", port);
    fs::rename(box / temp, box / ".tmp-44444444-4444-4444-8444-444444444444");

    const std::string err = SendAllWaiting();

    const auto rows = Table(server, kGame);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "Good");
    EXPECT_TRUE(fs::exists(box / (cut + ".bad")));
    EXPECT_TRUE(fs::exists(box / (changed + ".bad")));
    EXPECT_NE(err.find("damaged score entry"), std::string::npos) << err;
}

// A retry whose first try was stored (the answer was lost) is answered 200,
// counted as delivered, and the table holds the score once.
TEST_F(PostScoreTest, RetryOfAStoredScoreIsStoredOnce) {
    auto server = StartServer();
    const std::string file = Entry(8, "Twice", "55555555-5555-4555-8555-555555555555", server.Port());
    const std::string copy = ReadFile(dir_ / "outbox" / file);
    ASSERT_TRUE(Corvane::InitLib(5));
    ASSERT_TRUE(Drained());
    Corvane::CloseLib();
    std::ofstream(dir_ / "outbox" / file, std::ios::binary) << copy;
    ASSERT_TRUE(Corvane::InitLib(5));
    ASSERT_TRUE(Drained());
    ExpectStoredOnce(server, 1);
    EXPECT_EQ(server.Posts(200), 1);
}

TEST_F(PostScoreTest, TwoProcessesNeverSendOneEntryTwice) {
    auto server = StartServer();
    constexpr int kScores = 40;
    for (int i = 0; i < kScores; ++i) {
        char id[37];
        std::snprintf(id, sizeof id, "%08d-0000-4000-8000-000000000000", i);
        Entry(i, "Shared", id, server.Port());
    }
    pid_t children[2];
    for (pid_t& child : children) {
        child = ::fork();
        if (child == 0) {
            Corvane::InitLib(5);
            const bool drained = Drained();
            Corvane::CloseLib();
            ::_exit(drained ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ExpectStoredOnce(server, kScores);
    EXPECT_EQ(server.Posts(200), 0) << "an entry was sent twice";
}

TEST_F(PostScoreTest, RateLimitedScoresWaitAndArrive) {
    // 12 a minute: a burst of 12 passes, then one each 5 s with Retry-After,
    // which a burst of 14 meets however slowly this machine sends it.
    auto server = StartServer(0, 12);
    for (int i = 0; i < 14; ++i) Entry(i, "Busy", Corvane::detail::NewUuid(), server.Port());
    ASSERT_TRUE(Corvane::InitLib(5));
    ASSERT_TRUE(Drained());
    ExpectStoredOnce(server, 14);
    EXPECT_GE(server.Posts(429), 1);
}

// The round's record goes with the next score only, is kept with it while
// the score waits in the outbox, and is sent in the score's body.
TEST_F(PostScoreTest, TheRecordGoesWithTheNextScoreOnly) {
    auto server = StartServer();
    // A round as the game records it: a hit as soon as keys count, then the
    // key that ends the round; it scores 5.
    round_rules::Record round;
    round.generatorState = platform::Generator::Unseeded(round.generatorKind).State();
    round.keys = {{round_rules::kSettleMs, round_rules::Action::Fire},
                  {round_rules::kRoundMs, round_rules::Action::Other}};
    const std::string record = round_rules::EncodeRecord(round);
    Corvane::SetRoundRecord(record);
    Post(5, "Recorded", server.Port());  // before InitLib: both wait in the outbox
    Post(5, "Plain", server.Port());
    Outbox box(dir_ / "outbox");
    std::vector<std::string> sent;
    for (const std::string& file : box.List()) {
        const auto body = boost::json::parse(box.TryClaim(file)->Record().body).as_object();
        sent.push_back(body.contains("round") ? std::string(body.at("round").as_string()) : "none");
    }
    EXPECT_EQ(sent, (std::vector<std::string>{record, "none"}));
    ASSERT_TRUE(Corvane::InitLib(5));
    ASSERT_TRUE(Drained());
    ExpectStoredOnce(server, 2);
}

// A round's token is asked for as the round starts: a table that is away, or
// one that takes the connection and never answers, gives none, and the call
// comes back (its wait is bounded) so that the round is played without.
TEST_F(PostScoreTest, NoRoundTokenFromATableAwayOrSilent) {
    const auto [listener, silentPort] = BoundLoopbackSocket();
    ASSERT_EQ(::listen(listener, 8), 0);
    for (const int port : {FreeLoopbackPort(), silentPort}) {
        std::string token = "none";
        std::uint32_t seed = 7;
        EXPECT_FALSE(Corvane::GetRoundToken(kGame, "localhost:" + std::to_string(port), 250, token, seed)) << port;
        EXPECT_EQ(token, "none");
        EXPECT_EQ(seed, 7u);
    }
    ::close(listener);
}

// A server that takes the connection and never answers: CloseLib still
// returns while it hangs (the listener is closed only after), and the score
// stays.
TEST_F(PostScoreTest, CloseLibReturnsWhileAServerHangsAndKeepsTheScore) {
    const auto [listener, port] = BoundLoopbackSocket();
    ASSERT_EQ(::listen(listener, 8), 0);

    ASSERT_TRUE(Corvane::InitLib(5));
    Post(9, "Stuck", port);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the send begin
    Corvane::CloseLib();
    EXPECT_EQ(Waiting(), 1u);
    ::close(listener);
}

}  // namespace
