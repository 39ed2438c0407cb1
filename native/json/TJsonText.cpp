// native/json/TJsonText.cpp: the indent=2 layout, ensure_ascii string escaping and number text
#include "json/TJsonText.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace tarvel::json {

namespace {

// For ASCII: 0 when the character is written as it is, otherwise the character that follows the
// backslash ('u' meaning \u00XX).
constexpr std::array<char, 128> kEscape = [] {
    std::array<char, 128> t{};
    for (std::size_t c = 0; c < 0x20; ++c)
        t[c] = 'u';
    t['"'] = '"';
    t['\\'] = '\\';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['\t'] = 't';
    t['\b'] = 'b';
    t['\f'] = 'f';
    t[0x7f] = 'u';
    return t;
}();

constexpr char kHex[] = "0123456789abcdef";

char* put_u(char* out, std::uint32_t unit) {
    out[0] = '\\';
    out[1] = 'u';
    out[2] = kHex[(unit >> 12) & 0xf];
    out[3] = kHex[(unit >> 8) & 0xf];
    out[4] = kHex[(unit >> 4) & 0xf];
    out[5] = kHex[unit & 0xf];
    return out + 6;
}

// Writes the escape of one code point that is not copied as it is.
char* escape(char* out, std::uint32_t c) {
    if (c < 0x80) {
        const char e = kEscape[c];
        if (e == 'u') return put_u(out, c);
        out[0] = '\\';
        out[1] = e;
        return out + 2;
    }
    if (c >= 0x10000) {
        c -= 0x10000;
        out = put_u(out, 0xd800 | ((c >> 10) & 0x3ff));
        return put_u(out, 0xdc00 | (c & 0x3ff));
    }
    return put_u(out, c);
}

// Whether none of the eight bytes of `x` needs an escape: all in 0x20..0x7e, none '"' or '\\'.
bool plain_word(std::uint64_t x) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t high = 0x8080808080808080ULL;
    const auto has_zero = [](std::uint64_t v) { return (v - ones) & ~v & high; };
    const std::uint64_t below_space = (x - ones * 0x20) & ~x & high;
    const std::uint64_t from_del = ((x + ones) | x) & high;  // bytes >= 0x7f
    return (below_space | from_del | has_zero(x ^ (ones * '"')) | has_zero(x ^ (ones * '\\'))) == 0;
}

// Units handled per reservation, so a huge string does not reserve its worst case at once.
constexpr std::size_t kBlock = 4096;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Numbers
// ---------------------------------------------------------------------------------------------

std::size_t format_double(double v, char* out) {
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX
    char sci[kDoubleChars];
    const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    const char* p = sci;
    char* o = out;
    if (*p == '-') {
        *o++ = '-';
        ++p;
    }
    char digits[24];
    int n = 0;
    for (; p < res.ptr && *p != 'e'; ++p)
        if (*p != '.') digits[n++] = *p;
    ++p;  // 'e'
    const bool negative_exp = *p == '-';
    ++p;
    int exp = 0;
    for (; p < res.ptr; ++p)
        exp = exp * 10 + (*p - '0');
    if (negative_exp) exp = -exp;

    const int point = exp + 1;  // digits d1 d2 ... stand for 0.d1d2... * 10**point
    if (point <= -4 || point > 16) {
        *o++ = digits[0];
        if (n > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, static_cast<std::size_t>(n - 1));
            o += n - 1;
        }
        *o++ = 'e';
        *o++ = negative_exp ? '-' : '+';
        int a = negative_exp ? -exp : exp;
        if (a >= 100) {
            *o++ = static_cast<char>('0' + a / 100);
            a %= 100;
        }
        *o++ = static_cast<char>('0' + a / 10);
        *o++ = static_cast<char>('0' + a % 10);
    } else if (point <= 0) {
        *o++ = '0';
        *o++ = '.';
        for (int i = point; i < 0; ++i)
            *o++ = '0';
        std::memcpy(o, digits, static_cast<std::size_t>(n));
        o += n;
    } else if (point >= n) {
        std::memcpy(o, digits, static_cast<std::size_t>(n));
        o += n;
        for (int i = n; i < point; ++i)
            *o++ = '0';
        *o++ = '.';
        *o++ = '0';
    } else {
        std::memcpy(o, digits, static_cast<std::size_t>(point));
        o += point;
        *o++ = '.';
        std::memcpy(o, digits + point, static_cast<std::size_t>(n - point));
        o += n - point;
    }
    return static_cast<std::size_t>(o - out);
}

// ---------------------------------------------------------------------------------------------
// Buffer
// ---------------------------------------------------------------------------------------------

TextWriter::TextWriter(TextWriter&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      levels_(std::move(other.levels_)) {}

TextWriter& TextWriter::operator=(TextWriter&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        levels_ = std::move(other.levels_);
    }
    return *this;
}

TextWriter::~TextWriter() {
    std::free(data_);
}

void TextWriter::clear() {
    size_ = 0;
    levels_.clear();
}

void TextWriter::grow(std::size_t need) {
    std::size_t cap = capacity_ < 256 ? 256 : capacity_;
    while (cap < need)
        cap += cap / 2;
    void* p = std::realloc(data_, cap);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = cap;
}

// ---------------------------------------------------------------------------------------------
// Layout
// ---------------------------------------------------------------------------------------------

void TextWriter::open(char bracket) {
    levels_.push_back({size_, false});
    *reserve(1) = bracket;
    ++size_;
}

void TextWriter::close(char bracket) {
    const bool had_items = levels_.back().has_items;
    levels_.pop_back();
    if (had_items) newline_indent(levels_.size());
    *reserve(1) = bracket;
    ++size_;
}

void TextWriter::close_object_unfilled() {
    newline_indent(levels_.size());
    levels_.pop_back();
    newline_indent(levels_.size());
    *reserve(1) = '}';
    ++size_;
}

void TextWriter::close_array_unfilled() {
    size_ = levels_.back().open_at;
    levels_.pop_back();
    newline_indent(levels_.size());
    *reserve(1) = ']';
    ++size_;
}

// ---------------------------------------------------------------------------------------------
// Scalars
// ---------------------------------------------------------------------------------------------

void TextWriter::integer(std::int64_t v) {
    char* out = reserve(24);
    commit(std::to_chars(out, out + 24, v).ptr);
}

void TextWriter::number(double v) {
    if (std::isnan(v)) return raw("NaN");
    if (std::isinf(v)) return v > 0 ? raw("Infinity") : raw("-Infinity");
    char* out = reserve(kDoubleChars);
    size_ += format_double(v, out);
}

template <class Unit>
void TextWriter::write_string(const Unit* units, std::size_t n) {
    // Worst case per unit: \uXXXX, or two of them for a character above U+FFFF.
    constexpr std::size_t worst = sizeof(Unit) == 4 ? 12 : 6;
    // 8 spare bytes: the last partial word of a 1-byte string is stored whole
    constexpr std::size_t slack = 8;
    std::size_t i = 0;
    char* out = reserve(2 + slack + worst * (n < kBlock ? n : kBlock));
    *out++ = '"';
    while (i < n) {
        const std::size_t block_end = n - i <= kBlock ? n : i + kBlock;
        if (i != 0) {
            commit(out);
            out = reserve(1 + slack + worst * (block_end - i));
        }
        if constexpr (sizeof(Unit) == 1) {
            while (i + 8 <= block_end) {
                std::uint64_t word;
                std::memcpy(&word, units + i, 8);
                if (plain_word(word)) {
                    std::memcpy(out, units + i, 8);
                    out += 8;
                    i += 8;
                    continue;
                }
                for (const std::size_t stop = i + 8; i < stop; ++i) {
                    const std::uint32_t c = units[i];
                    if (c < 0x80 && kEscape[c] == 0)
                        *out++ = static_cast<char>(c);
                    else
                        out = escape(out, c);
                }
            }
            if (i < block_end) {
                // the short tail, padded with spaces to a whole word
                const std::size_t rest = block_end - i;
                std::uint64_t word = 0x2020202020202020ULL;
                std::memcpy(&word, units + i, rest);
                if (plain_word(word)) {
                    std::memcpy(out, &word, 8);
                    out += rest;
                    i = block_end;
                }
            }
        }
        for (; i < block_end; ++i) {
            const std::uint32_t c = units[i];
            if (c < 0x80 && kEscape[c] == 0)
                *out++ = static_cast<char>(c);
            else
                out = escape(out, c);
        }
    }
    *out++ = '"';
    commit(out);
}

void TextWriter::string(const std::uint8_t* units, std::size_t n) {
    write_string(units, n);
}
void TextWriter::string(const std::uint16_t* units, std::size_t n) {
    write_string(units, n);
}
void TextWriter::string(const std::uint32_t* units, std::size_t n) {
    write_string(units, n);
}

}  // namespace tarvel::json
