// The outbox's format and locking, and the pure parts of posting: the URL,
// the JSON body and the retry delay.
#include "ScoreJson.h"
#include "TempFolder.h"
#include "delivery/Outbox.h"
#include "delivery/RoundToken.h"
#include "delivery/ScorePoster.h"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <set>

using namespace Corvane::detail;
namespace fs = std::filesystem;

namespace {

const OutboxRecord kRecord{
    "http://localhost:8765/api/scores",
    score_protocol::ScoreBody("Barnblast V2", 35, "Ann", "0f6e1f3c-2a1b-4c5d-8e9f-0a1b2c3d4e5f")};

}  // namespace

TEST(OutboxRecordTest, RoundTrips) {
    const auto back = DecodeRecord(EncodeRecord(kRecord));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->url, kRecord.url);
    EXPECT_EQ(back->body, kRecord.body);
}

// A crash can leave a file cut anywhere; no cut of a record reads back.
TEST(OutboxRecordTest, EveryTruncationIsRejected) {
    const std::string text = EncodeRecord(kRecord);
    for (std::size_t n = 0; n < text.size(); ++n) EXPECT_FALSE(DecodeRecord(text.substr(0, n))) << n;
}

TEST(OutboxRecordTest, EveryChangedByteIsRejected) {
    const std::string text = EncodeRecord(kRecord);
    for (std::size_t i = 0; i < text.size(); ++i) {
        for (unsigned char flip : {0x01, 0x20, 0x80}) {
            std::string bad = text;
            bad[i] = static_cast<char>(bad[i] ^ flip);
            EXPECT_FALSE(DecodeRecord(bad)) << "byte " << i;
        }
    }
    EXPECT_FALSE(DecodeRecord(text + "x"));
}

// Entries stay in the outbox across updates of the game: one written before
// scores carried their round, byte for byte, is still read and sent as it is.
TEST(OutboxRecordTest, AnEntryOfAVersionWithoutRoundsStillReads) {
    const std::string body =
        R"({"game":"Barnblast V2","score":35,"name":"Ann","id":"0f6e1f3c-2a1b-4c5d-8e9f-0a1b2c3d4e5f"})";
    const auto back =
        DecodeRecord("barnblast-score 1\nurl http://localhost:8765/api/scores\nbody " + body + "\ncrc32 76f67465\n");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->body, body);
}

TEST(OutboxRecordTest, BodyMustBeAScore) {
    for (const char* body :
         {"{}", R"({"game":"g","score":"1","name":"n","id":"i"})", "[1]", R"({"game":"g","score":1,"name":"n"})"}) {
        EXPECT_FALSE(DecodeRecord(EncodeRecord({kRecord.url, body}))) << body;
    }
}

TEST(OutboxTest, ClaimIsExclusiveAndRemoveDeletes) {
    const testsupport::TempFolder dir("postscore-claim");
    Outbox box(dir / "outbox");
    std::string error;
    ASSERT_TRUE(box.Add("a", kRecord, error)) << error;
    ASSERT_TRUE(box.Add("b", kRecord, error)) << error;
    const auto files = box.List();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(files[0].ends_with("-a.score"));  // oldest first

    auto held = box.TryClaim(files[0]);
    ASSERT_TRUE(held);
    EXPECT_EQ(held->Record().body, kRecord.body);
    EXPECT_FALSE(box.TryClaim(files[0])) << "a second claim while the first holds it";
    box.Remove(*held);
    held.reset();
    EXPECT_FALSE(box.TryClaim(files[0]));
    EXPECT_EQ(box.List(), std::vector<std::string>{files[1]});
    fs::remove_all(box.Dir());
}

TEST(OutboxTest, DamagedEntryIsSetAsideWithAMessage) {
    const testsupport::TempFolder dir("postscore-damaged");
    Outbox box(dir / "outbox");
    std::string error;
    ASSERT_TRUE(box.Add("a", kRecord, error)) << error;
    const std::string file = box.List().at(0);
    fs::resize_file(box.Dir() / file, 40);

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(box.TryClaim(file));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("damaged score entry"), std::string::npos) << err;
    EXPECT_TRUE(box.List().empty());
    EXPECT_TRUE(fs::exists(box.Dir() / (file + ".bad")));
    fs::remove_all(box.Dir());
}

TEST(ScoresUrlTest, HostsGetHttpsExceptLoopback) {
    const std::pair<const char*, const char*> cases[] = {
        {"localhost:8765", "http://localhost:8765/api/scores"},
        {"LocalHost", "http://LocalHost/api/scores"},
        {"127.0.0.1:9000", "http://127.0.0.1:9000/api/scores"},
        {"127.1.2.3", "http://127.1.2.3/api/scores"},
        {"[::1]:8765", "http://[::1]:8765/api/scores"},
        {"::1", "http://[::1]/api/scores"},
        {"scores.example.org", "https://scores.example.org/api/scores"},
        {"scores.example.org:8443", "https://scores.example.org:8443/api/scores"},
        {"127.example.org", "https://127.example.org/api/scores"},
        {"128.0.0.1", "https://128.0.0.1/api/scores"},
        {" localhost:8765 ", "http://localhost:8765/api/scores"},
        {"http://example.org", "http://example.org/api/scores"},
        {"HTTPS://example.org/barnblast/", "https://example.org/barnblast/api/scores"},
    };
    for (const auto& [site, url] : cases) EXPECT_EQ(ScoresUrl(site, ""), url) << site;
}

TEST(ScoresUrlTest, UnusableSitesGiveNothing) {
    for (const char* site : {"", "  ", "ftp://example.org", "host:", "host:0", "host:65536", "host:80x", "a b",
                             "host/path", "user@host", "[::1", "[::1]x", "http://", "http:///x", "http://h?x"}) {
        EXPECT_EQ(ScoresUrl(site, ""), "") << site;
    }
}

TEST(ScoresUrlTest, OverrideWins) {
    EXPECT_EQ(ScoresUrl("localhost:8765", "http://127.0.0.1:9000"), "http://127.0.0.1:9000/api/scores");
    EXPECT_EQ(ScoresUrl("localhost:8765", "scores.example.org"), "https://scores.example.org/api/scores");
    // Tokens come from the table the scores go to.
    EXPECT_EQ(RoundsUrl("localhost:8765", "https://example.org/b/"), "https://example.org/b/api/rounds");
}

// Only a token a record can carry, and a seed a generator takes, is used.
TEST(RoundTokenTest, OnlyAWholeAnswerGivesAToken) {
    const auto token = ReadRoundToken(R"({"token":"t-1.A_z~","seed":4294967295})");
    ASSERT_TRUE(token);
    EXPECT_EQ(token->token, "t-1.A_z~");
    EXPECT_EQ(token->seed, 4294967295u);
    for (const std::string& answer : std::vector<std::string>{
             R"({"token":"t","seed":4294967296})", R"({"token":"t","seed":-1})", R"({"token":"t","seed":1.5})",
             R"({"token":"t"})", R"({"seed":1})", R"({"token":"","seed":1})", R"({"token":"a b","seed":1})",
             R"({"token":"Zoë","seed":1})", R"({"token":")" + std::string(129, 't') + R"(","seed":1})", R"(["t",1])",
             "<html>"}) {
        EXPECT_FALSE(ReadRoundToken(answer)) << answer;
    }
}

TEST(NewUuidTest, VersionFourAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string id = NewUuid();
        ASSERT_EQ(id.size(), 36u);
        EXPECT_EQ(id[14], '4');
        EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos);
        EXPECT_TRUE(seen.insert(id).second);
    }
}

TEST(RetryDelayTest, BacksOffAndHonoursRetryAfter) {
    using std::chrono::seconds;
    EXPECT_EQ(RetryDelay(1, "", 0), seconds(1));
    EXPECT_EQ(RetryDelay(2, "", 0), seconds(2));
    EXPECT_EQ(RetryDelay(6, "", 0), seconds(32));
    EXPECT_EQ(RetryDelay(7, "", 0), seconds(60));
    EXPECT_EQ(RetryDelay(1000, "", 0), seconds(60));
    EXPECT_EQ(RetryDelay(1, "7", 0), seconds(7));
    EXPECT_EQ(RetryDelay(9, " 3 ", 0), seconds(3));
    EXPECT_EQ(RetryDelay(1, "0", 0), seconds(1));
    EXPECT_EQ(RetryDelay(1, "99999999999", 0), seconds(3600));
    // 1994-11-06 08:49:37 UTC is 784111777.
    EXPECT_EQ(RetryDelay(1, "Sun, 06 Nov 1994 08:49:37 GMT", 784111777 - 20), seconds(20));
    EXPECT_EQ(RetryDelay(3, "soon", 0), seconds(4));  // unreadable: as if absent
}
