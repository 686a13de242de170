// Where the game keeps the player's files.
#pragma once

#include <string>

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
