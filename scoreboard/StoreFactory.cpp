#include "StoreFactory.h"

#include "store/postgres/PostgresStore.h"
#include "store/sqlite/SqliteStore.h"

namespace scoreboard {

bool NamesPostgres(std::string_view db) { return db.starts_with("postgresql://") || db.starts_with("postgres://"); }

std::unique_ptr<CachedStore> OpenStore(const std::string& db, int threads, bool recount) {
    std::unique_ptr<ScoreStore> store;
    if (NamesPostgres(db))
        store = std::make_unique<PostgresStore>(db, threads, recount);
    else
        store = std::make_unique<SqliteStore>(db, recount);
    return std::make_unique<CachedStore>(std::move(store));
}

}  // namespace scoreboard
