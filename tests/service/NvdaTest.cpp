// Speech through NVDA on Windows, against a stand-in for its controller
// client library built beside this suite (NvdaStandIn.cpp), which notes each
// call it gets.
#include "AudioFiles.h"
#include "Corvane.h"
#include "ScopedEnvironment.h"
#include "Testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

class Nvda : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove(log_);
        ::setenv("BARNBLAST_NVDA_LOG", log_.string().c_str(), 1);
        ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    }
    void TearDown() override {
        Corvane::SetScreenReader(false);
        Corvane::CloseLib();
    }
    // What the stand-in was asked, a line a call.
    std::vector<std::string> Calls() const {
        std::vector<std::string> lines;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    static void SayAndWait(void (*say)()) {
        say();
        ASSERT_TRUE(Corvane::testing::WaitSpeechIdle(20000));
    }

    const testsupport::ScopedEnvironment environment_{"BARNBLAST_NVDA_LOG", "BARNBLAST_NVDA_DOWN"};
    const std::filesystem::path log_ = testfiles::TempDir() / "nvda.log";
};

TEST_F(Nvda, TakesEveryTextEachCuttingOffTheOneBefore) {
    Corvane::SetScreenReader(true);
    SayAndWait([] { Corvane::SpeakNumber(42); });
    SayAndWait([] { Corvane::SpeakText("l or right arrow, aim right. \xC3\xA9t\xC3\xA9"); });
    SayAndWait([] { Corvane::SpeakNumber(-7); });
    EXPECT_EQ(Calls(), (std::vector<std::string>{"test", "cancel", "speak 42", "cancel",
                                                 "speak l or right arrow, aim right. \xC3\xA9t\xC3\xA9", "cancel",
                                                 "speak minus 7"}));
    const auto mixed = Corvane::testing::Render(48000);
    EXPECT_EQ(*std::max_element(mixed.begin(), mixed.end()), 0.0f);  // our own voice kept quiet
}

TEST_F(Nvda, IsNotSpokenToWhileItDoesNotRun) {
    ::setenv("BARNBLAST_NVDA_DOWN", "1", 1);
    ::testing::internal::CaptureStderr();
    Corvane::SetScreenReader(true);
    SayAndWait([] { Corvane::SpeakNumber(42); });
    const std::string said = ::testing::internal::GetCapturedStderr();
    // SAPI, or our own voice after one line; never NVDA.
    EXPECT_EQ(Calls(), std::vector<std::string>{"test"});
    EXPECT_LE(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

}  // namespace
