// The table's layout carries a version, the same in both stores, and a
// server leaves alone a database that a newer server has laid out.
#include "ScoreTable.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

using Rows = std::vector<std::vector<std::string>>;

std::string ReadVersion() { return UsingPostgres() ? "SELECT version FROM schema_version" : "PRAGMA user_version"; }

std::string WriteVersion(int v) {
    return UsingPostgres() ? "UPDATE schema_version SET version = " + std::to_string(v)
                           : "PRAGMA user_version = " + std::to_string(v);
}

}  // namespace

TEST(SchemaTest, ANewDatabaseHasTheCurrentVersionAndANewerOneIsRefusedUntouched) {
    TableFolder dir;
    const auto db = dir.path() / "scores.db";
    {
        ScoreServer server(DbArgument(db));
        ASSERT_EQ(PostScore(server.Port(), "g", 5, "kept", Uuid(1)).result_int(), 201);
    }
    EXPECT_EQ(Query(db, ReadVersion()), (Rows{{"4"}}));

    Query(db, WriteVersion(99));
    try {
        ScoreServer again(DbArgument(db));
        ADD_FAILURE() << "started on a newer layout: " << again.Log();
    } catch (const std::runtime_error& e) {
        const std::string said = e.what();
        EXPECT_NE(said.find("version 99, newer than this server's (4)"), std::string::npos) << said;
    }
    EXPECT_EQ(Query(db, ReadVersion()), (Rows{{"99"}}));
    EXPECT_EQ(RowsIn(db, "name = 'kept'"), 1);
}

TEST(SchemaTest, ARestartKeepsTheVersionAndTheRows) {
    TableFolder dir;
    const auto db = dir.path() / "scores.db";
    {
        ScoreServer server(DbArgument(db));
        ASSERT_EQ(PostScore(server.Port(), "g", 5, "kept", Uuid(1)).result_int(), 201);
    }
    ScoreServer again(DbArgument(db));
    EXPECT_EQ(PostScore(again.Port(), "g", 5, "kept", Uuid(1)).result_int(), 200);
    EXPECT_EQ(Query(db, ReadVersion()), (Rows{{"4"}}));
}

TEST(SchemaTest, ADatabaseFromBeforeChecksGetsThemWithItsRowsUnverified) {
    TableFolder dir;
    const auto db = dir.path() / "scores.db";
    {
        ScoreServer server(DbArgument(db));
        ASSERT_EQ(PostScore(server.Port(), "Barnblast V2", 5, "old", Uuid(1)).result_int(), 201);
    }
    // Back to version 2's layout, as a server of that version left it.
    for (const std::string& sql :
         std::vector<std::string>{"DROP INDEX scores_by_token", "DROP INDEX scores_checked",
                                  "ALTER TABLE scores DROP COLUMN check_level", "ALTER TABLE scores DROP COLUMN round",
                                  "ALTER TABLE scores DROP COLUMN round_token", "DROP TABLE secrets", WriteVersion(2)})
        Query(db, sql);
    ScoreServer again(DbArgument(db));
    EXPECT_EQ(Query(db, ReadVersion()), (Rows{{"4"}}));
    const auto table = JsonOf(Get(again.Port(), "/api/scores?game=Barnblast%20V2"));
    EXPECT_EQ(table.at("scores").at(0).at("check"), "unverified");
    EXPECT_EQ(JsonOf(Get(again.Port(), "/api/scores?game=Barnblast%20V2&verified=1")).at("total"), 0);
    EXPECT_EQ(PostScore(again.Port(), "Barnblast V2", 5, "old", Uuid(1)).result_int(), 200);
    EXPECT_EQ(Request(again.Port(), http::verb::post, "/api/rounds", R"({"game":"Barnblast V2"})",
                      {{"Content-Type", "application/json"}})
                  .result_int(),
              201)
        << "the new server made its round key";
}
