// The file that keeps the player's name between games: where it is, and
// what it holds.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Far more than any name; what lies beyond is never read.
inline constexpr std::size_t kMaxNameFileBytes = 64 * 1024;

// The file holding the player's name. "name.dat" in the working folder when
// one is there already, or when the game runs from its source tree (a Media/
// folder beside it); otherwise $XDG_DATA_HOME/barnblast/name.dat, else
// ~/.local/share/barnblast/name.dat; on Windows
// %LOCALAPPDATA%\Barnblast\name.dat. Without a home folder, "name.dat".
// Changes nothing on disk.
std::string NameFilePath();

// Makes the folder that NameFilePath names, when missing, so that the name
// can be stored there. Called as the game starts, not for --help.
void MakeNameFileFolder();

// The name a name file's contents hold: the first line, without the CR of a
// Windows line end; "" when there is none.
std::string NameFromText(std::string_view text);

// The name kept at `path`: "" when the file is missing, unreadable, empty or
// not a regular file (a pipe, a device, a folder). Never blocks: nothing but
// a regular file is read, and only its first kMaxNameFileBytes.
std::string ReadNameFile(const std::string& path);

// Keeps `name` at `path`, replacing the file in one step, so it never exists
// half-written or empty. Leaves alone anything at `path` that is not a
// regular file (or a link, which is replaced, never followed). Returns
// whether the name was kept; when not, the player is simply asked again.
bool StoreNameFile(const std::string& path, const std::string& name);
