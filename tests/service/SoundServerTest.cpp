// The sound as a player hears it: played through a real PulseAudio daemon of
// the test's own and recorded from its null sink's monitor. The capture
// tests check the mix sample by sample; these check, by ear, what crosses
// the sound server: the game's sounds, the balance, speech, a prompt, the
// device chosen by name, and a server that dies and comes back mid-play.
#include "AudioFiles.h"
#include "Corvane.h"
#include "PulseServer.h"
#include "ScopedEnvironment.h"
#include "Testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Corvane::Sound;
using testsupport::Loudness;
using testsupport::MeasureLoudness;
using testsupport::PulseServer;

// A bound for liveness only: a sound server on a loaded machine may take a
// while, but a sound that never comes fails instead of hanging.
constexpr auto kPatience = std::chrono::milliseconds(15s);
constexpr std::size_t kWindow = testsupport::kJudgedFrames;

// Windows of `stereo` louder than `level` in both channels together.
int LoudWindows(const std::vector<float>& stereo, double level) {
    int loud = 0;
    for (std::size_t at = 0; at + kWindow <= stereo.size() / 2; at += kWindow)
        if (MeasureLoudness(stereo, at, at + kWindow).Both() > level) ++loud;
    return loud;
}

// The service's messages, kept for the test to wait on.
struct Messages {
    std::mutex mutex;
    std::condition_variable said;
    std::vector<std::string> lines;

    int Count(const std::string& part) {
        std::lock_guard lock(mutex);
        int n = 0;
        for (const auto& line : lines) n += line.find(part) != std::string::npos;
        return n;
    }
    bool WaitFor(const std::string& part, std::chrono::milliseconds patience) {
        std::unique_lock lock(mutex);
        return said.wait_for(lock, patience, [&] {
            for (const auto& line : lines)
                if (line.find(part) != std::string::npos) return true;
            return false;
        });
    }
};
Messages messages;

class ThroughSoundServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = testsupport::PulseServerMissing(); !missing.empty()) GTEST_SKIP() << missing;
        std::string error;
        ASSERT_TRUE(server_.Start(error)) << error;
        server_.UseInThisProcess();
        // Only the server's driver: falling back to another would pass silently.
        ::setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
        ::setenv("BARNBLAST_DATA", SOURCE_DIR "/Media", 1);
        ::unsetenv("BARNBLAST_CAPTURE");
        ASSERT_TRUE(server_.StartRecording(error)) << error;
        {
            std::lock_guard lock(messages.mutex);
            messages.lines.clear();
        }
        Corvane::SetMessageSink([](const char* line) {
            {
                std::lock_guard lock(messages.mutex);
                messages.lines.emplace_back(line);
            }
            messages.said.notify_all();
        });
    }
    void TearDown() override {
        Corvane::CloseLib();
        Corvane::SetMessageSink(nullptr);
        Corvane::SetAudioDevice("");
    }

    bool Hear(std::size_t from, const testsupport::Judgement& heard) {
        return server_.WaitToHear(from, heard, kPatience);
    }

    testsupport::ScopedEnvironment environment_{
        "PULSE_SERVER", "XDG_RUNTIME_DIR", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH",
        "HOME",         "SDL_AUDIODRIVER", "BARNBLAST_DATA",     "BARNBLAST_CAPTURE"};
    PulseServer server_;
};

const auto kSounding = testsupport::Sounding;

TEST_F(ThroughSoundServer, RoundsClucksAndMusicAreHeard) {
    ASSERT_TRUE(Corvane::InitLib(5));
    const std::size_t from = server_.RecordedFrames();
    Sound music("Media/Background.mp3");
    music.SetGroup(Corvane::Group::Music);
    music.Play(2, true, -1, 32);
    Sound cluck("Media/Chicken.wav");
    cluck.Play(1, true, 128, 255);
    // Two seconds as the round starts: sound in most of it, on both sides.
    ASSERT_TRUE(server_.WaitForFrames(from, 2 * PulseServer::kRate, kPatience));
    const auto heard = server_.Recorded(from);
    EXPECT_TRUE(testsupport::HeardIn(heard, kSounding));
    EXPECT_GE(LoudWindows(heard, 0.01), 12) << "of 20 windows";

    const auto streams = server_.PlayingStreams();
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].sink, "bbsink");
    std::cout << "the server reports " << streams[0].latency.bufferUs << " us of buffer and "
              << streams[0].latency.sinkUs << " us of sink latency\n";
}

TEST_F(ThroughSoundServer, CluckBalanceFollowsTheAim) {
    ASSERT_TRUE(Corvane::InitLib(5));
    Sound tone(testfiles::WriteWav("server-tone.wav", testfiles::Sine(4800), 1));
    tone.Play(1, true, 128, 255);
    // Each aim as the player hears it once it has crossed the server: the
    // near side at least four times the far one, the centre within 10%.
    struct Aim {
        int pan;
        const char* side;
        testsupport::Judgement heard;
    };
    const std::vector<Aim> aims = {
        {0, "hard left", [](const Loudness& l) { return l.left > 0.05 && l.left > 4 * l.right; }},
        {255, "hard right", [](const Loudness& l) { return l.right > 0.05 && l.right > 4 * l.left; }},
        {128, "centre", [](const Loudness& l) { return l.left > 0.05 && std::abs(l.left / l.right - 1) < 0.1; }},
        {34, "left of centre", [](const Loudness& l) { return l.right > 0.01 && l.left > 1.5 * l.right; }},
        {221, "right of centre", [](const Loudness& l) { return l.left > 0.01 && l.right > 1.5 * l.left; }},
    };
    for (const Aim& aim : aims) {
        const std::size_t from = server_.RecordedFrames();
        tone.Pan(aim.pan);
        EXPECT_TRUE(Hear(from, aim.heard)) << "pan " << aim.pan << " not heard " << aim.side;
    }
}

TEST_F(ThroughSoundServer, SpokenScoreAndPromptAreHeard) {
    ASSERT_TRUE(Corvane::InitLib(5));
    struct Said {
        const char* what;
        std::function<void()> say;
    };
    Sound prompt;
    const std::vector<Said> said = {
        {"a spoken score", [] { Corvane::SpeakNumber(35); }},
        {"the send-your-score prompt",
         [&] {
             prompt.Open("Media/SendScore.wav");
             prompt.Play(-1, false, 128, 255);
         }},
    };
    for (const Said& s : said) {
        // Silence before, so what is heard is this sound.
        const std::size_t quiet = server_.RecordedFrames();
        ASSERT_TRUE(server_.WaitForFrames(quiet, kWindow, kPatience));
        EXPECT_FALSE(testsupport::HeardIn(server_.Recorded(quiet), kSounding)) << "not silent before " << s.what;
        const std::size_t from = server_.RecordedFrames();
        s.say();
        // Speech and prompts are centred: as loud on both sides.
        EXPECT_TRUE(Hear(from, [](const Loudness& l) { return l.left > 0.02 && std::abs(l.left / l.right - 1) < 0.1; }))
            << s.what;
        ASSERT_TRUE(Corvane::testing::WaitSpeechIdle(10000));
        // Heard to its end: the recording goes quiet again.
        const std::size_t after = server_.RecordedFrames();
        EXPECT_TRUE(server_.WaitForRecording(
            after,
            [](const std::vector<float>& stereo) {
                return stereo.size() / 2 >= kWindow &&
                       MeasureLoudness(stereo, stereo.size() / 2 - kWindow, stereo.size() / 2).Both() < 1e-4;
            },
            kPatience))
            << s.what << " never ended";
    }
}

TEST_F(ThroughSoundServer, DeviceChosenByNameElseTheDefault) {
    // A second sink, made the default: only a device chosen by name plays
    // to the recorded one.
    ASSERT_TRUE(server_.Pactl(
        {"load-module", "module-null-sink", "sink_name=othersink", "sink_properties=device.description=OtherSink"}));
    ASSERT_TRUE(server_.Pactl({"set-default-sink", "othersink"}));
    // The recorder stays on the recorded sink's monitor, which the server
    // would otherwise move to the new default's.
    ASSERT_TRUE(server_.Pactl({"set-default-source", "bbsink.monitor"}));
    const auto devices = Corvane::AudioDevices();
    EXPECT_NE(std::find(devices.begin(), devices.end(), PulseServer::kSinkDescription), devices.end());
    EXPECT_NE(std::find(devices.begin(), devices.end(), "OtherSink"), devices.end());

    const std::string tonePath = testfiles::WriteWav("chosen-tone.wav", testfiles::Sine(4800), 1);
    struct Choice {
        std::string name;
        const char* sink;  // where the server plays it
        int linesSaid;
    };
    const std::vector<Choice> choices = {
        {PulseServer::kSinkDescription, "bbsink", 0},
        {"OtherSink", "othersink", 0},
        {"No Such Device", "othersink", 1},  // the default
    };
    for (const Choice& choice : choices) {
        SCOPED_TRACE(choice.name);
        Corvane::SetAudioDevice(choice.name);
        ASSERT_TRUE(Corvane::InitLib(5));
        {
            const std::size_t from = server_.RecordedFrames();
            Sound tone(tonePath);
            tone.Play(1, true, 128, 255);
            const auto streams = server_.PlayingStreams();
            ASSERT_EQ(streams.size(), 1u);
            EXPECT_EQ(streams[0].sink, choice.sink);
            // By ear on the recorded sink.
            if (std::string(choice.sink) == "bbsink") {
                EXPECT_TRUE(Hear(from, kSounding));
            }
        }
        Corvane::CloseLib();
        EXPECT_EQ(messages.Count("no audio device \"" + choice.name + "\""), choice.linesSaid);
    }
}

// Frames the service has mixed so far, whether a device pulls them or not.
std::atomic<long> mixedFrames{0};

TEST_F(ThroughSoundServer, LostServerIsSaidOncePlaysSilentlyAndComesBack) {
    ASSERT_TRUE(Corvane::InitLib(5));
    Corvane::testing::SetRenderObserver([](const float*, int frames) { mixedFrames += frames; });
    Sound tone(testfiles::WriteWav("lost-tone.wav", testfiles::Sine(4800), 1));
    tone.Play(1, true, 128, 255);
    ASSERT_TRUE(Hear(0, kSounding)) << "not heard before the server went";

    server_.Kill();
    ASSERT_TRUE(messages.WaitFor("the sound device is gone", kPatience));
    // Mixing goes on at its pace, with nobody to hear it; calls still work.
    const long mixed = mixedFrames.load();
    tone.Pan(0);
    Corvane::SpeakNumber(5);
    ASSERT_TRUE(Corvane::testing::WaitSpeechIdle(10000));
    while (mixedFrames.load() < mixed + PulseServer::kRate / 2) {
        ASSERT_EQ(messages.Count("the sound device is back"), 0) << "back without its server";
        std::this_thread::sleep_for(5ms);
    }

    std::string error;
    const auto restarted = std::chrono::steady_clock::now();
    ASSERT_TRUE(server_.Start(error)) << error;
    ASSERT_TRUE(messages.WaitFor("the sound device is back", kPatience));
    const auto back = std::chrono::steady_clock::now() - restarted;
    ASSERT_TRUE(server_.StartRecording(error)) << error;
    const std::size_t from = server_.RecordedFrames();
    // Back without a key or a call: the tone, panned while it was gone.
    EXPECT_TRUE(Hear(from, [](const Loudness& l) { return l.left > 0.05 && l.left > 4 * l.right; }));
    const auto ms = [](auto time) { return std::chrono::duration_cast<std::chrono::milliseconds>(time).count(); };
    std::cout << "reopened " << ms(back) << " ms and heard again " << ms(std::chrono::steady_clock::now() - restarted)
              << " ms after the server was started again\n";
    EXPECT_EQ(messages.Count("the sound device is gone"), 1);
    EXPECT_EQ(messages.Count("the sound device is back"), 1);
    Corvane::testing::SetRenderObserver(nullptr);
}

TEST_F(ThroughSoundServer, HungServerHoldsUpNeitherClosingNorTheNextStart) {
    ASSERT_TRUE(Corvane::InitLib(5));
    Sound tone(testfiles::WriteWav("hung-tone.wav", testfiles::Sine(4800), 1));
    tone.Play(1, true, 128, 255);
    ASSERT_TRUE(Hear(0, kSounding)) << "not heard before the server hung";

    server_.Freeze(true);
    struct Thaw {
        PulseServer& server;
        ~Thaw() { server.Freeze(false); }
    } thaw{server_};
    // SDL's audio thread now waits on the server, and closing waits for it.
    std::promise<void> closed;
    std::thread closer([&] {
        Corvane::CloseLib();
        closed.set_value();
    });
    const bool closedInTime = closed.get_future().wait_for(kPatience) == std::future_status::ready;
    if (!closedInTime) server_.Freeze(false);
    closer.join();
    ASSERT_TRUE(closedInTime) << "closing waited for the hung server";
    EXPECT_EQ(messages.Count("the sound device does not answer; leaving it behind"), 1);
    // A start meanwhile plays on without sound rather than wait too.
    EXPECT_FALSE(Corvane::InitLib(5));
    Corvane::CloseLib();
    EXPECT_EQ(messages.Count("the last sound device still does not answer"), 1);

    // Once the server answers, the device left behind closes, and a start
    // has sound again.
    server_.Freeze(false);
    const auto until = std::chrono::steady_clock::now() + kPatience;
    bool started = false;
    while (!(started = Corvane::InitLib(5)) && std::chrono::steady_clock::now() < until) {
        Corvane::CloseLib();
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(started);
    const std::size_t from = server_.RecordedFrames();
    Sound again(testfiles::WriteWav("hung-tone.wav", testfiles::Sine(4800), 1));
    again.Play(1, true, 128, 255);
    EXPECT_TRUE(Hear(from, kSounding));
}

}  // namespace
