// barnblast: the command line, then the game. Without arguments it plays.
#include "CommandLine.h"
#include "Game.h"
#include "NameFile.h"

#include <optional>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (const std::optional<int> status = ReadCommandLine(args)) return *status;
    MakeNameFileFolder();
    return GameMain();
}
