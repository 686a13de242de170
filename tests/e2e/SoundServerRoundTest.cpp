// The real program in a pseudo-terminal, heard through a real PulseAudio
// daemon of the test's own: the round's cluck and music reach the sink, the
// cluck's balance follows the aim, and a sound server that dies mid-round
// leaves the game playing on silently until it is back.
#include "PulseServer.h"
#include "TempFolder.h"
#include "TerminalSession.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::Loudness;
using testsupport::PulseServer;

// Bounds for liveness only, on however loaded a machine.
constexpr auto kStartPatience = std::chrono::milliseconds(30s);
constexpr auto kHearPatience = std::chrono::milliseconds(15s);

// The cluck at the aim's side: near side at least twice the far one.
bool LeftHeard(const Loudness& l) { return l.left > 0.02 && l.left > 2 * l.right; }
bool RightHeard(const Loudness& l) { return l.right > 0.02 && l.right > 2 * l.left; }

int Occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class RoundThroughSoundServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = testsupport::PulseServerMissing(); !missing.empty()) GTEST_SKIP() << missing;
        fs::create_directory_symlink(fs::path(SOURCE_DIR) / "Media", dir_ / "Media");
        std::string error;
        ASSERT_TRUE(server_.Start(error)) << error;
        ASSERT_TRUE(server_.StartRecording(error)) << error;
    }

    // The game, on the server's driver only, scores going nowhere.
    terminaltest::Launch Game(std::vector<std::string> args,
                              std::vector<std::pair<std::string, std::string>> env = {}) const {
        terminaltest::Launch launch;
        launch.argv = {GAME_BIN};
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        launch.workingDir = dir_.path().string();
        launch.setEnv = server_.ClientEnvironment();
        launch.setEnv.emplace_back("SDL_AUDIODRIVER", "pulseaudio");
        launch.setEnv.emplace_back("BARNBLAST_OUTBOX", (dir_ / "outbox").string());
        launch.setEnv.emplace_back("BARNBLAST_SCORE_SITE", "127.0.0.1:9");
        launch.setEnv.emplace_back("XDG_CONFIG_HOME", (dir_ / "config").string());
        launch.setEnv.insert(launch.setEnv.end(), env.begin(), env.end());
        launch.unsetEnv = {"BARNBLAST_CAPTURE", "BARNBLAST_AUDIO_DEVICE"};
        return launch;
    }

    // Types `keys` and waits until the game has read them.
    static void Type(terminaltest::Session& game, const std::string& keys) {
        game.Send(keys);
        ASSERT_TRUE(game.WaitForInputTaken());
    }

    // Ctrl+C ends the game at once, as it always does.
    static void EndWithCtrlC(terminaltest::Session& game) {
        game.Send("\x03");
        const auto status = game.Wait();
        ASSERT_TRUE(status.has_value()) << "the game did not end: " << game.Output();
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << terminaltest::DescribeStatus(*status);
    }

    testsupport::TempFolder dir_{"barnblast-heard"};
    PulseServer server_;
};

TEST_F(RoundThroughSoundServer, CluckAndMusicFollowTheAimOnAnUnknownDevicesDefault) {
    terminaltest::Session game(Game({"--audio-device", "No Such Device"}));
    ASSERT_TRUE(game.WaitForKeyMode(kStartPatience)) << "the round did not start: " << game.Output();
    // The chicken starts where the aim does: the cluck centred, with the music.
    ASSERT_TRUE(server_.WaitToHear(0, testsupport::Sounding, kHearPatience)) << "the round is not heard";

    // One step right of the chicken: panned towards the left end.
    std::size_t from = server_.RecordedFrames();
    Type(game, "l");
    EXPECT_TRUE(server_.WaitToHear(from, LeftHeard, kHearPatience)) << "the cluck is not heard on the left";
    // Fourteen more: the right end.
    from = server_.RecordedFrames();
    Type(game, std::string(14, 'l'));
    EXPECT_TRUE(server_.WaitToHear(from, RightHeard, kHearPatience)) << "the cluck is not heard on the right";

    EXPECT_EQ(Occurrences(game.Output(), "no audio device \"No Such Device\""), 1) << game.Output();
    EndWithCtrlC(game);
}

TEST_F(RoundThroughSoundServer, ServerLostMidRoundPlaysOnAndComesBackWithoutAKey) {
    terminaltest::Session game(Game({}, {{"BARNBLAST_AUDIO_DEVICE", PulseServer::kSinkDescription}}));
    ASSERT_TRUE(game.WaitForKeyMode(kStartPatience)) << "the round did not start: " << game.Output();
    Type(game, "l");
    ASSERT_TRUE(server_.WaitToHear(0, LeftHeard, kHearPatience)) << "the cluck is not heard on the left";

    server_.Kill();
    ASSERT_TRUE(game.WaitForOutput(
        [](const std::string& out) { return out.find("the sound device is gone") != std::string::npos; },
        kHearPatience))
        << game.Output();
    // The round goes on: keys are read, and the aim moves to the right end.
    Type(game, std::string(14, 'l'));
    Type(game, "s");
    EXPECT_FALSE(game.Wait(200ms).has_value()) << "the game ended: " << game.Output();

    std::string error;
    ASSERT_TRUE(server_.Start(error)) << error;
    ASSERT_TRUE(server_.StartRecording(error)) << error;
    // No key pressed: the sound comes back by itself, where the aim now is.
    const std::size_t from = server_.RecordedFrames();
    EXPECT_TRUE(server_.WaitToHear(from, RightHeard, kHearPatience)) << "the sound did not come back";
    EXPECT_EQ(Occurrences(game.Output(), "the sound device is gone"), 1) << game.Output();
    EndWithCtrlC(game);
}

}  // namespace
