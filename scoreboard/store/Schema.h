// The version of the table's layout, the same number in both stores: SQLite
// keeps it as the file's user_version, PostgreSQL in a schema_version table.
// A server upgrades an older layout at start and refuses a newer one, which a
// later server made and an earlier one cannot know how to keep.
#pragma once

namespace scoreboard {

// 1: scores (seq, id, game, name, score, time_ms) with an index by rank, and
// games (game, scores) counting them, kept by a trigger.
// 2: score_counts (game, score, n), the rows of each game at each score, and
// day_counts (game, day, score, n), the same for each day (UTC), kept by
// triggers too, so that a rank is a short sum; the counts follow deletes.
// 3: score_buckets (game, level, bucket, n) and day_buckets (game, day,
// level, bucket, n) in their place: the same counts by bucket of scores
// (Buckets.h), so that a rank reads a bounded number of them however the
// scores spread; and scores gain check_level (0 unverified, 1 replayed, 2 verified; older
// rows 0), round (the round's record, compressed) and round_token (unique
// where set: a token is used once); secrets holds the key tokens are signed with.
// 4: the index of each day's rows in rank order (scores_by_day) holds each
// row's time too, so that the equal rows of a day, which a rank counts, are
// counted from the index alone, without reading a row.
inline constexpr int kSchemaVersion = 4;

}  // namespace scoreboard
