// The store --db names, under the caching layer.
#pragma once

#include "store/CachedStore.h"

#include <memory>
#include <string>
#include <string_view>

namespace scoreboard {

// True for the --db values of a PostgreSQL database: postgresql:// or
// postgres:// URIs. Anything else names an SQLite file.
bool NamesPostgres(std::string_view db);

// Opens the database (creating the file or the schema when missing).
// `threads` serve requests: a PostgreSQL store keeps that many read
// connections at most. `recount` takes the counts of ranks afresh from the
// rows even where they look right. Throws StoreError.
std::unique_ptr<CachedStore> OpenStore(const std::string& db, int threads, bool recount = false);

}  // namespace scoreboard
