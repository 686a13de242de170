// Where the game keeps the player's files.
#pragma once

#include <string>

// The file holding the player's name. "name.dat" in the working folder when
// one is there already, or when the game runs from its source tree (a Media/
// folder beside it); otherwise $XDG_DATA_HOME/barnblast/name.dat, else
// ~/.local/share/barnblast/name.dat, whose folder is created if missing so
// that the name can be stored. Without a home folder, "name.dat".
std::string NameFilePath();
