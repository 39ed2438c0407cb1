// glue/PyJsonFiles.cpp: JSON files read again only when they changed
#include "glue/PyJsonFiles.hpp"

#include <array>
#include <optional>
#include <string>
#include <unordered_map>

#include "glue/PyFiles.hpp"
#include "glue/PyJsonRead.hpp"

namespace tarvel::py {

namespace {

struct Parsed {
    std::array<long long, 5> identity;
    Ref value;
    Ref derived;  // what derived_json_file's caller made of the value, once asked
};

// The files read so far, by name. Never destroyed: its references outlive no interpreter.
std::unordered_map<std::string, Parsed>& parsed_files() {
    static auto* const files = new std::unordered_map<std::string, Parsed>;
    return *files;
}

// json.loads as the json module was first seen, or null.
PyObject* stock_loads() {
    static PyObject* const loads = [] {
        PyObject* json = PyImport_ImportModule("json");
        PyObject* found = json != nullptr ? PyObject_GetAttrString(json, "loads") : nullptr;
        Py_XDECREF(json);
        if (found == nullptr) PyErr_Clear();
        return found;
    }();
    return loads;
}

// Files kept at most; past it the kept ones are forgotten.
constexpr std::size_t kKeptFiles = 100'000;

}  // namespace

namespace {

// os.fsencode(text), the key of a file and the name to stat; empty when it has none.
std::string fs_name(PyObject* text) {
    Ref encoded = Ref::steal_maybe(PyUnicode_EncodeFSDefault(text));
    if (!encoded) {
        PyErr_Clear();
        return {};
    }
    return {PyBytes_AS_STRING(encoded.get()),
            static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))};
}

// What was parsed of the file `name` when `identity` is still its identity, else the value
// read and parsed now (and kept when there is an identity). `record`, when given, receives the
// kept record of the file, or null.
Ref parsed(PyObject* loads, const std::string& name,
           const std::optional<std::array<long long, 5>>& identity,
           const std::function<Ref()>& make_path, Parsed** record = nullptr) {
    auto& files = parsed_files();
    if (record != nullptr) *record = nullptr;
    if (identity) {
        auto found = files.find(name);
        if (found != files.end() && found->second.identity == *identity) {
            if (record != nullptr) *record = &found->second;
            return found->second.value;
        }
    }
    Ref path = make_path();
    Ref text = read_text(path.get());
    Ref value = call_loads(loads, text.get());
    if (identity) {
        if (files.size() >= kKeptFiles) files.clear();
        Parsed& kept = files[name] = Parsed{*identity, value, Ref()};
        if (record != nullptr) *record = &kept;
    }
    return value;
}

}  // namespace

Ref json_file(PyObject* json_module, PyObject* path) {
    Ref loads = getattr(json_module, TARVEL_NAME("loads"));
    auto identity = loads.get() == stock_loads() ? file_identity(path) : std::nullopt;
    std::string name;
    if (identity) {
        name = fs_name(Ref::steal(PyObject_Str(path)).get());
        if (name.empty()) identity.reset();
    }
    return parsed(loads.get(), name, identity, [&] { return Ref::borrow(path); });
}

Ref derived_json_file(PyObject* json_module, const std::string& fs_name,
                      const std::optional<std::array<long long, 5>>& identity,
                      const std::function<Ref()>& make_path,
                      const std::function<Ref(PyObject*)>& derive) {
    Ref loads = getattr(json_module, TARVEL_NAME("loads"));
    const bool keep = identity && loads.get() == stock_loads() && !fs_name.empty() &&
                      fs_name.find('\0') == std::string::npos;
    Parsed* file = nullptr;
    Ref value = parsed(loads.get(), fs_name, keep ? identity : std::nullopt, make_path, &file);
    if (file == nullptr) return derive(value.get());
    if (file->derived) return file->derived;
    // `derive` may run code, and another thread or a call it makes may change or clear the kept
    // files meanwhile: what it gives is kept only where the file's record still holds the value.
    Ref derived = derive(value.get());
    auto& files = parsed_files();
    auto found = files.find(fs_name);
    if (found != files.end() && found->second.value.get() == value.get() && !found->second.derived)
        found->second.derived = derived;
    return derived;
}

Ref fresh_copy(PyObject* value) {
    if (PyDict_CheckExact(value)) {
        Ref copy = Ref::steal(PyDict_Copy(value));
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(value, &pos, &key, &item)) {
            if (PyDict_CheckExact(item) || PyList_CheckExact(item))
                check(PyDict_SetItem(copy.get(), key, fresh_copy(item).get()) < 0);
        }
        return copy;
    }
    if (PyList_CheckExact(value)) {
        const Py_ssize_t n = PyList_GET_SIZE(value);
        Ref copy = Ref::steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyList_SET_ITEM(copy.get(), i, fresh_copy(PyList_GET_ITEM(value, i)).release());
        }
        return copy;
    }
    return Ref::borrow(value);
}

}  // namespace tarvel::py
