// The player's settings: the file, the options over it, and files that are
// anything but a small text file, none of which may stop the game.
#include "CommandLine.h"
#include "Platform.h"
#include "Settings.h"

#include "PosixShims.h"
#include "ScopedEnvironment.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// XDG_CONFIG_HOME and APPDATA point at a scratch folder, so the real home
// is never read or written; all restored afterwards.
class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "APPDATA"})
            ::setenv(name, root_.path().string().c_str(), 1);
        file_ = SettingsFilePath();
        fs::create_directories(file_.parent_path());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(file_, fs::perms::owner_all, ignored);
    }

    void Write(const std::string& text) { std::ofstream(file_, std::ios::binary) << text; }

    // The settings and what was said on standard error.
    std::pair<Settings, std::string> Load(const std::vector<std::string>& args = {},
                                          std::vector<std::string>* unknown = nullptr) {
        std::vector<std::string> rest;
        ::testing::internal::CaptureStderr();
        const Settings s = LoadSettings(args, unknown ? *unknown : rest);
        return {s, ::testing::internal::GetCapturedStderr()};
    }

    const testsupport::TempFolder root_{"barnblast-settings"};
    fs::path file_;

private:
    testsupport::ScopedEnvironment environment_{"HOME", "XDG_CONFIG_HOME", "APPDATA"};
};

void ExpectVolumes(const Settings& s, int music, int effects, int speech) {
    EXPECT_EQ(s.musicVolume, music);
    EXPECT_EQ(s.effectsVolume, effects);
    EXPECT_EQ(s.speechVolume, speech);
}

// Lines on standard error, each naming `name` and the allowed range.
void ExpectComplaints(const std::string& err, int lines, const std::string& name) {
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), lines) << err;
    if (lines > 0) {
        EXPECT_NE(err.find(name + " must be a whole number from 0 to 100; using 100"), std::string::npos) << err;
    }
}

TEST_F(SettingsFile, FileValuesAndBadOnesKeepTheirDefault) {
    const struct {
        std::string text;
        int music, effects, speech, lines;
    } cases[] = {
        {"", 100, 100, 100, 0},
        {"music-volume = 50\neffects-volume=0\n  speech-volume\t=  7  ", 50, 0, 7, 0},
        {"# quiet music\n\n# music-volume = 5\nmusic-volume = 30\r\neffects-volume = 70\r\n", 30, 70, 100, 0},
        {"volume-of-clucks = 7\nmusic-volume\nmusic-volume = 40\n", 40, 100, 100, 0},  // a later version's, or none
        {"\0\xff\xfe=\x01\nmusic-volume = 20\n\x80\x81=\n"s, 20, 100, 100, 0},
        {"music-volume = 101\n", 100, 100, 100, 1},
        {"music-volume = -1\n", 100, 100, 100, 1},
        {"music-volume = 5.5\n", 100, 100, 100, 1},
        {"music-volume = fifty\n", 100, 100, 100, 1},
        {"music-volume = 0x10\n", 100, 100, 100, 1},
        {"music-volume =\n", 100, 100, 100, 1},
        {"music-volume = 60\nmusic-volume = 1000\n", 100, 100, 100, 1},
        {"music-volume = x\nmusic-volume = y\nmusic-volume = z\n", 100, 100, 100, 1},  // one line, not three
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Write(c.text);
        const auto [s, err] = Load();
        ExpectVolumes(s, c.music, c.effects, c.speech);
        ExpectComplaints(err, c.lines, "settings file " + file_.string() + ": music-volume");
    }
}

TEST_F(SettingsFile, OptionsOverrideTheFileWithoutSavingIt) {
    const std::string text = "music-volume = 50\neffects-volume = 60\n";
    Write(text);
    const struct {
        std::vector<std::string> args;
        int music, effects, speech, lines;
        std::vector<std::string> unknown;
    } cases[] = {
        {{}, 50, 60, 100, 0, {}},
        {{"--music-volume", "20"}, 20, 60, 100, 0, {}},
        {{"--speech-volume=5", "--effects-volume", "0"}, 50, 0, 5, 0, {}},
        {{"--frobnicate", "--music-volume", "7", "play"}, 7, 60, 100, 0, {"--frobnicate", "play"}},
        {{"--music-volume", "200"}, 100, 60, 100, 1, {}},  // the default, not the file's
        {{"--music-volume=-3"}, 100, 60, 100, 1, {}},
        {{"--music-volume"}, 100, 60, 100, 1, {}},
        {{"--music-volume", "--effects-volume", "10"}, 100, 10, 100, 1, {}},  // an option is not a value
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<std::string> unknown;
        const auto [s, err] = Load(c.args, &unknown);
        ExpectVolumes(s, c.music, c.effects, c.speech);
        ExpectComplaints(err, c.lines, "barnblast: --music-volume");
        EXPECT_EQ(unknown, c.unknown);
    }
    std::ifstream in(file_, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
}

TEST_F(SettingsFile, SpeechRateAndVoiceFromTheFileAndOptions) {
    Write("speech-rate = 300\nvoice = de\n");
    const struct {
        std::vector<std::string> args;
        int rate;
        std::string voice, said;
    } cases[] = {
        {{}, 300, "de", ""},
        {{"--speech-rate", "80", "--voice", "en-us"}, 80, "en-us", ""},
        {{"--voice=mb/mb-en1", "--speech-rate=450"}, 450, "mb/mb-en1", ""},
        {{"--speech-rate", "79"},
         175,
         "de",
         "barnblast: --speech-rate must be a whole number from 80 to 450; using 175\n"},
        {{"--voice", "de; rm -rf"}, 300, "en", "barnblast: --voice must be the name of an eSpeak NG voice; using en\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const auto [s, err] = Load(c.args);
        EXPECT_EQ(s.speechRate, c.rate);
        EXPECT_EQ(s.voice, c.voice);
        EXPECT_EQ(err, c.said);
    }
}

TEST_F(SettingsFile, SwitchesFromTheFileAndOptions) {
    Write("one-ear = on\nheadphones = yes\nscreen-reader = maybe\n");
    const struct {
        std::vector<std::string> args;
        bool oneEar, headphones, screenReader;
        std::string said;
        std::vector<std::string> unknown;
    } cases[] = {
        {{}, true, true, false, "screen-reader must be on or off; using off\n", {}},
        {{"--one-ear=off", "--screen-reader"}, false, true, true, "", {}},
        {{"--headphones", "off", "--one-ear", "--screen-reader", "0"}, true, false, false, "", {}},
        {{"--screen-reader", "play"}, true, true, true, "", {"play"}},  // not a switch's word: not its value
        {{"--one-ear=loud"}, false, true, false, "--one-ear must be on or off; using off\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<std::string> unknown;
        const auto [s, err] = Load(c.args, &unknown);
        EXPECT_EQ(s.oneEar, c.oneEar);
        EXPECT_EQ(s.headphones, c.headphones);
        EXPECT_EQ(s.screenReader, c.screenReader);
        EXPECT_NE(err.find(c.said), std::string::npos) << err;
        EXPECT_EQ(unknown, c.unknown);
    }
}

TEST_F(SettingsFile, KeysAndDuckFromTheFileAndOptions) {
    Write("key-fire = f\nduck = 12\nkey-louder = =\n");
    const std::string refused =
        " must be one printable character other than y, n, H, K, M and P (the answers and "
        "the arrows), or space, left or right; using ";
    const struct {
        std::vector<std::string> args;
        int fire, left, score, louder, duck;
        std::string said;
    } cases[] = {
        {{}, 'f', 'j', 's', '=', 12, ""},
        {{"--key-left", "left", "--duck=0", "--key-score", "space"}, 'f', platform::kArrowLeft, ' ', '=', 0, ""},
        {{"--key-score=f"},
         ' ',
         'j',
         's',
         '=',
         12,
         "barnblast: key-fire and key-score are both the key f; they keep their defaults\n"},
        {{"--key-score=f", "--key-left=f"},
         ' ',
         'j',
         's',
         '=',
         12,
         "barnblast: key-left, key-fire and key-score are all the key f; they keep their defaults\n"},
        {{"--key-fire", "left"},
         ' ',
         'j',
         's',
         '=',
         12,
         "barnblast: key-left and key-fire are both the key left; they keep their defaults\n"},
        {{"--key-fire", "y"}, ' ', 'j', 's', '=', 12, "barnblast: --key-fire" + refused + "space\n"},
        {{"--key-louder=M"}, 'f', 'j', 's', '=', 12, "barnblast: --key-louder" + refused + "=\n"},
        {{"--key-score", "ss"}, 'f', 'j', 's', '=', 12, "barnblast: --key-score" + refused + "s\n"},
        {{"--duck", "41"}, 'f', 'j', 's', '=', 0, "barnblast: --duck must be a whole number from 0 to 40; using 0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const auto [s, err] = Load(c.args);
        EXPECT_EQ(s.keyFire, c.fire);
        EXPECT_EQ(s.keyLeft, c.left);
        EXPECT_EQ(s.keyScore, c.score);
        EXPECT_EQ(s.keyLouder, c.louder);
        EXPECT_EQ(s.duck, c.duck);
        EXPECT_EQ(err, c.said);
    }
}

TEST_F(SettingsFile, SurviveSaveThenLoad) {
    fs::remove_all(file_.parent_path());  // the first save makes the folder
    for (const Settings& saved :
         {Settings{0, 55, 100, 175, "en"}, Settings{10, 20, 30, 90, "en-gb", true, false, true},
          Settings{.duck = 6, .keyLeft = platform::kArrowLeft, .keyFire = ' ', .keyLouder = '='}}) {
        ASSERT_TRUE(SaveSettings(saved));
        const auto [s, err] = Load();
        ExpectVolumes(s, saved.musicVolume, saved.effectsVolume, saved.speechVolume);
        EXPECT_EQ(s.speechRate, saved.speechRate);
        EXPECT_EQ(s.voice, saved.voice);
        EXPECT_EQ(s.oneEar, saved.oneEar);
        EXPECT_EQ(s.headphones, saved.headphones);
        EXPECT_EQ(s.screenReader, saved.screenReader);
        EXPECT_EQ(s.duck, saved.duck);
        EXPECT_EQ(s.keyLeft, saved.keyLeft);
        EXPECT_EQ(s.keyFire, saved.keyFire);
        EXPECT_EQ(s.keyLouder, saved.keyLouder);
        EXPECT_EQ(err, "");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(file_.parent_path()), {}), 1);  // no temporary left
}

TEST_F(SettingsFile, SaveFailsQuietlyWhereNoFileCanBe) {
    fs::create_directory(file_);  // a folder in the file's place
    EXPECT_FALSE(SaveSettings(Settings{}));
    fs::remove_all(file_.parent_path());
    std::ofstream(file_.parent_path()) << "a file where the folder goes";
    EXPECT_FALSE(SaveSettings(Settings{}));
}

// A file cut off at the limit ends in half a line, "music-volume = 1" of
// "music-volume = 100", which must not count.
std::string HugeFile() {
    std::string text = "music-volume = 40\n";
    text += std::string(64 * 1024 - 16 - text.size() - 1, '#') + "\n";
    text += "music-volume = 100\n";
    while (text.size() < 10 * 1024 * 1024) text += "speech-volume = 3\n";
    return text;
}

TEST_F(SettingsFile, OddFilesLeaveTheDefaults) {
    const struct {
        const char* what;
        void (*make)(const fs::path&);
        int music, speech;
    } cases[] = {
        {"folder", [](const fs::path& p) { fs::create_directory(p); }, 100, 100},
#ifndef _WIN32
        {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, 100, 100},
#endif
        {"garbage",
         [](const fs::path& p) {
             std::string bytes(4096, '\0');
             for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) % 251);
             std::ofstream(p, std::ios::binary) << bytes;
         },
         100, 100},
        {"huge", [](const fs::path& p) { std::ofstream(p, std::ios::binary) << HugeFile(); }, 40, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(file_);
        c.make(file_);
        const auto [s, err] = Load();
        ExpectVolumes(s, c.music, 100, c.speech);
    }
}

#ifndef _WIN32
TEST_F(SettingsFile, UnreadableFileLeavesTheDefaults) {
    if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not bind root";
    Write("music-volume = 5\n");
    fs::permissions(file_, fs::perms::none);
    const auto [s, err] = Load();
    ExpectVolumes(s, 100, 100, 100);
    EXPECT_EQ(err, "");
}

TEST(SettingsPath, FromTheEnvironment) {
    const struct {
        const char *config, *home, *expected;
    } cases[] = {
        {"/c", "/h", "/c/barnblast/settings"},
        {"relative", "/h", "/h/.config/barnblast/settings"},
        {nullptr, "/h", "/h/.config/barnblast/settings"},
        {nullptr, nullptr, ""},
    };
    const testsupport::ScopedEnvironment environment{"HOME", "XDG_CONFIG_HOME"};
    for (const auto& c : cases) {
        c.config ? ::setenv("XDG_CONFIG_HOME", c.config, 1) : ::unsetenv("XDG_CONFIG_HOME");
        c.home ? ::setenv("HOME", c.home, 1) : ::unsetenv("HOME");
        EXPECT_EQ(SettingsFilePath(), c.expected);
    }
    EXPECT_FALSE(SaveSettings(Settings{}));  // no home: nothing kept, nothing made
}
#endif

}  // namespace
