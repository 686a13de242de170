// Copies of a table: an SQLite database copied while servers write to it,
// and such a copy loaded into an empty database of either kind.
#pragma once

#include <string>

namespace scoreboard {

// Writes a consistent copy of the live SQLite database `db` to the new file
// `file`: every score committed before the copy began, and none half-way.
// Writers go on meanwhile. Throws std::runtime_error with the reason.
void BackUp(const std::string& db, const std::string& file);

// Loads the copy `file` into the database `db` names (an SQLite file, made
// if missing, or a PostgreSQL URI), which must hold no score. Returns how
// many scores it loaded; throws std::runtime_error with the reason.
long long Restore(const std::string& file, const std::string& db);

}  // namespace scoreboard
