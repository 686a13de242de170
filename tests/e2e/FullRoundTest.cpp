// The real program in a pseudo-terminal, played as a player would: one full
// two-minute round in real time, the score sent to a real score table.
#include "ScoreTableRound.h"
#include "TerminalSession.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using e2etest::HttpGet;

class FullRound : public e2etest::ScoreTableRound {
protected:
    FullRound() : ScoreTableRound(SCOREBOARD_BIN, "barnblast-e2e") {}

    void SetUp() override {
        ScoreTableRound::SetUp();
        if (HasFatalFailure()) return;
        fs::create_directory_symlink(fs::path(SOURCE_DIR) / "Media", dir_ / "Media");
    }
};

TEST_F(FullRound, PlayedByKeysScoreSentAndTerminalRestored) {
    // The chicken's hiding places after a hit come from the unseeded C
    // generator, which the game shares with this process's C library.
    std::srand(1);
    const int second = std::rand() % 15 + 1;
    const int third = std::rand() % 15 + 1;
    ASSERT_NE(third, second - 1) << "the planned miss would hit";

    const fs::path capture = dir_ / "round.capture.wav";
    terminaltest::Launch launch;
    launch.argv = {GAME_BIN};
    launch.workingDir = dir_.string();
    launch.setEnv = {{"SDL_AUDIODRIVER", "dummy"},
                     {"BARNBLAST_CAPTURE", capture.string()},
                     {"BARNBLAST_OUTBOX", (dir_ / "outbox").string()},
                     {"BARNBLAST_SCORE_SITE", "127.0.0.1:" + std::to_string(port_)}};
    terminaltest::Session game(launch);
    auto type = [&](const std::string& keys) {
        for (char c : keys) {
            game.Send(std::string(1, c));
            std::this_thread::sleep_for(150ms);
        }
    };

    // The game's first read is the round's first key: the round has begun.
    ASSERT_TRUE(game.WaitForKeyMode(std::chrono::milliseconds(60s))) << "the round did not start";
    type(" ");                       // on target from the start: +5
    type(std::string(second, 'l'));  // over to the chicken's new place
    type(" ");                       // +5
    game.Send("\x1b[D");             // left arrow, off target (its bytes come together, as a terminal sends them)
    std::this_thread::sleep_for(150ms);
    type(" ");  // miss: -5
    type("s");

    // Keys do nothing visible until the round is over; at "send your score?"
    // the game answers every key that is not y or n with a line end.
    const auto roundEnd = terminaltest::Clock::now() + 200s;
    const auto atPrompt = [](const std::string& written) { return written.find('\n') != std::string::npos; };
    while (!game.WaitForOutput(atPrompt, 1s)) {
        ASSERT_LT(terminaltest::Clock::now(), roundEnd) << "the round did not end";
        game.Send("x");
    }
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
    // it holds the whole round (48 kHz stereo float, past its header).
    const auto roundCaptured = [&] {
        std::error_code error;
        const auto bytes = fs::file_size(capture, error);
        return !error && bytes >= 48000ULL * 120 * 2 * sizeof(float) + 4096;
    };
    for (const auto patience = terminaltest::Clock::now() + 60s; !roundCaptured();) {
        ASSERT_LT(terminaltest::Clock::now(), patience) << "the capture stopped growing";
        std::this_thread::sleep_for(100ms);
    }
    game.Send("n");  // no more rounds

    const auto status = game.Wait(std::chrono::milliseconds(30s));
    ASSERT_TRUE(status.has_value()) << "the game did not end: " << game.Output();
    ASSERT_TRUE(WIFEXITED(*status)) << terminaltest::DescribeStatus(*status) << "; output: " << game.Output();
    EXPECT_EQ(WEXITSTATUS(*status), 0) << game.Output();
    EXPECT_NE(game.Output().find("Test Player \xc3\xa9"), std::string::npos) << "the name is echoed: " << game.Output();
    EXPECT_TRUE(terminaltest::SameSettings(game.Settings(), game.Original()));

    std::ifstream nameFile(dir_ / "name.dat");
    std::string stored((std::istreambuf_iterator<char>(nameFile)), {});
    EXPECT_EQ(stored, "Test Player");

    const std::string table = HttpGet(port_, "/api/scores?game=Barnblast%20V2");
    EXPECT_NE(table.find("\"name\":\"Test Player\""), std::string::npos) << table;
    EXPECT_NE(table.find("\"score\":5"), std::string::npos) << table;
    EXPECT_EQ(table.find("\"rank\":2"), std::string::npos) << "exactly one score: " << table;

    SF_INFO info{};
    SNDFILE* f = sf_open(capture.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.channels, 2);
    EXPECT_GE(info.frames, 48000LL * 120);
    std::vector<float> samples(static_cast<size_t>(info.frames) * 2);
    sf_readf_float(f, samples.data(), info.frames);
    sf_close(f);
    // The cluck and the music are heard through the round.
    int loudSeconds = 0;
    for (long s = 0; s + 48000 <= info.frames; s += 48000) {
        double energy = 0;
        for (long i = s; i < s + 48000; ++i) energy += samples[2 * i] * samples[2 * i];
        if (std::sqrt(energy / 48000) > 0.01) ++loudSeconds;
    }
    EXPECT_GE(loudSeconds, 115);
}

}  // namespace
