// The pure parts, where the boundaries are easier to reach than over HTTP.
#include "options.hpp"
#include "page.hpp"
#include "rate_limiter.hpp"
#include "validate.hpp"

#include <gtest/gtest.h>

using namespace scoreboard;

TEST(utf8_test, accepts_every_length_of_sequence)
{
    for (const char* ok : {"", "plain", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
                           "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"})
        EXPECT_TRUE(valid_utf8(ok)) << ok;
}

TEST(utf8_test, refuses_overlong_surrogate_truncated_and_out_of_range)
{
    for (const char* bad : {"\x80", "\xbf", "\xc0\xaf", "\xc1\xbf", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xed\xbf\xbf",
                            "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80", "\xff", "\xc3",
                            "\xe2\x82", "a\xe2\x28\xa1"})
        EXPECT_FALSE(valid_utf8(bad)) << testing::PrintToString(std::string(bad));
}

TEST(utf8_test, counts_characters_not_bytes)
{
    EXPECT_EQ(code_points(""), 0u);
    EXPECT_EQ(code_points("abc"), 3u);
    EXPECT_EQ(code_points("\xc3\xa9\xe2\x82\xac\xf0\x9f\x90\x94"), 3u);
}

TEST(control_test, finds_c0_del_and_c1_only)
{
    for (const std::string& s : {std::string("a\0b", 3), std::string("\t"), std::string("\x1f"), std::string("\x7f"),
                                std::string("\xc2\x80"), std::string("\xc2\x9f")})
        EXPECT_TRUE(has_control(s)) << testing::PrintToString(s);
    for (const char* s : {"", " ", "~", "\xc2\xa0", "\xc3\x80", "\xe2\x80\xa8"})
        EXPECT_FALSE(has_control(s)) << s;
}

TEST(form_decode_test, decodes_escapes_and_plus)
{
    EXPECT_EQ(form_decode("Barnblast+V2"), "Barnblast V2");
    EXPECT_EQ(form_decode("a%20b%2Bc%2b"), "a b+c+");
    EXPECT_EQ(form_decode("%C3%A9"), "\xc3\xa9");
    EXPECT_EQ(form_decode(""), "");
    for (const char* bad : {"%", "%2", "%g0", "a%0"})
        EXPECT_EQ(form_decode(bad), std::nullopt) << bad;
}

TEST(html_escape_test, escapes_markup_and_quotes)
{
    EXPECT_EQ(html_escape("<script>alert(1)</script>"), "&lt;script&gt;alert(1)&lt;/script&gt;");
    EXPECT_EQ(html_escape("a&b \"c\" 'd'"), "a&amp;b &quot;c&quot; &#39;d&#39;");
    EXPECT_EQ(html_escape("\xc3\xa9"), "\xc3\xa9");
}

TEST(iso_time_test, formats_utc_with_milliseconds)
{
    EXPECT_EQ(iso_time(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(iso_time(1714564984250), "2024-05-01T12:03:04.250Z");
    EXPECT_EQ(iso_time(-1), "1969-12-31T23:59:59.999Z");
}

TEST(rate_limiter_test, allows_a_minutes_worth_then_refills_evenly)
{
    RateLimiter limiter(6);  // one every 10 s
    const auto t0 = RateLimiter::Clock::time_point{} + std::chrono::hours(1);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(limiter.admit("a", t0).count(), 0);
    EXPECT_EQ(limiter.admit("a", t0).count(), 10);
    EXPECT_EQ(limiter.admit("a", t0 + std::chrono::milliseconds(2500)).count(), 8);
    EXPECT_EQ(limiter.admit("b", t0).count(), 0);  // addresses are apart
    EXPECT_EQ(limiter.admit("a", t0 + std::chrono::seconds(10)).count(), 0);
    EXPECT_EQ(limiter.admit("a", t0 + std::chrono::seconds(10)).count(), 10);
    // A long pause refills up to the allowance and no further.
    const auto later = t0 + std::chrono::hours(1);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(limiter.admit("a", later).count(), 0);
    EXPECT_GT(limiter.admit("a", later).count(), 0);
}

TEST(rate_limiter_test, zero_means_unlimited)
{
    RateLimiter limiter(0);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(limiter.admit("a", RateLimiter::Clock::now()).count(), 0);
}

TEST(options_test, defaults_and_overrides)
{
    const char* none[] = {"sb"};
    const auto d = std::get<Options>(parse_options(1, none));
    EXPECT_EQ(d.port, 8765);
    EXPECT_EQ(d.bind, "127.0.0.1");
    EXPECT_EQ(d.db, "scoreboard.db");
    const char* all[] = {"sb", "--port", "9000", "--bind=0.0.0.0", "--db", "x.db", "--rate-limit=0", "--trust-proxy"};
    const auto o = std::get<Options>(parse_options(8, all));
    EXPECT_EQ(o.port, 9000);
    EXPECT_EQ(o.bind, "0.0.0.0");
    EXPECT_EQ(o.db, "x.db");
    EXPECT_EQ(o.rate_limit, 0);
    EXPECT_TRUE(o.trust_proxy);
}

TEST(options_test, bad_values_are_named)
{
    for (const auto& [args, says] : std::vector<std::pair<std::vector<const char*>, std::string>>{
             {{"sb", "--port", "65536"}, "--port"},
             {{"sb", "--port"}, "--port"},
             {{"sb", "--rate-limit", "-1"}, "--rate-limit"},
             {{"sb", "--threads", "0"}, "--threads"},
             {{"sb", "--verbose"}, "--verbose"},
         }) {
        const auto r = parse_options(static_cast<int>(args.size()), args.data());
        ASSERT_TRUE(std::holds_alternative<std::string>(r)) << args.back();
        EXPECT_NE(std::get<std::string>(r).find(says), std::string::npos) << std::get<std::string>(r);
    }
}
