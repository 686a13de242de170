// Where the game's sound files are found: beside the player, in a folder the
// player names, or in the folder the game was installed with.
#pragma once

#include <string>

namespace Corvane::detail {

// The folder the sounds were installed into, compiled in from the install
// prefix (e.g. /usr/share/barnblast); on Windows the Media folder beside
// barnblast.exe.
std::string InstalledDataDir();

// The file to open for a sound the game asks for by `fileName` (such as
// "Media/Chicken.wav"): `fileName` itself when it exists relative to the
// working folder (folders matched ignoring case, as the decoder does), else
// the same file without its leading "Media/" folder in $BARNBLAST_DATA, else
// in `installedDir`. When none exists, `fileName` unchanged, so that the
// error names the file the game asked for.
std::string LocateMedia(const std::string& fileName, const std::string& installedDir);

// LocateMedia with the installed data folder.
std::string LocateMedia(const std::string& fileName);

}  // namespace Corvane::detail
