// Speech through the player's screen reader: a real speech-dispatcher of the
// test's own, speaking with its eSpeak NG module into a private PulseAudio
// daemon whose sink is recorded; and the game's own voice when there is none.
#include "ChildProcess.h"
#include "Corvane.h"
#include "PulseServer.h"
#include "ScopedEnvironment.h"
#include "Testing.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// speech-dispatcher's library leaks the message of a connection it could not
// make (tests/lsan.supp leaves it out); the full unwinding lets the leak
// checker see that the allocation is the library's. Read by
// AddressSanitizer alone.
// NOLINTNEXTLINE(readability-identifier-naming): the name AddressSanitizer looks for
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::MeasureLoudness;
using testsupport::PulseServer;

// Bounds for liveness only.
constexpr auto kPatience = std::chrono::milliseconds(20s);
constexpr std::size_t kWindow = 4800;  // 100 ms
constexpr double kHeard = 1e-3;        // root mean square of speech, well above silence

const char* const kDaemon = "/usr/bin/speech-dispatcher";

// A sentence that takes several seconds to say.
const char* const kLongText =
    "This is a long sentence, spoken slowly and clearly, so that a new number has something to cut off "
    "before it comes to its natural end many seconds from now.";

// First frame at or after `from` of a 100 ms window with speech in it, or
// npos; and the end of the last such window.
std::size_t FirstSpeech(const std::vector<float>& stereo, std::size_t from = 0) {
    for (std::size_t at = from; at + kWindow <= stereo.size() / 2; at += kWindow)
        if (MeasureLoudness(stereo, at, at + kWindow).Both() > kHeard) return at;
    return std::string::npos;
}
std::size_t LastSpeechEnd(const std::vector<float>& stereo) {
    std::size_t end = 0;
    for (std::size_t at = 0; at + kWindow <= stereo.size() / 2; at += kWindow)
        if (MeasureLoudness(stereo, at, at + kWindow).Both() > kHeard) end = at + kWindow;
    return end;
}
// True once speech has started after `from` and been quiet for a second.
bool SpokenAndDone(const std::vector<float>& stereo) {
    const std::size_t end = LastSpeechEnd(stereo);
    return end > 0 && stereo.size() / 2 >= end + PulseServer::kRate;
}

class ScreenReader : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = testsupport::PulseServerMissing(); !missing.empty()) GTEST_SKIP() << missing;
        if (::access(kDaemon, X_OK) != 0) GTEST_SKIP() << "speech-dispatcher is not installed";
        std::string error;
        ASSERT_TRUE(pulse_.Start(error)) << error;
        pulse_.UseInThisProcess();
        StartSpeechDispatcher();
        ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
        Corvane::SetScreenReader(true);
        ASSERT_TRUE(Corvane::testing::WaitSpeechIdle(20000));
        ASSERT_TRUE(pulse_.StartRecording(error)) << error;
    }
    void TearDown() override {
        Corvane::SetScreenReader(false);
        Corvane::CloseLib();
        // Asked to end, it ends its speech module too.
        if (daemon_ > 0) {
            ::kill(daemon_, SIGTERM);
            ::waitpid(daemon_, nullptr, 0);
        }
    }

    // speech-dispatcher alone in the scratch folder: its own socket, its
    // eSpeak NG module, sound to the private PulseAudio daemon.
    void StartSpeechDispatcher() {
        const fs::path folder = pulse_.Folder() / "speechd";
        fs::create_directories(folder / "log");
        std::ofstream(folder / "speechd.conf") << "LogLevel 3\nLogDir \"" << (folder / "log").string()
                                               << "\"\nAudioOutputMethod \"pulse\"\n"
                                                  "AddModule \"espeak-ng\" \"sd_espeak-ng\" \"espeak-ng.conf\"\n"
                                                  "DefaultModule espeak-ng\n";
        const std::string socket = (folder / "speechd.sock").string();
        const std::string config = folder.string(), pid = (folder / "pid").string();
        daemon_ = testsupport::Spawn(
            {kDaemon, "-s", "-t", "0", "-C", config, "-c", "unix_socket", "-S", socket, "-P", pid}, {}, -1, -1);
        ASSERT_TRUE(testsupport::WaitToAnswer(daemon_, socket)) << "speech-dispatcher did not start";
        ::setenv("SPEECHD_ADDRESS", ("unix_socket:" + socket).c_str(), 1);
    }

    // Speaks `say` and records until it is over; the recording from then on.
    std::vector<float> Hear(void (*say)()) {
        const std::size_t from = pulse_.RecordedFrames();
        say();
        EXPECT_TRUE(pulse_.WaitForRecording(from, SpokenAndDone, kPatience));
        return pulse_.Recorded(from);
    }

    const testsupport::ScopedEnvironment environment_{"SPEECHD_ADDRESS", "PULSE_SERVER", "XDG_RUNTIME_DIR",
                                                      "PULSE_RUNTIME_PATH", "HOME"};
    PulseServer pulse_;
    pid_t daemon_ = -1;
};

TEST_F(ScreenReader, SpeaksTheNumbersAndNotTheGamesOwnVoice) {
    const auto heard = Hear([] { Corvane::SpeakNumber(42); });
    ASSERT_NE(FirstSpeech(heard), std::string::npos) << "nothing came through speech-dispatcher";
    // "forty-two" takes a good fraction of a second, not many seconds.
    const double seconds = static_cast<double>(LastSpeechEnd(heard) - FirstSpeech(heard)) / PulseServer::kRate;
    EXPECT_GT(seconds, 0.2);
    EXPECT_LT(seconds, 3.0);
    // The mixer said nothing itself.
    const auto mixed = Corvane::testing::Render(PulseServer::kRate);
    EXPECT_EQ(*std::max_element(mixed.begin(), mixed.end()), 0.0f);
}

TEST_F(ScreenReader, ANewNumberCutsOffWhatItWasSaying) {
    const auto alone = Hear([] { Corvane::SpeakText(kLongText); });
    const std::size_t aloneLength = LastSpeechEnd(alone) - FirstSpeech(alone);
    ASSERT_GT(aloneLength, 3u * PulseServer::kRate) << "the long sentence should take seconds";

    const std::size_t from = pulse_.RecordedFrames();
    Corvane::SpeakText(kLongText);
    // Once it is heard, a number interrupts it.
    ASSERT_TRUE(pulse_.WaitToHear(
        from, [](const testsupport::Loudness& l) { return l.Both() > kHeard; }, kPatience));
    Corvane::SpeakNumber(7);
    ASSERT_TRUE(pulse_.WaitForRecording(from, SpokenAndDone, kPatience));
    const auto cut = pulse_.Recorded(from);
    EXPECT_LT(LastSpeechEnd(cut) - FirstSpeech(cut), aloneLength / 2);
}

}  // namespace

// Without a screen reader: one line, and the game's own voice speaks on.
TEST(NoScreenReader, OneLineSaysSoAndTheGamesVoiceSpeaks) {
    const testsupport::ScopedEnvironment environment{"SPEECHD_ADDRESS"};
    const fs::path nowhere = fs::temp_directory_path() / "barnblast-no-speechd" / "speechd.sock";
    ::setenv("SPEECHD_ADDRESS", ("unix_socket:" + nowhere.string()).c_str(), 1);
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    ::testing::internal::CaptureStderr();
    Corvane::SetScreenReader(true);
    Corvane::SpeakNumber(25);
    ASSERT_TRUE(Corvane::testing::WaitSpeechIdle(20000));
    const std::string said = ::testing::internal::GetCapturedStderr();
    const auto mixed = Corvane::testing::Render(PulseServer::kRate * 2);
    Corvane::SetScreenReader(false);
    Corvane::CloseLib();
    EXPECT_EQ(said.rfind("speech: no screen reader (speech-dispatcher did not answer: Can't connect", 0), 0u) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
    EXPECT_GT(*std::max_element(mixed.begin(), mixed.end()), 0.05f);
}
