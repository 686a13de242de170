// What a 201 promises: the score survives the process, and a stop finishes
// what is under way.
#include "ScoreTable.h"
#include "SmallVolume.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <thread>

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

bool WaitForLog(ScoreServer& server, const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
        if (server.Log().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string ReadAll(int fd) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    return out;
}

}  // namespace

TEST(DurabilityTest, ScoresAnswered201SurviveKill9) {
    TableFolder dir;
    const auto db = dir.path() / "scores.db";
    {
        ScoreServer server(DbArgument(db));
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(PostScore(server.Port(), "Barnblast V2", i * 5, "k", Uuid(i)).result_int(), 201);
        server.Stop(SIGKILL);  // at once after the last 201: no chance to checkpoint or close
    }
    EXPECT_EQ(RowsIn(db), 20);

    ScoreServer again(DbArgument(db));
    const auto table = JsonOf(Get(again.Port(), "/api/scores?game=Barnblast+V2&limit=1"));
    EXPECT_EQ(table.at("total"), 20);
    EXPECT_EQ(table.at("scores").at(0).at("score"), 95);
    // The retry a client makes when the 201 was lost on the way is still a retry.
    EXPECT_EQ(PostScore(again.Port(), "Barnblast V2", 95, "k", Uuid(19)).result_int(), 200);
}

TEST(DurabilityTest, EveryAnsweredPostSurvivesKill9AtARandomMomentOnce) {
    TableFolder dir;
    const auto db = dir.path() / "scores.db";
    const unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));

    std::mutex mutex;
    std::map<std::string, long long> answered;  // id -> score, for every 201 or 200
    std::atomic<int> wrong{0};
    constexpr int kRounds = 4;
    constexpr int kClients = 6;
    for (int round = 0; round < kRounds; ++round) {
        ScoreServer server(DbArgument(db), {"--rate-limit", "0"});
        // The moment is counted in answers, not in time, so that a slow
        // machine still kills each round with posts answered and under way.
        const int killAfter = std::uniform_int_distribution<int>(1, 150)(rng);
        std::atomic<int> answeredNow{0};
        std::atomic<int> clientsLeft{kClients};
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                std::vector<std::pair<std::string, long long>> mine;
                // Until the server dies under it: then the post under way may
                // or may not be stored, and is not counted either way.
                try {
                    for (unsigned long long n = 0;; ++n) {
                        const std::string id = Uuid((round * 100ULL + c) << 32 | n);
                        const long long score = static_cast<long long>(n * 7 + c);
                        const int status =
                            PostScore(server.Port(), "Kill", score, "c" + std::to_string(c), id).result_int();
                        if (status != 201) ++wrong;
                        {
                            std::lock_guard lock(mutex);
                            answered[id] = score;
                        }
                        ++answeredNow;
                        mine.emplace_back(id, score);
                        if (n % 5 == 4) {
                            // A retry of an answered post: a 200, never a second row.
                            const auto& [oldId, oldScore] = mine[n / 2];
                            if (PostScore(server.Port(), "Kill", oldScore, "c" + std::to_string(c), oldId)
                                    .result_int() != 200)
                                ++wrong;
                        }
                    }
                } catch (const std::exception&) {}
                --clientsLeft;
            });
        }
        while (answeredNow < killAfter && clientsLeft > 0) std::this_thread::sleep_for(1ms);
        server.Stop(SIGKILL);
        for (auto& t : clients) t.join();
    }
    EXPECT_EQ(wrong, 0);
    ASSERT_GT(answered.size(), 0u);
    // A post under way at the kill is not answered, but its statement may
    // still be committing in the database: read once it is over.
    ASSERT_TRUE(AwaitServersGone(db));

    // Read the way any other client of the database would, server or not.
    std::map<std::string, long long> stored;
    for (const auto& row : Query(db, "SELECT id, score, COUNT(*) FROM scores GROUP BY id, score")) {
        EXPECT_EQ(stored.count(row[0]), 0u) << row[0];
        stored[row[0]] = std::stoll(row[1]);
        EXPECT_EQ(row[2], "1") << row[0];
    }
    std::size_t lost = 0;
    for (const auto& [id, score] : answered) {
        const auto at = stored.find(id);
        if (at == stored.end()) {
            ++lost;
        } else {
            EXPECT_EQ(at->second, score) << id;
        }
    }
    EXPECT_EQ(lost, 0u) << "of " << answered.size() << " answered";
    std::printf("%d rounds: %zu posts answered, %zu rows stored\n", kRounds, answered.size(), stored.size());

    // The count kept beside the rows agrees with them after every kill.
    ScoreServer again(DbArgument(db));
    const auto table = JsonOf(Get(again.Port(), "/api/scores?game=Kill&limit=1"));
    EXPECT_EQ(table.at("total").as_int64(), static_cast<std::int64_t>(stored.size()));
}

TEST(DurabilityTest, DatabaseIsInWalMode) {
    if (UsingPostgres()) GTEST_SKIP() << "an SQLite file's journal mode; PostgreSQL always logs ahead";
    TableFolder dir;
    const auto db = dir.path() / "scores.db";
    ScoreServer server(DbArgument(db));
    EXPECT_EQ(Query(db, "PRAGMA journal_mode"), (std::vector<std::vector<std::string>>{{"wal"}}));
}

// Catches a full disk answered 500 or with a crash, a 201 for a score that
// is not on disk, a file left damaged, and a store that does not store
// again once the operator makes room.
TEST(DurabilityTest, AFullDiskGives503UntilThereIsRoomAndLosesNothing) {
    if (UsingPostgres()) GTEST_SKIP() << "the SQLite file's disk; PostgreSQL's is the database's";
    SmallVolume volume(16 << 20);
    if (!volume.Refused().empty()) GTEST_SKIP() << "no small filesystem to fill here: " << volume.Refused();
    const auto db = volume.path() / "scores.db";
    ScoreServer server(db.string(), {"--rate-limit", "0"});
    // The rest of the room goes to posts.
    volume.Fill("filler", 512 << 10);

    std::mutex mutex;
    std::map<std::string, long long> answered;  // id -> score, for every 201
    std::string wrong;
    std::atomic<int> full{0};
    constexpr int kClients = 4;
    constexpr int kFullAnswers = 50;  // each, once the disk is full
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            // Bounded, so that a disk that never fills fails rather than hangs.
            for (unsigned long long n = 0, refused = 0; refused < kFullAnswers && n < 100'000; ++n) {
                const std::string id = Uuid(static_cast<unsigned long long>(c) << 32 | n);
                const auto reply = PostScore(server.Port(), "Full", static_cast<long long>(n), "f", id);
                std::lock_guard lock(mutex);
                if (reply.result_int() == 201) {
                    answered[id] = static_cast<long long>(n);
                } else if (reply.result_int() == 503 && reply.count(boost::beast::http::field::retry_after) == 1) {
                    ++refused;
                    ++full;
                } else {
                    wrong = std::to_string(reply.result_int()) + " " + reply.body();
                    return;
                }
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(wrong, "");
    ASSERT_EQ(full, kClients * kFullAnswers) << "the disk never filled: " << volume.Free() << " bytes free";
    ASSERT_GT(answered.size(), 0u);
    std::printf("%zu posts stored before the disk filled\n", answered.size());
    ASSERT_TRUE(server.Running()) << server.Log();
    EXPECT_EQ(Query(db, "PRAGMA integrity_check"), (std::vector<std::vector<std::string>>{{"ok"}}));

    std::filesystem::remove(volume.path() / "filler");
    EXPECT_EQ(PostScore(server.Port(), "Full", 1, "f", Uuid(1ULL << 40)).result_int(), 201) << server.Log();
    answered[Uuid(1ULL << 40)] = 1;
    EXPECT_EQ(server.Stop(SIGTERM), 0) << server.Log();
    std::map<std::string, long long> stored;
    for (const auto& row : Query(db, "SELECT id, score FROM scores")) stored[row[0]] = std::stoll(row[1]);
    std::vector<std::string> lost;
    for (const auto& [id, score] : answered)
        if (!stored.contains(id) || stored[id] != score) lost.push_back(id);
    EXPECT_EQ(lost, std::vector<std::string>{}) << "of " << answered.size() << " answered";
    EXPECT_EQ(Query(db, "PRAGMA integrity_check"), (std::vector<std::vector<std::string>>{{"ok"}}));
}

TEST(GracefulStopTest, SigtermFinishesTheRequestInFlightAndDropsIdleConnections) {
    TableFolder dir;
    const auto db = dir.path() / "scores.db";
    ScoreServer server(DbArgument(db));
    const std::string body = R"({"game":"g","score":7,"name":"late","id":")" + Uuid(1) + R"("})";

    const int idle = ConnectLoopback(server.Port());
    const int busy = ConnectLoopback(server.Port());
    // Expect: 100-continue makes the server say when it has taken the header
    // and waits for the body: from then on the request is in flight.
    const std::string head =
        "POST /api/scores HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
        "Expect: 100-continue\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n";
    ASSERT_EQ(::send(busy, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
    char buf[64] = {};
    const ssize_t got = ::recv(busy, buf, sizeof buf - 1, 0);
    ASSERT_GT(got, 0);
    ASSERT_EQ(std::string(buf).rfind("HTTP/1.1 100 Continue\r\n\r\n", 0), 0u) << buf;

    server.Signal(SIGTERM);
    ASSERT_TRUE(WaitForLog(server, "signal 15"));
    ASSERT_EQ(::send(busy, body.data(), body.size(), MSG_NOSIGNAL), static_cast<ssize_t>(body.size()));

    const std::string reply = ReadAll(busy);
    EXPECT_EQ(reply.rfind("HTTP/1.1 201", 0), 0u) << reply;
    EXPECT_NE(reply.find("Connection: close"), std::string::npos) << reply;
    EXPECT_EQ(ReadAll(idle), "");  // closed without an answer
    ::close(busy);
    ::close(idle);

    const int status = server.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << server.Log();
    EXPECT_EQ(RowsIn(db, "name = 'late'"), 1);
}
