// The pure parts, where the boundaries are easier to reach than over HTTP.
#include "Options.h"
#include "http/RateLimiter.h"
#include "http/Validate.h"
#include "pages/Page.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>

using namespace scoreboard;

TEST(FormDecodeTest, DecodesEscapesAndPlus) {
    EXPECT_EQ(FormDecode("Barnblast+V2"), "Barnblast V2");
    EXPECT_EQ(FormDecode("a%20b%2Bc%2b"), "a b+c+");
    EXPECT_EQ(FormDecode("%C3%A9"), "\xc3\xa9");
    EXPECT_EQ(FormDecode(""), "");
    for (const char* bad : {"%", "%2", "%g0", "a%0"}) EXPECT_EQ(FormDecode(bad), std::nullopt) << bad;
}

TEST(HtmlEscapeTest, EscapesMarkupAndQuotes) {
    EXPECT_EQ(HtmlEscape("<script>alert(1)</script>"), "&lt;script&gt;alert(1)&lt;/script&gt;");
    EXPECT_EQ(HtmlEscape("a&b \"c\" 'd'"), "a&amp;b &quot;c&quot; &#39;d&#39;");
    EXPECT_EQ(HtmlEscape("\xc3\xa9"), "\xc3\xa9");
}

TEST(IsoTimeTest, FormatsUtcWithMilliseconds) {
    EXPECT_EQ(IsoTime(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(IsoTime(1714564984250), "2024-05-01T12:03:04.250Z");
    EXPECT_EQ(IsoTime(-1), "1969-12-31T23:59:59.999Z");
}

TEST(RateLimiterTest, AllowsAMinutesWorthThenRefillsEvenly) {
    RateLimiter limiter(6);  // one every 10 s
    const auto t0 = RateLimiter::Clock::time_point{} + std::chrono::hours(1);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(limiter.Admit("a", t0).count(), 0);
    EXPECT_EQ(limiter.Admit("a", t0).count(), 10);
    EXPECT_EQ(limiter.Admit("a", t0 + std::chrono::milliseconds(2500)).count(), 8);
    EXPECT_EQ(limiter.Admit("b", t0).count(), 0);  // addresses are apart
    EXPECT_EQ(limiter.Admit("a", t0 + std::chrono::seconds(10)).count(), 0);
    EXPECT_EQ(limiter.Admit("a", t0 + std::chrono::seconds(10)).count(), 10);
    // A long pause refills up to the allowance and no further.
    const auto later = t0 + std::chrono::hours(1);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(limiter.Admit("a", later).count(), 0);
    EXPECT_GT(limiter.Admit("a", later).count(), 0);
}

TEST(RateLimiterTest, ZeroMeansUnlimited) {
    RateLimiter limiter(0);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(limiter.Admit("a", RateLimiter::Clock::now()).count(), 0);
}

TEST(OptionsTest, DefaultsAndOverrides) {
    const char* none[] = {"sb"};
    const auto d = std::get<Options>(ParseOptions(1, none));
    EXPECT_EQ(d.port, 8765);
    EXPECT_EQ(d.bind, "127.0.0.1");
    EXPECT_EQ(d.db, "scoreboard.db");
    const char* all[] = {"sb", "--port", "9000", "--bind=0.0.0.0", "--db", "x.db", "--rate-limit=0", "--trust-proxy"};
    const auto o = std::get<Options>(ParseOptions(8, all));
    EXPECT_EQ(o.port, 9000);
    EXPECT_EQ(o.bind, "0.0.0.0");
    EXPECT_EQ(o.db, "x.db");
    EXPECT_EQ(o.rateLimit, 0);
    EXPECT_TRUE(o.trustProxy);
}

TEST(OptionsTest, BadValuesAreNamed) {
    for (const auto& [args, says] : std::vector<std::pair<std::vector<const char*>, std::string>>{
             {{"sb", "--port", "65536"}, "--port"},
             {{"sb", "--port"}, "--port"},
             {{"sb", "--rate-limit", "-1"}, "--rate-limit"},
             {{"sb", "--threads", "0"}, "--threads"},
             {{"sb", "--verbose"}, "--verbose"},
         }) {
        const auto r = ParseOptions(static_cast<int>(args.size()), args.data());
        ASSERT_TRUE(std::holds_alternative<std::string>(r)) << args.back();
        EXPECT_NE(std::get<std::string>(r).find(says), std::string::npos) << std::get<std::string>(r);
    }
}

TEST(PathSegmentTest, EncodesAllButUnreservedAndDecodesBack) {
    EXPECT_EQ(PathEncode("Barnblast V2"), "Barnblast%20V2");
    EXPECT_EQ(PathEncode("a/b?c#d&e+f%g"), "a%2Fb%3Fc%23d%26e%2Bf%25g");
    EXPECT_EQ(PathEncode("Az09-._~"), "Az09-._~");
    EXPECT_EQ(PathEncode("\xc3\xa9"), "%C3%A9");
    for (const std::string text : {"Barnblast V2", "a/b?c#d&e+f%g", "\xf0\x9f\x90\x94 <x>", ""})
        EXPECT_EQ(PathDecode(PathEncode(text)), text);
    EXPECT_EQ(PathDecode("a+b"), "a+b");
    EXPECT_EQ(PathDecode("%c3%A9"), "\xc3\xa9");
    for (const char* bad : {"%", "%2", "%g0", "a%0", "%FF", "%C0%AF", "%ED%A0%80"})
        EXPECT_EQ(PathDecode(bad), std::nullopt) << bad;
}

TEST(PathSegmentTest, GameAndPlayerAddresses) {
    EXPECT_EQ(GamePath("a b"), "/games/a%20b");
    EXPECT_EQ(GamePath("a b", 1), "/games/a%20b");
    EXPECT_EQ(GamePath("a b", 3), "/games/a%20b?page=3");
    EXPECT_EQ(PlayerPath("<Ann>"), "/players/%3CAnn%3E");
    EXPECT_EQ(GamePageOf(1), 1);
    EXPECT_EQ(GamePageOf(kGamePageRows), 1);
    EXPECT_EQ(GamePageOf(kGamePageRows + 1), 2);
}
