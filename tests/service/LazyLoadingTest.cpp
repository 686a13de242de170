// The HTTP client and the speech engine are loaded when first used, not at
// start: the game's first sounds never wait for their libraries. Its own
// program, so no earlier test has loaded them.
#include "AudioFiles.h"
#include "Corvane.h"
#include "Testing.h"
#include "common/LazyLibrary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

bool Mapped(const std::string& library) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(library) != std::string::npos) return true;
    }
    return false;
}

TEST(LazyLoading, TheHttpClientAndSpeechEngineLoadOnlyWhenFirstUsed) {
    ASSERT_TRUE(Mapped("libopenal")) << "the mixer is linked as usual";
    ASSERT_FALSE(Mapped("libcurl")) << "loaded before main";
    ASSERT_FALSE(Mapped("libespeak-ng"));
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    {
        Corvane::Sound cluck(testfiles::WriteWav("cluck.wav", testfiles::Sine(4800), 1));
        cluck.Play(-1, true, 128, 255);
        Corvane::testing::Render(4800);
    }
    EXPECT_FALSE(Mapped("libcurl")) << "a session that sends nothing never needs it";
    EXPECT_FALSE(Mapped("libespeak-ng"));

    Corvane::SpeakNumber(7);
    // The speech thread loads it; a generous bound, never a measure of speed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Mapped("libespeak-ng") && std::chrono::steady_clock::now() < deadline) {
        Corvane::testing::Render(480);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(Mapped("libespeak-ng"));
    Corvane::CloseLib();
}

TEST(LazyLoading, AMissingLibraryIsSaidOnceAndEveryLookupFails) {
    Corvane::detail::LazyLibrary missing("libbarnblast-absent.so.9", "scores");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(missing.Find("curl_easy_init"), nullptr);
    EXPECT_EQ(missing.Find("curl_easy_init"), nullptr);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("scores: libbarnblast-absent.so.9 could not be loaded: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

}  // namespace
