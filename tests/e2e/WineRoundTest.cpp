// The cross-built Windows game under Wine, in a pseudo-terminal, played as a
// player would: one full two-minute round in real time, paused a while, the
// score sent to a real score table on loopback; and a practice game played
// meanwhile.
#include "PulseServer.h"
#include "RoundHarness.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using namespace e2etest;

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

// Wine's audio drivers reach the server through these; the home stays the
// test's own, where Wine keeps its prefix unless told otherwise.
void PlayThroughServer(terminaltest::Launch& launch, const testsupport::PulseServer& server) {
    std::erase_if(launch.setEnv, [](const auto& variable) { return variable.first == "SDL_AUDIODRIVER"; });
    launch.unsetEnv.push_back("SDL_AUDIODRIVER");
    for (const auto& variable : server.ClientEnvironment())
        if (variable.first != "HOME") launch.setEnv.push_back(variable);
}

// The Windows name of a file under Wine's Z: drive, which is the Unix root.
std::string WindowsPath(const fs::path& path) {
    std::string out = "Z:" + path.string();
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

// What the game asked the screen reader to say, a line each ("speak TEXT",
// "cancel", "test"), as the stand-in for NVDA's library noted it.
std::string Spoken(const fs::path& log) {
    std::ifstream in(log);
    return {std::istreambuf_iterator<char>(in), {}};
}

class WineRound : public RoundTest {
protected:
    WineRound() : RoundTest("barnblast-wine") {}

    terminaltest::Launch WineGame(const fs::path& capture) const {
        terminaltest::Launch launch = Game({WINE_BIN, WINDOWS_EXE}, capture, WindowsPath);
        if (std::getenv("WINEDEBUG") == nullptr) launch.setEnv.emplace_back("WINEDEBUG", "-all");
        return launch;
    }

    // The game speaking through the stand-in for NVDA's library, put where
    // the game looks for the real one (its working folder, on the DLL path
    // too), which notes every text in `log`. False when the build was not
    // told where the stand-in is.
    static bool ThroughScreenReader(terminaltest::Launch& launch, const fs::path& folder, const fs::path& log) {
        const fs::path standIn = NVDA_STANDIN;
        if (standIn.empty()) return false;
        fs::copy_file(standIn, folder / standIn.filename(), fs::copy_options::overwrite_existing);
        launch.argv.emplace_back("--screen-reader");
        launch.setEnv.emplace_back("BARNBLAST_NVDA_LOG", WindowsPath(log));
        launch.setEnv.emplace_back("WINEPATH", WindowsPath(folder));
        return true;
    }
};

TEST_F(WineRound, PlayedByKeysScoreSentAndGameEndsWithZero) {
    // An empty name file in the working folder: the name is asked for and
    // kept there, where the test can read it.
    std::ofstream(dir_ / "name.dat").close();
    const fs::path capture = dir_ / "round.capture.wav";
    terminaltest::Launch launch = WineGame(capture);
    ASSERT_TRUE(ThroughScreenReader(launch, dir_.path(), dir_ / "round.nvda.log"))
        << "no stand-in for NVDA's library (BARNBLAST_NVDA_STANDIN): what the game says is not heard";
    terminaltest::Session game(launch);
    // Reading what Wine writes as it comes keeps its console from blocking.
    const Pause drain = [&](std::chrono::milliseconds time) {
        game.WaitForOutput([](const std::string&) { return false; }, time);
    };

    // The capture starts with the mixer, just before the round: once it
    // holds a second of sound the round runs, and keys typed from then on
    // wait in the console's input until the game reads them.
    ASSERT_TRUE(WaitForCapture(capture, 1, 180s, drain, 100ms)) << "the game did not start: " << game.Output();
    const auto roundStart = terminaltest::Clock::now();
    // Under Wine the console takes the keys at once, whenever the game reads
    // them: it has when it says what the last one asks.
    const fs::path roundLog = dir_ / "round.nvda.log";
    std::size_t heard = 0;
    TypePlannedRound(game, drain, 300ms, [&](const std::string& said) {
        for (const auto until = terminaltest::Clock::now() + 60s; terminaltest::Clock::now() < until; drain(100ms)) {
            const std::size_t at = Spoken(roundLog).find("speak " + said + "\n", heard);
            if (at == std::string::npos) continue;
            heard = at + 1;
            return true;
        }
        return false;
    });

    // At "send your score?" every key is answered with a line end; before it
    // keys write nothing.
    drain(1s);
    const std::size_t linesInRound = LineEnds(WithoutEscapes(game.Output()));

    // A practice game, meanwhile, in a folder of its own.
    const fs::path practice = dir_ / "practice";
    fs::create_directory(practice);
    const fs::path practiceCapture = practice / "practice.capture.wav";
    terminaltest::Launch practiceLaunch = WineGame(practiceCapture);
    ThroughScreenReader(practiceLaunch, practice, practice / "practice.nvda.log");
    PlayPractice(
        practiceLaunch, practiceCapture,
        [&](terminaltest::Session&, const Pause& both) {
            return WaitForCapture(practiceCapture, 1, 180s, both, 100ms);
        },
        drain);

    while (terminaltest::Clock::now() < roundStart + 115s) drain(1s);
    const auto atPrompt = [&](const std::string& written) { return LineEnds(WithoutEscapes(written)) > linesInRound; };
    while (!game.WaitForOutput(atPrompt, 1s)) {
        ASSERT_LT(terminaltest::Clock::now(), roundStart + 240s) << "the round did not end";
        game.Send("x");
    }
    ExpectPauseNotCounted(roundStart, terminaltest::Clock::now());

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
    ASSERT_TRUE(WaitForCapture(capture, 120, 120s, drain, 200ms)) << "the capture stopped growing";
    game.Send("n");  // no more rounds

    const auto status = game.Wait(std::chrono::milliseconds(60s));
    ASSERT_TRUE(status.has_value()) << "the game did not end: " << WithoutEscapes(game.Output());
    ASSERT_TRUE(WIFEXITED(*status)) << terminaltest::DescribeStatus(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0) << WithoutEscapes(game.Output());
    ExpectScoreSentOnce();
    ExpectHeardThroughTheRound(capture);  // by the Windows build of each library
    // The round said its score of 5, "paused" and "playing" on the way (see
    // above); the practice names its sounds, and its score is the hit with
    // the player's own fire key.
    const std::string practiced = Spoken(practice / "practice.nvda.log");
    for (const char* said : {"speak The cluck, far left.\n", "speak The music.\n", "speak 5\n"})
        EXPECT_NE(practiced.find(said), std::string::npos) << said << " in " << practiced;
}

// Ctrl+C in the console ends the game at once, as the system ends a console
// program it interrupts (STATUS_CONTROL_C_EXIT, of which Wine passes on the
// low byte), whatever the game was waiting for.
TEST_F(WineRound, CtrlCEndsTheGameAsInterrupted) {
    const fs::path capture = dir_ / "interrupted.capture.wav";
    terminaltest::Session game(WineGame(capture));
    const Pause drain = [&](std::chrono::milliseconds time) {
        game.WaitForOutput([](const std::string&) { return false; }, time);
    };
    ASSERT_TRUE(WaitForCapture(capture, 1, 180s, drain, 100ms)) << "the game did not start: " << game.Output();
    game.Send("l");
    game.Send("\x03");
    const auto status = game.Wait(std::chrono::milliseconds(20s));
    ASSERT_TRUE(status.has_value()) << "Ctrl+C did not end the game";
    ASSERT_TRUE(WIFEXITED(*status)) << terminaltest::DescribeStatus(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0xC000013A & 0xFF);
}

// Through WASAPI and Wine's PulseAudio driver to a real daemon, as a player
// on Linux hears the Windows build: in the run's prefix, and on the very
// first start of a fresh one, which Wine makes on the way.
TEST_F(WineRound, HeardThroughWasapiAndPulseAudio) {
    if (const std::string missing = testsupport::PulseServerMissing(); !missing.empty()) GTEST_SKIP() << missing;
    struct Prefix {
        const char* what;
        bool fresh;
    };
    for (const Prefix prefix : {Prefix{"the run's prefix", false}, Prefix{"a fresh prefix", true}}) {
        SCOPED_TRACE(prefix.what);
        testsupport::PulseServer server;
        std::string error;
        ASSERT_TRUE(server.Start(error)) << error;
        ASSERT_TRUE(server.StartRecording(error)) << error;
        const fs::path capture = dir_ / (std::string(prefix.fresh ? "fresh" : "run") + ".capture.wav");
        terminaltest::Launch launch = WineGame(capture);
        PlayThroughServer(launch, server);
        if (prefix.fresh) launch.setEnv.emplace_back("WINEPREFIX", (dir_ / "fresh-prefix").string());
        terminaltest::Session game(launch);
        const Pause drain = [&](std::chrono::milliseconds time) {
            game.WaitForOutput([](const std::string&) { return false; }, time);
        };
        // A fresh prefix is made first, which takes a while.
        ASSERT_TRUE(WaitForCapture(capture, 1, 300s, drain, 100ms)) << "the game did not start: " << game.Output();
        // Heard on the sink, the whole way through the server; then the cluck
        // moves with the aim, one step right of the chicken.
        const auto heard = [&](std::size_t from, const testsupport::Judgement& judgement) {
            for (const auto until = terminaltest::Clock::now() + 30s; terminaltest::Clock::now() < until;) {
                if (testsupport::HeardIn(server.Recorded(from), judgement)) return true;
                drain(100ms);
            }
            return false;
        };
        EXPECT_TRUE(heard(0, testsupport::Sounding)) << "silent through the server";
        const std::size_t from = server.RecordedFrames();
        game.Send("l");
        EXPECT_TRUE(heard(from, [](const testsupport::Loudness& l) { return l.left > 0.02 && l.left > 2 * l.right; }))
            << "the cluck did not move left";
        game.Send("\x03");
        EXPECT_TRUE(game.Wait(std::chrono::milliseconds(20s)).has_value()) << "Ctrl+C did not end the game";
    }
}

}  // namespace
