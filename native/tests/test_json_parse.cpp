// native/tests/test_json_parse.cpp: table-driven tests of the JSON reader: what json.loads accepts
// is read to the values written down here, what it refuses makes the reader fail
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "json/TJsonParse.hpp"
#include "tests/check.hpp"

using namespace tarvel::json;

namespace {

// A value shown as Python's repr would show what json.loads returns, code points above U+007E
// as \uXXXX or \UXXXXXXXX, floats with %.17g.
std::string shown_string(const Value& v) {
    std::string out = "'";
    std::vector<char32_t> cps;
    if (v.escaped || v.non_ascii) {
        decode(v, cps);
    } else {
        cps.assign(v.text.begin(), v.text.end());
    }
    for (char32_t c : cps) {
        char buf[16];
        if (c >= 0x20 && c < 0x7F && c != '\'' && c != '\\') {
            out += static_cast<char>(c);
            continue;
        }
        std::snprintf(buf, sizeof buf, c > 0xFFFF ? "\\U%08x" : "\\u%04x",
                      static_cast<unsigned>(c));
        out += buf;
    }
    return out + "'";
}

bool show(Reader& r, std::string& out);

bool show_items(Reader& r, const Value& v, std::string& out) {
    if (v.kind == Kind::Object) {
        out += "{";
        Value key;
        for (bool first = true; r.next_member(key); first = false) {
            if (!first) out += ", ";
            out += shown_string(key) + ": ";
            if (!show(r, out)) return false;
        }
        out += "}";
    } else {
        out += "[";
        for (bool first = true; r.next_element(); first = false) {
            if (!first) out += ", ";
            if (!show(r, out)) return false;
        }
        out += "]";
    }
    return r.ok();
}

bool show(Reader& r, std::string& out) {
    Value v;
    if (!r.value(v)) return false;
    char buf[64];
    switch (v.kind) {
        case Kind::Object:
        case Kind::Array:
            return show_items(r, v, out);
        case Kind::String:
            out += shown_string(v);
            break;
        case Kind::Integer:
            if (v.small) {
                std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v.integer));
                out += buf;
            } else {
                out += "big:" + std::string(v.text);
            }
            break;
        case Kind::Float:
            std::snprintf(buf, sizeof buf, "%.17g", v.number);
            out += std::string("f:") + buf;
            break;
        case Kind::True:
            out += "True";
            break;
        case Kind::False:
            out += "False";
            break;
        case Kind::Null:
            out += "None";
            break;
        case Kind::NaN:
            out += "nan";
            break;
        case Kind::Infinity:
            out += "inf";
            break;
        case Kind::NegInfinity:
            out += "-inf";
            break;
    }
    return true;
}

// The document read whole, or "FAIL".
std::string read(const std::string& text) {
    Reader r(text);
    std::string out;
    if (!show(r, out) || !r.finish()) return "FAIL";
    return out;
}

struct Case {
    const char* text;
    const char* expected;
};

// What json.loads gives for each text (duplicates are shown as read: json.loads keeps the last).
const Case kAccepted[] = {
    {"0", "0"},
    {"-0", "0"},
    {" \t\n\r1 \t\n\r", "1"},
    {"123456789012345678", "123456789012345678"},
    {"-123456789012345678", "-123456789012345678"},
    {"1234567890123456789", "big:1234567890123456789"},
    {"-99999999999999999999", "big:-99999999999999999999"},
    {"1.5", "f:1.5"},
    {"-0.0", "f:-0"},
    {"1e3", "f:1000"},
    {"1E+3", "f:1000"},
    {"25e-1", "f:2.5"},
    {"0.1", "f:0.10000000000000001"},
    {"1.7976931348623157e308", "f:1.7976931348623157e+308"},
    {"5e-324", "f:4.9406564584124654e-324"},
    {"0e999", "f:0"},
    {"NaN", "nan"},
    {"Infinity", "inf"},
    {"-Infinity", "-inf"},
    {"true", "True"},
    {"false", "False"},
    {"null", "None"},
    {R"("")", "''"},
    {R"("abc")", "'abc'"},
    {R"("a\"b\\c\/d\b\f\n\r\t")", R"('a"b\u005cc/d\u0008\u000c\u000a\u000d\u0009')"},
    {R"("\u0041\u00e9\u00E9")", R"('A\u00e9\u00e9')"},
    {R"("\ud83d\ude00")", R"('\U0001f600')"},
    {R"("\ud83d")", R"('\ud83d')"},
    {R"("\ude00\ud83d")", R"('\ude00\ud83d')"},
    {R"("\ud83dx\ude00")", R"('\ud83dx\ude00')"},
    {R"("\ud83d\u0041")", R"('\ud83dA')"},
    {R"("\ud83d\\u0041")", R"('\ud83d\u005cu0041')"},
    {"\"caf\xc3\xa9 \xf0\x9f\x98\x80\"", R"('caf\u00e9 \U0001f600')"},
    {"\"a\x7f\"", R"('a\u007f')"},
    {"\"0123456789abcdef0123456789abcdef\xc3\xa9\\n\"",
     R"('0123456789abcdef0123456789abcdef\u00e9\u000a')"},
    {"[]", "[]"},
    {"[                                        \t\r\n 1 \n                    ,\r\n\t\t2]",
     "[1, 2]"},
    {"{}", "{}"},
    {"[1, [2, [3, {}]], \"x\"]", "[1, [2, [3, {}]], 'x']"},
    {"{\n  \"a\": {\n    \"b\": [\n      1,\n      2.0\n    ]\n  }\n}", "{'a': {'b': [1, f:2]}}"},
    {R"({"a": 1, "a": 2})", "{'a': 1, 'a': 2}"},
    {R"({"k\u0065y": null})", "{'key': None}"},
};

// Texts json.loads refuses, or reads to a value the reader leaves to it.
const char* const kRefused[] = {
    "",
    " ",
    "01",
    "-",
    "- 1",
    "+1",
    "1.",
    ".5",
    "1.e5",
    "1e",
    "1e+",
    "0x10",
    "1e400",   // float() gives inf: left to json.loads
    "1e-400",  // float() gives 0.0 from non-zero digits: left to json.loads
    "nan",
    "-NaN",
    "infinity",
    "tru",
    "nul",
    "[1,]",
    "[,1]",
    "[1 2]",
    "{\"a\" 1}",
    "{\"a\":1,}",
    "{,}",
    "{1: 2}",
    "{'a': 1}",
    "[1]]",
    "[1",
    "{\"a\": 1",
    "\"abc",
    "\"a\nb\"",
    "\"a\tb\"",
    "\"a\x01\"",
    "\"0123456789abcdef\x1f\"",
    R"("\x41")",
    R"("\u12")",
    R"("\u12g4")",
    R"("\ud83d\uzzzz")",
    R"("\a")",
    "\"\\",
    "1 2",
    "\xef\xbb\xbf{}",  // a byte order mark
    "[]x",
};

void test_accepted() {
    for (const Case& c : kAccepted) {
        const std::string got = read(c.text);
        CHECK(got == c.expected, std::string(c.text) + " -> " + got);
    }
}

void test_refused() {
    for (const char* text : kRefused) {
        const std::string got = read(text);
        CHECK(got == "FAIL", std::string(text) + " -> " + got);
    }
}

// Integers up to the lowest digits limit Python can be given; past it json.loads may raise.
void test_long_integers() {
    const std::string longest(Reader::kMaxIntDigits, '7');
    CHECK(read(longest) == "big:" + longest, "kMaxIntDigits digits");
    CHECK(read("-" + longest) == "big:-" + longest, "kMaxIntDigits digits, negative");
    CHECK(read("[" + longest + "7]") == "FAIL", "more digits than kMaxIntDigits");
}

void test_depth() {
    const std::string deep_ok =
        std::string(Reader::kMaxDepth, '[') + std::string(Reader::kMaxDepth, ']');
    CHECK(read(deep_ok) != "FAIL", "kMaxDepth deep");
    const std::string too_deep =
        std::string(Reader::kMaxDepth + 1, '[') + std::string(Reader::kMaxDepth + 1, ']');
    CHECK(read(too_deep) == "FAIL", "deeper than kMaxDepth");
}

// Each value's place: a scalar's `begin`, a container's bracket and last_close().
void test_ranges() {
    const std::string text = "{\n  \"jobs\": {\n    \"a\": {\"x\": \"y\"},\n    \"b\": [1]\n  }\n}";
    Reader r(text);
    Value v, key;
    CHECK(r.value(v) && v.kind == Kind::Object && v.begin == 0, "document");
    CHECK(r.next_member(key) && key.text == "jobs", "jobs key");
    CHECK(r.value(v) && v.kind == Kind::Object && text[v.begin] == '{', "jobs");
    CHECK(r.next_member(key) && key.text == "a", "a key");
    CHECK(r.value(v) && v.kind == Kind::Object, "a");
    const std::size_t a_begin = v.begin;
    Value inner;
    CHECK(r.next_member(key) && key.text == "x" && r.value(inner) && inner.text == "y", "x");
    CHECK(!r.next_member(key) && r.ok(), "a closed");
    CHECK(text.substr(a_begin, r.last_close() + 1 - a_begin) == "{\"x\": \"y\"}", "a's range");
    CHECK(r.next_member(key) && key.text == "b", "b key");
    CHECK(r.value(v) && v.kind == Kind::Array && text[v.begin] == '[', "b");
    CHECK(r.next_element() && r.value(inner) && inner.integer == 1, "b[0]");
    CHECK(!r.next_element() && r.ok() && text[r.last_close()] == ']', "b closed");
    CHECK(!r.next_member(key) && r.ok(), "jobs closed");
    CHECK(!r.next_member(key) && r.ok() && r.last_close() == text.size() - 1, "document closed");
    CHECK(r.finish(), "finish");
}

}  // namespace

int main() {
    test_accepted();
    test_refused();
    test_long_integers();
    test_depth();
    test_ranges();
    return tarvel::testing::summary();
}
