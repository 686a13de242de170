// The answers of the score table as the game's service reads them: each
// status the table gives means one thing, and the error body reads back
// as it was written.
#include "ScoreContract.h"

#include <gtest/gtest.h>

#include <string>

using namespace score_protocol;

namespace {

struct StatusCase {
    long status;
    Outcome outcome;
};

TEST(OutcomeOfTest, EachStatusMeansOneThing) {
    const StatusCase cases[] = {
        {200, Outcome::Stored},     {201, Outcome::Stored},       {400, Outcome::GiveUp},
        {413, Outcome::GiveUp},     {422, Outcome::GiveUp},       {0, Outcome::RetryLater},
        {202, Outcome::RetryLater}, {204, Outcome::RetryLater},   {301, Outcome::RetryLater},
        {404, Outcome::RetryLater}, {405, Outcome::RetryLater},   {411, Outcome::RetryLater},
        {415, Outcome::RetryLater}, {429, Outcome::RetryLater},   {431, Outcome::RetryLater},
        {500, Outcome::RetryLater}, {502, Outcome::RetryLater},   {503, Outcome::RetryLater},
        {-1, Outcome::RetryLater},  {99999, Outcome::RetryLater},
    };
    for (const auto& c : cases) EXPECT_EQ(OutcomeOf(c.status), c.outcome) << c.status;
}

// What the table means by each status it answers a post with.
TEST(OutcomeOfTest, TheTablesOwnStatusesMeanWhatItIntends) {
    const StatusCase cases[] = {
        {status::kStored, Outcome::Stored},
        {status::kAlreadyStored, Outcome::Stored},
        {status::kBadBody, Outcome::GiveUp},
        {status::kTooLarge, Outcome::GiveUp},
        {status::kIdTaken, Outcome::GiveUp},
        {status::kTooManyPosts, Outcome::RetryLater},
        {status::kStoreBusy, Outcome::RetryLater},
        {status::kInternalError, Outcome::RetryLater},
        {status::kLengthRequired, Outcome::RetryLater},
        {status::kNotJson, Outcome::RetryLater},
    };
    for (const auto& c : cases) EXPECT_EQ(OutcomeOf(c.status), c.outcome) << c.status;
}

TEST(ErrorBodyTest, IsWrittenAsDeployedServersWriteIt) {
    EXPECT_EQ(ErrorBody("internal error"), R"({"error":"internal error"})");
    EXPECT_EQ(ErrorBody("id was already used for a different score", "id"),
              R"({"error":"id was already used for a different score","field":"id"})");
}

TEST(ErrorBodyTest, RoundTrips) {
    const ErrorAnswer cases[] = {
        {"internal error", ""},
        {"score must fit in a signed 32-bit integer", "score"},
        {"quote \" backslash \\ newline \n tab \t", "name"},
        {"Zoë 名前", "game"},
        {"", ""},
    };
    for (const auto& c : cases) {
        const auto back = ReadErrorBody(ErrorBody(c.message, c.field));
        ASSERT_TRUE(back) << c.message;
        EXPECT_EQ(back->message, c.message);
        EXPECT_EQ(back->field, c.field);
    }
}

TEST(ErrorBodyTest, AnythingElseIsNoErrorBody) {
    const std::string answers[] = {
        "", "<html>Bad Gateway</html>", "[]", R"("error")", R"({"message":"x"})", R"({"error":5})", "{\"error\":",
    };
    for (const auto& a : answers) EXPECT_FALSE(ReadErrorBody(a)) << a;
}

TEST(StoredBodyTest, HasTheRowAndItsRankInTheirOrder) {
    EXPECT_EQ(
        StoredBody({"0b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5b", "Barnblast V2", "Ann", -5, "2024-05-01T12:03:04.250Z", 3}),
        R"({"id":"0b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5b","game":"Barnblast V2","name":"Ann","score":-5,)"
        R"("time":"2024-05-01T12:03:04.250Z","rank":3})");
}

}  // namespace
