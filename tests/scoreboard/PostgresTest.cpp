// What only a shared PostgreSQL database brings: several servers on one
// table, and a database that goes away under load and comes back.
#include "PrometheusServer.h"
#include "ScoreTable.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <latch>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

using namespace testsupport;
using namespace std::chrono_literals;
namespace json = boost::json;

namespace {

// Every post that got 201 or 200, by id, with its score.
class Ledger {
public:
    void Answered(const std::string& id, long long score) {
        std::lock_guard lock(mutex_);
        scores_[id] = score;
    }
    std::map<std::string, long long> All() {
        std::lock_guard lock(mutex_);
        return scores_;
    }

private:
    std::mutex mutex_;
    std::map<std::string, long long> scores_;
};

// Ids of answered posts missing from the database or stored with another score.
std::vector<std::string> Missing(const std::filesystem::path& db, const std::map<std::string, long long>& answered) {
    std::map<std::string, long long> stored;
    for (const auto& row : Query(db, "SELECT id, score FROM scores")) stored[row[0]] = std::stoll(row[1]);
    std::vector<std::string> missing;
    for (const auto& [id, score] : answered) {
        const auto at = stored.find(id);
        if (at == stored.end() || at->second != score) missing.push_back(id);
    }
    return missing;
}

// An exchange this process cut short: a signal reached the client's thread
// (here, from the children that start and stop a cluster). Says nothing of
// the server; the post's outcome is unknown and it is not counted.
bool Interrupted(const boost::system::system_error& e) { return e.code() == boost::system::errc::interrupted; }

int Status(unsigned short port, const std::string& game, long long score, const std::string& name,
           const std::string& id) {
    return PostScore(port, game, score, name, id).result_int();
}

}  // namespace

TEST(TwoServersTest, PostsSpreadOverBothShowOnEachAndARetryOnTheOtherIsA200WithOneRow) {
    TableFolder dir;
    const auto db = dir.path() / "shared.db";
    ScoreServer a(DbArgument(db));
    ScoreServer b(DbArgument(db));
    constexpr int kPosts = 20;
    std::map<std::string, std::string> firstAnswers;
    for (int i = 0; i < kPosts; ++i) {
        ScoreServer& to = i % 2 ? a : b;
        const auto reply = PostScore(to.Port(), "Shared", 100 - (i % 5), "p" + std::to_string(i), Uuid(i));
        ASSERT_EQ(reply.result_int(), 201) << reply.body();
        firstAnswers[Uuid(i)] = reply.body();
    }
    std::map<std::string, json::object> retries;  // by name
    for (int i = 0; i < kPosts; ++i) {
        // The retry goes to the server that did not answer the first time.
        ScoreServer& other = i % 2 ? b : a;
        const auto reply = PostScore(other.Port(), "Shared", 100 - (i % 5), "p" + std::to_string(i), Uuid(i));
        EXPECT_EQ(reply.result_int(), 200) << reply.body();
        // The row as first stored, its time included; its rank is as of now.
        auto again = JsonOf(reply).as_object();
        auto first = json::parse(firstAnswers[Uuid(i)]).as_object();
        retries["p" + std::to_string(i)] = again;
        for (auto* answer : {&again, &first}) {
            answer->erase("rank");
            answer->erase("ranks");
        }
        EXPECT_EQ(again, first);
    }
    // Both tables agree, with ties in the order they were stored whichever
    // server stored them.
    const auto tableA = JsonOf(Get(a.Port(), "/api/scores?game=Shared&limit=100"));
    const auto tableB = JsonOf(Get(b.Port(), "/api/scores?game=Shared&limit=100"));
    EXPECT_EQ(tableA, tableB);
    EXPECT_EQ(tableA.at("total"), kPosts);
    const auto& rows = tableA.at("scores").as_array();
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(kPosts));
    EXPECT_EQ(rows[0].at("name"), "p0");
    EXPECT_EQ(rows[1].at("name"), "p5");
    EXPECT_EQ(rows[4].at("name"), "p1");
    // Where an answer carries a rank, it is the row's place in that table.
    for (const auto& row : rows) {
        const auto& retry = retries[std::string(row.at("name").as_string())];
        if (const auto* rank = retry.if_contains("rank")) {
            EXPECT_EQ(*rank, row.at("rank")) << row;
        }
    }
    EXPECT_EQ(JsonOf(Get(a.Port(), "/api/games")), JsonOf(Get(b.Port(), "/api/games")));
}

TEST(TwoServersTest, RacingRetriesOnBothServersStoreOneRow) {
    TableFolder dir;
    const auto db = dir.path() / "shared.db";
    ScoreServer a(DbArgument(db), {"--rate-limit", "0"});
    ScoreServer b(DbArgument(db), {"--rate-limit", "0"});
    constexpr int kIds = 10;
    constexpr int kCopies = 4;  // of each post, half on each server, all at once
    std::atomic<int> created{0};
    std::atomic<int> retried{0};
    std::atomic<int> other{0};
    for (int n = 0; n < kIds; ++n) {
        std::latch start(kCopies);
        std::vector<std::thread> clients;
        for (int c = 0; c < kCopies; ++c) {
            clients.emplace_back([&, c] {
                start.arrive_and_wait();
                const int status = Status((c % 2 ? a : b).Port(), "Race", n, "r", Uuid(1000 + n));
                (status == 201 ? created : status == 200 ? retried : other)++;
            });
        }
        for (auto& t : clients) t.join();
    }
    EXPECT_EQ(created, kIds);
    EXPECT_EQ(retried, kIds * (kCopies - 1));
    EXPECT_EQ(other, 0);
    EXPECT_EQ(RowsIn(db), kIds);
    EXPECT_EQ(JsonOf(Get(b.Port(), "/api/scores?game=Race&limit=1")).at("total"), kIds);
}

TEST(TwoServersTest, Kill9OfOneUnderLoadLosesNoAnsweredScoreAndTheOtherKeepsServing) {
    TableFolder dir;
    const auto db = dir.path() / "shared.db";
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    ScoreServer doomed(DbArgument(db), {"--rate-limit", "0"});
    ScoreServer survivor(DbArgument(db), {"--rate-limit", "0"});

    Ledger ledger;
    std::atomic<bool> stop{false};
    std::atomic<int> survivorFailures{0};
    std::atomic<int> survivorPosts{0};
    constexpr int kClients = 4;
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            const bool onSurvivor = c % 2 == 1;
            const unsigned short port = onSurvivor ? survivor.Port() : doomed.Port();
            for (unsigned long long n = 0; !stop; ++n) {
                const std::string id = Uuid(static_cast<unsigned long long>(c) << 32 | n);
                const auto score = static_cast<long long>(n % 1000);
                try {
                    const int status = Status(port, "Kill", score, "c" + std::to_string(c), id);
                    if (status == 201 || status == 200) {
                        ledger.Answered(id, score);
                        if (onSurvivor) ++survivorPosts;
                    } else if (onSurvivor) {
                        ++survivorFailures;
                    }
                } catch (const boost::system::system_error& e) {
                    // The killed server's clients lose their connection; the
                    // post under way may or may not be stored.
                    if (Interrupted(e)) continue;
                    if (onSurvivor) ++survivorFailures;
                    if (!onSurvivor) return;
                } catch (const std::exception&) {
                    if (onSurvivor) ++survivorFailures;
                    if (!onSurvivor) return;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(200, 600)(rng)));
    doomed.Stop(SIGKILL);
    const int beforeKill = survivorPosts;
    std::this_thread::sleep_for(500ms);
    stop = true;
    for (auto& t : clients) t.join();

    EXPECT_EQ(survivorFailures, 0);
    EXPECT_GT(survivorPosts, beforeKill) << "the other server stopped storing";
    // The killed server's session may still commit the statement it was
    // running; the survivor's stay, idle.
    ASSERT_TRUE(AwaitServersGone(db, std::chrono::seconds(30), true));
    const auto answered = ledger.All();
    ASSERT_GT(answered.size(), 0u);
    EXPECT_EQ(Missing(db, answered), std::vector<std::string>{}) << "of " << answered.size() << " answered";
    EXPECT_TRUE(survivor.Running());
    const auto table = JsonOf(Get(survivor.Port(), "/api/scores?game=Kill&limit=1"));
    EXPECT_EQ(table.at("total").as_int64(), RowsIn(db));
}

namespace {

// A PostgreSQL of the test's own, which it may stop and start at will
// without upsetting the tests sharing the run's.
class OwnCluster {
public:
    OwnCluster() : dir_(parent_.path().string() + "-pg") {
        Script("setup", "fsync=off");
        // The run's cluster is the one Support talks to; this test talks to its own.
        ::setenv("BARNBLAST_TEST_POSTGRES", dir_.c_str(), 1);
    }
    ~OwnCluster() {
        ::setenv("BARNBLAST_TEST_POSTGRES", saved_.c_str(), 1);
        Script("teardown");
    }
    OwnCluster(const OwnCluster&) = delete;
    OwnCluster& operator=(const OwnCluster&) = delete;

    void Stop() { Script("stop"); }
    void Start() { Script("start"); }
    // Stops or resumes every process of the cluster: a database that keeps
    // its connections open and answers nothing.
    void Freeze() { SignalAll(SIGSTOP); }
    void Thaw() { SignalAll(SIGCONT); }
    std::string Uri() const { return PostgresUri(dir_, "postgres"); }

private:
    void SignalAll(int sig) {
        std::ifstream pidFile(dir_ + "/data/postmaster.pid");
        pid_t postmaster = 0;
        pidFile >> postmaster;
        ASSERT_GT(postmaster, 0);
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            if (!std::getline(stat, line)) continue;
            // pid (comm) state ppid ...: comm may hold spaces, so read after its ')'.
            std::istringstream rest(line.substr(line.rfind(')') + 1));
            char state = 0;
            pid_t parent = 0;
            rest >> state >> parent;
            if (parent == postmaster) ::kill(static_cast<pid_t>(std::stol(entry.path().filename())), sig);
        }
        ::kill(postmaster, sig);
    }

    void Script(const std::string& command, const std::string& extra = {}) {
        const std::string line =
            std::string("bash ") + BARNBLAST_POSTGRES_SCRIPT + " " + command + " " + dir_ + " " + extra + " >/dev/null";
        if (std::system(line.c_str()) != 0) throw std::runtime_error("failed: " + line);
    }

    std::string saved_ = std::getenv("BARNBLAST_TEST_POSTGRES") ? std::getenv("BARNBLAST_TEST_POSTGRES") : "";
    TempFolder parent_;  // only for a unique name beside it
    std::string dir_;
};

}  // namespace

// Catches an outage answered other than 503 with Retry-After, an answered
// post lost, and a server that is not storing again within 2 s of the
// database's return (a reconnect pause or backoff too long, or none at all).
TEST(DatabaseOutageTest, StopUnderLoadGives503WithRetryAfterThenStoresWithin2sOfItsReturn) {
    OwnCluster cluster;
    TableFolder dir;  // after the cluster: its database is dropped while the cluster runs
    const auto db = dir.path() / "scores.db";
    ScoreServer server(DbArgument(db), {"--rate-limit", "0"});

    Ledger ledger;
    std::atomic<bool> stop{false};
    std::atomic<int> unavailable{0};
    std::atomic<int> wrong{0};
    std::mutex wrongMutex;
    std::string wrongAnswer;
    constexpr int kClients = 4;
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (unsigned long long n = 0; !stop; ++n) {
                const std::string id = Uuid(static_cast<unsigned long long>(c) << 32 | n);
                const long long score = static_cast<long long>(n);
                try {
                    const auto reply = PostScore(server.Port(), "Outage", score, "c", id);
                    const int status = reply.result_int();
                    if (status == 201 || status == 200) {
                        ledger.Answered(id, score);
                    } else if (status == 503 && reply.count(boost::beast::http::field::retry_after) == 1) {
                        ++unavailable;
                        std::this_thread::sleep_for(20ms);
                    } else {
                        ++wrong;
                        std::lock_guard lock(wrongMutex);
                        wrongAnswer = std::to_string(status) + " " + reply.body();
                    }
                } catch (const boost::system::system_error& e) {
                    if (Interrupted(e)) continue;
                    ++wrong;  // no answer at all
                    std::lock_guard lock(wrongMutex);
                    wrongAnswer = e.what();
                } catch (const std::exception& e) {
                    ++wrong;
                    std::lock_guard lock(wrongMutex);
                    wrongAnswer = e.what();
                }
            }
        });
    }
    std::this_thread::sleep_for(300ms);
    cluster.Stop();
    // While it is away, reads are refused the same way.
    const auto read = Get(server.Port(), "/api/scores?game=Outage");
    EXPECT_EQ(read.result_int(), 503) << read.body();
    EXPECT_EQ(read.count(boost::beast::http::field::retry_after), 1u);
    std::this_thread::sleep_for(300ms);
    const int duringOutage = unavailable;
    cluster.Start();  // once it accepts connections again
    // Stored again within 2 s of its return: a connection the database
    // dropped is reopened by the next call once its pause (200 ms) is up, so
    // past the window a post is stored at its first attempt.
    std::this_thread::sleep_for(2s);
    const std::string late = Uuid(1ULL << 40);
    const auto lateReply = PostScore(server.Port(), "Outage", 1, "c", late);
    EXPECT_EQ(lateReply.result_int(), 201) << lateReply.body() << server.Log();
    if (lateReply.result_int() == 201) ledger.Answered(late, 1);
    stop = true;
    for (auto& t : clients) t.join();

    EXPECT_GT(duringOutage, 0);
    EXPECT_EQ(wrong, 0) << wrongAnswer;
    ASSERT_TRUE(server.Running()) << server.Log();
    EXPECT_EQ(Get(server.Port(), "/api/games").result_int(), 200);
    EXPECT_EQ(Missing(db, ledger.All()), std::vector<std::string>{});
    // An operator sees the outage in the metrics: every 503 as a refused
    // post, the failures, and the connections opened again.
    const std::string metrics = Get(server.Port(), "/metrics").body();
    EXPECT_EQ(SampleOf(metrics, R"(scoreboard_posts_refused_total{reason="unavailable"})"), unavailable) << metrics;
    EXPECT_GT(SampleOf(metrics, "scoreboard_database_errors_total"), 0) << metrics;
    EXPECT_GE(SampleOf(metrics, "scoreboard_database_reconnects_total"), 1) << metrics;
}

TEST(DatabaseOutageTest, ADatabaseThatStopsAnsweringGives503InBoundedTimeThenServesAgain) {
    OwnCluster cluster;
    TableFolder dir;
    const auto db = dir.path() / "scores.db";
    ScoreServer server(DbArgument(db));
    ASSERT_EQ(Status(server.Port(), "Frozen", 1, "a", Uuid(1)), 201);

    cluster.Freeze();
    // The post is under way when the database stops answering: the server
    // gives up on it in time for the client to hear so.
    const auto reply = PostScore(server.Port(), "Frozen", 2, "a", Uuid(2));
    cluster.Thaw();
    EXPECT_EQ(reply.result_int(), 503) << reply.body();
    EXPECT_EQ(reply.count(boost::beast::http::field::retry_after), 1u);

    // Its retry is stored once, whether or not the stopped statement went
    // through when the database resumed.
    int status = 0;
    for (int i = 0; i < 100 && status != 201 && status != 200; ++i) {
        status = Status(server.Port(), "Frozen", 2, "a", Uuid(2));
        if (status == 503) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(status == 201 || status == 200) << status;
    EXPECT_EQ(RowsIn(db, "game = 'Frozen'"), 2);
    EXPECT_TRUE(server.Running());
}

TEST(DatabaseOutageTest, AStartWithTheDatabaseAwayFailsWithTheReason) {
    OwnCluster cluster;
    cluster.Stop();
    try {
        ScoreServer server(cluster.Uri());
        ADD_FAILURE() << "started without its database: " << server.Log();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot open the PostgreSQL database"), std::string::npos) << e.what();
    }
}

// Catches a /readyz that says ready while the database is away, or that
// stays unready once it is back.
TEST(DatabaseOutageTest, ReadinessIs503WhileTheDatabaseIsStoppedAnd200OnceItIsBack) {
    OwnCluster cluster;
    TableFolder dir;
    const auto db = dir.path() / "scores.db";
    ScoreServer server(DbArgument(db));
    EXPECT_EQ(Get(server.Port(), "/readyz").result_int(), 200);
    cluster.Stop();
    EXPECT_EQ(Get(server.Port(), "/readyz").result_int(), 503);
    EXPECT_EQ(Get(server.Port(), "/healthz").result_int(), 200);
    cluster.Start();
    // The server reconnects on its next query; bounded so as not to hang.
    int status = 0;
    for (int i = 0; i < 100 && status != 200; ++i) {
        status = Get(server.Port(), "/readyz").result_int();
        if (status != 200) std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(status, 200) << server.Log();
}

// Catches a log that gets one line per failed request while the database is
// away, and one that never says the errors ended.
TEST(DatabaseOutageTest, StoreErrorsAreLoggedAsARunNotOneLinePerRequest) {
    OwnCluster cluster;
    TableFolder dir;
    const auto db = dir.path() / "scores.db";
    ScoreServer server(DbArgument(db), {"--rate-limit", "0"});
    ASSERT_EQ(Status(server.Port(), "Run", 1, "a", Uuid(1)), 201);
    cluster.Stop();
    constexpr int kFailures = 30;
    for (int i = 0; i < kFailures; ++i) EXPECT_EQ(Status(server.Port(), "Run", 2, "a", Uuid(2)), 503);
    cluster.Start();
    int status = 0;
    for (int i = 0; i < 100 && status != 201; ++i) {
        status = Status(server.Port(), "Run", 2, "a", Uuid(2));
        if (status != 201) std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(status, 201);
    EXPECT_EQ(server.Stop(SIGTERM), 0);
    const std::string log = server.Log();
    const auto started = log.find("store error: ");
    ASSERT_NE(started, std::string::npos) << log;
    EXPECT_EQ(log.find("store error: ", started + 1), std::string::npos) << log;
    EXPECT_NE(log.find("store error ended after", started), std::string::npos) << log;
}
