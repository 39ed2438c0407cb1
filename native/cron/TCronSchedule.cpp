// native/cron/TCronSchedule.cpp: calendar arithmetic and the next-match search
#include "cron/TCronSchedule.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>

namespace tarvel::cron {

// ---------------------------------------------------------------------------------------------
// Calendar
// ---------------------------------------------------------------------------------------------

namespace {

constexpr int kMinutesPerDay = 24 * 60;

bool is_leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Days since 1970-01-01 (valid for years >= 1).
std::int64_t days_from_civil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int era = y / 400;
    const int yoe = y - era * 400;                                    // [0, 399]
    const int doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // [0, 365]
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;            // [0, 146096]
    return std::int64_t{era} * 146097 + doe - 719468;
}

// 0 = Monday .. 6 = Sunday; 1970-01-01 was a Thursday.
int weekday_of(std::int64_t days) {
    return static_cast<int>(((days + 3) % 7 + 7) % 7);
}

std::int64_t minute_serial(const Minute& m) {
    return days_from_civil(m.year, m.month, m.day) * kMinutesPerDay + m.hour * 60 + m.minute;
}

struct TimeOfDay {
    int hour, minute;
};

// First allowed hour:minute at or after h:m on the same day. Both sets must be non-empty.
std::optional<TimeOfDay> first_time(std::uint64_t minutes, std::uint32_t hours, int h, int m) {
    if ((hours >> h) & 1) {
        const std::uint64_t rest = minutes & (~std::uint64_t{0} << m);
        if (rest != 0) return TimeOfDay{h, std::countr_zero(rest)};
    }
    const std::uint32_t later = h >= 23 ? 0 : hours & (~std::uint32_t{0} << (h + 1));
    if (later == 0) return std::nullopt;
    return TimeOfDay{std::countr_zero(later), std::countr_zero(minutes)};
}

}  // namespace

int days_in_month(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

int weekday(int year, int month, int day) {
    return weekday_of(days_from_civil(year, month, day));
}

bool Schedule::matches(const Minute& m) const {
    if (m.minute < 0 || m.minute > 59 || m.hour < 0 || m.hour > 23 || m.day < 1 || m.day > 31 ||
        m.month < 1 || m.month > 12)
        return false;
    if (!((minute >> m.minute) & 1) || !((hour >> m.hour) & 1) || !((dom >> m.day) & 1) ||
        !((month >> m.month) & 1))
        return false;
    return (dow >> ((weekday(m.year, m.month, m.day) + 1) % 7)) & 1;
}

Search next_match(const Schedule& s, const Minute& first, std::int64_t candidates) {
    // only the bits inside each field's range take part
    const std::uint64_t minutes = s.minute & ((std::uint64_t{1} << 60) - 1);
    const std::uint32_t hours = s.hour & 0xffffffu;
    const std::uint32_t doms = s.dom & 0xfffffffeu;
    const auto months = static_cast<unsigned>(s.month & 0x1ffeu);
    const auto dows = static_cast<unsigned>(s.dow & 0x7fu);

    if (candidates <= 0) return {Outcome::NotFound, {}};
    const std::int64_t start = minute_serial(first);
    const std::int64_t limit = minute_serial({9999, 12, 31, 23, 59});
    const bool past_end = candidates - 1 > limit - start;
    const std::int64_t end = past_end ? limit : start + (candidates - 1);  // last minute searched
    const Search miss{past_end ? Outcome::Overflow : Outcome::NotFound, {}};
    if (minutes == 0 || hours == 0 || doms == 0 || months == 0 || dows == 0) return miss;
    // some allowed month must be long enough for some allowed day (e.g. "31 2" never is)
    bool feasible = false;
    for (int m = 1; m <= 12 && !feasible; ++m) {
        const int longest = m == 2 ? 29 : days_in_month(1, m);
        feasible = ((months >> m) & 1) && (doms & (0xffffffffu >> (31 - longest))) != 0;
    }
    if (!feasible) return miss;

    // The days 1..31 whose weekday is allowed, for a month whose day 1 has cron weekday w: the
    // seven weekday bits rotated to start at w, repeated five times, shifted to start at day 1.
    const auto days_on_allowed_weekdays = [dows](unsigned w) {
        const std::uint64_t week = ((dows >> w) | (dows << (7 - w))) & 0x7fu;
        return static_cast<std::uint32_t>((week * 0x10204081ull) << 1);
    };

    int year = first.year, month = first.month;
    int from_day = first.day, hour = first.hour, minute = first.minute;
    std::int64_t month_start = days_from_civil(year, month, 1);  // serial day of day 1
    for (;;) {
        if (month_start * kMinutesPerDay > end) return miss;
        const int length = days_in_month(year, month);
        if ((months >> month) & 1) {
            const int first_dow = (weekday_of(month_start) + 1) % 7;
            std::uint32_t days = doms & days_on_allowed_weekdays(first_dow) &
                                 (0xffffffffu >> (31 - length)) & (~std::uint32_t{0} << from_day);
            for (; days != 0; days &= days - 1) {
                const int day = std::countr_zero(days);
                if (day != from_day) hour = minute = 0;
                if (const auto t = first_time(minutes, hours, hour, minute)) {
                    const std::int64_t at =
                        (month_start + day - 1) * kMinutesPerDay + t->hour * 60 + t->minute;
                    if (at > end) return miss;
                    return {Outcome::Found, {year, month, day, t->hour, t->minute}};
                }
                hour = minute = 0;
            }
        }
        month_start += length;
        from_day = 1;
        hour = minute = 0;
        if (++month > 12) {
            month = 1;
            ++year;
        }
    }
}

}  // namespace tarvel::cron
