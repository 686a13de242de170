// Counts of rows by score, kept at several widths so that a rank reads a
// bounded number of counts however widely the scores spread: level 0 counts
// each score, level k each run of 256^k scores (score >> 8k). The rows above
// a score are, at each level, the buckets after its own that share its parent
// bucket (at the top, every later one): at most 255 a level, 4 levels for any
// 32-bit score. Both stores
// keep the same levels, so their SQL is made here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace scoreboard {

inline constexpr int kBucketBits = 8;
inline constexpr int kBucketLevels = 4;  // 0 (a score) to 3 (score >> 24)

constexpr std::int64_t BucketOf(std::int64_t score, int level) { return score >> (kBucketBits * level); }
// The first and last bucket of `level` under `parent`, a bucket of level + 1.
constexpr std::int64_t FirstChild(std::int64_t parent) { return parent * (std::int64_t{1} << kBucketBits); }
constexpr std::int64_t LastChild(std::int64_t parent) { return FirstChild(parent + 1) - 1; }
// Wide enough for every top-level bucket.
inline constexpr std::int64_t kAnyBucketFrom = -(std::int64_t{1} << 40);
inline constexpr std::int64_t kAnyBucketTo = std::int64_t{1} << 40;

// SQL: the rows with a higher score than `score` (an SQL expression of type
// bigint), summed from the counts that `where` selects (a WHERE clause
// naming one game, and one day). One range of the primary key a level.
inline std::string RowsAboveSql(std::string_view table, std::string_view where, std::string_view score) {
    std::string sql = "(0";
    for (int level = 0; level < kBucketLevels; ++level) {
        const std::string shift = std::to_string(kBucketBits * level);
        const std::string up = std::to_string(kBucketBits * (level + 1));
        sql += " + coalesce((SELECT sum(n) FROM " + std::string(table) + " WHERE " + std::string(where) +
               " AND level = " + std::to_string(level) + " AND bucket > ((" + std::string(score) + ") >> " + shift +
               ")";
        // The top level has no parent: every bucket after the score's counts.
        if (level + 1 < kBucketLevels)
            sql += " AND bucket < ((((" + std::string(score) + ") >> " + up + ") + 1) << " +
                   std::to_string(kBucketBits) + ")";
        sql += "), 0)";
    }
    return sql + ")";
}

// SQL: (level, bucket) rows of one score's buckets at every level, for an
// INSERT ... SELECT or a join; `score` an SQL expression.
inline std::string LevelsOfSql(std::string_view score) {
    std::string sql;
    for (int level = 0; level < kBucketLevels; ++level) {
        if (level > 0) sql += " UNION ALL ";
        sql += "SELECT " + std::to_string(level) + " AS level, (" + std::string(score) + ") >> " +
               std::to_string(kBucketBits * level) + " AS bucket";
    }
    return sql;
}

}  // namespace scoreboard
