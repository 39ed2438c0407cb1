// native/tests/test_cron.cpp: table-driven tests of the cron core (fields, expressions, search)
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cron/TCronParse.hpp"
#include "tests/check.hpp"

using namespace tarvel::cron;
using Kind = ParseError::Kind;

namespace {

std::vector<std::int64_t> seq(std::int64_t lo, std::int64_t hi, std::int64_t step = 1) {
    std::vector<std::int64_t> v;
    for (std::int64_t x = lo; x <= hi; x += step)
        v.push_back(x);
    return v;
}

// ---- calendar helpers written independently of the library ----------------------------------

int month_days(int y, int m) {
    if (m == 2) return (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 29 : 28;
    return (m == 4 || m == 6 || m == 9 || m == 11) ? 30 : 31;
}

bool same(const Minute& a, const Minute& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute;
}

constexpr Minute kLast{9999, 12, 31, 23, 59};

Minute plus_one(Minute m) {
    if (++m.minute < 60) return m;
    m.minute = 0;
    if (++m.hour < 24) return m;
    m.hour = 0;
    if (++m.day <= month_days(m.year, m.month)) return m;
    m.day = 1;
    if (++m.month <= 12) return m;
    m.month = 1;
    ++m.year;
    return m;
}

Minute minus_one(Minute m) {
    if (--m.minute >= 0) return m;
    m.minute = 59;
    if (--m.hour >= 0) return m;
    m.hour = 23;
    if (--m.day >= 1) return m;
    if (--m.month < 1) {
        m.month = 12;
        --m.year;
    }
    m.day = month_days(m.year, m.month);
    return m;
}

// The literal minute-by-minute scan that next_match must agree with.
Search reference(const Schedule& s, const Minute& first, std::int64_t candidates) {
    Minute c = first;
    for (std::int64_t i = 0; i < candidates; ++i) {
        if (i > 0) {
            if (same(c, kLast)) return {Outcome::Overflow, {}};
            c = plus_one(c);
        }
        if (s.matches(c)) return {Outcome::Found, c};
    }
    return {Outcome::NotFound, {}};
}

std::string show(const Minute& m) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", m.year, m.month, m.day, m.hour,
                  m.minute);
    return buf;
}

std::string show(const Search& r) {
    if (r.outcome == Outcome::NotFound) return "none";
    if (r.outcome == Outcome::Overflow) return "overflow";
    return show(r.at);
}

Minute at(const std::string& t) {  // "YYYY-MM-DD HH:MM"
    auto num = [&](std::size_t pos, std::size_t len) { return std::stoi(t.substr(pos, len)); };
    return {num(0, 4), num(5, 2), num(8, 2), num(11, 2), num(14, 2)};
}

// ---- parse ------------------------------------------------------------------------------------

struct FieldCase {
    const char* text;
    std::int64_t lo, hi;
    std::vector<std::int64_t> want;
    std::optional<Kind> error = std::nullopt;
    const char* bad = "";  // for Integer errors: the text that failed conversion
};

void test_fields() {
    const std::vector<FieldCase> cases = {
        {"*", 0, 59, seq(0, 59)},
        {"*/15", 0, 59, {0, 15, 30, 45}},
        {"5/20", 0, 59, {5, 25, 45}},
        {"*/7", 0, 6, {0}},
        {"0,30", 0, 59, {0, 30}},
        {"30,0,30", 0, 59, {0, 30}},
        {"9-17", 0, 23, seq(9, 17)},
        {"5-1", 0, 59, {}},
        {"60", 0, 59, {}},
        {"0", 1, 31, {}},
        {"1,,2", 0, 59, {}, Kind::Integer, ""},
        {"0-30/5", 0, 59, {}, Kind::Integer, "0-30"},
        {"*/0", 0, 59, {}, Kind::ZeroStep},
        {"x/0", 0, 59, {}, Kind::Integer, "x"},
        {"0/x", 0, 59, {}, Kind::Integer, "x"},
        {"x/y", 0, 59, {}, Kind::Integer, "y"},
        {"99999999999999999999/0", 0, 59, {}, Kind::ZeroStep},
        {"-5", 0, 59, {}, Kind::Integer, ""},
        {"5--3", 0, 59, {}},
        {"1-2-3", 0, 59, {}, Kind::Integer, "2-3"},
        {"1, x ,y", 0, 59, {}, Kind::Integer, "x"},
        {"", 0, 59, {}, Kind::Integer, ""},
        {" 7 ", 0, 59, {7}},
        {"\t7\n,\xc2\xa0 8\xe3\x80\x80,\x1c"
         "9\xe2\x80\xaf",
         0,
         59,
         {7, 8, 9}},
        {"\xc2\xa0", 0, 59, {}, Kind::Integer, ""},
        {" 5 / 20 ", 0, 59, {5, 25, 45}},
        {"* /5", 0, 59, {}, Kind::Integer, "* "},
        {"*/ 5", 0, 59, seq(0, 59, 5)},
        {"1_0", 0, 59, {10}},
        {"+5", 0, 59, {5}},
        {"0_0_7", 0, 59, {7}},
        {"1__0", 0, 59, {}, Kind::Integer, "1__0"},
        {"_1", 0, 59, {}, Kind::Integer, "_1"},
        {"1_", 0, 59, {}, Kind::Integer, "1_"},
        {"+-1/2", 0, 59, {}, Kind::Integer, "+-1"},
        {"5\x1c/2", 0, 59, {}, Kind::Integer, "5\x1c"},
        {"\xd9\xa1", 0, 59, {}, Kind::Integer, "\xd9\xa1"},
        {"99999999999999999999", 0, 59, {}},
        {"0-99999999999999999999", 0, 59, seq(0, 59)},
        {"-99999999999999999999-5", 0, 59, {}, Kind::Integer, ""},
        {"3/99999999999999999999", 0, 59, {3}},
        {"0/99999999999999999999", 0, 59, {0}},
        {"-100/7", 0, 59, {5, 12, 19, 26, 33, 40, 47, 54}},
        {"-100000000000000000000000003/7", 0, 59, {2, 9, 16, 23, 30, 37, 44, 51, 58}},
        {"-18446744073709551616/7", 0, 59, {5, 12, 19, 26, 33, 40, 47, 54}},
        {"-100000000000000000000/100000000000000000005", 0, 59, {5}},
        {"-36893488147419103232/36893488147419103237", 0, 59, {5}},
        {"-99999999999999999999/99999999999999999998", 0, 59, {}},
        {"-18446744073709551617/18446744073709551619", -100, 100, {2}},
        {"-5/300", -10, 10, {-5}},
        {"*/1000", -1000, 1000, {-1000, 0, 1000}},
        {"10/-1", 0, 59, {}},
        {"*/-3", 0, 59, {}},
        {"58/1,3-4", 0, 59, {3, 4, 58, 59}},
    };
    AsciiInts ints;
    for (const FieldCase& c : cases) {
        const std::string what = std::string("field '") + c.text + "'";
        try {
            const std::vector<Progression> got = parse_field(c.text, c.lo, c.hi, ints);
            std::set<std::int64_t> values;
            bool sane = true;
            for (const Progression& p : got) {
                sane = sane && p.first <= p.last && p.step > 0 && p.first >= c.lo && p.last <= c.hi;
                for (std::int64_t v = p.first; sane && v <= p.last; v += p.step)
                    values.insert(v);
            }
            CHECK(sane, what);
            CHECK(!c.error, what + ": expected an error");
            CHECK(std::vector<std::int64_t>(values.begin(), values.end()) == c.want, what);
        } catch (const ParseError& e) {
            CHECK(c.error && *c.error == e.kind, what + ": " + e.what());
            if (e.kind == Kind::Integer) CHECK(e.text == c.bad, what + ": bad '" + e.text + "'");
        }
    }

    // exact residues of a huge start against a large step
    const std::vector<Progression> wide =
        parse_field("-123456789012345678901234567890/1000000007", 0, std::int64_t{1} << 40, ints);
    CHECK(wide.size() == 1 && wide[0].first == 802565165 && wide[0].step == 1000000007,
          "wide progression");

    CHECK(
        to_bits(parse_field("*/15", 0, 59, ints)) == (1ull | 1ull << 15 | 1ull << 30 | 1ull << 45),
        "to_bits");
    CHECK(to_bits(parse_field("63", 0, 63, ints)) == 1ull << 63, "to_bits top bit");

    CHECK(strip_space("\xe2\x80\x80 a b\xc2\x85\t") == "a b", "strip");
    CHECK(strip_space("\xe2\x80\xe2\x80\x8a") == "\xe2\x80", "strip keeps broken bytes");
    CHECK(split_space("  a\xe3\x80\x80\xe3\x80\x80 b\xed\xa0\x80 c ") ==
              (std::vector<std::string_view>{"a", "b\xed\xa0\x80", "c"}),
          "split");
    CHECK(split_space(" \t ").empty(), "split of space only");
}

void test_expressions() {
    AsciiInts ints;
    const std::vector<std::pair<const char*, std::size_t>> counts = {
        {"* * * *", 4}, {"* * * * * *", 6}, {"", 0}, {" \t ", 0}, {"1 2 3 4 5 6 7", 7}};
    for (const auto& [text, n] : counts) {
        try {
            parse_expression(text, ints);
            CHECK(false, std::string("expected a field count error for '") + text + "'");
        } catch (const ParseError& e) {
            CHECK(e.kind == Kind::FieldCount && e.count == n, std::string("count '") + text + "'");
        }
    }
    const Schedule s = parse_expression("\u3000*/15 9-17\t1,15 * 1-5\n", ints);
    CHECK(s.minute == (1ull | 1ull << 15 | 1ull << 30 | 1ull << 45), "minute bits");
    CHECK(s.hour == 0x3fe00u && s.dom == (1u << 1 | 1u << 15), "hour/dom bits");
    CHECK(s.month == 0x1ffeu && s.dow == 0x3eu, "month/dow bits");
    const Schedule t = parse_expression("0 0 * * 7", ints);
    CHECK(t.dow == 0, "7 is not Sunday");
    try {
        parse_expression("0 0 * * */0", ints);
        CHECK(false, "zero step in an expression");
    } catch (const ParseError& e) {
        CHECK(e.kind == Kind::ZeroStep, "zero step kind");
    }
}

// ---- weekday and next -------------------------------------------------------------------------

void test_weekday() {
    CHECK(weekday(1, 1, 1) == 0 && weekday(2026, 2, 13) == 4 && weekday(2026, 1, 1) == 3 &&
              weekday(2000, 2, 29) == 1 && weekday(9999, 12, 31) == 4,
          "known weekdays");
    int expect = 0;
    bool ok = true;
    for (int y = 1; y <= 9999 && ok; ++y) {
        for (int m = 1; m <= 12; ++m) {
            for (int d = 1; d <= month_days(y, m); ++d) {
                ok = ok && weekday(y, m, d) == expect;
                expect = (expect + 1) % 7;
            }
        }
    }
    CHECK(ok, "weekday advances by one every day from 0001-01-01");
}

struct NextCase {
    const char* expr;
    const char* first;
    const char* want;  // "YYYY-MM-DD HH:MM", "none" or "overflow"
    std::int64_t candidates = kWindow;
};

void test_next() {
    constexpr std::int64_t kAll = std::numeric_limits<std::int64_t>::max();
    const std::vector<NextCase> cases = {
        {"0 6 * * *", "2026-03-10 05:59", "2026-03-10 06:00"},
        {"0 6 * * *", "2026-03-10 06:00", "2026-03-10 06:00"},
        {"0 6 * * *", "2026-03-10 06:01", "2026-03-11 06:00"},
        {"*/15 9-17 * * 1-5", "2026-03-13 17:46", "2026-03-16 09:00"},
        {"0 0 13 * 5", "2026-01-01 00:00", "2026-02-13 00:00"},
        {"0 0 1 * 1", "2024-01-02 00:00", "2024-04-01 00:00"},
        {"0 0 29 2 *", "2024-02-29 00:00", "2024-02-29 00:00"},
        {"0 0 29 2 *", "2024-02-29 00:01", "none"},
        {"0 0 29 2 *", "2027-03-01 00:01", "2028-02-29 00:00"},
        {"0 0 29 2 *", "1999-03-01 00:00", "2000-02-29 00:00"},
        {"0 0 29 2 *", "2100-01-01 00:00", "none"},
        {"0 0 1 3 *", "2100-02-28 00:01", "2100-03-01 00:00"},
        {"0 0 31 2 *", "2026-01-01 00:00", "none"},
        {"60 * * * *", "2026-01-01 00:00", "none"},
        {"* * 31 4,6,9,11 *", "2026-01-01 00:00", "none"},
        {"* * * * *", "9999-12-31 23:59", "9999-12-31 23:59"},
        {"* * * * *", "9999-12-31 23:58", "9999-12-31 23:58"},
        {"0 0 1 1 *", "9999-06-01 00:00", "overflow"},
        {"60 * * * *", "9999-06-01 00:00", "overflow"},
        {"0 0 1 1 *", "9999-12-31 23:59", "none", 1},
        {"0 0 1 1 *", "9999-12-31 23:59", "overflow", 2},
        {"0 0 1 1 *", "9999-12-31 23:58", "none", 2},
        // the window's last candidate is exactly 9999-12-31 23:59
        {"59 23 31 12 5", "9998-12-31 00:00", "9999-12-31 23:59"},
        {"59 23 31 12 6", "9998-12-31 00:00", "none"},
        {"59 23 31 12 6", "9998-12-31 00:01", "overflow"},
        // match at candidate index 527039 (found) and 527040 (beyond the window)
        {"0 0 29 2 *", "2027-02-28 00:01", "2028-02-29 00:00"},
        {"0 0 29 2 *", "2027-02-28 00:00", "none"},
        {"0 0 1 3 *", "2023-03-01 00:01", "2024-03-01 00:00"},
        {"0 0 1 3 *", "2023-03-01 00:01", "none", 527039},
        {"0 0 1 3 *", "2023-03-01 00:01", "none", 0},
        {"30 12 * * *", "2026-05-05 12:30", "2026-05-05 12:30", 1},
        {"30 12 * * *", "2026-05-05 12:29", "none", 1},
        {"30 12 * * *", "2026-05-05 12:29", "2026-05-05 12:30", 2},
        {"0 0 29 2 *", "0001-01-01 00:00", "0004-02-29 00:00", kAll},
        {"0 0 31 2 *", "0001-01-01 00:00", "overflow", kAll},
        {"0 0 13 * 5", "9999-01-01 00:00", "9999-08-13 00:00", kAll},
        {"0 0 13 * 5", "9999-08-13 00:01", "overflow", kAll},
        {"0 0 13 * 5", "9998-01-01 00:00", "9998-02-13 00:00", kAll},
    };
    AsciiInts ints;
    for (const NextCase& c : cases) {
        const Search got = next_match(parse_expression(c.expr, ints), at(c.first), c.candidates);
        CHECK(show(got) == c.want, std::string(c.expr) + " from " + c.first + " -> " + show(got));
    }
}

// ---- randomized cross-check against the literal scan ------------------------------------------

void test_random() {
    std::mt19937_64 rng(20280229);
    auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
    auto field = [&](int lo, int hi) {
        const std::uint64_t range = (~std::uint64_t{0} >> (63 - hi)) & (~std::uint64_t{0} << lo);
        std::uint64_t bits = 0;
        switch (rng() % 6) {
            case 0:
                bits = range;
                break;
            case 1:
                bits = std::uint64_t{1} << pick(lo, hi);
                break;
            case 2:
                bits = std::uint64_t{1} << pick(lo, hi) | std::uint64_t{1} << pick(lo, hi);
                break;
            case 3:
                bits = rng() & rng() & rng();
                break;
            default:
                bits = rng();
                break;
        }
        bits &= range;
        if (bits == 0 && rng() % 30 != 0) bits = std::uint64_t{1} << pick(lo, hi);
        return bits;
    };
    auto start = [&]() {
        Minute m{pick(1, 9999), pick(1, 12), 1, pick(0, 23), pick(0, 59)};
        switch (rng() % 4) {
            case 0:
                m.year = pick(9998, 9999);
                break;
            case 1:
                m.year = 4 * pick(1, 2499), m.month = 2 + pick(0, 1);
                break;
            default:
                break;
        }
        m.day = pick(1, month_days(m.year, m.month));
        if (rng() % 8 == 0) m = minus_one(kLast);
        return m;
    };
    const std::int64_t sizes[] = {1, 2, 3, 61, 1441, 20000};
    int checked = 0, found = 0;
    for (int i = 0; i < 3000; ++i) {
        Schedule s;
        s.minute = field(0, 59);
        s.hour = static_cast<std::uint32_t>(field(0, 23));
        s.dom = static_cast<std::uint32_t>(field(1, 31));
        s.month = static_cast<std::uint16_t>(field(1, 12));
        s.dow = static_cast<std::uint8_t>(field(0, 6));
        const Minute first = start();
        const std::int64_t n = sizes[rng() % 6];
        const Search fast = next_match(s, first, n);
        const Search slow = reference(s, first, n);
        const std::string what = "schedule #" + std::to_string(i) + " from " + show(first);
        CHECK(show(fast) == show(slow), what + ": " + show(fast) + " vs " + show(slow));
        ++checked;

        // restart shortly before the match the full window finds, so sparse schedules hit too
        const Search full = next_match(s, first, kWindow);
        if (full.outcome != Outcome::Found) continue;
        CHECK(s.matches(full.at), what + ": reported minute does not match");
        Minute near = full.at;
        for (int back = pick(0, 19999); back > 0 && !same(near, Minute{1, 1, 1, 0, 0}); --back)
            near = minus_one(near);
        const Search a = next_match(s, near, 20000);
        const Search b = reference(s, near, 20000);
        CHECK(show(a) == show(b), what + " near " + show(near) + ": " + show(a) + " vs " + show(b));
        found += a.outcome == Outcome::Found ? 1 : 0;
    }
    CHECK(checked == 3000 && found > 1000, "random coverage, found " + std::to_string(found));
}

}  // namespace

int main() {
    test_fields();
    test_expressions();
    test_weekday();
    test_next();
    test_random();
    return tarvel::testing::summary();
}
