// native/cron/TCronSchedule.hpp: bit-set schedules and the next-match search (no Python)
#pragma once

#include <cstdint>

namespace tarvel::cron {

// ---------------------------------------------------------------------------------------------
// Schedules
// ---------------------------------------------------------------------------------------------

// A civil minute in the proleptic Gregorian calendar, years 1..9999.
struct Minute {
    int year, month, day, hour, minute;
};

// 0 = Monday .. 6 = Sunday.
int weekday(int year, int month, int day);

// Days in `month` (1-12) of `year`, February 29 in leap years.
int days_in_month(int year, int month);

// Allowed values per field as bit sets. A minute matches when all five fields allow it (day of
// month AND day of week).
struct Schedule {
    std::uint64_t minute = 0;  // bit v: minute v allowed (0-59)
    std::uint32_t hour = 0;    // 0-23
    std::uint32_t dom = 0;     // 1-31
    std::uint16_t month = 0;   // 1-12
    std::uint8_t dow = 0;      // 0 = Sunday .. 6 = Saturday

    bool matches(const Minute& m) const;
};

enum class Outcome { Found, NotFound, Overflow };

struct Search {
    Outcome outcome;
    Minute at;  // meaningful only when Found
};

inline constexpr std::int64_t kWindow = 527040;  // 366 * 24 * 60

// The first matching minute among `candidates` consecutive minutes starting at `first` (which
// must be a valid minute). NotFound when none matches; Overflow when none matches and the window
// would reach past 9999-12-31 23:59. Jumps over months and days, never steps minute by minute.
Search next_match(const Schedule& s, const Minute& first, std::int64_t candidates = kWindow);

}  // namespace tarvel::cron
