// barnblast's command line: every option, the help that lists them, and
// what is refused. Not part of the game's logic; the program reads it
// before the game starts.
#pragma once

#include "Settings.h"

#include <optional>
#include <string>
#include <vector>

// Acts on `args`, the command line without the program's name. --help (or
// -h), --version and --list-audio-devices, each alone, are answered at
// once; a command line that cannot be played (an argument no option takes,
// --audio-device without a name) is refused in one line on standard error.
// Either way the program's exit status is returned. Otherwise it sets
// `settings` (LoadSettings) and the output device, and returns nullopt: the
// game may start.
std::optional<int> ReadCommandLine(const std::vector<std::string>& args);

// The settings the game starts with: the settings file's, then the settings
// options in `args` over them (neither saved). A bad value, in the file or
// an option, is one line on standard error naming the setting and its
// allowed range, and that setting keeps its default. Arguments that are no
// settings option are left in `unknown`.
Settings LoadSettings(const std::vector<std::string>& args, std::vector<std::string>& unknown);
