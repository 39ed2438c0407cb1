// glue/PyJsonKept.hpp: what a JSON value holds, noted by identity, to tell whether it changed
//
// Part of the kept texts (glue/PyKeptTexts.hpp, whose header holds their invariants): what a
// record's text was written from, and the check that it still holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "glue/PyJson.hpp"
#include "glue/PyRef.hpp"

namespace tarvel::py {

// The objects of a value made of exact dicts (with str keys), exact lists and values of types
// that cannot change (as the caller's `immutable` says), in the order of a walk, with the sizes of
// the containers. While a value walks to the same objects and sizes it holds what it held then,
// so any text written from it then is still its text.
class Held {
  public:
    // Notes `value`; false (and nothing noted) when it holds anything else or nests too deep.
    template <class Immutable>
    bool take(PyObject* value, const Immutable& immutable) {
        clear();
        if (walk(value, immutable, 0)) return true;
        clear();
        return false;
    }

    // Whether `value` holds the same objects as the value noted.
    bool same(PyObject* value) const {
        std::size_t at = 0;
        return compare(value, at) && at == items_.size();
    }

    // Visits the objects noted (for the collector).
    int traverse(visitproc visit, void* arg) const {
        for (const Item& item : items_)
            Py_VISIT(item.object.get());
        return 0;
    }

  private:
    static constexpr int kDeepest = 8;
    // What each noted object is. A held object stays what it was: exact dicts and lists, and
    // the built-in values, cannot change their class.
    enum Kind : std::uint8_t { kOther, kDict, kList };
    // One noted object, with its size when it is a container; kept in one array, so that a
    // check reads them in order from one place.
    struct Item {
        Ref object;
        Py_ssize_t size;
        Kind kind;
    };

    void clear() { items_.clear(); }

    template <class Immutable>
    bool walk(PyObject* v, const Immutable& immutable, int depth) {
        if (PyDict_CheckExact(v)) {
            if (depth == kDeepest) return false;
            items_.push_back({Ref::borrow(v), PyDict_GET_SIZE(v), kDict});
            Py_ssize_t pos = 0;
            PyObject *key, *item;
            while (PyDict_Next(v, &pos, &key, &item)) {
                if (!PyUnicode_CheckExact(key)) return false;
                items_.push_back({Ref::borrow(key), 0, kOther});
                if (!walk(item, immutable, depth + 1)) return false;
            }
            return true;
        }
        if (PyList_CheckExact(v)) {
            if (depth == kDeepest) return false;
            items_.push_back({Ref::borrow(v), PyList_GET_SIZE(v), kList});
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
                if (!walk(PyList_GET_ITEM(v, i), immutable, depth + 1)) return false;
            }
            return true;
        }
        items_.push_back({Ref::borrow(v), 0, kOther});
        return immutable(v);
    }

    bool compare(PyObject* v, std::size_t& at) const {
        if (at >= items_.size() || items_[at].object.get() != v) return false;
        const Item& noted = items_[at++];
        if (noted.kind == kDict) {
            // as many items as noted, so the walk need not ask for the end
            if (noted.size != PyDict_GET_SIZE(v)) return false;
            Py_ssize_t pos = 0;
            PyObject *key, *item;
            for (Py_ssize_t n = 0; n < noted.size; ++n) {
                if (!PyDict_Next(v, &pos, &key, &item)) return false;
                if (at >= items_.size() || items_[at++].object.get() != key) return false;
                if (!compare_item(item, at)) return false;
            }
        } else if (noted.kind == kList) {
            if (noted.size != PyList_GET_SIZE(v)) return false;
            for (Py_ssize_t i = 0; i < noted.size; ++i) {
                if (!compare_item(PyList_GET_ITEM(v, i), at)) return false;
            }
        }
        return true;
    }

    // compare(), with a value that holds nothing settled here
    bool compare_item(PyObject* v, std::size_t& at) const {
        if (at < items_.size() && items_[at].kind == kOther) return items_[at++].object.get() == v;
        return compare(v, at);
    }

    std::vector<Item> items_;
};

// The characters of an ASCII str, or nullopt for any other object.
inline std::optional<std::string_view> ascii_view(PyObject* text) {
    if (!PyUnicode_Check(text) || !PyUnicode_IS_ASCII(text)) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
}

// An encoded record's ASCII text with each line after the first indented by `by` more
// spaces: the record at its place in a larger document. nullopt when the text is not ASCII or
// a line is indented deeper than `deepest` spaces.
inline std::optional<std::string> indented(PyObject* text, std::size_t by, std::size_t deepest) {
    const auto t = ascii_view(text);
    if (!t) return std::nullopt;
    std::string out;
    out.reserve(t->size() + t->size() / 8);
    std::size_t seen = 0;
    for (std::size_t i = 0; i < t->size(); ++i) {
        out.push_back((*t)[i]);
        if ((*t)[i] != '\n') continue;
        out.append(by, ' ');
        std::size_t depth = 0;
        while (i + 1 + depth < t->size() && (*t)[i + 1 + depth] == ' ')
            ++depth;
        if (depth > seen) seen = depth;
    }
    if (seen > deepest) return std::nullopt;
    return out;
}

// An instance's __dict__ as it was when a text was written from it: its keys and values, in order.
using Fields = std::vector<std::pair<Ref, Ref>>;

// Whether `dict` still holds exactly `fields`: the same keys and value objects, in the same order.
inline bool same_fields(const Fields& fields, PyObject* dict) {
    // as many items as fields, so the walk need not ask for the end
    if (PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(fields.size())) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (const auto& [noted_key, noted_value] : fields) {
        if (!PyDict_Next(dict, &pos, &key, &value)) return false;
        if (key != noted_key.get() || value != noted_value.get()) return false;
    }
    return true;
}

// Whether two texts are the same object or the same ASCII characters.
inline bool same_ascii(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (a == nullptr || b == nullptr) return false;
    const auto x = ascii_view(a), y = ascii_view(b);
    return x && y && *x == *y;
}

// Thrown where a record cannot take the kept path: the save then goes the whole way.
struct WholePath {};

// The text json.dumps(value, indent=2) gives the dict field of a record on its own.
inline Ref nested_text(PyObject* json, PyObject* value) {
    if (!PyDict_CheckExact(value)) throw WholePath{};
    if (PyDict_GET_SIZE(value) == 0) return Ref::borrow(TARVEL_NAME("{}"));
    return dumps_indent2(json, value);
}

// A record's __dict__ as its kept text was written from it: the fields, with the one field
// whose dict may change in place (a job's metadata, an entry's details) noted by the objects it
// holds or, where those cannot be held, by its own text.
struct KeptFields {
    Fields fields;              // the instance's __dict__, in order
    Py_ssize_t nested_at = -1;  // where the dict field is among them
    Ref nested_text;            // its text, or null while `nested_held` tells its changes
    Held nested_held;
    bool reusable = false;  // every other field of an immutable type

    // Whether the text was written from the present values of the record whose __dict__ is
    // `dict`.
    bool still_valid(PyObject* dict, PyObject* json) const {
        if (!reusable || !same_fields(fields, dict)) return false;
        if (nested_at < 0) return true;
        PyObject* nested = fields[static_cast<std::size_t>(nested_at)].second.get();
        if (!nested_text) return nested_held.same(nested);
        return same_ascii(py::nested_text(json, nested).get(), nested_text.get());
    }

    // Visits the objects held (for the collector).
    int traverse(visitproc visit, void* arg) const {
        for (const auto& [key, value] : fields) {
            Py_VISIT(key.get());
            Py_VISIT(value.get());
        }
        Py_VISIT(nested_text.get());
        return nested_held.traverse(visit, arg);
    }

    // Notes the values of `dict`, whose field `nested` is the dict field; `immutable` tells the
    // values that cannot change.
    template <class Immutable>
    void note(PyObject* dict, const char* nested, const Immutable& immutable, PyObject* json) {
        fields.clear();
        nested_at = -1;
        nested_text = Ref();
        reusable = true;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, nested) == 0) {
                nested_at = static_cast<Py_ssize_t>(fields.size());
                if (!PyDict_CheckExact(value)) throw WholePath{};
                nested_text =
                    nested_held.take(value, immutable) ? Ref() : py::nested_text(json, value);
            } else if (!immutable(value)) {
                reusable = false;
            }
            fields.emplace_back(Ref::borrow(key), Ref::borrow(value));
        }
    }
};

}  // namespace tarvel::py
