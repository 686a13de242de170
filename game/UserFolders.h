// Where the operating system keeps a user's own files for a program, and
// paths as the UTF-8 text the game passes around.
#pragma once

#include <filesystem>
#include <string>

// The folder for the player's files when the working folder holds none:
// $XDG_DATA_HOME/barnblast, else ~/.local/share/barnblast;
// %LOCALAPPDATA%\Barnblast on Windows. Empty when there is no such folder
// (no home folder).
std::filesystem::path PlayerFolder();

// A path from UTF-8 text and back; the native narrow text on POSIX.
std::filesystem::path PathFromText(const std::string& text);
std::string TextOfPath(const std::filesystem::path& path);

#ifdef _WIN32
// The UTF-8 path for the wide-character Win32 calls.
std::wstring WidePath(const std::string& text);
#endif
