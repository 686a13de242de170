// The pure parts, where the boundaries are easier to reach than over HTTP.
#include "Options.h"
#include "http/Log.h"
#include "http/RateLimiter.h"
#include "http/Validate.h"
#include "pages/Page.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <fstream>

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

namespace {

// The options from a configuration file holding `text`, and then `args`.
std::variant<Options, std::string> WithConfig(const std::string& text, std::vector<std::string> args = {}) {
    static testsupport::TempFolder folder("scoreboard-config");
    const auto file = (folder.path() / "scoreboard.conf").string();
    std::ofstream(file) << text;
    std::vector<std::string> words{"sb", "--config", file};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<const char*> argv;
    for (const auto& w : words) argv.push_back(w.c_str());
    return ParseOptions(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

// Catches a file whose settings are lost, whose comments or blank lines are
// taken for settings, or that wins over the command line.
TEST(ConfigFileTest, SettingsApplyAndTheCommandLineWins) {
    const std::string text =
        "# a comment\n\n  port = 9001\nbind=::1\ndb = /var/lib/x/scores.db\nthreads = 2\nrate-limit = 5\n"
        "trust-proxy\nlog-format = json\nmetrics-bind = [::1]:9464\naccept = verified\n";
    const auto o = std::get<Options>(WithConfig(text));
    EXPECT_EQ(o.port, 9001);
    EXPECT_EQ(o.bind, "::1");
    EXPECT_EQ(o.db, "/var/lib/x/scores.db");
    EXPECT_EQ(o.threads, 2);
    EXPECT_EQ(o.rateLimit, 5);
    EXPECT_TRUE(o.trustProxy);
    EXPECT_EQ(o.logFormat, "json");
    EXPECT_EQ(o.metricsBind, "[::1]:9464");
    EXPECT_EQ(o.accept, "verified");
    const auto over =
        std::get<Options>(WithConfig(text, {"--port", "9002", "--trust-proxy=false", "--log-format=text"}));
    EXPECT_EQ(over.port, 9002);
    EXPECT_FALSE(over.trustProxy);
    EXPECT_EQ(over.logFormat, "text");
    EXPECT_EQ(over.db, "/var/lib/x/scores.db");
    EXPECT_FALSE(std::get<Options>(WithConfig("trust-proxy = false\n")).trustProxy);
}

// Catches a bad line that is skipped in silence, or an error that does not
// say where it is.
TEST(ConfigFileTest, EachBadLineIsOneErrorNamingTheFileAndLine) {
    for (const auto& [line, says] : std::vector<std::pair<std::string, std::string>>{
             {"colour = red", "unknown name colour"},
             {"port = 70000", "--port"},
             {"port", "--port"},
             {"port 9000", "= between"},
             {"= 9000", "name = value"},
             {"trust-proxy = yes", "true or false"},
             {"log-format = xml", "text or json"},
             {"metrics-bind = 9464", "ADDRESS:PORT"},
             {"accept = trusted", "verified, replayed or any"},
             {"recheck", "unknown name recheck"},
             {"export = csv", "unknown name export"},
             {"config = other.conf", "unknown name config"},
         }) {
        const auto r = WithConfig("# first\n" + line + "\n");
        ASSERT_TRUE(std::holds_alternative<std::string>(r)) << line;
        const auto& message = std::get<std::string>(r);
        EXPECT_NE(message.find("scoreboard.conf:2: "), std::string::npos) << message;
        EXPECT_NE(message.find(says), std::string::npos) << message;
    }
    const char* missing[] = {"sb", "--config", "/nonexistent/scoreboard.conf"};
    const auto r = ParseOptions(3, missing);
    ASSERT_TRUE(std::holds_alternative<std::string>(r));
    EXPECT_NE(std::get<std::string>(r).find("/nonexistent/scoreboard.conf"), std::string::npos);
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

// Catches a repeated error logged once per failure, a run whose count is
// never logged, waits for a failure after the interval, or goes on after the
// run ended, or whose end is not logged. The interval is driven by hand.
TEST(RepeatedErrorTest, ARunIsLoggedAtItsStartAsACountEachIntervalAndAtItsEnd) {
    RepeatedError::Clock::time_point now{};
    std::vector<std::string> lines;
    RepeatedError errors(
        "store error", std::chrono::seconds(10), [&] { return now; },
        [&](LogLevel, std::string_view line) { lines.emplace_back(line); });
    std::vector<std::function<void()>> ticks;
    errors.ScheduleWith([&](std::chrono::milliseconds after, std::function<void()> tick) {
        EXPECT_EQ(after, std::chrono::seconds(10));
        ticks.push_back(std::move(tick));
    });
    const auto interval = [&] {
        now += std::chrono::seconds(10);
        ASSERT_EQ(ticks.size(), 1u) << "one tick at a time while the run lasts";
        auto tick = std::move(ticks.back());
        ticks.clear();
        tick();
    };
    errors.Succeeded();
    EXPECT_TRUE(lines.empty()) << "an end without a start";
    for (int i = 0; i < 67; ++i) errors.Failed("database away");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("store error: database away"), std::string::npos) << lines[0];
    interval();  // no failure since: the count comes all the same
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("repeated 66 times in the last 10 s"), std::string::npos) << lines[1];
    interval();
    EXPECT_EQ(lines.size(), 2u) << "nothing to count";
    errors.Failed("database away");
    interval();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find("repeated 1 times"), std::string::npos) << lines[2];
    errors.Succeeded();
    errors.Succeeded();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[3].find("ended after 68"), std::string::npos) << lines[3];
    interval();  // the tick already on its way finds the run over
    EXPECT_EQ(lines.size(), 4u);
    EXPECT_TRUE(ticks.empty());
    errors.Failed("again");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[4].find("store error: again"), std::string::npos) << lines[4];
}
