// The cross-built Windows game under Wine, in a pseudo-terminal, played as a
// player would: one full two-minute round in real time, the score sent to a
// real score table on loopback.
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

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The Microsoft C runtime's rand, which the Windows game's chicken follows:
// a linear congruential generator from seed 1 (never seeded), returning
// bits 16..30 of the state.
class MsvcrtRand {
public:
    int Next() {
        state_ = state_ * 214013U + 2531011U;
        return static_cast<int>((state_ >> 16) & 0x7FFF);
    }

private:
    std::uint32_t state_ = 1;
};

// Wine's console writes cursor moves, colours and titles around the text;
// they are the console's business, not the game's, and are taken out.
std::string WithoutEscapes(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\x1b') {
            if (text[i] != '\r') out += text[i];
            continue;
        }
        if (i + 1 >= text.size()) break;
        const char kind = text[i + 1];
        if (kind == '[') {  // CSI: parameters, then one final byte 0x40..0x7E
            const std::size_t start = i + 2;
            i = start;
            while (i < text.size() && !(text[i] >= 0x40 && text[i] <= 0x7E)) ++i;
            // Wine writes a space as a move of the cursor to the right.
            if (i < text.size() && text[i] == 'C') {
                const std::string count = text.substr(start, i - start);
                const bool digits = !count.empty() && count.find_first_not_of("0123456789") == std::string::npos;
                out.append(digits ? std::stoul(count) : 1, ' ');
            }
        } else if (kind == ']') {  // OSC: up to BEL or ESC backslash
            i += 2;
            while (i < text.size() && text[i] != '\a' && !(text[i] == '\x1b' && i + 1 < text.size())) ++i;
            if (i < text.size() && text[i] == '\x1b') ++i;
        } else {
            ++i;  // a two-byte sequence
        }
    }
    return out;
}

std::size_t LineEnds(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The Windows name of a file under Wine's Z: drive, which is the Unix root.
std::string WindowsPath(const fs::path& path) {
    std::string out = "Z:" + path.string();
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

using e2etest::HttpGet;

class WineRound : public e2etest::ScoreTableRound {
protected:
    WineRound() : ScoreTableRound(SCOREBOARD_BIN, "barnblast-wine") {}
};

TEST_F(WineRound, PlayedByKeysScoreSentAndGameEndsWithZero) {
    // Where the chicken hides after each hit: the Windows runtime's sequence,
    // not this process's C library's.
    MsvcrtRand rand;
    const int second = rand.Next() % 15 + 1;
    const int third = rand.Next() % 15 + 1;
    ASSERT_NE(third, second - 1) << "the planned miss would hit";

    // An empty name file in the working folder: the name is asked for and
    // kept there, where the test can read it.
    std::ofstream(dir_ / "name.dat").close();
    const fs::path capture = dir_ / "round.capture.wav";
    terminaltest::Launch launch;
    launch.argv = {WINE_BIN, WINDOWS_EXE};
    launch.workingDir = dir_.string();
    launch.setEnv = {{"SDL_AUDIODRIVER", "dummy"},
                     {"BARNBLAST_CAPTURE", WindowsPath(capture)},
                     {"BARNBLAST_OUTBOX", WindowsPath(dir_ / "outbox")},
                     {"BARNBLAST_SCORE_SITE", "127.0.0.1:" + std::to_string(port_)}};
    if (std::getenv("WINEDEBUG") == nullptr) launch.setEnv.emplace_back("WINEDEBUG", "-all");
    terminaltest::Session game(launch);
    // Reading what Wine writes as it comes keeps its console from blocking.
    const auto drain = [&](std::chrono::milliseconds time) {
        game.WaitForOutput([](const std::string&) { return false; }, time);
    };
    auto type = [&](const std::string& keys) {
        for (const char c : keys) {
            game.Send(std::string(1, c));
            drain(300ms);
        }
    };

    // The capture starts with the mixer, just before the round: once it
    // holds a second of sound the round runs, and keys typed from then on
    // wait in the console's input until the game reads them.
    const auto captured = [&](std::uintmax_t seconds) {
        std::error_code error;
        const auto bytes = fs::file_size(capture, error);
        return !error && bytes >= 48000ULL * seconds * 2 * sizeof(float) + 4096;
    };
    for (const auto patience = terminaltest::Clock::now() + 180s; !captured(1);) {
        ASSERT_LT(terminaltest::Clock::now(), patience) << "the game did not start: " << game.Output();
        drain(100ms);
    }
    const auto roundStart = terminaltest::Clock::now();
    type(" ");                       // on target from the start: +5
    type(std::string(second, 'l'));  // over to the chicken's new place
    type(" ");                       // +5
    game.Send("\x1b[D");             // left arrow, off target
    drain(300ms);
    type(" ");  // miss: -5
    type("s");

    // At "send your score?" every key is answered with a line end; before it
    // keys write nothing.
    drain(1s);
    const std::size_t linesInRound = LineEnds(WithoutEscapes(game.Output()));
    while (terminaltest::Clock::now() < roundStart + 115s) drain(1s);
    const auto atPrompt = [&](const std::string& written) { return LineEnds(WithoutEscapes(written)) > linesInRound; };
    while (!game.WaitForOutput(atPrompt, 1s)) {
        ASSERT_LT(terminaltest::Clock::now(), roundStart + 240s) << "the round did not end";
        game.Send("x");
    }

    game.Send("y");  // send the score
    drain(2s);
    // The name, typed with the console's echo; the erase key takes "é" back
    // whole, then the space.
    game.Send("Test Player \xc3\xa9\x7f\x7f\r");
    EXPECT_TRUE(game.WaitForOutput(
        [](const std::string& written) { return WithoutEscapes(written).find("Test Player") != std::string::npos; },
        20s))
        << "the name is echoed by the console: " << WithoutEscapes(game.Output());
    // SDL's dummy output runs slower than the clock under Wine: answer "play
    // again?" once the capture holds the whole round.
    for (const auto patience = terminaltest::Clock::now() + 120s; !captured(120);) {
        ASSERT_LT(terminaltest::Clock::now(), patience) << "the capture stopped growing";
        drain(200ms);
    }
    game.Send("n");  // no more rounds

    const auto status = game.Wait(std::chrono::milliseconds(60s));
    ASSERT_TRUE(status.has_value()) << "the game did not end: " << WithoutEscapes(game.Output());
    ASSERT_TRUE(WIFEXITED(*status)) << terminaltest::DescribeStatus(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0) << WithoutEscapes(game.Output());

    std::ifstream nameFile(dir_ / "name.dat");
    const std::string stored((std::istreambuf_iterator<char>(nameFile)), {});
    EXPECT_EQ(stored, "Test Player");

    const std::string table = HttpGet(port_, "/api/scores?game=Barnblast%20V2");
    EXPECT_NE(table.find("\"name\":\"Test Player\""), std::string::npos) << table;
    EXPECT_NE(table.find("\"score\":5"), std::string::npos) << table;
    EXPECT_EQ(table.find("\"rank\":2"), std::string::npos) << "exactly one score: " << table;
    // Delivered, so nothing waits in the outbox.
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir_ / "outbox", error)) {
        EXPECT_NE(entry.path().extension(), ".score") << entry.path();
    }

    SF_INFO info{};
    SNDFILE* f = sf_open(capture.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.channels, 2);
    EXPECT_GE(info.frames, 48000LL * 120);
    std::vector<float> samples(static_cast<std::size_t>(info.frames) * 2);
    sf_readf_float(f, samples.data(), info.frames);
    sf_close(f);
    // The cluck and the music are heard through the round: decoded, mixed and
    // rendered by the Windows build of each library.
    int loudSeconds = 0;
    for (long s = 0; s + 48000 <= info.frames; s += 48000) {
        double energy = 0;
        for (long i = s; i < s + 48000; ++i) energy += samples[2 * i] * samples[2 * i];
        if (std::sqrt(energy / 48000) > 0.01) ++loudSeconds;
    }
    EXPECT_GE(loudSeconds, 115);
}

// Ctrl+C in the console ends the game at once, as the system ends a console
// program it interrupts (STATUS_CONTROL_C_EXIT, of which Wine passes on the
// low byte), whatever the game was waiting for.
TEST_F(WineRound, CtrlCEndsTheGameAsInterrupted) {
    const fs::path capture = dir_ / "interrupted.capture.wav";
    terminaltest::Launch launch;
    launch.argv = {WINE_BIN, WINDOWS_EXE};
    launch.workingDir = dir_.string();
    launch.setEnv = {{"SDL_AUDIODRIVER", "dummy"},
                     {"BARNBLAST_CAPTURE", WindowsPath(capture)},
                     {"BARNBLAST_OUTBOX", WindowsPath(dir_ / "outbox")},
                     {"BARNBLAST_SCORE_SITE", "127.0.0.1:" + std::to_string(port_)}};
    if (std::getenv("WINEDEBUG") == nullptr) launch.setEnv.emplace_back("WINEDEBUG", "-all");
    terminaltest::Session game(launch);
    for (const auto patience = terminaltest::Clock::now() + 180s;;) {
        std::error_code error;
        if (fs::file_size(capture, error) > 48000ULL * 2 * sizeof(float) && !error) break;
        ASSERT_LT(terminaltest::Clock::now(), patience) << "the game did not start: " << game.Output();
        game.WaitForOutput([](const std::string&) { return false; }, 100ms);
    }
    game.Send("l");
    game.Send("\x03");
    const auto status = game.Wait(std::chrono::milliseconds(20s));
    ASSERT_TRUE(status.has_value()) << "Ctrl+C did not end the game";
    ASSERT_TRUE(WIFEXITED(*status)) << terminaltest::DescribeStatus(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0xC000013A & 0xFF);
}

}  // namespace
