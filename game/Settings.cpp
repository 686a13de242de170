#include "Settings.h"

#include "Corvane.h"
#include "KeyMap.h"

#include "Files.h"
#include "Folders.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <system_error>

Settings settings;

namespace {

// A settings file is a few lines; anything past this is not read, so a huge
// file costs no more than a small one.
constexpr std::size_t kMaxSettingsBytes = 64 * 1024;

constexpr Setting kSettings[] = {
    {"music-volume", SettingKind::Percent, &Settings::musicVolume},
    {"effects-volume", SettingKind::Percent, &Settings::effectsVolume},
    {"speech-volume", SettingKind::Percent, &Settings::speechVolume},
    {"speech-rate", SettingKind::Rate, &Settings::speechRate},
    {"voice", SettingKind::Voice},
    {"one-ear", SettingKind::Flag, nullptr, &Settings::oneEar},
    {"headphones", SettingKind::Flag, nullptr, &Settings::headphones},
    {"screen-reader", SettingKind::Flag, nullptr, &Settings::screenReader},
    {"duck", SettingKind::Decibels, &Settings::duck},
    {"key-left", SettingKind::Key, &Settings::keyLeft},
    {"key-right", SettingKind::Key, &Settings::keyRight},
    {"key-fire", SettingKind::Key, &Settings::keyFire},
    {"key-score", SettingKind::Key, &Settings::keyScore},
    {"key-quieter", SettingKind::Key, &Settings::keyQuieter},
    {"key-louder", SettingKind::Key, &Settings::keyLouder},
    {"key-help", SettingKind::Key, &Settings::keyHelp},
    {"key-pause", SettingKind::Key, &Settings::keyPause},
    {"key-end-practice", SettingKind::Key, &Settings::keyEndPractice},
};

// The whole numbers a Percent or a Rate may be.
struct Range {
    int min;
    int max;
};

Range RangeOf(SettingKind kind) {
    if (kind == SettingKind::Rate) return {Corvane::kSlowestSpeech, Corvane::kFastestSpeech};
    return kind == SettingKind::Decibels ? Range{0, kMostDuck} : Range{0, 100};
}

// A voice's name as eSpeak NG spells them ("en", "en-us", "de", "mb/mb-en1"):
// letters, digits, '-', '_', '+' and '/'; whether it is installed is found
// out when it first speaks.
bool IsVoiceName(std::string_view text) {
    if (text.empty() || text.size() > 40) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '+' || c == '/';
    });
}

// A whole number: digits only (no sign, no fraction), within `range`.
bool ParseWhole(std::string_view text, Range range, int& out) {
    if (text.empty() || text.size() > 3) return false;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < range.min || value > range.max)
        return false;
    out = value;
    return true;
}

const char* OnOff(bool on) { return on ? "on" : "off"; }

// The setting's value as the file writes it.
std::string ValueText(const Settings& s, const Setting& setting) {
    switch (setting.kind) {
        case SettingKind::Flag: return OnOff(s.*setting.flag);
        case SettingKind::Voice: return s.voice;
        case SettingKind::Key: return KeyName(s.*setting.number);
        case SettingKind::Percent:
        case SettingKind::Rate:
        case SettingKind::Decibels: break;
    }
    const Range range = RangeOf(setting.kind);
    return std::to_string(std::clamp(s.*setting.number, range.min, range.max));
}

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

const Setting* FindSetting(std::string_view name) {
    for (const Setting& setting : kSettings)
        if (setting.name == name) return &setting;
    return nullptr;
}

std::optional<bool> FlagValue(std::string_view text) {
    const auto among = [text](std::initializer_list<std::string_view> words) {
        return std::find(words.begin(), words.end(), text) != words.end();
    };
    if (among({"on", "yes", "true", "1"})) return true;
    if (among({"off", "no", "false", "0"})) return false;
    return std::nullopt;
}

bool SetSetting(Settings& s, const Setting& setting, std::string_view value, const std::string& where, bool quiet) {
    const Settings defaults;
    std::string mustBe;
    switch (setting.kind) {
        case SettingKind::Flag:
            if (const std::optional<bool> on = FlagValue(value)) {
                s.*setting.flag = *on;
                return true;
            }
            s.*setting.flag = defaults.*setting.flag;
            mustBe = "on or off";
            break;
        case SettingKind::Voice:
            if (IsVoiceName(value)) {
                s.voice = value;
                return true;
            }
            s.voice = defaults.voice;
            mustBe = "the name of an eSpeak NG voice";
            break;
        case SettingKind::Key:
            if (const std::optional<int> key = KeyOfName(value)) {
                s.*setting.number = *key;
                return true;
            }
            s.*setting.number = defaults.*setting.number;
            mustBe = kKeyMustBe;
            break;
        case SettingKind::Percent:
        case SettingKind::Rate:
        case SettingKind::Decibels: {
            const Range range = RangeOf(setting.kind);
            if (ParseWhole(value, range, s.*setting.number)) return true;
            s.*setting.number = defaults.*setting.number;
            mustBe = "a whole number from " + std::to_string(range.min) + " to " + std::to_string(range.max);
            break;
        }
    }
    if (!quiet) {
        std::fprintf(stderr, "barnblast: %s%.*s must be %s; using %s\n", where.c_str(),
                     static_cast<int>(setting.name.size()), setting.name.data(), mustBe.c_str(),
                     ValueText(s, setting).c_str());
    }
    return false;
}

std::string SettingsFilePath() { return platform::Utf8Of(platform::SettingsFile()); }

Settings ReadSettingsFile() {
    Settings s;
    const std::string path = SettingsFilePath();
    if (path.empty()) return s;
    std::string text = platform::ReadTextFile(path, kMaxSettingsBytes);
    // A file cut off at the limit may end in half a line; that half is not a value.
    if (text.size() >= kMaxSettingsBytes && text.back() != '\n') text.erase(text.find_last_of('\n') + 1);
    const std::string where = "settings file " + path + ": ";
    bool reported[std::size(kSettings)] = {};
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = Trim(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        const std::size_t equals = line.find('=');
        if (line.empty() || line.front() == '#' || equals == std::string_view::npos) continue;
        // Names this version does not know may be a later version's: left alone.
        const Setting* setting = FindSetting(Trim(line.substr(0, equals)));
        if (!setting) continue;
        // One line per setting, however many bad lines a garbled file has.
        bool& quiet = reported[setting - kSettings];
        if (!SetSetting(s, *setting, Trim(line.substr(equals + 1)), where, quiet)) quiet = true;
    }
    return s;
}

bool SaveSettings(const Settings& s) {
    const std::filesystem::path file = platform::SettingsFile();
    if (file.empty()) return false;
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    if (error) return false;
    std::string text =
        "# Barnblast's settings: volumes 0 to 100 percent, speech-rate in words a minute, switches on or off,\n"
        "# duck in decibels, keys a printable character, space, left or right.\n";
    for (const Setting& setting : kSettings) text += std::string(setting.name) + " = " + ValueText(s, setting) + "\n";
    return platform::ReplaceTextFile(platform::Utf8Of(file), text);
}
