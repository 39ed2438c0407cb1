// native/cron/TCronParse.hpp: cron field and expression parsing into bit sets (no Python)
#pragma once

#include <concepts>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cron/TCronSchedule.hpp"

namespace tarvel::cron {

// ---------------------------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------------------------

// Raised by the parser. An integer policy may also throw its own exception types; the parser lets
// those propagate untouched.
struct ParseError : std::runtime_error {
    enum class Kind { FieldCount, Integer, ZeroStep };

    Kind kind;
    std::size_t count = 0;  // FieldCount: how many whitespace-separated fields were found
    std::string text;       // Integer: the exact text handed to integer conversion

    ParseError(Kind k, std::size_t n, std::string t, const std::string& message)
        : std::runtime_error(message), kind(k), count(n), text(std::move(t)) {}

    static ParseError field_count(std::size_t n);
    static ParseError integer(std::string_view t);
    static ParseError zero_step();
};

// ---------------------------------------------------------------------------------------------
// Whitespace (the set used by Python's str.strip()/str.split() without arguments)
// ---------------------------------------------------------------------------------------------
//
// Text is UTF-8, possibly carrying surrogate code points encoded the 3-byte way. Whitespace is
// U+0009-U+000D, U+001C-U+001F, U+0020, U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029,
// U+202F, U+205F and U+3000. Undecodable bytes never count as whitespace.

std::string_view strip_space(std::string_view text);
std::vector<std::string_view> split_space(std::string_view text);  // runs of space, no empties

// ---------------------------------------------------------------------------------------------
// Integer policy
// ---------------------------------------------------------------------------------------------
//
// Field numbers may be arbitrarily large, so the parser never holds them in a machine integer.
// It asks a policy object instead:
//
//   struct SomeInts {
//       using Int = ...;                        // copyable/movable
//       Int parse(std::string_view text);       // integer conversion of the raw (unstripped)
//                                               // text; throws on failure
//       int sign(const Int& v);                 // -1, 0 or 1
//       std::int64_t clamp(const Int& v, std::int64_t lo, std::int64_t hi);  // v limited to
//                                                                            // [lo, hi]
//       // smallest value >= lo congruent to start modulo step, limited to at most cap
//       // (called only with step > 0 and start < lo)
//       std::int64_t align_up(const Int& start, const Int& step, std::int64_t lo,
//                             std::int64_t cap);
//   };
template <class P>
concept IntPolicy = requires(P& p, const typename P::Int& v, std::string_view t, std::int64_t a) {
    { p.parse(t) } -> std::convertible_to<typename P::Int>;
    { p.sign(v) } -> std::convertible_to<int>;
    { p.clamp(v, a, a) } -> std::convertible_to<std::int64_t>;
    { p.align_up(v, v, a, a) } -> std::convertible_to<std::int64_t>;
};

// Exact integers for ASCII text, following Python's int(text): optional surrounding whitespace
// (tab, LF, VT, FF, CR, space), an optional single sign, then decimal digits with single
// underscores allowed between digits. Anything else (including any non-ASCII byte) throws
// ParseError of kind Integer. Values of any size are exact.
struct AsciiInts {
    struct Int {
        bool negative = false;
        std::vector<std::uint32_t> magnitude;  // little-endian base 2^32, no leading zero limbs
    };

    Int parse(std::string_view text);
    int sign(const Int& v);
    std::int64_t clamp(const Int& v, std::int64_t lo, std::int64_t hi);
    std::int64_t align_up(const Int& start, const Int& step, std::int64_t lo, std::int64_t cap);
};

// ---------------------------------------------------------------------------------------------
// Field parsing
// ---------------------------------------------------------------------------------------------

// The values first, first + step, ... up to last. Always first <= last and step > 0.
struct Progression {
    std::int64_t first, last, step;
};

// Bit v set for every value v of the progressions (all values must lie in 0..63).
std::uint64_t to_bits(const std::vector<Progression>& field);

namespace detail {

template <IntPolicy Ints>
void parse_item(std::string_view item, std::int64_t lo, std::int64_t hi, Ints& ints,
                std::vector<Progression>& out) {
    if (item == "*") {
        out.push_back({lo, hi, 1});
        return;
    }
    if (auto slash = item.find('/'); slash != std::string_view::npos) {
        std::string_view base = item.substr(0, slash);
        auto step = ints.parse(item.substr(slash + 1));
        std::int64_t first = lo;
        if (base == "*") {
            int sg = ints.sign(step);
            if (sg == 0) throw ParseError::zero_step();
            if (sg < 0) return;
        } else {
            auto start = ints.parse(base);
            int sg = ints.sign(step);
            if (sg == 0) throw ParseError::zero_step();
            if (sg < 0) return;
            std::int64_t c = ints.clamp(start, lo - 1, hi + 1);
            if (c > hi) return;
            first = c >= lo ? c : ints.align_up(start, step, lo, hi + 1);
            if (first > hi) return;
        }
        // A step wider than the range yields at most one value; capping it keeps sums in range.
        std::int64_t st = ints.clamp(step, 1, hi - lo + 1);
        out.push_back({first, first + (hi - first) / st * st, st});
        return;
    }
    if (auto dash = item.find('-'); dash != std::string_view::npos) {
        auto low = ints.parse(item.substr(0, dash));
        auto high = ints.parse(item.substr(dash + 1));
        std::int64_t f = ints.clamp(low, lo, hi + 1);
        std::int64_t l = ints.clamp(high, lo - 1, hi);
        if (f <= l) out.push_back({f, l, 1});
        return;
    }
    std::int64_t v = ints.clamp(ints.parse(item), lo - 1, hi + 1);
    if (v >= lo && v <= hi) out.push_back({v, v, 1});
}

}  // namespace detail

// Parses one field: comma-separated items, each "*", "base/step" (base "*" or a number),
// "low-high" or a single number. Values outside [lo, hi] are dropped, so the result may be empty.
// Requires |lo|, |hi| < 2^62; lo > hi gives no values.
template <IntPolicy Ints>
std::vector<Progression> parse_field(std::string_view text, std::int64_t lo, std::int64_t hi,
                                     Ints& ints) {
    if (lo > hi) {
        // Nothing lies in bounds, yet every item is still converted and may still fail.
        parse_field(text, lo, lo, ints);
        return {};
    }
    std::vector<Progression> out;
    std::size_t pos = 0;
    for (;;) {
        std::size_t comma = text.find(',', pos);
        std::size_t len = comma == std::string_view::npos ? std::string_view::npos : comma - pos;
        detail::parse_item(strip_space(text.substr(pos, len)), lo, hi, ints, out);
        if (comma == std::string_view::npos) break;
        pos = comma + 1;
    }
    return out;
}

// Parses "minute hour day-of-month month day-of-week".
template <IntPolicy Ints>
Schedule parse_expression(std::string_view text, Ints& ints) {
    std::vector<std::string_view> parts = split_space(strip_space(text));
    if (parts.size() != 5) throw ParseError::field_count(parts.size());
    Schedule s;
    s.minute = to_bits(parse_field(parts[0], 0, 59, ints));
    s.hour = static_cast<std::uint32_t>(to_bits(parse_field(parts[1], 0, 23, ints)));
    s.dom = static_cast<std::uint32_t>(to_bits(parse_field(parts[2], 1, 31, ints)));
    s.month = static_cast<std::uint16_t>(to_bits(parse_field(parts[3], 1, 12, ints)));
    s.dow = static_cast<std::uint8_t>(to_bits(parse_field(parts[4], 0, 6, ints)));
    return s;
}

}  // namespace tarvel::cron
