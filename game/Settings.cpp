#include "Settings.h"

#include "Corvane.h"

#include "Files.h"
#include "Folders.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string_view>
#include <system_error>

Settings settings;

const char* const kSettingsHelp =
    "  --music-volume N      the background music, 0 to 100 percent (default 100)\n"
    "  --effects-volume N    cluck, shot, kill and prompts, 0 to 100 percent\n"
    "                        (default 100)\n"
    "  --speech-volume N     the spoken numbers, 0 to 100 percent (default 100)\n"
    "  --speech-rate N       words per minute, 80 to 450 (default 175)\n"
    "  --voice NAME          an installed eSpeak NG voice, as espeak-ng --voices\n"
    "                        lists them (default en)\n"
    "  --one-ear[=on|off]    both channels carry the same sound, and how far the\n"
    "                        chicken is from the aim is heard in the cluck's pitch:\n"
    "                        higher when it is to the right, lower to the left\n"
    "  --headphones[=on|off] the cluck placed around your head, for headphones\n"
    "  --screen-reader[=on|off]\n"
    "                        numbers and help spoken by your screen reader\n"
    "                        (speech-dispatcher; NVDA or SAPI on Windows)\n";

namespace {

// A settings file is a few lines; anything past this is not read, so a huge
// file costs no more than a small one.
constexpr std::size_t kMaxSettingsBytes = 64 * 1024;

// A setting: a whole number within [min, max], a switch (on or off), or
// (with neither field) the voice's name.
struct Named {
    std::string_view name;
    int Settings::*field;
    int min = 0;
    int max = 100;
    bool Settings::*toggle = nullptr;
};

constexpr Named kNamed[] = {
    {"music-volume", &Settings::musicVolume},
    {"effects-volume", &Settings::effectsVolume},
    {"speech-volume", &Settings::speechVolume},
    {"speech-rate", &Settings::speechRate, Corvane::kSlowestSpeech, Corvane::kFastestSpeech},
    {"voice", nullptr},
    {"one-ear", nullptr, 0, 0, &Settings::oneEar},
    {"headphones", nullptr, 0, 0, &Settings::headphones},
    {"screen-reader", nullptr, 0, 0, &Settings::screenReader},
};

// A switch's value: on or off, as a player may also write it.
bool ParseSwitch(std::string_view text, bool& out) {
    const auto among = [text](std::initializer_list<std::string_view> words) {
        return std::find(words.begin(), words.end(), text) != words.end();
    };
    if (among({"on", "yes", "true", "1"})) {
        out = true;
        return true;
    }
    if (among({"off", "no", "false", "0"})) {
        out = false;
        return true;
    }
    return false;
}

// A voice's name as eSpeak NG spells them ("en", "en-us", "de", "mb/mb-en1"):
// letters, digits, '-', '_', '+' and '/'; whether it is installed is found
// out when it first speaks.
bool ParseVoice(std::string_view text, std::string& out) {
    if (text.empty() || text.size() > 40) return false;
    for (char c : text) {
        const bool fits = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_' || c == '+' || c == '/';
        if (!fits) return false;
    }
    out = text;
    return true;
}

const Named* Find(std::string_view name) {
    for (const Named& n : kNamed)
        if (n.name == name) return &n;
    return nullptr;
}

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// A whole number: digits only (no sign, no fraction), within [min, max].
bool ParseWhole(std::string_view text, int min, int max, int& out) {
    if (text.empty() || text.size() > 3) return false;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < min || value > max) return false;
    out = value;
    return true;
}

// Sets the setting from `value`, or else to its default, saying so in one
// line after `where` unless `quiet`. False when the value was bad.
bool Apply(Settings& s, const Named& named, std::string_view value, const std::string& where, bool quiet = false) {
    const int nameSize = static_cast<int>(named.name.size());
    if (named.toggle) {
        if (ParseSwitch(value, s.*named.toggle)) return true;
        s.*named.toggle = Settings{}.*named.toggle;
        if (!quiet) {
            std::fprintf(stderr, "barnblast: %s%.*s must be on or off; using %s\n", where.c_str(), nameSize,
                         named.name.data(), s.*named.toggle ? "on" : "off");
        }
        return false;
    }
    if (!named.field) {
        if (ParseVoice(value, s.voice)) return true;
        s.voice = Settings{}.voice;
        if (!quiet) {
            std::fprintf(stderr, "barnblast: %s%.*s must be the name of an eSpeak NG voice; using %s\n", where.c_str(),
                         nameSize, named.name.data(), s.voice.c_str());
        }
        return false;
    }
    if (ParseWhole(value, named.min, named.max, s.*named.field)) return true;
    s.*named.field = Settings{}.*named.field;
    if (quiet) return false;
    std::fprintf(stderr, "barnblast: %s%.*s must be a whole number from %d to %d; using %d\n", where.c_str(), nameSize,
                 named.name.data(), named.min, named.max, s.*named.field);
    return false;
}

void ReadFile(Settings& s, const std::string& path) {
    std::string text = platform::ReadTextFile(path, kMaxSettingsBytes);
    // A file cut off at the limit may end in half a line; that half is not a value.
    if (text.size() >= kMaxSettingsBytes && text.back() != '\n') text.erase(text.find_last_of('\n') + 1);
    const std::string where = "settings file " + path + ": ";
    bool reported[std::size(kNamed)] = {};
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = Trim(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        const std::size_t equals = line.find('=');
        if (line.empty() || line.front() == '#' || equals == std::string_view::npos) continue;
        // Names this version does not know may be a later version's: left alone.
        const Named* named = Find(Trim(line.substr(0, equals)));
        if (!named) continue;
        // One line per setting, however many bad lines a garbled file has.
        bool& quiet = reported[named - kNamed];
        if (!Apply(s, *named, Trim(line.substr(equals + 1)), where, quiet)) quiet = true;
    }
}

}  // namespace

std::string SettingsFilePath() { return platform::Utf8Of(platform::SettingsFile()); }

Settings LoadSettings(const std::vector<std::string>& args, std::vector<std::string>& unknown) {
    Settings s;
    if (const std::string path = SettingsFilePath(); !path.empty()) ReadFile(s, path);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const std::size_t equals = arg.find('=');
        const Named* named = arg.starts_with("--")
                                 ? Find(arg.substr(2, equals == std::string_view::npos ? equals : equals - 2))
                                 : nullptr;
        if (!named) {
            unknown.push_back(args[i]);
            continue;
        }
        std::string_view value;
        bool ignored = false;
        if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (named->toggle) {
            // A switch alone turns it on; a following word is its value only
            // when it is one.
            value = "on";
            if (i + 1 < args.size() && ParseSwitch(args[i + 1], ignored)) value = args[++i];
        } else if (i + 1 < args.size() && !args[i + 1].starts_with("-")) {
            // An option after it is not taken for its value.
            value = args[++i];
        }
        Apply(s, *named, value, "--");
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
        "# Barnblast's settings: volumes 0 to 100 percent, speech-rate in words a minute, switches on or off.\n";
    for (const Named& n : kNamed) {
        const std::string value = n.toggle  ? (s.*n.toggle ? "on" : "off")
                                  : n.field ? std::to_string(std::clamp(s.*n.field, n.min, n.max))
                                            : s.voice;
        text += std::string(n.name) + " = " + value + "\n";
    }
    return platform::ReplaceTextFile(platform::Utf8Of(file), text);
}
