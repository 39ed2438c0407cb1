// native/cron/TCronParse.cpp: whitespace, exact ASCII integers and bit sets of parsed fields
#include "cron/TCronParse.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>

namespace tarvel::cron {

// ---------------------------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------------------------

ParseError ParseError::field_count(std::size_t n) {
    return ParseError(Kind::FieldCount, n, {}, "expected 5 fields, got " + std::to_string(n));
}

ParseError ParseError::integer(std::string_view t) {
    std::string s(t);
    return ParseError(Kind::Integer, 0, s, "invalid integer: '" + s + "'");
}

ParseError ParseError::zero_step() {
    return ParseError(Kind::ZeroStep, 0, {}, "step must not be zero");
}

// ---------------------------------------------------------------------------------------------
// Whitespace
// ---------------------------------------------------------------------------------------------

namespace {

bool ascii_space(unsigned char c) {
    return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20);
}

// Length in bytes of the whitespace code point starting at byte i, or 0. Every multi-byte space
// starts with a lead byte, which never occurs inside another character, so matching the byte
// pattern at any offset is the same as decoding.
std::size_t space_at(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (ascii_space(c)) return 1;
    const std::size_t left = s.size() - i;
    if (c == 0xc2 && left >= 2) {
        const auto b = static_cast<unsigned char>(s[i + 1]);
        return b == 0x85 || b == 0xa0 ? 2 : 0;
    }
    if (left < 3) return 0;
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    const auto b2 = static_cast<unsigned char>(s[i + 2]);
    switch (c) {
        case 0xe1:  // U+1680
            return b1 == 0x9a && b2 == 0x80 ? 3 : 0;
        case 0xe2:  // U+2000-U+200A, U+2028, U+2029, U+202F, U+205F
            if (b1 == 0x80 &&
                ((b2 >= 0x80 && b2 <= 0x8a) || b2 == 0xa8 || b2 == 0xa9 || b2 == 0xaf))
                return 3;
            return b1 == 0x81 && b2 == 0x9f ? 3 : 0;
        case 0xe3:  // U+3000
            return b1 == 0x80 && b2 == 0x80 ? 3 : 0;
        default:
            return 0;
    }
}

// Length in bytes of the whitespace code point ending just before byte `end`, or 0.
std::size_t space_before(std::string_view s, std::size_t end) {
    for (std::size_t n = 1; n <= 3 && n <= end; ++n) {
        if (space_at(s, end - n) == n) return n;
    }
    return 0;
}

}  // namespace

std::string_view strip_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t n = space_at(text, begin);
        if (n == 0) break;
        begin += n;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t n = space_before(text, end);
        if (n == 0) break;
        end -= n;
    }
    return text.substr(begin, end - begin);
}

std::vector<std::string_view> split_space(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t i = 0;
    std::size_t word = std::string_view::npos;  // start of the current part, if inside one
    while (i < text.size()) {
        const std::size_t n = space_at(text, i);
        if (n == 0) {
            if (word == std::string_view::npos) word = i;
            ++i;
            continue;
        }
        if (word != std::string_view::npos) {
            parts.push_back(text.substr(word, i - word));
            word = std::string_view::npos;
        }
        i += n;
    }
    if (word != std::string_view::npos) parts.push_back(text.substr(word));
    return parts;
}

// ---------------------------------------------------------------------------------------------
// AsciiInts: magnitudes as little-endian base-2^32 limbs
// ---------------------------------------------------------------------------------------------

namespace {

using Mag = std::vector<std::uint32_t>;

void trim(Mag& a) {
    while (!a.empty() && a.back() == 0)
        a.pop_back();
}

Mag from_u64(std::uint64_t v) {
    Mag a;
    for (; v != 0; v >>= 32)
        a.push_back(static_cast<std::uint32_t>(v));
    return a;
}

std::optional<std::uint64_t> to_u64(const Mag& a) {
    if (a.size() > 2) return std::nullopt;
    std::uint64_t v = 0;
    for (std::size_t i = a.size(); i-- > 0;)
        v = v << 32 | a[i];
    return v;
}

int compare(const Mag& a, const Mag& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

// a -= b, requires a >= b.
void sub_in_place(Mag& a, const Mag& b) {
    std::uint32_t borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::uint64_t take = static_cast<std::uint64_t>(i < b.size() ? b[i] : 0) + borrow;
        borrow = a[i] < take ? 1 : 0;
        a[i] = static_cast<std::uint32_t>((std::uint64_t{1} << 32) + a[i] - take);
    }
    trim(a);
}

Mag sub(Mag a, const Mag& b) {
    sub_in_place(a, b);
    return a;
}

void mul_add(Mag& a, std::uint32_t mul, std::uint32_t add) {
    std::uint64_t carry = add;
    for (auto& limb : a) {
        const std::uint64_t x = std::uint64_t{limb} * mul + carry;
        limb = static_cast<std::uint32_t>(x);
        carry = x >> 32;
    }
    if (carry != 0) a.push_back(static_cast<std::uint32_t>(carry));
}

// a mod b, b non-zero.
Mag mod(const Mag& a, const Mag& b) {
    if (compare(a, b) < 0) return a;
    if (b.size() == 1) {
        std::uint64_t r = 0;
        for (std::size_t i = a.size(); i-- > 0;)
            r = ((r << 32) | a[i]) % b[0];
        return from_u64(r);
    }
    Mag r;
    for (std::size_t bit = a.size() * 32; bit-- > 0;) {
        std::uint32_t carry = (a[bit / 32] >> (bit % 32)) & 1;
        for (auto& limb : r) {
            const std::uint32_t out = limb >> 31;
            limb = limb << 1 | carry;
            carry = out;
        }
        if (carry != 0) r.push_back(carry);
        if (compare(r, b) >= 0) sub_in_place(r, b);
    }
    return r;
}

// The residue of a signed value modulo a positive m, in [0, m).
Mag residue(bool negative, const Mag& magnitude, const Mag& m) {
    Mag r = mod(magnitude, m);
    return negative && !r.empty() ? sub(m, r) : r;
}

bool ascii_int_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

AsciiInts::Int AsciiInts::parse(std::string_view text) {
    std::string_view t = text;
    while (!t.empty() && ascii_int_space(t.front()))
        t.remove_prefix(1);
    while (!t.empty() && ascii_int_space(t.back()))
        t.remove_suffix(1);
    Int v;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        v.negative = t.front() == '-';
        t.remove_prefix(1);
    }
    if (t.empty() || t.front() == '_' || t.back() == '_') throw ParseError::integer(text);
    bool after_underscore = false;
    for (char c : t) {
        if (c == '_') {
            if (after_underscore) throw ParseError::integer(text);
            after_underscore = true;
            continue;
        }
        if (c < '0' || c > '9') throw ParseError::integer(text);
        after_underscore = false;
        mul_add(v.magnitude, 10, static_cast<std::uint32_t>(c - '0'));
    }
    if (v.magnitude.empty()) v.negative = false;
    return v;
}

int AsciiInts::sign(const Int& v) {
    return v.magnitude.empty() ? 0 : (v.negative ? -1 : 1);
}

std::int64_t AsciiInts::clamp(const Int& v, std::int64_t lo, std::int64_t hi) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::optional<std::uint64_t> u = to_u64(v.magnitude);
    if (!v.negative) {
        if (!u || *u > kMax) return hi;
        return std::clamp(static_cast<std::int64_t>(*u), lo, hi);
    }
    if (!u || *u > kMax + 1) return lo;
    // -u computed in unsigned arithmetic, then reinterpreted (two's complement)
    return std::clamp(static_cast<std::int64_t>(0 - *u), lo, hi);
}

std::int64_t AsciiInts::align_up(const Int& start, const Int& step, std::int64_t lo,
                                 std::int64_t cap) {
    if (cap < lo) return cap;
    const auto ulo = static_cast<std::uint64_t>(lo);
    const Mag rs = residue(start.negative, start.magnitude, step.magnitude);
    const Mag rl = residue(lo < 0, from_u64(lo < 0 ? 0 - ulo : ulo), step.magnitude);
    // distance from lo up to the next value congruent to start
    const Mag d = compare(rs, rl) >= 0 ? sub(rs, rl) : sub(step.magnitude, sub(rl, rs));
    const std::uint64_t room = static_cast<std::uint64_t>(cap) - ulo;
    const std::optional<std::uint64_t> ud = to_u64(d);
    if (!ud || *ud > room) return cap;
    return static_cast<std::int64_t>(ulo + *ud);
}

// ---------------------------------------------------------------------------------------------
// Bit sets
// ---------------------------------------------------------------------------------------------

std::uint64_t to_bits(const std::vector<Progression>& field) {
    std::uint64_t bits = 0;
    for (const Progression& p : field) {
        for (std::int64_t v = p.first;; v += p.step) {
            bits |= std::uint64_t{1} << v;
            if (p.last - v < p.step) break;
        }
    }
    return bits;
}

}  // namespace tarvel::cron
