// The score body both ways: what the game's service writes, and what the
// score table answers to any body.
#include "ScoreJson.h"
#include "ScoreProtocol.h"
#include "Utf8.h"

#include <gtest/gtest.h>
#include <boost/json.hpp>

using namespace score_protocol;
using namespace std::string_literals;
namespace json = boost::json;

namespace {

const std::string kId = "0b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5b";

// A body from raw JSON texts; an empty one leaves the member out.
std::string Body(const std::string& game, const std::string& score, const std::string& name, const std::string& id) {
    std::string b = "{";
    const auto add = [&](const char* k, const std::string& v) {
        if (v.empty()) return;
        if (b.size() > 1) b += ",";
        b += "\"" + std::string(k) + "\":" + v;
    };
    add("game", game);
    add("score", score);
    add("name", name);
    add("id", id);
    return b + "}";
}

const std::string kQuotedId = "\"" + kId + "\"";

void ExpectRefused(const std::string& body, const std::string& field, const std::string& why) {
    const auto parsed = ParseSubmission(body);
    ASSERT_TRUE(std::holds_alternative<FieldError>(parsed)) << body;
    const auto& err = std::get<FieldError>(parsed);
    EXPECT_EQ(err.field, field) << body;
    EXPECT_NE(err.reason.find(why), std::string::npos) << body << " -> " << err.reason;
}

}  // namespace

TEST(ScoreBodyTest, AnyTextRoundTripsThroughJson) {
    for (const std::string& name :
         {"plain"s, "\"quoted\" \\back\\slash/"s, "</script> {\"x\":1}"s, "Zoë 日本 😀 \u2028\u2029"s, ""s}) {
        const auto v = json::parse(ScoreBody("Barnblast \"V2\"", -2147483647 - 1, name, "id"));
        EXPECT_EQ(v.at("name").as_string(), name);
        EXPECT_EQ(v.at("game").as_string(), "Barnblast \"V2\"");
        EXPECT_EQ(v.at("score").as_int64(), -2147483648LL);
        EXPECT_EQ(v.at("id").as_string(), "id");
    }
}

TEST(ScoreBodyTest, TextsAreMadeWhatTheTableTakes) {
    const auto v = json::parse(ScoreBody(std::string(70, 'g'), 1, "a\tb\xff",
                                         "i\xff"
                                         "d"));  // parse checks UTF-8
    EXPECT_EQ(v.at("game").as_string().size(), kMaxGameCharacters);
    EXPECT_EQ(v.at("name").as_string(), "a b\uFFFD");
    EXPECT_EQ(v.at("id").as_string(), "i\uFFFDd");
}

// Whatever the player typed, the table takes what the service sends.
TEST(ScoreBodyTest, TheTableTakesEveryBodyTheServiceWrites) {
    for (const std::string& name : {""s, "Ann"s, "tab\there\nnewline"s, "bad \xff utf-8"s, std::string(40, 'n'),
                                    "\xc2\x85\x7f\x01"s, "日本語"s + std::string(40, 'x')}) {
        const auto parsed = ParseSubmission(ScoreBody("Barnblast V2", 7, name, kId));
        ASSERT_TRUE(std::holds_alternative<Submission>(parsed))
            << testing::PrintToString(name) << " -> " << std::get<FieldError>(parsed).reason;
        const auto& sub = std::get<Submission>(parsed);
        EXPECT_EQ(sub.game, "Barnblast V2");
        EXPECT_EQ(sub.score, 7);
        EXPECT_LE(CodePoints(sub.name), kMaxNameCharacters);
    }
}

// The round's record reaches the table as sent; a score without one is the
// body it always was.
TEST(ScoreBodyTest, TheRoundGoesOnlyWhenThereIsOne) {
    const auto with = ParseSubmission(ScoreBody("Barnblast V2", 5, "Ann", kId, "AQID-_x"));
    ASSERT_TRUE(std::holds_alternative<Submission>(with));
    EXPECT_EQ(std::get<Submission>(with).round, "AQID-_x");
    EXPECT_EQ(ScoreBody("Barnblast V2", 5, "Ann", kId), Body("\"Barnblast V2\"", "5", "\"Ann\"", kQuotedId));
    EXPECT_FALSE(std::get<Submission>(ParseSubmission(ScoreBody("Barnblast V2", 5, "Ann", kId))).round);
    ExpectRefused(Body("\"g\"", "1", "\"a\"", kQuotedId).insert(1, "\"round\":[1],"), "round", "string");
}

TEST(ParseSubmissionTest, ReadsTheFourMembersAndIgnoresOthers) {
    const auto parsed =
        ParseSubmission(R"({"game":"g","score":-5,"name":"Zoë","id":")" +
                        std::string("0B7A6A7E-1C2D-4E5F-8A9B-0C1D2E3F4A5B") + R"(","level":3,"extra":{"x":[1,2]}})");
    ASSERT_TRUE(std::holds_alternative<Submission>(parsed));
    const auto& sub = std::get<Submission>(parsed);
    EXPECT_EQ(sub.game, "g");
    EXPECT_EQ(sub.score, -5);
    EXPECT_EQ(sub.name, "Zoë");
    EXPECT_EQ(sub.id, kId) << "the id in lower case";
}

TEST(ParseSubmissionTest, AcceptsTheBoundaries) {
    std::string accent64;
    for (int i = 0; i < 64; ++i) accent64 += "\xc3\xa9";  // é: two bytes, one character
    for (const std::string& body :
         {Body("\"g\"", "2147483647", "\"\"", kQuotedId),
          Body("\"g\"", "-2147483648", "\"" + std::string(32, 'n') + "\"", kQuotedId),
          Body("\"" + accent64 + "\"", "0", "\"\xc3\xbc\xe2\x82\xac\xf0\x9f\x90\x94\"", kQuotedId)})
        EXPECT_TRUE(std::holds_alternative<Submission>(ParseSubmission(body))) << body;
}

TEST(ParseSubmissionTest, Game) {
    ExpectRefused(Body("", "1", "\"a\"", kQuotedId), "game", "required");
    ExpectRefused(Body("7", "1", "\"a\"", kQuotedId), "game", "string");
    ExpectRefused(Body("\"\"", "1", "\"a\"", kQuotedId), "game", "empty");
    ExpectRefused(Body("\"" + std::string(65, 'g') + "\"", "1", "\"a\"", kQuotedId), "game", "at most 64");
    ExpectRefused(Body("\"a\\tb\"", "1", "\"a\"", kQuotedId), "game", "control");
}

TEST(ParseSubmissionTest, Name) {
    ExpectRefused(Body("\"g\"", "1", "", kQuotedId), "name", "required");
    ExpectRefused(Body("\"g\"", "1", "null", kQuotedId), "name", "string");
    ExpectRefused(Body("\"g\"", "1", "\"" + std::string(33, 'n') + "\"", kQuotedId), "name", "at most 32");
    std::string accents;
    for (int i = 0; i < 33; ++i) accents += "\xc3\xa9";
    ExpectRefused(Body("\"g\"", "1", "\"" + accents + "\"", kQuotedId), "name", "at most 32");
    for (const char* control : {"\\n", "\\u0000", "\\u001b", "\\u007f", "\\u0085", "\\u009f"})
        ExpectRefused(Body("\"g\"", "1", "\"a" + std::string(control) + "b\"", kQuotedId), "name", "control");
    ExpectRefused(Body("\"g\"", "1", "\"bad \xff byte\"", kQuotedId), "", "UTF-8");
}

TEST(ParseSubmissionTest, Score) {
    ExpectRefused(Body("\"g\"", "", "\"a\"", kQuotedId), "score", "required");
    for (const char* bad : {"\"5\"", "1.5", "1e3", "true", "null", "[1]"})
        ExpectRefused(Body("\"g\"", bad, "\"a\"", kQuotedId), "score", "integer");
    for (const char* big : {"2147483648", "-2147483649", "9223372036854775808", "18446744073709551615"})
        ExpectRefused(Body("\"g\"", big, "\"a\"", kQuotedId), "score", "32-bit");
}

TEST(ParseSubmissionTest, Id) {
    ExpectRefused(Body("\"g\"", "1", "\"a\"", ""), "id", "required");
    ExpectRefused(Body("\"g\"", "1", "\"a\"", "12"), "id", "string");
    for (const char* bad : {"\"\"", "\"abc\"", "\"0b7a6a7e1c2d4e5f8a9b0c1d2e3f4a5b\"",
                            "\"0b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5\"", "\"0b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5bb\"",
                            "\"0b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5g\"", "\"{b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5}\""})
        ExpectRefused(Body("\"g\"", "1", "\"a\"", bad), "id", "UUID");
}

TEST(ParseSubmissionTest, BodyAsAWhole) {
    ExpectRefused("", "", "JSON");
    ExpectRefused("{\"game\":\"g\",", "", "JSON");
    ExpectRefused("[1,2]", "", "object");
    ExpectRefused("\"text\"", "", "object");
    ExpectRefused("{\"game\":\"g\"} trailing", "", "JSON");
    // Invalid UTF-8 is refused even in a member that is otherwise ignored.
    ExpectRefused(Body("\"g\"", "1", "\"a\"", kQuotedId).insert(1, "\"x\":\"\xc0\xaf\","), "", "UTF-8");
    ExpectRefused(Body("\"g\"", "1", "\"\\ud800\"", kQuotedId), "", "JSON");
}

// The messages are the table's answers to clients, word for word.
TEST(ParseSubmissionTest, ReasonsAreExact) {
    const std::pair<std::string, std::string> cases[] = {
        {"[1]", "body must be a JSON object"},
        {"\xff", "body is not valid UTF-8"},
        {Body("\"g\"", "1", "\"" + std::string(33, 'n') + "\"", kQuotedId), "must be at most 32 characters"},
        {Body("\"g\"", "1", "\"a\\tb\"", kQuotedId), "must not contain control characters"},
        {Body("\"g\"", "1e3", "\"a\"", kQuotedId), "must be an integer"},
        {Body("\"g\"", "2147483648", "\"a\"", kQuotedId), "must fit in a signed 32-bit integer"},
        {Body("\"g\"", "1", "\"a\"", "\"x\""), "must be a UUID (8-4-4-4-12 hexadecimal digits)"},
    };
    for (const auto& [body, reason] : cases) {
        const auto parsed = ParseSubmission(body);
        ASSERT_TRUE(std::holds_alternative<FieldError>(parsed)) << body;
        EXPECT_EQ(std::get<FieldError>(parsed).reason, reason) << body;
    }
}
