// The real program in a pseudo-terminal, started the way a shell starts it,
// with the sound output open on SDL's dummy driver: every way out ends it at
// once with the terminal exactly as it was and the waiting score untouched,
// Ctrl+Z hands the terminal back, and keys typed while the game is busy are
// never echoed.
#include "TerminalSession.h"
#include "delivery/Outbox.h"

#include "LoopbackPort.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using terminaltest::DescribeStatus;
using terminaltest::SameSettings;
using terminaltest::Session;

namespace {

// Loading the sounds and starting the output may take a while on a busy machine.
constexpr auto kStartPatience = std::chrono::milliseconds(30s);

// A loopback port nobody listens on: scores cannot be delivered.
int UnusedPort() {
    const int port = testsupport::FreeLoopbackPort();
    return port ? port : 9;  // discard: nobody listens there either
}

bool InKeyMode(const termios& settings) { return (settings.c_lflag & (ICANON | ECHO)) == 0; }

class GameInTerminal : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directory_symlink(fs::path(SOURCE_DIR) / "Media", dir_ / "Media");
        port_ = UnusedPort();
        // A score from an earlier game that the score table has not taken yet.
        const std::string id = "3f1c2b7a-9e4d-4c8b-a1f0-6d5e4c3b2a19";
        const std::string body = R"({"game":"Barnblast V2","score":35,"name":"Earlier Player","id":")" + id + R"("})";
        Corvane::detail::Outbox box(dir_ / "outbox");
        std::string error;
        ASSERT_TRUE(box.Add(id, {"http://127.0.0.1:" + std::to_string(port_) + "/api/scores", body}, error)) << error;
        waiting_ = OutboxContents();
        ASSERT_EQ(waiting_.size(), 1u);
    }

    terminaltest::Launch Game() const {
        terminaltest::Launch launch;
        launch.argv = {GAME_BIN};
        launch.workingDir = dir_.path().string();
        launch.setEnv = {{"SDL_AUDIODRIVER", "dummy"},
                         {"BARNBLAST_OUTBOX", (dir_ / "outbox").string()},
                         {"BARNBLAST_SCORE_SITE", "127.0.0.1:" + std::to_string(port_)}};
        launch.unsetEnv = {"BARNBLAST_CAPTURE"};
        return launch;
    }

    // Every file in the outbox with its bytes.
    std::map<std::string, std::string> OutboxContents() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::directory_iterator(dir_ / "outbox")) {
            std::ifstream in(entry.path(), std::ios::binary);
            files[entry.path().filename().string()] = std::string(std::istreambuf_iterator<char>(in), {});
        }
        return files;
    }

    testsupport::TempFolder dir_{"barnblast-signals"};
    int port_ = 0;
    std::map<std::string, std::string> waiting_;
};

struct Ending {
    const char* name;
    std::string typed;  // a key the terminal turns into the signal, or empty
    int signal;
};

void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.name; }

// Where the game is when the signal comes: waiting for a key in the round,
// or in the pause after a hit, when no read is waiting.
enum class Moment { InRound, AfterHit };

const char* MomentName(Moment moment) { return moment == Moment::InRound ? "InRound" : "AfterHit"; }

void PrintTo(Moment moment, std::ostream* out) { *out << MomentName(moment); }

class GameEnding : public GameInTerminal, public testing::WithParamInterface<std::tuple<Ending, Moment>> {};

// Ends with no further key: the signal, not the next key read, ends it.
TEST_P(GameEnding, EndsWithNoFurtherKeyAndTheTerminalAsItWas) {
    const Ending& ending = std::get<Ending>(GetParam());
    Session game(Game());
    ASSERT_TRUE(game.WaitForKeyMode(kStartPatience)) << "the round did not start: " << game.Output();
    if (std::get<Moment>(GetParam()) == Moment::AfterHit) {
        game.Send(" ");  // the aim starts on the chicken
        ASSERT_TRUE(game.WaitForInputTaken());
    }

    if (ending.typed.empty()) {
        ::kill(game.Pid(), ending.signal);
    } else {
        game.Send(ending.typed);
    }
    const auto status = game.Wait();
    ASSERT_TRUE(status.has_value()) << "the game did not end";
    ASSERT_TRUE(WIFSIGNALED(*status)) << DescribeStatus(*status) << "; output: " << game.Output();
    EXPECT_EQ(WTERMSIG(*status), ending.signal) << DescribeStatus(*status);
    EXPECT_TRUE(SameSettings(game.Settings(), game.Original()));
    EXPECT_EQ(OutboxContents(), waiting_) << "the waiting score is kept as it was";
}

INSTANTIATE_TEST_SUITE_P(Ways, GameEnding,
                         testing::Combine(testing::Values(Ending{"CtrlC", "\x03", SIGINT},
                                                          Ending{"CtrlBackslash", "\x1c", SIGQUIT},
                                                          Ending{"Term", "", SIGTERM}, Ending{"Hangup", "", SIGHUP}),
                                          testing::Values(Moment::InRound, Moment::AfterHit)),
                         [](const testing::TestParamInfo<std::tuple<Ending, Moment>>& info) {
                             return std::string(std::get<Ending>(info.param).name) +
                                    MomentName(std::get<Moment>(info.param));
                         });

TEST_F(GameInTerminal, KeysTypedDuringThePauseAfterAHitAreNeitherEchoedNorEdited) {
    Session game(Game());
    ASSERT_TRUE(game.WaitForKeyMode(kStartPatience)) << "the round did not start: " << game.Output();
    const std::string before = game.Output();
    game.Send(" ");  // a hit, then 300 ms with no read waiting
    ASSERT_TRUE(game.WaitForInputTaken());
    // Arrows, then an erase and a Ctrl+D that line editing would have acted on.
    game.Send("lll\x1b[C\x1b[D\x7f\x04");
    ASSERT_TRUE(game.WaitForInputTaken()) << "keys were held back";
    EXPECT_FALSE(game.Wait(500ms).has_value()) << "the game ended";
    EXPECT_EQ(game.Output(), before) << "typed keys were echoed";
    EXPECT_TRUE(InKeyMode(game.Settings()));

    game.Send("\x03");
    const auto status = game.Wait();
    ASSERT_TRUE(status.has_value()) << "the game did not end";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << DescribeStatus(*status);
    EXPECT_TRUE(SameSettings(game.Settings(), game.Original()));
}

TEST_F(GameInTerminal, CtrlZGivesTheTerminalBackAndFgTakesKeyModeAgain) {
    Session game(Game());
    ASSERT_TRUE(game.WaitForKeyMode(kStartPatience)) << "the round did not start: " << game.Output();
    game.Send("\x1a");
    const auto stopped = game.WaitForStop();
    ASSERT_TRUE(stopped.has_value()) << "the game did not stop";
    EXPECT_EQ(WSTOPSIG(*stopped), SIGTSTP);
    EXPECT_TRUE(SameSettings(game.Settings(), game.Original())) << "while stopped";

    const std::string before = game.Output();
    game.Continue();
    // Key mode is back before the next key is typed: that key is taken and
    // not echoed.
    ASSERT_TRUE(game.WaitForKeyMode());
    game.Send("s");
    EXPECT_TRUE(game.WaitForInputTaken());
    EXPECT_EQ(game.Output(), before) << "the key was echoed";

    game.Send("\x03");
    const auto status = game.Wait();
    ASSERT_TRUE(status.has_value()) << "the game did not end";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << DescribeStatus(*status);
    EXPECT_TRUE(SameSettings(game.Settings(), game.Original()));
    EXPECT_EQ(OutboxContents(), waiting_);
}

// The terminal window closed: its shell passes the hangup on, and the game
// may also see its input end first; either way it ends at once.
TEST_F(GameInTerminal, ClosingTheTerminalEndsTheGame) {
    Session game(Game());
    ASSERT_TRUE(game.WaitForKeyMode(kStartPatience)) << "the round did not start: " << game.Output();
    game.CloseInput();
    const auto status = game.Wait();
    ASSERT_TRUE(status.has_value()) << "the game did not end";
    EXPECT_TRUE((WIFSIGNALED(*status) && WTERMSIG(*status) == SIGHUP) ||
                (WIFEXITED(*status) && WEXITSTATUS(*status) == 0))
        << DescribeStatus(*status);
    EXPECT_EQ(OutboxContents(), waiting_);
}

// Practice by keys, on keys of one's own: after every sound is named, a
// round with no clock that the player's key ends, no "send your score?", and
// "play again?" answered.
TEST_F(GameInTerminal, PracticeEndsOnThePlayersKeyAndAsksNothingAboutTheScore) {
    terminaltest::Launch launch = Game();
    launch.argv = {GAME_BIN, "--practice", "--key-fire", "f", "--key-end-practice", "e"};
    Session game(launch);
    ASSERT_TRUE(game.WaitForKeyMode(kStartPatience)) << "the game did not start: " << game.Output();
    game.Send("fsen");  // taken once the sounds have been named
    const auto status = game.Wait(std::chrono::milliseconds(180s));
    ASSERT_TRUE(status.has_value()) << "the practice did not end: " << game.Output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << DescribeStatus(*status);
    EXPECT_EQ(game.Output(), "") << "the send prompt answered a key";
    EXPECT_TRUE(SameSettings(game.Settings(), game.Original()));
    EXPECT_EQ(OutboxContents(), waiting_);
}

}  // namespace
