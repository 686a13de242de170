// Every native handle the service takes in a session, it gives back: counted
// by the owners themselves over plays, closes, speech, capture and CloseLib.
#include "AudioFiles.h"
#include "Corvane.h"
#include "Testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using Corvane::Sound;
using Corvane::testing::NativeTallies;

void ExpectAllGivenBack() {
    for (const auto& tally : NativeTallies()) {
        EXPECT_EQ(tally.taken, tally.returned) << tally.kind << " handles kept after CloseLib";
    }
}

long Taken(const std::string& kind) {
    for (const auto& tally : NativeTallies()) {
        if (tally.kind == kind) return tally.taken;
    }
    return -1;
}

TEST(NativeHandles, AWholeSessionGivesBackEveryHandleItTook) {
    const auto capture = testfiles::TempDir() / "session.capture.wav";
    ::setenv("BARNBLAST_CAPTURE", capture.string().c_str(), 1);
    const auto shortOne = testfiles::WriteWav("short.wav", testfiles::Sine(9600), 1);
    const auto longOne = testfiles::WriteWav("long.wav", testfiles::Noise(3 * 48000), 1);
    const auto loop = testfiles::WriteWav("loop.wav", testfiles::Sine(4800), 1);

    Sound keptPastCloseLib;  // like the chicken: closed after CloseLib
    for (int session = 0; session < 2; ++session) {
        ASSERT_TRUE(Corvane::InitLib(5));  // the real output, on SDL's dummy driver
        keptPastCloseLib.Init(loop);
        keptPastCloseLib.Play(1, true, 128, 128);
        {
            Sound music(longOne);
            music.Play(2, true, -1, 32);
            for (int i = 0; i < 20; ++i) {
                Sound shot(shortOne);  // plays out after its close
                shot.Play(-1, false, 128, 128);
            }
            Sound prompt(longOne);  // fades after its close
            prompt.Play(-1, false, 128, 128);
            Sound reopened(shortOne);
            reopened.Open(longOne);  // the first file's handle goes at once
            Corvane::SpeakNumber(-5);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        Sound stillPlaying(shortOne);
        stillPlaying.Play(-1, false, 128, 128);
        Corvane::CloseLib();
        ExpectAllGivenBack();
    }
    keptPastCloseLib.Close();
    ::unsetenv("BARNBLAST_CAPTURE");

    ExpectAllGivenBack();
    for (const char* kind : {"OpenAL device", "OpenAL context", "OpenAL source", "OpenAL buffer", "SDL audio",
                             "SDL device", "capture file"}) {
        EXPECT_GE(Taken(kind), 2) << kind << " was never taken: the count proves nothing";
    }
}

}  // namespace
