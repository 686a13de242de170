// Common ground for the game's tests: fresh state, fake clock, recorded
// service calls, standard output captured, a scratch working folder.
#pragma once

#include "FakePlatform.h"
#include "Game.h"
#include "Platform.h"
#include "PosixShims.h"
#include "RecordingService.h"
#include "Settings.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <sstream>

class GameTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        chickenSound.Init("Media/Chicken.wav");
        recording::Reset({{"scoreless.wav", 3138}});
        score = chickenPosition = aimPosition = 0;
        roundRunning = false;
        previousDir_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        // The settings the keys keep go to the scratch folder, never home.
        for (const char* folder : {"XDG_CONFIG_HOME", "APPDATA"}) ::setenv(folder, dir_.path().string().c_str(), 1);
        settings = Settings{};
        previousOut_ = std::cout.rdbuf(out_.rdbuf());
    }
    void TearDown() override {
        fake::Finish();
        std::cout.rdbuf(previousOut_);
        std::filesystem::current_path(previousDir_);
    }

    // Keys at the given times after the previous key.
    static std::vector<fake::Key> Keys(std::initializer_list<std::pair<std::int64_t, int>> keys) {
        std::vector<fake::Key> out;
        for (auto [after, byte] : keys) out.push_back({after, byte});
        return out;
    }

    static long Count(const std::vector<std::string>& calls, const std::string& what) {
        return std::count(calls.begin(), calls.end(), what);
    }

    // The time of the first recorded call equal to `what`, or -1.
    static std::int64_t TimeOf(const std::string& what, int nth = 0) {
        for (auto& c : recording::Calls())
            if (c.what == what && nth-- == 0) return c.atMs;
        return -1;
    }

    // The position of the nth recorded call equal to `what`, or -1.
    static long IndexOf(const std::string& what, int nth = 0) {
        auto calls = recording::What();
        for (std::size_t i = 0; i < calls.size(); ++i)
            if (calls[i] == what && nth-- == 0) return static_cast<long>(i);
        return -1;
    }

    std::ostringstream out_;

private:
    testsupport::TempFolder dir_{"barnblast-game"};
    std::filesystem::path previousDir_;
    std::streambuf* previousOut_ = nullptr;
};
