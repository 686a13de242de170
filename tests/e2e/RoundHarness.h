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

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
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

// The planned round, typed with `gap` after each key: a hit on the chicken
// where the aim starts (+5); a miss, as the chicken never lands back there
// (-5); the aim left round the end and back (an arrow's bytes together, as a
// terminal sends them); a key that does nothing. Scores 0 wherever the
// table's generator start puts the chicken.
inline void TypePlannedRound(terminaltest::Session& game, const Pause& pause, std::chrono::milliseconds gap) {
    const auto type = [&](const std::string& keys) {
        for (const char c : keys) {
            game.Send(std::string(1, c));
            pause(gap);
        }
    };
    type("  ");
    game.Send("\x1b[D");
    pause(gap);
    type("ls");
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
        EXPECT_NE(table.find("\"score\":0"), std::string::npos) << table;
        EXPECT_NE(table.find("\"check\":\"verified\""), std::string::npos) << table;
        EXPECT_EQ(table.find("\"rank\":2"), std::string::npos) << "exactly one score: " << table;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(dir_ / "outbox", error))
            EXPECT_NE(entry.path().extension(), ".score") << entry.path();
    }

    // The cluck and the music are heard through the whole round: decoded,
    // mixed and rendered.
    static void ExpectHeardThroughTheRound(const fs::path& capture) {
        SF_INFO info{};
        SNDFILE* f = sf_open(capture.c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(info.channels, 2);
        EXPECT_GE(info.frames, 48000LL * 120);
        std::vector<float> samples(static_cast<std::size_t>(info.frames) * 2);
        sf_readf_float(f, samples.data(), info.frames);
        sf_close(f);
        int loudSeconds = 0;
        for (long s = 0; s + 48000 <= info.frames; s += 48000) {
            // Both channels: with the chicken hard right the left one holds
            // only the quiet music, whose soft passages would count as silence.
            double energy = 0;
            for (long i = 2 * s; i < 2 * (s + 48000); ++i) energy += samples[i] * samples[i];
            if (std::sqrt(energy / (2 * 48000)) > 0.01) ++loudSeconds;
        }
        std::cout << loudSeconds << " of " << info.frames / 48000 << " seconds of the capture heard\n";
        EXPECT_GE(loudSeconds, 115);
    }

    // Before the table, so that the table, whose database is in it, stops first.
    testsupport::TempFolder dir_;
    std::unique_ptr<testsupport::ScoreServer> server_;
};

}  // namespace e2etest
