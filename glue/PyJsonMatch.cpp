// glue/PyJsonMatch.cpp: a text told to be json.dumps(value, indent=2) of a value, without encoding
#include "glue/PyJsonMatch.hpp"

#include <cstdint>

namespace tarvel::py {

namespace {

// Deeper values are not told (json.dumps itself refuses a value that holds itself).
constexpr std::size_t kDeepest = 64;

}  // namespace

bool JsonMatch::literal(std::string_view piece) {
    if (text_.substr(at_, piece.size()) != piece) return false;
    at_ += piece.size();
    return true;
}

bool JsonMatch::close(char bracket, std::size_t depth) {
    if (at_ + 2 + 2 * depth > text_.size() || text_[at_] != '\n') return false;
    for (std::size_t i = 1; i <= 2 * depth; ++i) {
        if (text_[at_ + i] != ' ') return false;
    }
    if (text_[at_ + 1 + 2 * depth] != bracket) return false;
    at_ += 2 + 2 * depth;
    return true;
}

bool JsonMatch::item(std::size_t depth, bool first) {
    if (!first && !literal(",")) return false;
    const std::size_t indent = 2 * (depth + 1);
    if (at_ + 1 + indent > text_.size() || text_[at_] != '\n') return false;
    for (std::size_t i = 1; i <= indent; ++i) {
        if (text_[at_ + i] != ' ') return false;
    }
    at_ += 1 + indent;
    return true;
}

bool JsonMatch::member(std::string_view key, std::size_t depth, bool first) {
    return item(depth, first) && literal(key) && literal(": ");
}

bool JsonMatch::scratch_is() {
    const bool same = literal(scratch_.text());
    scratch_.clear();
    return same;
}

bool JsonMatch::string(PyObject* text) {
    if (!PyUnicode_Check(text)) return false;
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    const void* data = PyUnicode_DATA(text);
    if (PyUnicode_IS_ASCII(text)) {
        // the common case, compared in place: no character to escape, then the characters
        const auto* chars = static_cast<const char*>(data);
        bool plain = true;
        for (std::size_t i = 0; i < n && plain; ++i)
            plain = chars[i] >= 0x20 && chars[i] != '"' && chars[i] != '\\' && chars[i] != 0x7f;
        if (plain) return literal("\"") && literal({chars, n}) && literal("\"");
    }
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            scratch_.string(static_cast<const std::uint8_t*>(data), n);
            break;
        case PyUnicode_2BYTE_KIND:
            scratch_.string(static_cast<const std::uint16_t*>(data), n);
            break;
        default:
            scratch_.string(static_cast<const std::uint32_t*>(data), n);
            break;
    }
    return scratch_is();
}

bool JsonMatch::value(PyObject* v, std::size_t depth) {
    if (v == Py_None) return literal("null");
    if (v == Py_True) return literal("true");
    if (v == Py_False) return literal("false");
    if (PyUnicode_CheckExact(v)) return string(v);
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow != 0) return false;
        scratch_.integer(n);
        return scratch_is();
    }
    if (PyFloat_CheckExact(v)) {
        scratch_.number(PyFloat_AS_DOUBLE(v));
        return scratch_is();
    }
    if (depth >= kDeepest) return false;
    if (PyDict_CheckExact(v)) {
        if (PyDict_GET_SIZE(v) == 0) return literal("{}");
        if (!literal("{")) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *entry;
        for (bool first = true; PyDict_Next(v, &pos, &key, &entry); first = false) {
            if (!PyUnicode_CheckExact(key)) return false;
            if (!item(depth, first) || !string(key) || !literal(": ") || !value(entry, depth + 1)) {
                return false;
            }
        }
        return close('}', depth);
    }
    if (PyList_CheckExact(v)) {
        if (PyList_GET_SIZE(v) == 0) return literal("[]");
        if (!literal("[")) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            if (!item(depth, i == 0) || !value(PyList_GET_ITEM(v, i), depth + 1)) return false;
        }
        return close(']', depth);
    }
    return false;
}

bool json_text_is(std::string_view text, PyObject* value, std::size_t depth) {
    JsonMatch match(text);
    return match.value(value, depth) && match.done();
}

}  // namespace tarvel::py
