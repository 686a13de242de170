// The folders where the program's files and the player's files lie, and
// how the help names them. A POSIX and a Windows version (posix/Folders.cpp,
// windows/Folders.cpp).
//
// Text handed in and out is UTF-8 on every system.
#pragma once

#include <filesystem>
#include <string>

namespace platform {

// The folder the game's sounds were installed into: compiled in on POSIX
// (`compiledIn`), Media\ beside the program on Windows.
std::string InstalledDataFolder(const std::string& compiledIn);

// The folder to hand eSpeak NG for its data, or "" for its own default
// (the system's installed data on POSIX; espeak-ng-data\ beside the
// program on Windows, where there is no default).
std::string SpeechDataFolder();

// The outbox when the user names none: $XDG_STATE_HOME/barnblast/outbox,
// else ~/.local/state/barnblast/outbox; %LOCALAPPDATA%\Barnblast\outbox on
// Windows.
std::filesystem::path DefaultOutboxFolder();

// The folder for the player's files when the working folder holds none:
// $XDG_DATA_HOME/barnblast, else ~/.local/share/barnblast;
// %LOCALAPPDATA%\Barnblast on Windows. Empty when there is no such folder
// (no home folder).
std::filesystem::path PlayerFolder();

// The player's settings file: $XDG_CONFIG_HOME/barnblast/settings, else
// ~/.config/barnblast/settings; %APPDATA%\Barnblast\settings.ini on
// Windows. Empty when there is no such folder (no home folder).
std::filesystem::path SettingsFile();

// The name file and the outbox as the help shows them, with the
// system's own notation for the home folder.
extern const char* const kNameFileShown;
extern const char* const kOutboxFolderShown;
extern const char* const kSettingsFileShown;

}  // namespace platform
