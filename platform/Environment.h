// What the game and the service take from the process's surroundings: the
// environment, random bytes, the sound system's own chatter, and the folders
// where the program's files and the player's files lie. A POSIX and a
// Windows version (posix/Environment.cpp, windows/Environment.cpp).
//
// Text handed in and out is UTF-8 on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

// The environment variable's value as UTF-8; "" when unset.
std::string EnvText(const char* name);
// Sets an environment variable for this process and the libraries it
// loads, unless the user has set it.
void SetEnvDefault(const char* name, const char* value);

// Fills `data` with random bytes from the operating system.
void FillRandom(unsigned char* data, std::size_t size);

// Keeps the sound system's own libraries from printing diagnostics of
// their own while SDL looks for a device (ALSA on Linux; nothing on
// Windows).
void QuietSoundSystem();

// The calling thread's number, by which RaiseAudioThread knows it.
std::int64_t CurrentThreadNumber();
// Asks real-time scheduling for the sound output's thread `thread` of this
// process, so that busy programs at the same priority cannot hold its
// blocks back: a low real-time priority, below the sound server's own, not
// inherited by children; taken directly where the system allows it, else
// asked of the system's service for it, which may take a moment, so it is
// asked from another thread. False where neither grants it: the thread then
// plays on as it was.
bool RaiseAudioThread(std::int64_t thread);

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

// The system's message for an errno value.
std::string ErrorText(int error);

}  // namespace platform
