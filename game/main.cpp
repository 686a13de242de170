// barnblast: the command line around the game. Without arguments it plays.
#include "Environment.h"
#include "Game.h"
#include "Paths.h"

#include <cstdio>
#include <string_view>

#ifndef BARNBLAST_VERSION
#define BARNBLAST_VERSION "unknown"
#endif

namespace {

constexpr const char* kHelp =
    "Usage: barnblast [--help | --version]\n"
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
    "The first key after the two minutes ends the round. Then answer y or n to\n"
    "\"send your score?\" and \"play again?\". Ctrl+C ends the game at any time.\n"
    "\n"
    "Environment:\n"
    "  BARNBLAST_SCORE_SITE  score table to send scores to, a host with an optional\n"
    "                        port or a base URL (default localhost:8765)\n"
    "  BARNBLAST_DATA        folder of the game's sounds, instead of Media/ in the\n"
    "                        working folder or the installed ones\n"
    "  BARNBLAST_OUTBOX      folder where scores wait until the table has them\n"
    "                        (default %s)\n"
    "  BARNBLAST_CAPTURE     WAV file receiving exactly what is played\n"
    "  SDL_AUDIODRIVER       SDL's sound output; dummy plays silently\n"
    "\n"
    "Your name is kept in %s (or name.dat in the\n"
    "working folder when there is one).\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        const std::string_view arg = argv[1];
        if (argc == 2 && (arg == "--help" || arg == "-h")) {
            std::printf(kHelp, platform::kOutboxFolderShown, platform::kNameFileShown);
            return 0;
        }
        if (argc == 2 && arg == "--version") {
            std::printf("barnblast %s\n", BARNBLAST_VERSION);
            return 0;
        }
        // Named: the first argument we do not know, or the one after a known one.
        const bool known = arg == "--help" || arg == "-h" || arg == "--version";
        const std::string_view unknown = known ? argv[2] : arg;
        std::fprintf(stderr, "barnblast: unknown argument \"%.*s\"; try barnblast --help\n",
                     static_cast<int>(unknown.size()), unknown.data());
        return 2;
    }
    MakeNameFileFolder();
    return GameMain();
}
