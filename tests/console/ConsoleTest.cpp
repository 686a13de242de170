// The console layer as a player meets it: the probe program runs on the
// slave side of a pseudo-terminal, started as a shell starts a job (or on a
// pipe), and these tests type into it, read what it reports and inspect the
// terminal's settings.
#include "TerminalSession.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

namespace {

using terminaltest::Input;
using terminaltest::SameSettings;
using terminaltest::Session;

Session Probe(Input input, const std::string& script) {
    terminaltest::Launch launch;
    launch.argv = {CONSOLE_PROBE, script};
    launch.input = input;
    return Session(launch);
}

using Lines = std::vector<std::string>;

// The probe ran its script to the end.
testing::AssertionResult ExitedWithZero(Session& probe) {
    const auto status = probe.Wait();
    if (!status.has_value()) return testing::AssertionFailure() << "probe did not end";
    if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0)
        return testing::AssertionFailure() << terminaltest::DescribeStatus(*status);
    return testing::AssertionSuccess();
}

// ---------------------------------------------------------------- terminal

TEST(ConsoleTerminal, ArrowKeysInBothFormsArriveAsPrefixThenCode) {
    struct Arrow {
        std::string typed;
        std::string code;
    };
    const std::vector<Arrow> arrows = {
        {"\x1b[A", "K72"}, {"\x1b[B", "K80"}, {"\x1b[C", "K77"}, {"\x1b[D", "K75"},
        {"\x1bOA", "K72"}, {"\x1bOB", "K80"}, {"\x1bOC", "K77"}, {"\x1bOD", "K75"},
    };
    Session probe = Probe(Input::Terminal, std::string(2 * arrows.size(), 'g'));
    for (const Arrow& arrow : arrows) {
        ASSERT_TRUE(probe.WaitForKeyMode());
        probe.Send(arrow.typed);
        EXPECT_EQ(probe.NextLines(2), (Lines{"K224", arrow.code})) << "typed ESC" << arrow.typed.substr(1);
    }
}

TEST(ConsoleTerminal, LoneEscapeIsDeliveredAndOtherSequencesPassThrough) {
    Session probe = Probe(Input::Terminal, "ggggggg");
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("\x1b");
    EXPECT_EQ(probe.NextLine(), "K27");

    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("a");
    EXPECT_EQ(probe.NextLine(), "K97");

    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("\x1bx");  // Alt+x
    EXPECT_EQ(probe.NextLines(2), (Lines{"K27", "K120"}));

    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("\x1b[Z");  // Shift+Tab
    EXPECT_EQ(probe.NextLines(3), (Lines{"K27", "K91", "K90"}));
}

bool InKeyMode(const termios& settings) { return (settings.c_lflag & (ICANON | ECHO)) == 0; }

TEST(ConsoleTerminal, KeyModeHoldsBetweenReadsUntilTheProgramEnds) {
    Session probe = Probe(Input::Terminal, "gpggggg");
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("z");
    EXPECT_EQ(probe.NextLines(2), (Lines{"K122", "P"}));
    // Typed while no read is waiting: in line mode the terminal would echo
    // these, let the erase key eat the key before it and turn Ctrl+D into
    // the end of input.
    EXPECT_TRUE(InKeyMode(probe.Settings()));
    probe.Send("l\x7f\x04\x1b[C");
    EXPECT_EQ(probe.NextLines(5), (Lines{"K108", "K127", "K4", "K224", "K77"}));

    EXPECT_TRUE(ExitedWithZero(probe));
    // Only the probe's reports: an echo would add the typed bytes.
    EXPECT_EQ(probe.Output(), "K122\r\nP\r\nK108\r\nK127\r\nK4\r\nK224\r\nK77\r\n");
    EXPECT_TRUE(SameSettings(probe.Settings(), probe.Original()));
}

TEST(ConsoleTerminal, LineReadEchoesAndErasesWholeCharactersThenKeyModeReturns) {
    Session probe = Probe(Input::Terminal, "glg");
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("a");
    EXPECT_EQ(probe.NextLine(), "K97");

    ASSERT_TRUE(probe.WaitForLineMode());
    probe.Send(
        "Zo\xc3\xa9\x7f"
        "e\n");  // "Zoé", the é erased with one Backspace
    const std::string echo = probe.NextLine();
    EXPECT_EQ(echo.rfind("Zo\xc3\xa9", 0), 0u) << "echo was: " << echo;
    EXPECT_EQ(probe.NextLine(), "L:Zoe");

    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("b");
    EXPECT_EQ(probe.NextLine(), "K98");
    EXPECT_TRUE(ExitedWithZero(probe));
    const std::string output = probe.Output();
    EXPECT_EQ(output.substr(output.find("L:Zoe")), "L:Zoe\r\nK98\r\n") << "the key after the line is not echoed";
    EXPECT_TRUE(SameSettings(probe.Settings(), probe.Original()));
}

TEST(ConsoleTerminal, KeysTypedAheadOfALineReadStayAtItsStart) {
    Session probe = Probe(Input::Terminal, "gpl");
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("z");
    EXPECT_EQ(probe.NextLines(2), (Lines{"K122", "P"}));
    probe.Send("ab");  // during the pause, before the line read begins
    ASSERT_TRUE(probe.WaitForLineMode());
    probe.Send("cd\n");
    EXPECT_EQ(probe.NextLines(2), (Lines{"cd", "L:abcd"}));
}

// The shell gets the terminal back as it was while the program is stopped;
// on fg, key mode is back before the next key is typed.
TEST(ConsoleTerminal, CtrlZGivesTheTerminalBackAndFgTakesKeyModeAgain) {
    Session probe = Probe(Input::Terminal, "gg");
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("\x1a");
    const auto stopped = probe.WaitForStop();
    ASSERT_TRUE(stopped.has_value()) << "probe did not stop";
    EXPECT_EQ(WSTOPSIG(*stopped), SIGTSTP);
    EXPECT_TRUE(SameSettings(probe.Settings(), probe.Original()));

    probe.Continue();
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("ab");
    EXPECT_EQ(probe.NextLines(2), (Lines{"K97", "K98"}));
    EXPECT_TRUE(ExitedWithZero(probe));
    EXPECT_EQ(probe.Output(), "K97\r\nK98\r\n");
    EXPECT_TRUE(SameSettings(probe.Settings(), probe.Original()));
}

TEST(ConsoleTerminal, CtrlZDuringALineReadComesBackToLineMode) {
    Session probe = Probe(Input::Terminal, "lg");
    ASSERT_TRUE(probe.WaitForLineMode());
    probe.Send("\x1a");
    ASSERT_TRUE(probe.WaitForStop().has_value()) << "probe did not stop";
    EXPECT_TRUE(SameSettings(probe.Settings(), probe.Original()));
    probe.Continue();
    ASSERT_TRUE(probe.WaitForLineMode());
    probe.Send("x\n");
    const std::string echo = probe.NextLine();  // the terminal shows ^Z, then x
    EXPECT_EQ(echo.back(), 'x') << "echo was: " << echo;
    EXPECT_EQ(probe.NextLine(), "L:x");
    ASSERT_TRUE(probe.WaitForKeyMode());
}

// After bg the terminal is the shell's: the program leaves it alone until
// it is in the foreground again, and a read from the background stops it.
TEST(ConsoleTerminal, InTheBackgroundTheTerminalIsLeftToTheShell) {
    Session probe = Probe(Input::Terminal, "ggg");
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("\x1a");
    ASSERT_TRUE(probe.WaitForStop().has_value()) << "probe did not stop";
    probe.ContinueInBackground();
    EXPECT_FALSE(probe.WaitForKeyMode(std::chrono::milliseconds(300))) << "key mode taken from the background";

    probe.Send("a\n");  // a line for the shell, which the program then tries to read
    const auto stopped = probe.WaitForStop();
    ASSERT_TRUE(stopped.has_value()) << "probe did not stop";
    EXPECT_EQ(WSTOPSIG(*stopped), SIGTTIN);
    EXPECT_TRUE(SameSettings(probe.Settings(), probe.Original()));

    probe.Continue();
    EXPECT_EQ(probe.NextLines(3), (Lines{"a", "K97", "K10"}));  // the shell's echo, then the two keys
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("b");
    EXPECT_EQ(probe.NextLine(), "K98");
    EXPECT_TRUE(ExitedWithZero(probe));
    EXPECT_TRUE(SameSettings(probe.Settings(), probe.Original()));
}

// A stop the program cannot see (SIGSTOP), after which the shell sets the
// terminal to its own liking, as shells do: continuing brings key mode back.
TEST(ConsoleTerminal, ContinueAfterAnUnseenStopTakesKeyModeAgain) {
    Session probe = Probe(Input::Terminal, "g");
    ASSERT_TRUE(probe.WaitForKeyMode());
    kill(probe.Pid(), SIGSTOP);
    ASSERT_TRUE(probe.WaitForStop().has_value()) << "probe did not stop";
    probe.SetSettings(probe.Original());
    probe.Continue();
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("q");
    EXPECT_EQ(probe.NextLine(), "K113");
    EXPECT_EQ(probe.Output(), "K113\r\n");
}

struct Ending {
    const char* name;
    std::string typed;  // a key the terminal turns into the signal, or empty
    int signal;
};

// Sanitizers install their own handlers for crash signals and end the
// process their own way, so the layer leaves those signals to them.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerOwnsCrashes = true;
#else
constexpr bool kSanitizerOwnsCrashes = false;
#endif
// ThreadSanitizer holds a signal back until its runtime next gets control,
// which a signal landing between two calls can wait for indefinitely.
#if defined(__SANITIZE_THREAD__)
constexpr bool kSignalsDeferred = true;
#else
constexpr bool kSignalsDeferred = false;
#endif

bool IsCrash(int sig) { return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGABRT; }

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.name; }

// Where the program is when the signal comes: waiting for a key, between
// two reads with key mode on, or while a line is typed.
enum class Moment { DuringRead, BetweenReads, DuringLineRead };

const char* MomentName(Moment moment) {
    switch (moment) {
        case Moment::DuringRead: return "DuringRead";
        case Moment::BetweenReads: return "BetweenReads";
        case Moment::DuringLineRead: return "DuringLineRead";
    }
    return "";
}

void PrintTo(Moment moment, std::ostream* out) { *out << MomentName(moment); }

class ConsoleTerminalEnding : public testing::TestWithParam<std::tuple<Ending, Moment>> {};

TEST_P(ConsoleTerminalEnding, SignalRestoresSettingsAndStillEnds) {
    const Ending& ending = std::get<Ending>(GetParam());
    const Moment moment = std::get<Moment>(GetParam());
    if (kSanitizerOwnsCrashes && IsCrash(ending.signal)) {
        GTEST_SKIP() << "a sanitizer handles this signal";
    }
    if (kSignalsDeferred) {
        GTEST_SKIP() << "ThreadSanitizer defers signals";
    }
    Session probe = Probe(Input::Terminal, moment == Moment::DuringRead     ? "g"
                                           : moment == Moment::BetweenReads ? "gw"
                                                                            : "gl");
    ASSERT_TRUE(probe.WaitForKeyMode());
    if (moment == Moment::BetweenReads) {
        probe.Send("a");
        ASSERT_EQ(probe.NextLines(2), (Lines{"K97", "W"}));
        ASSERT_TRUE(InKeyMode(probe.Settings()));
    }
    if (moment == Moment::DuringLineRead) {
        probe.Send("a");
        ASSERT_EQ(probe.NextLine(), "K97");
        ASSERT_TRUE(probe.WaitForLineMode());
        probe.Send("Zo\xc3\xa9");  // half a name
    }
    if (ending.typed.empty()) {
        kill(probe.Pid(), ending.signal);
    } else {
        probe.Send(ending.typed);
    }
    const auto status = probe.Wait();
    ASSERT_TRUE(status.has_value()) << "probe did not end";
    ASSERT_TRUE(WIFSIGNALED(*status)) << terminaltest::DescribeStatus(*status);
    EXPECT_EQ(WTERMSIG(*status), ending.signal);
    EXPECT_TRUE(SameSettings(probe.Settings(), probe.Original()));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ConsoleTerminalEnding,
    testing::Combine(testing::Values(Ending{"CtrlC", "\x03", SIGINT}, Ending{"CtrlBackslash", "\x1c", SIGQUIT},
                                     Ending{"Term", "", SIGTERM}, Ending{"Hangup", "", SIGHUP},
                                     Ending{"Segv", "", SIGSEGV}, Ending{"Abort", "", SIGABRT},
                                     Ending{"Bus", "", SIGBUS}, Ending{"Fpe", "", SIGFPE}, Ending{"Ill", "", SIGILL}),
                     testing::Values(Moment::DuringRead, Moment::BetweenReads, Moment::DuringLineRead)),
    [](const testing::TestParamInfo<std::tuple<Ending, Moment>>& info) {
        return std::string(std::get<Ending>(info.param).name) + MomentName(std::get<Moment>(info.param));
    });

TEST(ConsoleTerminal, ExitFromAnotherThreadDuringReadRestoresSettings) {
    Session probe = Probe(Input::Terminal, "xg");
    EXPECT_EQ(probe.NextLine(), "X");
    ASSERT_TRUE(probe.WaitForKeyMode());
    kill(probe.Pid(), SIGUSR1);
    EXPECT_TRUE(ExitedWithZero(probe));
    EXPECT_TRUE(SameSettings(probe.Settings(), probe.Original()));
}

// ---------------------------------------------------------------- pipe

TEST(ConsolePipe, BytesArriveAsTheyComeAndEndOfInputRepeats) {
    Session probe = Probe(Input::Pipe, "gggggggg");
    probe.Send("a");  // the pipe stays open: nothing waits for more
    EXPECT_EQ(probe.NextLine(), "K97");
    probe.Send("\x1b");
    EXPECT_EQ(probe.NextLine(), "K27");
    probe.Send("\x1b[Cb");
    EXPECT_EQ(probe.NextLines(3), (Lines{"K224", "K77", "K98"}));

    probe.CloseInput();
    EXPECT_EQ(probe.NextLines(3), (Lines{"K-1", "K-1", "K-1"}));
    EXPECT_TRUE(ExitedWithZero(probe));
}

TEST(ConsolePipe, LineReadTakesBytesLeftByKeyReadAndEndsWithInput) {
    Session probe = Probe(Input::Pipe, "glllg");
    probe.Send("\x1b[Zab\r\nlast");
    probe.CloseInput();
    EXPECT_EQ(probe.NextLines(5), (Lines{"K27", "L:[Zab", "L:last", "LEOF", "K-1"}));
    EXPECT_TRUE(ExitedWithZero(probe));
}

}  // namespace
