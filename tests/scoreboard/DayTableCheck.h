// What every store promises of weeks and days, checked on each store in
// turn: rows put on days on both sides of a week's edges, each put answered
// with its rank in its own week and day, and the tables of several ranges
// of days, all as a brute-force sort of the rows has them.
#pragma once

#include "AwaitPut.h"
#include "store/Store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace scoreboard_test {

inline void CheckDayTables(scoreboard::ScoreStore& store) {
    using namespace scoreboard;
    const std::int64_t monday = WeekStartOf(20'000);
    std::vector<ScoreRecord> stored;  // in the order stored
    // 1 + the rows of r's game within days that rank above r.
    const auto rankOf = [&](const ScoreRecord& r, std::size_t at, DayRange days) {
        std::int64_t above = 0;
        for (std::size_t i = 0; i < stored.size(); ++i) {
            const ScoreRecord& o = stored[i];
            const std::int64_t day = DayOf(o.timeMs);
            above += o.game == r.game && day >= days.first && day <= days.last &&
                     (o.score > r.score || (o.score == r.score && i < at));
        }
        return above + 1;
    };
    std::uint32_t state = 7;
    for (int i = 0; i < 240; ++i) {
        state = state * 1103515245u + 12345u;
        // From the Wednesday before to the Friday after; few scores, many ties.
        const auto day = monday - 5 + static_cast<std::int64_t>((state >> 8) % 17);
        const auto score = static_cast<std::int32_t>((state >> 16) % 9) * 10;
        const ScoreRecord r{"day-" + std::to_string(i), i % 10 == 0 ? "other" : "g", "p" + std::to_string(i), score,
                            day * kDayMs + i * 1000};
        const PutResult put = AwaitPut(store, r);
        stored.push_back(r);
        const std::size_t at = stored.size() - 1;
        ASSERT_EQ(put.outcome, PutOutcome::Stored);
        EXPECT_EQ(put.rank, rankOf(r, at, {INT64_MIN / kDayMs, INT64_MAX / kDayMs})) << r.id;
        EXPECT_EQ(put.weekRank, rankOf(r, at, WeekOf(day))) << r.id;
        EXPECT_EQ(put.dayRank, rankOf(r, at, DayOnly(day))) << r.id;
    }
    for (const DayRange days : {DayOnly(monday), WeekOf(monday), DayRange{monday - 5, monday - 1}, DayOnly(monday + 11),
                                DayOnly(monday + 30)}) {
        std::vector<ScoreRecord> rows;
        std::copy_if(stored.begin(), stored.end(), std::back_inserter(rows), [&](const ScoreRecord& r) {
            return r.game == "g" && DayOf(r.timeMs) >= days.first && DayOf(r.timeMs) <= days.last;
        });
        std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.score > b.score; });
        const auto n = std::ssize(rows);
        for (const std::int64_t offset : {std::int64_t{0}, std::int64_t{1}, std::int64_t{7}, n - 1, n}) {
            for (const int limit : {5, 100}) {
                if (offset < 0) continue;
                SCOPED_TRACE("days " + std::to_string(days.first - monday) + " to " +
                             std::to_string(days.last - monday) + ", offset " + std::to_string(offset) + ", limit " +
                             std::to_string(limit));
                const TablePage page = store.ReadDays("g", days, limit, offset);
                EXPECT_EQ(page.total, n);
                const auto expected = std::clamp<std::int64_t>(n - offset, 0, limit);
                ASSERT_EQ(std::ssize(page.rows), expected);
                for (std::int64_t k = 0; k < expected; ++k) {
                    const ScoreRecord& want = rows[static_cast<std::size_t>(offset + k)];
                    const RankedScore& got = page.rows[static_cast<std::size_t>(k)];
                    EXPECT_EQ(got.rank, offset + k + 1);
                    EXPECT_EQ(got.name, want.name);
                    EXPECT_EQ(got.score, want.score);
                    EXPECT_EQ(got.timeMs, want.timeMs);
                }
            }
        }
    }
}

}  // namespace scoreboard_test
