// The periods a table is shown for: all time, this week and today, in UTC.
#pragma once

#include "store/Store.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace scoreboard {

enum class Period { All, Week, Day };

inline constexpr Period kPeriods[] = {Period::All, Period::Week, Period::Day};

// As the API and the pages' addresses name it: all, week, day.
constexpr std::string_view PeriodName(Period p) {
    return p == Period::Week ? "week" : p == Period::Day ? "day" : "all";
}

// As a person reads it: All time, This week, Today.
constexpr std::string_view PeriodTitle(Period p) {
    return p == Period::Week ? "This week" : p == Period::Day ? "Today" : "All time";
}

inline std::optional<Period> ParsePeriod(std::string_view name) {
    for (const Period p : kPeriods)
        if (PeriodName(p) == name) return p;
    return std::nullopt;
}

// The days of this week (from Monday) or of today, as of nowMs.
inline DayRange DaysOf(Period p, std::int64_t nowMs) {
    const std::int64_t today = DayOf(nowMs);
    return p == Period::Week ? DayRange{WeekStartOf(today), today} : DayOnly(today);
}

// One period's table: total and rows as of one moment.
inline TablePage ReadPeriod(ScoreStore& store, std::string_view game, Period p, std::int64_t nowMs, int limit,
                            std::int64_t offset) {
    if (p == Period::All) return store.Read(game, limit, offset);
    return store.ReadDays(game, DaysOf(p, nowMs), limit, offset);
}

}  // namespace scoreboard
