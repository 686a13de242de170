// The version of the table's layout, the same number in both stores: SQLite
// keeps it as the file's user_version, PostgreSQL in a schema_version table.
// A server upgrades an older layout at start and refuses a newer one, which a
// later server made and an earlier one cannot know how to keep.
#pragma once

namespace scoreboard {

// 1: scores (seq, id, game, name, score, time_ms) with an index by rank, and
// games (game, scores) counting them, kept by a trigger.
inline constexpr int kSchemaVersion = 1;

}  // namespace scoreboard
