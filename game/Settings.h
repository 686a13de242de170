// The player's own settings: kept in a small text file, each also a
// command-line option that overrides it (CommandLine.h). With no file and
// no option the game plays exactly as it always has.
#pragma once

#include <optional>
#include <string>
#include <string_view>

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
    int duck = 0;               // decibels the music steps down while speech plays; 0 leaves it
    // The keys of a round, as the byte ReadKey gives (KeyMap.h names them).
    int keyLeft = 'j';
    int keyRight = 'l';
    int keyFire = ' ';
    int keyScore = 's';
    int keyQuieter = '-';
    int keyLouder = '=';
    int keyHelp = 'h';
    int keyPause = 'p';
    int keyEndPractice = 'q';  // ends a practice round
};

// The settings in force; set at start, changed by keys during a round.
extern Settings settings;

// The settings file: $XDG_CONFIG_HOME/barnblast/settings, else
// ~/.config/barnblast/settings; %APPDATA%\Barnblast\settings.ini on Windows.
// "" when there is no such folder.
std::string SettingsFilePath();

// The settings the file holds: a missing, unreadable, odd or huge one
// leaves the defaults. A bad value is one line on standard error naming the
// setting and its allowed range, and that setting keeps its default.
Settings ReadSettingsFile();

// Keeps `s` in the settings file, replacing it in one step. False when it
// could not be kept; the game plays on with them all the same.
bool SaveSettings(const Settings& s);

// What a setting's value is, and so how it is written and checked.
enum class SettingKind {
    Percent,   // a whole number from 0 to 100
    Rate,      // words a minute, a whole number within eSpeak NG's range
    Voice,     // the name of an eSpeak NG voice
    Flag,      // on or off
    Decibels,  // a whole number of decibels from 0 to kMostDuck
    Key,       // one key of a round: a printable character, space, left or right
};

// The most the music may step down for speech, in decibels.
inline constexpr int kMostDuck = 40;

// One setting, by the name the file and its option give it: "music-volume"
// is "music-volume = 50" in the file and "--music-volume 50" on the
// command line.
struct Setting {
    std::string_view name;
    SettingKind kind;
    int Settings::*number = nullptr;  // a Percent's, Rate's, Decibels' or Key's place in Settings
    bool Settings::*flag = nullptr;   // a Flag's place in Settings
};

// The setting called `name`; nullptr for a name no setting has.
const Setting* FindSetting(std::string_view name);

// A Flag's value as a player may write it: on, yes, true or 1; off, no,
// false or 0. nullopt for any other word.
std::optional<bool> FlagValue(std::string_view text);

// Sets `setting` in `s` from `value`. A bad value sets its default instead
// and, unless `quiet`, says so in one line on standard error: "barnblast: ",
// then `where`, the setting's name, what it must be and the default used.
// False when the value was bad.
bool SetSetting(Settings& s, const Setting& setting, std::string_view value, const std::string& where,
                bool quiet = false);
