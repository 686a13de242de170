// The API's description (scoreboard/http/openapi.json) against the server:
// the server serves the file itself, and every described route is there
// (DescribedAnswers.cpp holds each answer to the description). Also the
// checker itself, which must see each kind of drift.
#include "OpenApiCheck.h"
#include "ScoreTable.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

using namespace testsupport;
namespace json = boost::json;

namespace {

const OpenApiCheck& Description() { return ScoreTableDescription(); }

OpenApiCheck::Answer Answer(int status, const std::string& type, const std::string& body,
                            std::vector<std::pair<std::string, std::string>> headers = {}) {
    headers.emplace_back("Content-Type", type);
    return {status, std::move(headers), body};
}

}  // namespace

// Catches a served description that is stale, cut short or mistyped.
TEST(ApiDescriptionTest, ServedDescriptionIsTheRepositoryFile) {
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "s.db"));
    const auto reply = Get(server.Port(), "/api/openapi.json");
    ASSERT_EQ(reply.result_int(), 200);
    EXPECT_EQ(reply[http::field::content_type], "application/json");
    std::ifstream in(BARNBLAST_OPENAPI_JSON, std::ios::binary);
    std::stringstream file;
    file << in.rdbuf();
    EXPECT_EQ(reply.body(), file.str());
}

// Each described path answers each described status a client can bring
// about, to GET and HEAD alike, and any other method with 405 and the
// methods it takes (the environment above checks each answer). Catches a
// described route or status the server does not have, and an Allow that
// disagrees with the description.
TEST(ApiDescriptionTest, EveryDescribedRouteIsServed) {
    TableFolder dir;
    ScoreServer server(DbArgument(dir.path() / "s.db"));
    ASSERT_EQ(PostScore(server.Port(), "Barnblast V2", 35, "Ann", Uuid(1)).result_int(), 201);
    const std::map<std::string, std::vector<std::pair<std::string, int>>> samples{
        {"/api/scores",
         {{"/api/scores?game=Barnblast%20V2", 200},
          {"/api/scores?game=Barnblast%20V2&around=" + Uuid(1), 200},
          {"/api/scores?game=Barnblast%20V2&around=" + Uuid(2), 404},
          {"/api/scores?game=Barnblast%20V2&limit=0", 400}}},
        {"/api/rounds", {{"/api/rounds", 405}}},
        {"/api/games", {{"/api/games", 200}}},
        {"/api/players/{name}", {{"/api/players/Ann", 200}, {"/api/players/%FF", 400}}},
        {"/api/openapi.json", {{"/api/openapi.json", 200}}},
        {"/", {{"/", 200}}},
        {"/games/{game}",
         {{"/games/Barnblast%20V2", 200}, {"/games/Nothing", 404}, {"/games/Barnblast%20V2?page=0", 400}}},
        {"/players/{name}", {{"/players/Ann", 200}, {"/players/Nobody", 404}, {"/players/%FF", 400}}},
        {"/style.css", {{"/style.css", 200}}},
        {"/healthz", {{"/healthz", 200}}},
        {"/readyz", {{"/readyz", 200}}},
        {"/metrics", {{"/metrics", 200}}},
    };
    for (const auto& [path, item] : Description().Document().at("paths").as_object()) {
        const auto sample = samples.find(std::string(path));
        ASSERT_NE(sample, samples.end()) << "no sample request for " << path;
        for (const auto& [target, status] : sample->second) {
            EXPECT_EQ(Get(server.Port(), target).result_int(), status) << target;
            EXPECT_EQ(Request(server.Port(), http::verb::head, target).result_int(), status) << target;
        }
        EXPECT_EQ(Request(server.Port(), http::verb::delete_, sample->second.front().first).result_int(), 405);
    }
    EXPECT_EQ(samples.size(), Description().Document().at("paths").as_object().size());
}

// The checker is the drift guard: one that passed everything would let any
// drift through unseen.
TEST(ApiDescriptionCheckTest, SeesABodyItsSchemaRefuses) {
    json::object stored{{"id", Uuid(1)},
                        {"game", "g"},
                        {"name", "Ann"},
                        {"score", 35},
                        {"time", "2024-05-01T12:03:04.250Z"},
                        {"rank", 1},
                        {"ranks", {{"all", 1}, {"week", 1}, {"day", nullptr}}},
                        {"check", "unverified"}};
    const auto problems = [](const json::object& body) {
        return Description().Problems("POST", "/api/scores", Answer(201, "application/json", json::serialize(body)));
    };
    ASSERT_EQ(problems(stored), std::vector<std::string>{});
    const std::vector<std::pair<std::string, json::value>> drifts{
        {"extra", 1},                                              // a member not described
        {"rank", 0},                                               // below its minimum
        {"score", "35"},                                           // of another type
        {"id", "0000000A-0000-4000-8000-000000000001"},            // off its pattern
        {"ranks", {{"all", 1}, {"week", "x"}, {"day", nullptr}}},  // deep inside
    };
    for (const auto& [member, value] : drifts) {
        auto body = stored;
        body[member] = value;
        EXPECT_FALSE(problems(body).empty()) << json::serialize(body);
    }
    auto missing = stored;
    missing.erase("ranks");
    EXPECT_FALSE(problems(missing).empty());
}

TEST(ApiDescriptionCheckTest, SeesAStatusTypeOrHeaderItDoesNotDescribe) {
    const std::string error = R"({"error":"no"})";
    const auto check = [](std::string_view method, const std::string& target, const OpenApiCheck::Answer& reply) {
        return Description().Problems(method, target, reply);
    };
    EXPECT_FALSE(check("GET", "/api/games", Answer(418, "application/json", error)).empty());
    EXPECT_FALSE(check("GET", "/api/games", Answer(200, "text/plain", R"({"games":[]})")).empty());
    EXPECT_FALSE(check("POST", "/api/scores", Answer(429, "application/json", error)).empty());
    EXPECT_TRUE(check("POST", "/api/scores", Answer(429, "application/json", error, {{"Retry-After", "2"}})).empty());
    EXPECT_FALSE(check("PUT", "/api/scores", Answer(405, "application/json", error, {{"Allow", "GET, HEAD"}})).empty());
    EXPECT_TRUE(
        check("PUT", "/api/scores", Answer(405, "application/json", error, {{"Allow", "GET, HEAD, POST"}})).empty());
    EXPECT_FALSE(
        check("GET", "/api/games", Answer(400, "application/json", R"({"error":"x","field":"page"})")).empty());
}

// Catches a keyword added to the description that the checker would skip.
TEST(ApiDescriptionCheckTest, RefusesASchemaKeywordItDoesNotCheck) {
    EXPECT_FALSE(Description().SchemaProblems(2, json::parse(R"({"multipleOf": 2})")).empty());
}
