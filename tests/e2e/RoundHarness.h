// What a whole round played in a pseudo-terminal needs, for the Linux game
// and for the Windows game under Wine alike: a scratch folder and a real
// score table on loopback for each test, the game started on SDL's dummy
// driver with its sound captured, the keys of the planned round, and what
// the round must leave behind.
#pragma once

#include "ScoreServer.h"
#include "TempFolder.h"
#include "TerminalSession.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace e2etest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
// Lets time pass for the game; under Wine, reading what it writes meanwhile.
using Pause = std::function<void(std::chrono::milliseconds)>;

// Whether the capture holds `seconds` of sound (48 kHz stereo float, past
// its header).
inline bool Captured(const fs::path& capture, std::uintmax_t seconds) {
    std::error_code error;
    const auto bytes = fs::file_size(capture, error);
    return !error && bytes >= 48000ULL * seconds * 2 * sizeof(float) + 4096;
}

// Pauses until the capture holds `seconds`; false when `patience` runs out first.
inline bool WaitForCapture(const fs::path& capture, std::uintmax_t seconds, std::chrono::seconds patience,
                           const Pause& pause, std::chrono::milliseconds step) {
    for (const auto until = terminaltest::Clock::now() + patience; !Captured(capture, seconds);) {
        if (terminaltest::Clock::now() > until) return false;
        pause(step);
    }
    return true;
}

// Every game is played with a player's own keys (fire on f, end practice
// on e) and the music stepping aside for speech.
inline const std::vector<std::string> kPlayersOptions = {"--key-fire", "f", "--key-end-practice", "e", "--duck", "12"};

// How long the planned round is paused; the round's two minutes go on after.
inline constexpr auto kPaused = 10s;
// How much sooner than the planned pause allows the game may end the round:
// its clock may start before the test sees the round begin, and a key may
// be read a little after it is typed.
inline constexpr auto kClockSlack = 4s;

// Sends `keys` one at a time, with `gap` after each.
inline void Type(terminaltest::Session& game, const Pause& pause, std::chrono::milliseconds gap,
                 const std::string& keys) {
    for (const char c : keys) {
        game.Send(std::string(1, c));
        pause(gap);
    }
}

// Waits until the game has read every key typed so far, the last of which
// makes it say `said`; false if it does not.
using KeysTaken = std::function<bool(const std::string& said)>;

// The planned round, typed with `gap` after each key: a hit, with the
// player's own fire key, on the chicken where the aim starts (+5); the aim
// left round the end and back (an arrow's bytes together, as a terminal
// sends them); the score said; then, once the game has read all that, a
// pause of kPaused. Scores 5 wherever the table's generator start puts the
// chicken, 0 if the fire key were not the player's.
inline void TypePlannedRound(terminaltest::Session& game, const Pause& pause, std::chrono::milliseconds gap,
                             const KeysTaken& taken) {
    Type(game, pause, gap, "f");
    game.Send("\x1b[D");
    pause(gap);
    Type(game, pause, gap, "ls");
    ASSERT_TRUE(taken("5")) << "the keys were not read";
    Type(game, pause, gap, "p");
    ASSERT_TRUE(taken("paused")) << "the pause was not taken";
    pause(kPaused);
    Type(game, pause, gap, "p");
    ASSERT_TRUE(taken("playing")) << "the round did not play on";
}

// Frames of the 48 kHz stereo float capture at `capture`.
inline std::vector<float> ReadCapture(const fs::path& capture) {
    SF_INFO info{};
    SNDFILE* f = sf_open(capture.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << capture;
    if (f == nullptr) return {};
    EXPECT_EQ(info.channels, 2);
    std::vector<float> samples(static_cast<std::size_t>(info.frames) * 2);
    sf_readf_float(f, samples.data(), info.frames);
    sf_close(f);
    return samples;
}

// For each whole second of a capture, whether it is heard: both channels
// together, since with the chicken hard right the left one holds only the
// quiet music, whose soft passages would count as silence.
inline std::vector<bool> HeardSeconds(const std::vector<float>& samples) {
    std::vector<bool> heard;
    for (std::size_t s = 0; 2 * (s + 48000) <= samples.size(); s += 48000) {
        double energy = 0;
        for (std::size_t i = 2 * s; i < 2 * (s + 48000); ++i) energy += double(samples[i]) * samples[i];
        heard.push_back(std::sqrt(energy / (2 * 48000)) > 0.01);
    }
    return heard;
}

// A practice game, `launch` with --practice in a folder of its own, played
// by keys while `meanwhile` lets another game run on: it names and plays
// every sound, then takes a hit with the player's own fire key, ends with
// the end-practice key and answers n at "play again?", which ends the game
// with 0. `started` waits until keys typed reach the practice.
inline void PlayPractice(terminaltest::Launch launch, const fs::path& capture,
                         const std::function<bool(terminaltest::Session&, const Pause&)>& started,
                         const Pause& meanwhile) {
    launch.argv.emplace_back("--practice");
    launch.workingDir = capture.parent_path().string();
    terminaltest::Session practice(launch);
    const Pause both = [&](std::chrono::milliseconds time) {
        practice.WaitForOutput([](const std::string&) { return false; }, 10ms);
        meanwhile(time);
    };
    ASSERT_TRUE(started(practice, both)) << "the practice did not start: " << practice.Output();
    Type(practice, both, 300ms, "fen");
    std::optional<int> status;
    for (const auto until = terminaltest::Clock::now() + 120s; !status && terminaltest::Clock::now() < until;) {
        both(200ms);
        status = practice.Wait(10ms);
    }
    ASSERT_TRUE(status.has_value()) << "the practice did not end at n: " << practice.Output();
    ASSERT_TRUE(WIFEXITED(*status)) << terminaltest::DescribeStatus(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0) << practice.Output();
    const std::vector<bool> heard = HeardSeconds(ReadCapture(capture));
    const auto loud = std::count(heard.begin(), heard.end(), true);
    std::cout << loud << " of " << heard.size() << " seconds of the practice heard\n";
    // The four clucks alone are two seconds each; names said by a screen
    // reader are not in the mix.
    EXPECT_GE(loud, 6) << "the practice's sounds";
}

class RoundTest : public ::testing::Test {
protected:
    // `folderPrefix` starts the name of each test's scratch folder.
    explicit RoundTest(std::string_view folderPrefix) : dir_(folderPrefix) {}

    void SetUp() override { server_ = std::make_unique<testsupport::ScoreServer>((dir_ / "scores.db").string()); }

    // The game run by `argv` in the scratch folder, sending its scores to the
    // table and its sound to `capture`; `hostPath` names a file as the game
    // sees it.
    terminaltest::Launch Game(std::vector<std::string> argv, const fs::path& capture,
                              const std::function<std::string(const fs::path&)>& hostPath) const {
        terminaltest::Launch launch;
        launch.argv = std::move(argv);
        launch.argv.insert(launch.argv.end(), kPlayersOptions.begin(), kPlayersOptions.end());
        launch.workingDir = dir_.path().string();
        launch.setEnv = {{"SDL_AUDIODRIVER", "dummy"},
                         {"BARNBLAST_CAPTURE", hostPath(capture)},
                         {"BARNBLAST_OUTBOX", hostPath(dir_ / "outbox")},
                         {"BARNBLAST_SCORE_SITE", "127.0.0.1:" + std::to_string(server_->Port())}};
        return launch;
    }

    // The planned round's score, under the typed name, is the table's only
    // one, replayed from a round the table timed, and nothing waits in the
    // outbox; the name is kept for next time.
    void ExpectScoreSentOnce() const {
        std::ifstream nameFile(dir_ / "name.dat");
        const std::string stored((std::istreambuf_iterator<char>(nameFile)), {});
        EXPECT_EQ(stored, "Test Player");

        const std::string table = testsupport::HttpGet(server_->Port(), "/api/scores?game=Barnblast%20V2");
        EXPECT_NE(table.find("\"name\":\"Test Player\""), std::string::npos) << table;
        EXPECT_NE(table.find("\"score\":5"), std::string::npos) << table;
        EXPECT_NE(table.find("\"check\":\"verified\""), std::string::npos) << table;
        EXPECT_EQ(table.find("\"rank\":2"), std::string::npos) << "exactly one score: " << table;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(dir_ / "outbox", error))
            EXPECT_NE(entry.path().extension(), ".score") << entry.path();
    }

    // The cluck and the music are heard through the whole round's play:
    // decoded, mixed and rendered; and while it is paused both stop.
    static void ExpectHeardThroughTheRound(const fs::path& capture) {
        const std::vector<bool> heard = HeardSeconds(ReadCapture(capture));
        EXPECT_GE(heard.size(), 120u);
        const auto loudSeconds = std::count(heard.begin(), heard.end(), true);
        std::size_t quiet = 0, longestQuiet = 0;
        for (const bool loud : heard) longestQuiet = std::max(longestQuiet, quiet = loud ? 0 : quiet + 1);
        std::cout << loudSeconds << " of " << heard.size() << " seconds of the capture heard, " << longestQuiet
                  << " quiet in a row\n";
        EXPECT_GE(loudSeconds, 115);
        // The capture may run slower than the clock (SDL's dummy output under Wine).
        EXPECT_GE(longestQuiet, static_cast<std::size_t>(kPaused.count() / 2)) << "the pause was not heard";
    }

    // The round's end, seen at `promptAt`, came no sooner than two minutes
    // of play and the pause after `roundStart`.
    static void ExpectPauseNotCounted(terminaltest::Clock::time_point roundStart,
                                      terminaltest::Clock::time_point promptAt) {
        EXPECT_GE(promptAt - roundStart, 120s + kPaused - kClockSlack) << "the pause counted towards the round";
    }

    // Before the table, so that the table, whose database is in it, stops first.
    testsupport::TempFolder dir_;
    std::unique_ptr<testsupport::ScoreServer> server_;
};

}  // namespace e2etest
