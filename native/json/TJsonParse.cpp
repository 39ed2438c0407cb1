// native/json/TJsonParse.cpp: the JSON reader (see TJsonParse.hpp)
#include "json/TJsonParse.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TARVEL_JSON_SSE2 1
#endif

namespace tarvel::json {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at `p` (known to be valid) as a UTF-16 unit.
char32_t hex4(const char* p) {
    char32_t unit = 0;
    for (int i = 0; i < 4; ++i)
        unit = unit * 16 + static_cast<char32_t>(hex_value(p[i]));
    return unit;
}

// Where the first byte from `p` on (before `end`) is a quote, a backslash or a control
// character; `high` gathers whether a byte from 0x80 up came before it. `end` when none does.
const char* find_special(const char* p, const char* end, bool& high) {
#if defined(TARVEL_JSON_SSE2)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i below_space = _mm_set1_epi8(0x1F);
    __m128i highs = _mm_setzero_si128();
    while (end - p >= 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(chunk, below_space), below_space);
        const __m128i special = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)), control);
        const int mask = _mm_movemask_epi8(special);
        if (mask != 0) {
            const int at = std::countr_zero(static_cast<unsigned>(mask));
            const int before = (1 << at) - 1;
            if ((_mm_movemask_epi8(chunk) & before) != 0) high = true;
            if (_mm_movemask_epi8(highs) != 0) high = true;
            return p + at;
        }
        highs = _mm_or_si128(highs, chunk);
        p += 16;
    }
    if (_mm_movemask_epi8(highs) != 0) high = true;
#endif
    for (; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20) return p;
        if (c >= 0x80) high = true;
    }
    return end;
}

// The code point of the UTF-8 sequence at `p` (valid, from a Python str), advancing `p`.
char32_t utf8_at(const char*& p) {
    const auto b0 = static_cast<unsigned char>(*p++);
    if (b0 < 0x80) return b0;
    const auto next = [&p] {
        return static_cast<char32_t>(static_cast<unsigned char>(*p++) & 0x3F);
    };
    if (b0 < 0xE0) return (static_cast<char32_t>(b0 & 0x1F) << 6) | next();
    if (b0 < 0xF0) {
        char32_t c = static_cast<char32_t>(b0 & 0x0F) << 12;
        c |= next() << 6;
        return c | next();
    }
    char32_t c = static_cast<char32_t>(b0 & 0x07) << 18;
    c |= next() << 12;
    c |= next() << 6;
    return c | next();
}

char32_t short_escape(char c) {
    switch (c) {
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        default:
            return static_cast<unsigned char>(c);  // " \ /
    }
}

}  // namespace

void decode(const Value& value, std::vector<char32_t>& out) {
    out.clear();
    const char* p = value.text.data();
    const char* const end = p + value.text.size();
    while (p < end) {
        if (*p != '\\') {
            out.push_back(utf8_at(p));
            continue;
        }
        if (p[1] != 'u') {
            out.push_back(short_escape(p[1]));
            p += 2;
            continue;
        }
        char32_t unit = hex4(p + 2);
        p += 6;
        if (unit >= 0xD800 && unit <= 0xDBFF && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
            const char32_t low = hex4(p + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                p += 6;
            }
        }
        out.push_back(unit);
    }
}

void Reader::skip_run() {
    const char* const base = text_.data();
    const char* p = base + pos_;
    const char* const end = base + text_.size();
#if defined(TARVEL_JSON_SSE2)
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i newline = _mm_set1_epi8('\n');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i cr = _mm_set1_epi8('\r');
    while (end - p >= 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i white =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, space), _mm_cmpeq_epi8(chunk, newline)),
                         _mm_or_si128(_mm_cmpeq_epi8(chunk, tab), _mm_cmpeq_epi8(chunk, cr)));
        const auto other = static_cast<unsigned>(~_mm_movemask_epi8(white)) & 0xFFFFu;
        if (other != 0) {
            pos_ = static_cast<std::size_t>(p - base) +
                   static_cast<std::size_t>(std::countr_zero(other));
            return;
        }
        p += 16;
    }
#endif
    while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t'))
        ++p;
    pos_ = static_cast<std::size_t>(p - base);
}

bool Reader::string(Value& out) {
    out.kind = Kind::String;
    out.escaped = false;
    out.non_ascii = false;
    const char* const base = text_.data();
    const char* const end = base + text_.size();
    const char* p = base + pos_ + 1;  // past the opening quote
    const char* const first = p;
    for (;;) {
        p = find_special(p, end, out.non_ascii);
        if (p == end) return fail();
        if (*p == '"') break;
        if (*p != '\\') return fail();  // a control character
        out.escaped = true;
        if (end - p < 2) return fail();
        const char e = p[1];
        if (e == 'u') {
            if (end - p < 6) return fail();
            for (int i = 2; i < 6; ++i) {
                if (hex_value(p[i]) < 0) return fail();
            }
            p += 6;
        } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' ||
                   e == 'r' || e == 't') {
            p += 2;
        } else {
            return fail();
        }
    }
    out.text = std::string_view(first, static_cast<std::size_t>(p - first));
    pos_ = static_cast<std::size_t>(p + 1 - base);
    return true;
}

bool Reader::number(Value& out) {
    const std::size_t start = pos_;
    std::size_t i = pos_;
    const std::size_t n = text_.size();
    if (text_[i] == '-') ++i;
    if (i >= n) return fail();
    if (text_[i] == '0') {
        ++i;
    } else if (text_[i] >= '1' && text_[i] <= '9') {
        while (i < n && is_digit(text_[i]))
            ++i;
    } else {
        return fail();
    }
    const std::size_t int_end = i;
    bool is_float = false;
    if (i < n && text_[i] == '.') {
        if (i + 1 >= n || !is_digit(text_[i + 1])) return fail();
        i += 2;
        while (i < n && is_digit(text_[i]))
            ++i;
        is_float = true;
    }
    if (i < n && (text_[i] == 'e' || text_[i] == 'E')) {
        ++i;
        if (i < n && (text_[i] == '-' || text_[i] == '+')) ++i;
        if (i >= n || !is_digit(text_[i])) return fail();
        while (i < n && is_digit(text_[i]))
            ++i;
        is_float = true;
    }
    out.text = text_.substr(start, i - start);
    pos_ = i;
    if (is_float) {
        out.kind = Kind::Float;
        const char* first = out.text.data();
        const char* last = first + out.text.size();
        auto [ptr, ec] = std::from_chars(first, last, out.number);
        if (ec != std::errc() || ptr != last || !std::isfinite(out.number)) return fail();
        return true;
    }
    out.kind = Kind::Integer;
    const bool negative = text_[start] == '-';
    const std::size_t digits = int_end - start - (negative ? 1 : 0);
    if (digits > Reader::kMaxIntDigits) return fail();
    out.small = digits <= 18;
    if (out.small) {
        std::int64_t v = 0;
        for (std::size_t k = start + (negative ? 1 : 0); k < int_end; ++k)
            v = v * 10 + (text_[k] - '0');
        out.integer = negative ? -v : v;
    }
    return true;
}

bool Reader::word(std::string_view w, Kind kind, Value& out) {
    if (text_.compare(pos_, w.size(), w) != 0) return fail();
    out.kind = kind;
    out.text = text_.substr(pos_, w.size());
    pos_ += w.size();
    return true;
}

bool Reader::value(Value& out) {
    if (failed_) return false;
    skip_space();
    if (pos_ >= text_.size()) return fail();
    out.begin = pos_;
    switch (text_[pos_]) {
        case '{':
        case '[':
            if (levels_.size() >= kMaxDepth) return fail();
            out.kind = text_[pos_] == '{' ? Kind::Object : Kind::Array;
            levels_.push_back({false});
            ++pos_;
            return true;
        case '"':
            return string(out);
        case 't':
            return word("true", Kind::True, out);
        case 'f':
            return word("false", Kind::False, out);
        case 'n':
            return word("null", Kind::Null, out);
        case 'N':
            return word("NaN", Kind::NaN, out);
        case 'I':
            return word("Infinity", Kind::Infinity, out);
        case '-':
            if (pos_ + 1 < text_.size() && text_[pos_ + 1] == 'I')
                return word("-Infinity", Kind::NegInfinity, out);
            return number(out);
        default:
            if (is_digit(text_[pos_])) return number(out);
            return fail();
    }
}

bool Reader::close(char bracket) {
    if (text_[pos_] != bracket) return fail();
    last_close_ = pos_;
    ++pos_;
    levels_.pop_back();
    return false;
}

bool Reader::next_member(Value& key) {
    if (failed_ || levels_.empty()) return fail();
    skip_space();
    if (pos_ >= text_.size()) return fail();
    Level& level = levels_.back();
    if (text_[pos_] == '}') return close('}');
    if (level.has_items) {
        if (text_[pos_] != ',') return fail();
        ++pos_;
        skip_space();
        if (pos_ >= text_.size()) return fail();
    }
    if (text_[pos_] != '"') return fail();
    key.begin = pos_;
    if (!string(key)) return false;
    skip_space();
    if (pos_ >= text_.size() || text_[pos_] != ':') return fail();
    ++pos_;
    level.has_items = true;
    return true;
}

bool Reader::next_element() {
    if (failed_ || levels_.empty()) return fail();
    skip_space();
    if (pos_ >= text_.size()) return fail();
    Level& level = levels_.back();
    if (text_[pos_] == ']') return close(']');
    if (level.has_items) {
        if (text_[pos_] != ',') return fail();
        ++pos_;
    }
    level.has_items = true;
    return true;
}

bool Reader::skip_value() {
    Value v;
    if (!value(v)) return false;
    if (v.kind == Kind::Object) {
        Value key;
        while (next_member(key)) {
            if (!skip_value()) return false;
        }
    } else if (v.kind == Kind::Array) {
        while (next_element()) {
            if (!skip_value()) return false;
        }
    }
    return ok();
}

bool Reader::finish() {
    if (failed_ || !levels_.empty()) return fail();
    skip_space();
    if (pos_ != text_.size()) return fail();
    return true;
}

}  // namespace tarvel::json
