// The real program in a pseudo-terminal, played as a player would: one full
// two-minute round in real time, paused a while, the score sent to a real
// score table; and a practice game played meanwhile.
#include "RoundHarness.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

namespace {

using namespace e2etest;

class FullRound : public RoundTest {
protected:
    FullRound() : RoundTest("barnblast-e2e") {}

    void SetUp() override {
        RoundTest::SetUp();
        if (HasFatalFailure()) return;
        fs::create_directory_symlink(fs::path(SOURCE_DIR) / "Media", dir_ / "Media");
    }
};

TEST_F(FullRound, PlayedByKeysScoreSentAndTerminalRestored) {
    const fs::path capture = dir_ / "round.capture.wav";
    terminaltest::Session game(Game({GAME_BIN}, capture, [](const fs::path& p) { return p.string(); }));
    const Pause idle = [](std::chrono::milliseconds time) { std::this_thread::sleep_for(time); };

    // The game's first read is the round's first key: the round has begun.
    ASSERT_TRUE(game.WaitForKeyMode(std::chrono::milliseconds(60s))) << "the round did not start";
    const auto roundStart = terminaltest::Clock::now();
    // What the game says is not seen here, only that it read the keys.
    TypePlannedRound(game, idle, 150ms, [&](const std::string&) { return game.WaitForInputTaken(); });

    // A practice game, meanwhile, in a folder of its own.
    const fs::path practice = dir_ / "practice";
    fs::create_directory(practice);
    fs::create_directory_symlink(fs::path(SOURCE_DIR) / "Media", practice / "Media");
    const fs::path practiceCapture = practice / "practice.capture.wav";
    PlayPractice(
        Game({GAME_BIN}, practiceCapture, [](const fs::path& p) { return p.string(); }), practiceCapture,
        [](terminaltest::Session& s, const Pause&) { return s.WaitForKeyMode(std::chrono::milliseconds(60s)); }, idle);

    // Keys do nothing visible until the round is over; at "send your score?"
    // the game answers every key that is not y or n with a line end.
    const auto roundEnd = terminaltest::Clock::now() + 200s;
    const auto atPrompt = [](const std::string& written) { return written.find('\n') != std::string::npos; };
    while (!game.WaitForOutput(atPrompt, 1s)) {
        ASSERT_LT(terminaltest::Clock::now(), roundEnd) << "the round did not end";
        game.Send("x");
    }
    ExpectPauseNotCounted(roundStart, terminaltest::Clock::now());
    const std::string duringRound = game.Output().substr(0, game.Output().find('\n'));
    std::cout << "written during the round: [" << duringRound << "]\n";
    for (const char* typed : {"ll", "xx", "[D"}) {
        EXPECT_EQ(duringRound.find(typed), std::string::npos) << "keys were echoed: " << duringRound;
    }

    game.Send("y");  // send the score
    ASSERT_TRUE(game.WaitForLineMode()) << "no name asked for";
    // The name, typed with echo; the erase key takes "é" back whole, then the space.
    game.Send("Test Player \xc3\xa9\x7f\x7f\r");
    ASSERT_TRUE(game.WaitForKeyMode()) << "key mode did not come back after the name";
    // The capture runs a little behind the clock: answer "play again?" once
    // it holds the whole round.
    ASSERT_TRUE(WaitForCapture(capture, 120, 60s, idle, 100ms)) << "the capture stopped growing";
    game.Send("n");  // no more rounds

    const auto status = game.Wait(std::chrono::milliseconds(30s));
    ASSERT_TRUE(status.has_value()) << "the game did not end: " << game.Output();
    ASSERT_TRUE(WIFEXITED(*status)) << terminaltest::DescribeStatus(*status) << "; output: " << game.Output();
    EXPECT_EQ(WEXITSTATUS(*status), 0) << game.Output();
    EXPECT_NE(game.Output().find("Test Player \xc3\xa9"), std::string::npos) << "the name is echoed: " << game.Output();
    EXPECT_TRUE(terminaltest::SameSettings(game.Settings(), game.Original()));
    ExpectScoreSentOnce();
    ExpectHeardThroughTheRound(capture);
}

}  // namespace
