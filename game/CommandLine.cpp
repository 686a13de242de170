#include "CommandLine.h"

#include "Corvane.h"
#include "Folders.h"
#include "Game.h"
#include "KeyMap.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string_view>

#ifndef BARNBLAST_VERSION
#define BARNBLAST_VERSION "unknown"
#endif

namespace {

// Filled in with where the outbox, the name file and the settings file are.
constexpr const char* kHelp =
    "Usage: barnblast [--help | --version | --list-audio-devices | OPTION...]\n"
    "\n"
    "Barnblast is an audio-only shooting game, played entirely by ear. A chicken\n"
    "hides at one of 16 places in a row; its cluck follows your aim, and jumps to\n"
    "the centre and gets louder when you aim right at it. A hit scores 5, a miss\n"
    "costs 5. A round lasts two minutes; then your score is spoken and you may\n"
    "send it to the online score table.\n"
    "\n"
    "Keys during a round (the defaults; the key-... options set your own):\n"
    "  l or right arrow   aim one step right\n"
    "  j or left arrow    aim one step left\n"
    "  space              fire\n"
    "  s                  say the score\n"
    "  - or =             music quieter or louder (kept in the settings file)\n"
    "  h                  say these keys\n"
    "  p                  pause (the sounds stop); p again plays on, the music\n"
    "                     from where it stopped\n"
    "The first key after two minutes of play (pauses not counted) ends the round.\n"
    "Then answer y or n to \"send your score?\" and \"play again?\". Ctrl+C ends\n"
    "the game at any time.\n"
    "\n"
    "Options (each overrides the settings file for this game only):\n"
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
    "                        (speech-dispatcher; NVDA or SAPI on Windows)\n"
    "  --duck DB             while speech plays, the music steps down by DB\n"
    "                        decibels, 0 to 40 (default 0: it stays)\n"
    "  --key-left KEY, --key-right KEY, --key-fire KEY, --key-score KEY,\n"
    "  --key-quieter KEY, --key-louder KEY, --key-help KEY, --key-pause KEY,\n"
    "  --key-end-practice KEY\n"
    "                        your own key for each action: a printable character\n"
    "                        (not y, n, H, K, M or P), or space, left or right\n"
    "                        (defaults j, l, space, s, -, =, h, p and q); two\n"
    "                        actions on one key keep their defaults. The arrows\n"
    "                        always aim\n"
    "  --practice            first hear every sound with its name, then play a\n"
    "                        round with no clock whose score is not sent; the\n"
    "                        key-end-practice key (q) ends it\n"
    "  --audio-device NAME   play through this output device, as\n"
    "                        --list-audio-devices names it (default: the\n"
    "                        system's); an unknown name plays on the default\n"
    "  --list-audio-devices  list the output devices by name, and end\n"
    "\n"
    "Environment:\n"
    "  BARNBLAST_SCORE_SITE  score table to send scores to, a host with an optional\n"
    "                        port or a base URL (default localhost:8765)\n"
    "  BARNBLAST_DATA        folder of the game's sounds, instead of Media/ in the\n"
    "                        working folder or the installed ones\n"
    "  BARNBLAST_OUTBOX      folder where scores wait until the table has them\n"
    "                        (default %s)\n"
    "  BARNBLAST_CAPTURE     WAV file receiving exactly what is played\n"
    "  BARNBLAST_AUDIO_DEVICE  output device, as --audio-device NAME\n"
    "  SDL_AUDIODRIVER       SDL's sound output; dummy plays silently\n"
    "\n"
    "Your name is kept in %s (or name.dat in the\n"
    "working folder when there is one). Your settings are kept in\n"
    "%s, as lines such as \"music-volume = 50\".\n";

// The options that are the whole command line, with nothing beside them.
constexpr std::string_view kStandAlone[] = {"--help", "-h", "--version", "--list-audio-devices"};

bool StandsAlone(std::string_view arg) {
    return std::find(std::begin(kStandAlone), std::end(kStandAlone), arg) != std::end(kStandAlone);
}

// The exit status for a command line that cannot be played.
constexpr int kRefused = 2;

// Prints the output devices one a line, as --audio-device takes them.
int ListAudioDevices() {
    const std::vector<std::string> names = Corvane::AudioDevices();
    for (const std::string& name : names) std::printf("%s\n", name.c_str());
    if (names.empty()) std::fprintf(stderr, "barnblast: no audio output devices found\n");
    return names.empty() ? 1 : 0;
}

// Answers a stand-alone option: --help or -h, --version or
// --list-audio-devices.
int Answer(std::string_view option) {
    if (option == "--version") {
        std::printf("barnblast %s\n", BARNBLAST_VERSION);
        return 0;
    }
    if (option == "--list-audio-devices") return ListAudioDevices();
    std::printf(kHelp, platform::kOutboxFolderShown, platform::kNameFileShown, platform::kSettingsFileShown);
    return 0;
}

// Takes --audio-device NAME (or --audio-device=NAME) out of `args`; the
// output device is the service's business, not a setting kept in the file.
// False, with `args` untouched past it, when the name is missing.
bool TakeAudioDevice(std::vector<std::string>& args) {
    constexpr std::string_view kOption = "--audio-device";
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == kOption) {
            if (i + 1 == args.size()) return false;
            Corvane::SetAudioDevice(args[i + 1]);
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
            --i;
        } else if (arg.rfind(std::string(kOption) + "=", 0) == 0) {
            Corvane::SetAudioDevice(arg.substr(kOption.size() + 1));
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
            --i;
        }
    }
    return true;
}

// The argument a refusal names: the first that no option takes; when every
// one is a stand-alone option that came with others, the second of them
// (the first is what was asked for), or the only one.
const std::string& Refused(const std::vector<std::string>& unknown) {
    const auto other = std::find_if_not(unknown.begin(), unknown.end(), StandsAlone);
    if (other != unknown.end()) return *other;
    return unknown.size() > 1 ? unknown[1] : unknown[0];
}

}  // namespace

Settings LoadSettings(const std::vector<std::string>& args, std::vector<std::string>& unknown) {
    Settings s = ReadSettingsFile();
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const std::size_t equals = arg.find('=');
        const Setting* setting =
            arg.starts_with("--") ? FindSetting(arg.substr(2, equals == std::string_view::npos ? equals : equals - 2))
                                  : nullptr;
        if (!setting) {
            unknown.push_back(args[i]);
            continue;
        }
        std::string_view value;
        if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (setting->kind == SettingKind::Flag) {
            // A switch alone turns it on; a following word is its value only
            // when it is one.
            value = "on";
            if (i + 1 < args.size() && FlagValue(args[i + 1])) value = args[++i];
        } else if (i + 1 < args.size() && !args[i + 1].starts_with("-")) {
            // An option after it is not taken for its value.
            value = args[++i];
        }
        SetSetting(s, *setting, value, "--");
    }
    KeepKeysApart(s);
    return s;
}

std::optional<int> ReadCommandLine(const std::vector<std::string>& args) {
    if (args.size() == 1 && StandsAlone(args[0])) return Answer(args[0]);
    std::vector<std::string> rest = args;
    if (!TakeAudioDevice(rest)) {
        std::fprintf(stderr, "barnblast: --audio-device needs a device's name; try barnblast --list-audio-devices\n");
        return kRefused;
    }
    // A way to play this once, not a setting to keep.
    const auto practice = std::remove(rest.begin(), rest.end(), "--practice");
    practiceAsked = practice != rest.end();
    rest.erase(practice, rest.end());
    std::vector<std::string> unknown;
    settings = LoadSettings(rest, unknown);
    if (!unknown.empty()) {
        std::fprintf(stderr, "barnblast: unknown argument \"%s\"; try barnblast --help\n", Refused(unknown).c_str());
        return kRefused;
    }
    return std::nullopt;
}
