// barnblast: the command line around the game. Without arguments it plays.
#include "Corvane.h"
#include "Folders.h"
#include "Game.h"
#include "Paths.h"
#include "Settings.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#ifndef BARNBLAST_VERSION
#define BARNBLAST_VERSION "unknown"
#endif

namespace {

constexpr const char* kHelp =
    "Usage: barnblast [--help | --version | --list-audio-devices | OPTION...]\n"
    "\n"
    "Barnblast is an audio-only shooting game, played entirely by ear. A chicken\n"
    "hides at one of 16 places in a row; its cluck follows your aim, and jumps to\n"
    "the centre and gets louder when you aim right at it. A hit scores 5, a miss\n"
    "costs 5. A round lasts two minutes; then your score is spoken and you may\n"
    "send it to the online score table.\n"
    "\n"
    "Keys during a round:\n"
    "  l or right arrow   aim one step right\n"
    "  j or left arrow    aim one step left\n"
    "  space              fire\n"
    "  s                  say the score\n"
    "  - or =             music quieter or louder (kept in the settings file)\n"
    "  h                  say these keys\n"
    "The first key after the two minutes ends the round. Then answer y or n to\n"
    "\"send your score?\" and \"play again?\". Ctrl+C ends the game at any time.\n"
    "\n"
    "Options (each overrides the settings file for this game only):\n"
    "%s"
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

bool Alone(std::string_view arg) {
    return arg == "--help" || arg == "-h" || arg == "--version" || arg == "--list-audio-devices";
}

// Prints the output devices one a line, as --audio-device takes them.
int ListAudioDevices() {
    const std::vector<std::string> names = Corvane::AudioDevices();
    for (const std::string& name : names) std::printf("%s\n", name.c_str());
    if (names.empty()) std::fprintf(stderr, "barnblast: no audio output devices found\n");
    return names.empty() ? 1 : 0;
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

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        const std::string_view arg = argv[1];
        if (arg == "--help" || arg == "-h") {
            std::printf(kHelp, kSettingsHelp, platform::kOutboxFolderShown, platform::kNameFileShown,
                        platform::kSettingsFileShown);
            return 0;
        }
        if (arg == "--version") {
            std::printf("barnblast %s\n", BARNBLAST_VERSION);
            return 0;
        }
        if (arg == "--list-audio-devices") return ListAudioDevices();
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!TakeAudioDevice(args)) {
        std::fprintf(stderr, "barnblast: --audio-device needs a device's name; try barnblast --list-audio-devices\n");
        return 2;
    }
    std::vector<std::string> unknown;
    settings = LoadSettings(args, unknown);
    if (!unknown.empty()) {
        // Named: the first argument we do not know, or the one beside --help
        // or --version, which stand alone.
        std::string named = unknown.size() > 1 && Alone(unknown[0]) ? unknown[1] : unknown[0];
        for (const std::string& arg : unknown) {
            if (!Alone(arg)) {
                named = arg;
                break;
            }
        }
        std::fprintf(stderr, "barnblast: unknown argument \"%s\"; try barnblast --help\n", named.c_str());
        return 2;
    }
    MakeNameFileFolder();
    return GameMain();
}
