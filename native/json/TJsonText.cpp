// native/json/TJsonText.cpp: the indent=2 layout, ensure_ascii string escaping and number text
#include "json/TJsonText.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

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

bool plain(std::uint32_t c) {
    return c < 0x80 && kEscape[c] == 0;
}

// Writes one code point: as it is, or escaped.
char* put(char* out, std::uint32_t c) {
    if (!plain(c)) return escape(out, c);
    *out++ = static_cast<char>(c);
    return out;
}

// Runs of characters written as they are (0x20..0x7e but '"' and '\\') are found a window of
// units at a time. plain_window() copies a window to `out` (as bytes; what follows its plain
// run is scrap, to be written over) and tells how many of its units lead it as a plain run.
#if defined(__SSE2__) || defined(_M_X64)
constexpr std::size_t kWindow = 16;  // bytes

unsigned plain_window(const std::uint8_t* units, char* out) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
    // as signed bytes, "below 0x20" takes in 0x80..0xff too
    const __m128i low = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
    const __m128i del = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7f));
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    const auto mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(low, del), _mm_or_si128(quote, backslash))));
    return mask == 0 ? 16 : static_cast<unsigned>(std::countr_zero(mask));
}

unsigned plain_window(const std::uint16_t* units, char* out) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, v));
    // as signed units, "below 0x20" takes in 0x8000..0xffff too
    const __m128i low = _mm_cmplt_epi16(v, _mm_set1_epi16(0x20));
    const __m128i high = _mm_cmpgt_epi16(v, _mm_set1_epi16(0x7e));
    const __m128i quote = _mm_cmpeq_epi16(v, _mm_set1_epi16('"'));
    const __m128i backslash = _mm_cmpeq_epi16(v, _mm_set1_epi16('\\'));
    const auto mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(low, high), _mm_or_si128(quote, backslash))));
    return mask == 0 ? 8 : static_cast<unsigned>(std::countr_zero(mask)) / 2;
}
#else
constexpr std::size_t kWindow = 8;  // bytes

template <class Unit>
unsigned plain_window(const Unit* units, char* out) {
    constexpr unsigned n = kWindow / sizeof(Unit);
    unsigned i = 0;
    for (; i < n && plain(units[i]); ++i)
        out[i] = static_cast<char>(units[i]);
    return i;
}
#endif

// Writes `n` units, escaped, without the quotes; `out` has room for the worst case.
template <class Unit>
char* put_units(const Unit* units, std::size_t n, char* out) {
    std::size_t i = 0;
    if constexpr (sizeof(Unit) < 4) {
        constexpr std::size_t window = kWindow / sizeof(Unit);
        while (i + window <= n) {
            const unsigned run = plain_window(units + i, out);
            out += run;
            i += run;
            // escapes come in runs too (text in other scripts): one unit at a time up to two
            // plain ones in a row
            while (run < window && i < n && !(plain(units[i]) && i + 1 < n && plain(units[i + 1])))
                out = put(out, units[i++]);
        }
    }
    for (; i < n; ++i)
        out = put(out, units[i]);
    return out;
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
    levels_.push_back({false});
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
    char* out = reserve(2 + worst * std::min(n, kBlock));
    *out++ = '"';
    for (std::size_t i = 0; i < n;) {
        const std::size_t count = std::min(n - i, kBlock);
        if (i != 0) {
            commit(out);
            out = reserve(1 + worst * count);
        }
        out = put_units(units + i, count, out);
        i += count;
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
