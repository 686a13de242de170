// The player's own settings: kept in a small text file, each also a
// command-line option that overrides it. With no file and no option the
// game plays exactly as it always has.
#pragma once

#include <string>
#include <vector>

// Percentages of the level each kind of sound has always been played at:
// 100 is that level, 50 half its amplitude (-6 dB), 0 silent.
struct Settings {
    int musicVolume = 100;      // the background music
    int effectsVolume = 100;    // cluck, shot, kill and the spoken prompts
    int speechVolume = 100;     // the spoken numbers
    int speechRate = 175;       // words per minute, eSpeak NG's 80..450; 175 its own
    std::string voice = "en";   // an installed eSpeak NG voice
    bool oneEar = false;        // both channels the same; the aim's offset heard in pitch
    bool headphones = false;    // the cluck's positions rendered for headphones (HRTF)
    bool screenReader = false;  // numbers and help through the player's own screen reader
};

// The settings in force; set at start, changed by keys during a round.
extern Settings settings;

// The settings file: $XDG_CONFIG_HOME/barnblast/settings, else
// ~/.config/barnblast/settings; %APPDATA%\Barnblast\settings.ini on Windows.
// "" when there is no such folder.
std::string SettingsFilePath();

// Reads the settings file (a missing, unreadable, odd or huge one leaves the
// defaults) and then the options in `args` (the command line without the
// program's name) over it. A bad value, in the file or an option, is one
// line on standard error naming the setting and its allowed range, and that
// setting keeps its default. Options it does not know are left in
// `unknown`, for the caller to refuse.
Settings LoadSettings(const std::vector<std::string>& args, std::vector<std::string>& unknown);

// Keeps `s` in the settings file, replacing it in one step. False when it
// could not be kept; the game plays on with them all the same.
bool SaveSettings(const Settings& s);

// The options as --help lists them, one per line.
extern const char* const kSettingsHelp;
