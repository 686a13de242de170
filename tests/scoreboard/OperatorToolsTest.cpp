// The operator's tools from the command line, run beside a serving server
// on the same database: an export says what the pages say, and after a
// name's deletion no page, rank or count has it.
#include "RoundRecord.h"
#include "ScoreTable.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

using namespace testsupport;
namespace json = boost::json;

namespace {

// Runs the server's program with `args` (shell words, quoted by the caller)
// and returns its standard output; its standard error goes to `err`.
std::string RunTool(const std::filesystem::path& db, const std::string& args, const std::filesystem::path& err,
                    int* status) {
    const std::string command = std::string("'") + BARNBLAST_SCOREBOARD_EXE + "' --db '" + DbArgument(db) + "' " +
                                args + " 2>'" + err.string() + "'";
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) throw std::runtime_error("cannot run " + command);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
    *status = ::pclose(out);
    return text;
}

std::string Slurp(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class OperatorToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Two games; "Gone" has rows in both, some at the top; a name with
        // a comma and a quote, for the CSV.
        const std::vector<std::string> names{"Ann", "Gone", "Bo, \"the\" one", "Gone"};
        for (int i = 0; i < 70; ++i) {
            const std::string game = i % 3 == 0 ? "Other" : "Main";
            const auto reply =
                PostScore(server_.Port(), game, (i * 37) % 23, names[static_cast<std::size_t>(i) % names.size()],
                          Uuid(static_cast<unsigned long long>(i)));
            ASSERT_EQ(reply.result_int(), 201) << reply.body();
        }
    }

    // The whole table of a game as its pages give it, one JSON line a row.
    std::vector<json::object> Pages(const std::string& game) {
        std::vector<json::object> rows;
        for (int offset = 0;; offset += 100) {
            const auto page =
                JsonOf(Get(server_.Port(), "/api/scores?limit=100&offset=" + std::to_string(offset) + "&game=" + game));
            for (const auto& r : page.at("scores").as_array()) {
                json::object row = r.as_object();
                row["game"] = game;
                rows.push_back(std::move(row));
            }
            if (page.at("scores").as_array().size() < 100) return rows;
        }
    }

    // The export of one game, without the ids (which pages do not show).
    std::vector<json::object> Exported(const std::string& game) {
        int status = -1;
        const std::string out = RunTool(db_, "--export jsonl --game " + game, dir_.path() / "err", &status);
        EXPECT_EQ(status, 0) << Slurp(dir_.path() / "err");
        std::vector<json::object> rows;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            json::object row = json::parse(line).as_object();
            EXPECT_TRUE(row.contains("id")) << line;
            row.erase("id");
            rows.push_back(std::move(row));
        }
        return rows;
    }

    long long GamesTotal() {
        long long total = 0;
        const auto games = JsonOf(Get(server_.Port(), "/api/games"));
        for (const auto& g : games.at("games").as_array()) total += g.at("scores").as_int64();
        return total;
    }

    TableFolder dir_;
    std::filesystem::path db_ = dir_.path() / "scores.db";
    ScoreServer server_{DbArgument(db_), {"--rate-limit", "0"}};
};

bool SameRows(const std::vector<json::object>& a, const std::vector<json::object>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (const char* key : {"game", "rank", "name", "score", "time"})
            if (a[i].at(key) != b[i].at(key)) return false;
    }
    return true;
}

}  // namespace

TEST_F(OperatorToolsTest, AnExportOfATableIsWhatItsPagesShow) {
    for (const std::string game : {"Main", "Other"}) {
        const auto exported = Exported(game);
        EXPECT_FALSE(exported.empty());
        EXPECT_TRUE(SameRows(exported, Pages(game))) << game;
    }
    // All games as CSV: a header, then each game's rows in rank order.
    int status = -1;
    const std::string csv = RunTool(db_, "--export csv", dir_.path() / "err", &status);
    ASSERT_EQ(status, 0) << Slurp(dir_.path() / "err");
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "game,rank,name,score,time,id,check");
    std::vector<std::string> rows;
    while (std::getline(lines, line)) rows.push_back(line);
    ASSERT_EQ(rows.size(), 70u);
    EXPECT_EQ(rows.front().rfind("Main,1,", 0), 0u) << rows.front();
    EXPECT_EQ(rows.back().rfind("Other,24,", 0), 0u) << rows.back();
    const auto quoted = std::count_if(rows.begin(), rows.end(), [](const std::string& r) {
        return r.find(",\"Bo, \"\"the\"\" one\",") != std::string::npos;
    });
    EXPECT_GT(quoted, 0);
}

TEST_F(OperatorToolsTest, AfterANamesDeletionNoPageRankOrCountHasIt) {
    ASSERT_EQ(GamesTotal(), 70);
    // Read once, so that a server that keeps answers has them to keep.
    const auto before = Pages("Main");
    ASSERT_EQ(Get(server_.Port(), "/players/Gone").result_int(), 200);

    int status = -1;
    RunTool(db_, "--delete-name Gone", dir_.path() / "err", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(Slurp(dir_.path() / "err").find("deleted 35 scores of the name \"Gone\""), std::string::npos)
        << Slurp(dir_.path() / "err");

    // The server on the same database sees the change: at once with
    // PostgreSQL, once its writer looks again with SQLite.
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         GamesTotal() != 35 && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(GamesTotal(), 35);
    for (const std::string game : {"Main", "Other"}) {
        const auto rows = Pages(game);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_NE(rows[i].at("name"), "Gone") << game;
            EXPECT_EQ(rows[i].at("rank"), i + 1) << game;
        }
        for (const std::string period : {"week", "day"}) {
            const auto view = JsonOf(Get(server_.Port(), "/api/scores?limit=100&period=" + period + "&game=" + game));
            EXPECT_EQ(view.at("total"), std::ssize(rows)) << game << " " << period;
            for (const auto& r : view.at("scores").as_array()) EXPECT_NE(r.at("name"), "Gone");
        }
        EXPECT_TRUE(SameRows(Exported(game), rows)) << game;
    }
    EXPECT_EQ(Get(server_.Port(), "/players/Gone").result_int(), 404);
    EXPECT_TRUE(JsonOf(Get(server_.Port(), "/api/players/Gone")).at("games").as_array().empty());
    EXPECT_LT(Pages("Main").size(), before.size());
    // A new post ranks among the rows that are left.
    const auto reply = PostScore(server_.Port(), "Main", 100, "New", Uuid(1000));
    ASSERT_EQ(reply.result_int(), 201);
    EXPECT_EQ(JsonOf(reply).at("ranks"), json::parse(R"({"all":1,"week":1,"day":1})"));
}

// Catches a stored record that cannot be read back (its compression, its
// token) and a score that no longer replays going unreported.
TEST_F(OperatorToolsTest, ARecheckReplaysEveryStoredRoundAndReportsTheOneThatDisagrees) {
    round_rules::Record round;
    round.generatorKind = platform::GeneratorKind::Glibc;
    round.generatorState = platform::Generator::Unseeded(round.generatorKind).State();
    round.keys = {{200, round_rules::Action::Fire}, {round_rules::kRoundMs, round_rules::Action::Other}};
    const std::string body = json::serialize(json::object{{"game", "Barnblast V2"},
                                                          {"score", 5},
                                                          {"name", "R"},
                                                          {"id", Uuid(500)},
                                                          {"round", round_rules::EncodeRecord(round)}});
    ASSERT_EQ(PostJson(server_.Port(), body).result_int(), 201);
    int status = -1;
    EXPECT_EQ(RunTool(db_, "--recheck", dir_.path() / "err", &status), "");
    EXPECT_EQ(status, 0) << Slurp(dir_.path() / "err");
    EXPECT_NE(Slurp(dir_.path() / "err").find("rechecked 1 rounds: 0 disagree"), std::string::npos);

    Query(db_, "UPDATE scores SET score = 10 WHERE id = '" + Uuid(500) + "'");
    const auto report = RunTool(db_, "--recheck", dir_.path() / "err", &status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const auto line = json::parse(report).as_object();
    EXPECT_EQ(line.at("id"), json::value(Uuid(500)));
    EXPECT_EQ(line.at("check"), "replayed");
    EXPECT_NE(std::string(line.at("error").as_string()).find("replays to 5"), std::string::npos) << report;
}

// Counts edited by hand, and what puts them right. A start that checks
// only the games' counts misses the first two rows; one that checks no day
// misses the second; a --recount that trusts the counts misses the last.
TEST_F(OperatorToolsTest, CountsEditedByHandAreTakenAfreshAtTheNextStartOrByARecount) {
    ASSERT_EQ(PostScore(server_.Port(), "Main", -1, "Last", Uuid(900)).result_int(), 201);
    const auto around = [](int port) {
        return json::array{
            JsonOf(Get(port, "/api/scores?limit=3&game=Main&around=" + Uuid(900))).at("around"),
            JsonOf(Get(port, "/api/scores?limit=3&game=Main&period=day&around=" + Uuid(900))).at("around")};
    };
    const auto before = around(server_.Port());
    const struct {
        const char* edit;
        std::vector<std::string> sql;
        bool recount;
    } edits[] = {
        {"a widest bucket of all time",
         {"UPDATE score_buckets SET n = n + 5 WHERE game = 'Main' AND bucket = 0"},
         false},
        {"a widest bucket of a day", {"UPDATE day_buckets SET n = n + 5 WHERE game = 'Main' AND bucket = 0"}, false},
        {"a row moved between the widest buckets, every total kept",
         {"UPDATE score_buckets SET n = n - 1 WHERE game = 'Main' AND level = 3 AND bucket = 0",
          "UPDATE score_buckets SET n = n + 1 WHERE game = 'Main' AND level = 3 AND bucket = -1"},
         true},
    };
    for (const auto& e : edits) {
        SCOPED_TRACE(e.edit);
        for (const auto& sql : e.sql) Query(db_, sql);
        if (e.recount) {
            int status = -1;
            RunTool(db_, "--recount", dir_.path() / "err", &status);
            ASSERT_EQ(status, 0) << Slurp(dir_.path() / "err");
        }
        const ScoreServer fresh(DbArgument(db_));
        EXPECT_EQ(around(fresh.Port()), before);
    }
}
