// UTF-8 checks and repair, and text made fit for the table or a log.
#include "SafeText.h"
#include "Utf8.h"

#include <gtest/gtest.h>

using namespace score_protocol;
using namespace std::string_literals;

namespace {

const std::string kValid[] = {"",
                              "plain",
                              "\xc2\x80",
                              "\xdf\xbf",
                              "\xe0\xa0\x80",
                              "\xed\x9f\xbf",
                              "\xee\x80\x80",
                              "\xef\xbf\xbf",
                              "\xf0\x90\x80\x80",
                              "\xf4\x8f\xbf\xbf",
                              "a\u00e9\u65e5\U0001F600"};

// Each invalid text, and what repair makes of it: one U+FFFD a bad byte.
const std::pair<std::string, std::string> kInvalid[] = {
    {"\x80", "\uFFFD"},
    {"\xbf", "\uFFFD"},
    {"\x80x", "\uFFFDx"},                              // stray continuation
    {"\xc0\xaf", "\uFFFD\uFFFD"},                      // overlong '/'
    {"\xc1\xbf", "\uFFFD\uFFFD"},                      // overlong
    {"\xe0\x9f\xbf", "\uFFFD\uFFFD\uFFFD"},            // overlong
    {"\xf0\x8f\xbf\xbf", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // overlong
    {"\xed\xa0\x80", "\uFFFD\uFFFD\uFFFD"},            // surrogate
    {"\xed\xbf\xbf", "\uFFFD\uFFFD\uFFFD"},            // surrogate
    {"\xf4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
    {"\xf8\x88\x80\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"\xff", "\uFFFD"},
    {"\xc3", "\uFFFD"},                   // cut short
    {"\xe6\x97", "\uFFFD\uFFFD"},         // cut short
    {"a\xe2\x28\xa1", "a\uFFFD(\uFFFD"},  // a sequence broken by ASCII
};

}  // namespace

TEST(Utf8Test, ValidTextIsAcceptedAndKeptAsIs) {
    for (const auto& ok : kValid) {
        EXPECT_TRUE(IsValidUtf8(ok)) << testing::PrintToString(ok);
        EXPECT_EQ(ValidUtf8(ok), ok) << testing::PrintToString(ok);
    }
}

TEST(Utf8Test, InvalidTextIsRefusedAndEachBadByteReplaced) {
    for (const auto& [bad, repaired] : kInvalid) {
        EXPECT_FALSE(IsValidUtf8(bad)) << testing::PrintToString(bad);
        EXPECT_EQ(ValidUtf8(bad), repaired) << testing::PrintToString(bad);
        EXPECT_TRUE(IsValidUtf8(ValidUtf8(bad))) << testing::PrintToString(bad);
    }
}

TEST(Utf8Test, CountsCharactersNotBytes) {
    EXPECT_EQ(CodePoints(""), 0u);
    EXPECT_EQ(CodePoints("abc"), 3u);
    EXPECT_EQ(CodePoints("\xc3\xa9\xe2\x82\xac\xf0\x9f\x90\x94"), 3u);
}

TEST(Utf8Test, ControlsAreC0DelAndC1Only) {
    for (const std::string& s : {"a\0b"s, "\t"s, "\x1f"s, "\x7f"s, "\xc2\x80"s, "\xc2\x9f"s})
        EXPECT_TRUE(HasControl(s)) << testing::PrintToString(s);
    for (const char* s : {"", " ", "~", "\xc2\xa0", "\xc3\x80", "\xe2\x80\xa8"}) EXPECT_FALSE(HasControl(s)) << s;
}

TEST(PresentableTest, ControlsBecomeSpacesAndTextIsCutByCharacters) {
    EXPECT_EQ(Presentable("line\nbreak\r\ttab\b\f"s, 32), "line break  tab  ");
    EXPECT_EQ(Presentable("nul\0in\x01\x1f\x7f\u0085"s, 32), "nul in    ");
    EXPECT_EQ(Presentable(std::string(40, 'x'), 32), std::string(32, 'x'));
    EXPECT_EQ(Presentable("日本語"s, 2), "日本");
    EXPECT_EQ(Presentable("😀😀😀"s, 3), "😀😀😀");
    EXPECT_EQ(Presentable("a\xff"
                          "b",
                          32),
              "a\uFFFD"
              "b");
    EXPECT_EQ(Presentable("", 32), "");
}

TEST(LogSafeTest, NothingCanEndTheLineOrReachTheTerminal) {
    EXPECT_EQ(LogSafe("GET /api/scores?game=Zoë"), "GET /api/scores?game=Zoë");
    EXPECT_EQ(LogSafe("a\nb\r\x1b[31m\x7f"s), "a\\x0ab\\x0d\\x1b[31m\\x7f");
    EXPECT_EQ(LogSafe("nul\0"s), "nul\\x00");
    // A backslash is escaped too, so no text can pass for an escape.
    EXPECT_EQ(LogSafe("\\x0a"), "\\x5cx0a");
    EXPECT_EQ(LogSafe("c1 \xc2\x9b"), "c1 \\xc2\\x9b");
    EXPECT_EQ(LogSafe("bad \xff\xc3("), "bad \\xff\\xc3(");
}

TEST(LogSafeTest, LongTextIsCutWithAMark) {
    EXPECT_EQ(LogSafe(std::string(300, 'a')), std::string(200, 'a') + "...");
    EXPECT_EQ(LogSafe("abcdef", 3), "abc...");
    EXPECT_EQ(LogSafe("abc", 3), "abc");
    EXPECT_EQ(LogSafe("ab\xc3\xa9", 3), "ab\\xc3...");  // a character cut in two
}
