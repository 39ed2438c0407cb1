// native/tests/test_json.cpp: table-driven tests of the JSON text writer (layout, escapes, numbers)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "json/TJsonText.hpp"
#include "tests/check.hpp"

using namespace tarvel::json;

namespace {

// Shows text with control characters visible, for failure messages.
std::string shown(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// ---- the escape rules written out independently, one code point at a time -----------------

std::string u4(std::uint32_t unit) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(unit));
    return buf;
}

std::string reference_string(const std::vector<std::uint32_t>& cps) {
    std::string out = "\"";
    for (std::uint32_t c : cps) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c >= 0x20 && c < 0x7f) {
                    out += static_cast<char>(c);
                } else if (c < 0x10000) {
                    out += u4(c);
                } else {
                    const std::uint32_t v = c - 0x10000;
                    out += u4(0xd800 + (v >> 10));
                    out += u4(0xdc00 + (v & 0x3ff));
                }
        }
    }
    return out + "\"";
}

// Writes the code points with the narrowest unit that holds them all, or with `width`.
std::string written(const std::vector<std::uint32_t>& cps, int width = 0) {
    std::uint32_t max = 0;
    for (std::uint32_t c : cps)
        max = c > max ? c : max;
    if (width == 0) width = max < 0x100 ? 1 : max < 0x10000 ? 2 : 4;
    TextWriter w;
    if (width == 1) {
        std::vector<std::uint8_t> u(cps.begin(), cps.end());
        w.string(u.data(), u.size());
    } else if (width == 2) {
        std::vector<std::uint16_t> u(cps.begin(), cps.end());
        w.string(u.data(), u.size());
    } else {
        w.string(cps.data(), cps.size());
    }
    return std::string(w.text());
}

// ---- strings -----------------------------------------------------------------------------------

struct StringCase {
    std::vector<std::uint32_t> cps;
    const char* want;
};

void test_strings() {
    const std::vector<StringCase> cases = {
        {{}, R"("")"},
        {{'a', 'b', 'c'}, R"("abc")"},
        {{'"', '\\', '/'}, R"("\"\\/")"},
        {{'\n', '\r', '\t', '\b', '\f'}, R"("\n\r\t\b\f")"},
        {{0x00, 0x01, 0x1f, 0x0b}, R"("\u0000\u0001\u001f\u000b")"},
        {{0x20, 0x7e, 0x7f}, R"(" ~\u007f")"},
        {{0x80, 0xe9, 0xff}, R"("\u0080\u00e9\u00ff")"},
        {{'c', 'a', 'f', 0xe9}, R"("caf\u00e9")"},
        {{0x100, 0x20ac, 0xabcd, 0xfffe, 0xffff}, R"("\u0100\u20ac\uabcd\ufffe\uffff")"},
        {{0x1f600}, R"("\ud83d\ude00")"},
        {{0x10000, 0x10ffff}, R"("\ud800\udc00\udbff\udfff")"},
        {{0xd800}, R"("\ud800")"},
        {{0xdfff, 'x', 0xdc00}, R"("\udfffx\udc00")"},
        {{0xd83d, 0xde00}, R"("\ud83d\ude00")"},
        {{'a', 0x1f600, 'b', 0xd800, 'c'}, R"("a\ud83d\ude00b\ud800c")"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const StringCase& c = cases[i];
        const std::string want = c.want;
        const std::string what = "string case #" + std::to_string(i);
        CHECK(written(c.cps) == want, what + ": " + written(c.cps) + " vs " + want);
        CHECK(reference_string(c.cps) == want, what + " (reference)");
        for (int width : {2, 4}) {
            std::uint32_t max = 0;
            for (std::uint32_t cp : c.cps)
                max = cp > max ? cp : max;
            if (width == 2 && max >= 0x10000) continue;
            CHECK(written(c.cps, width) == want, what + " width " + std::to_string(width));
        }
    }
}

// Every position of an escape inside and around the windows of the 1- and 2-byte fast paths.
void test_string_alignment() {
    const std::vector<std::uint32_t> escaped = {'"',  '\\', 0x00,  0x1f,   0x7f,   0x80,
                                                0xff, '\n', 0x100, 0x7fff, 0x8000, 0xffff};
    int checked = 0;
    for (int width : {1, 2}) {
        for (std::size_t len = 0; len <= 40; ++len) {
            for (std::size_t at = 0; at < len; ++at) {
                for (std::uint32_t s : escaped) {
                    if (width == 1 && s > 0xff) continue;
                    std::vector<std::uint32_t> cps(len);
                    for (std::size_t k = 0; k < len; ++k)
                        cps[k] = static_cast<std::uint32_t>('A' + (k % 26));
                    cps[at] = s;
                    CHECK(written(cps, width) == reference_string(cps),
                          "width " + std::to_string(width) + " len " + std::to_string(len) +
                              " escape at " + std::to_string(at) + " of " + u4(s));
                    ++checked;
                }
            }
        }
    }
    CHECK(checked > 15000, "alignment coverage");
}

void test_random_strings() {
    std::mt19937_64 rng(20240611);
    const auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
        return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
    };
    for (int round = 0; round < 3000; ++round) {
        const int width = round % 3 == 0 ? 1 : round % 3 == 1 ? 2 : 4;
        const std::uint32_t top = width == 1 ? 0xff : width == 2 ? 0xffff : 0x10ffff;
        std::vector<std::uint32_t> cps(pick(0, 120));
        for (std::uint32_t& c : cps) {
            switch (pick(0, 3)) {
                case 0:
                    c = pick(0, 0x7f);
                    break;
                case 1:
                    c = pick(0x20, 0x7e);
                    break;
                case 2:
                    c = pick(0, top);
                    break;
                default:
                    c = width == 1 ? pick(0x80, 0xff) : pick(0xd800, 0xdfff);
            }
        }
        const std::string want = reference_string(cps);
        CHECK(written(cps, width) == want, "random string #" + std::to_string(round));
    }
    // a long string crosses the writer's internal blocks
    std::vector<std::uint32_t> long_text(20000);
    for (std::size_t k = 0; k < long_text.size(); ++k)
        long_text[k] = k % 7 == 0 ? 0x1f600 : k % 5 == 0 ? '\n' : 'a' + static_cast<int>(k % 26);
    CHECK(written(long_text, 4) == reference_string(long_text), "long astral string");
    std::vector<std::uint32_t> long_latin(10000, 0xe9);
    CHECK(written(long_latin, 1) == reference_string(long_latin), "long escaped latin-1 string");
    // plain text across the internal blocks, with escapes on and next to their edges
    for (std::size_t len : {4095, 4096, 4097, 8192 + 5}) {
        for (std::size_t at : {std::size_t{0}, std::size_t{4095}, std::size_t{4096}, len - 1}) {
            std::vector<std::uint32_t> cps(len, 'x');
            if (at < len) cps[at] = '"';
            for (int width : {1, 2, 4})
                CHECK(written(cps, width) == reference_string(cps),
                      "block edge, length " + std::to_string(len) + " escape at " +
                          std::to_string(at) + " width " + std::to_string(width));
        }
    }
}

// ---- numbers -----------------------------------------------------------------------------------

struct FloatCase {
    double v;
    const char* want;  // repr(v) on CPython
};

void test_numbers() {
    const std::vector<FloatCase> floats = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {-1.5, "-1.5"},
        {0.1, "0.1"},
        {0.3, "0.3"},
        {2.0 / 3.0, "0.6666666666666666"},
        {1.0 / 3.0, "0.3333333333333333"},
        {100.0, "100.0"},
        {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e16, "1e+16"},
        {1.5e16, "1.5e+16"},
        {1.2345678901234567e+19, "1.2345678901234567e+19"},
        {1e22, "1e+22"},
        {1e100, "1e+100"},
        {0.0001, "0.0001"},
        {0.0001234, "0.0001234"},
        {1e-05, "1e-05"},
        {1.5e-05, "1.5e-05"},
        {1e-07, "1e-07"},
        {5e-324, "5e-324"},
        {2.2250738585072014e-308, "2.2250738585072014e-308"},
        {1.7976931348623157e+308, "1.7976931348623157e+308"},
        {123456.789, "123456.789"},
        {-1.23456e-08, "-1.23456e-08"},
        {4.35, "4.35"},
        {0.5, "0.5"},
        {0.0025, "0.0025"},
        {9007199254740992.0, "9007199254740992.0"},
        {1234567890123456.8, "1234567890123456.8"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {std::numeric_limits<double>::infinity(), "Infinity"},
        {-std::numeric_limits<double>::infinity(), "-Infinity"},
    };
    for (const FloatCase& c : floats) {
        TextWriter w;
        w.number(c.v);
        CHECK(w.text() == c.want, std::string(w.text()) + " vs " + c.want);
    }

    const std::vector<std::pair<std::int64_t, const char*>> ints = {
        {0, "0"},
        {-1, "-1"},
        {42, "42"},
        {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
        {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
    };
    for (const auto& [v, want] : ints) {
        TextWriter w;
        w.integer(v);
        CHECK(w.text() == want, std::string(w.text()) + " vs " + want);
    }

    // every formatted double reads back as the same value
    std::mt19937_64 rng(7);
    int exact = 0;
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) continue;
        char buf[kDoubleChars];
        const std::size_t n = format_double(v, buf);
        const std::string text(buf, n);
        exact += std::strtod(text.c_str(), nullptr) == v ? 1 : 0;
        if (std::strtod(text.c_str(), nullptr) != v) CHECK(false, "round trip of " + text);
    }
    CHECK(exact > 190000, "round trips: " + std::to_string(exact));
}

// ---- layout ------------------------------------------------------------------------------------

void key(TextWriter& w, const char* k) {
    w.next_item();
    std::vector<std::uint8_t> u(k, k + std::strlen(k));
    w.string(u.data(), u.size());
    w.key_separator();
}

struct LayoutCase {
    const char* name;
    std::function<void(TextWriter&)> build;
    const char* want;
};

void test_layout() {
    const std::vector<LayoutCase> cases = {
        {"empty object", [](TextWriter& w) { w.open_object(), w.close_object(); }, "{}"},
        {"empty array", [](TextWriter& w) { w.open_array(), w.close_array(); }, "[]"},
        {"scalar", [](TextWriter& w) { w.null(); }, "null"},
        {"array of scalars",
         [](TextWriter& w) {
             w.open_array();
             w.next_item(), w.integer(1);
             w.next_item(), w.boolean(true);
             w.next_item(), w.boolean(false);
             w.next_item(), w.null();
             w.close_array();
         },
         "[\n  1,\n  true,\n  false,\n  null\n]"},
        {"object with nested containers",
         [](TextWriter& w) {
             w.open_object();
             key(w, "a"), w.open_array();
             w.next_item(), w.number(2.5);
             w.next_item(), w.open_object(), w.close_object();
             w.next_item(), w.open_array(), w.close_array();
             w.close_array();
             key(w, "b"), w.open_object();
             key(w, "c"), w.open_object();
             key(w, "d"), w.raw("123456789012345678901234567890");
             w.close_object();
             w.close_object();
             key(w, "e"), w.open_array(), w.close_array();
             w.close_object();
         },
         "{\n  \"a\": [\n    2.5,\n    {},\n    []\n  ],\n  \"b\": {\n    \"c\": {\n      \"d\": "
         "123456789012345678901234567890\n    }\n  },\n  \"e\": []\n}"},
    };
    for (const LayoutCase& c : cases) {
        TextWriter w;
        c.build(w);
        CHECK(w.text() == c.want, std::string(c.name) + ": " + shown(w.text()));
        CHECK(w.depth() == 0, std::string(c.name) + ": containers left open");
    }

    // depth and reuse after clear()
    TextWriter w;
    for (int i = 0; i < 40; ++i) {
        w.open_array();
        w.next_item();
    }
    w.integer(7);
    CHECK(w.depth() == 40, "40 open arrays");
    for (int i = 0; i < 40; ++i)
        w.close_array();
    std::string want;
    for (int i = 0; i < 40; ++i)
        want += "[\n" + std::string(2 * (i + 1), ' ');
    want += "7";
    for (int i = 39; i >= 0; --i)
        want += "\n" + std::string(2 * i, ' ') + "]";
    CHECK(w.text() == want, "deep nesting");
    w.clear();
    CHECK(w.text().empty() && w.depth() == 0, "clear");
    w.open_object(), w.close_object();
    CHECK(w.text() == "{}", "reuse after clear");
    TextWriter moved = std::move(w);
    CHECK(moved.text() == "{}" && w.text().empty(), "move");
}

}  // namespace

int main() {
    test_strings();
    test_string_alignment();
    test_random_strings();
    test_numbers();
    test_layout();
    return tarvel::testing::summary();
}
