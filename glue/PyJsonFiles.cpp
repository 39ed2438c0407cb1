// glue/PyJsonFiles.cpp: JSON files read again only when they changed
#include "glue/PyJsonFiles.hpp"

#include <array>
#include <string>
#include <unordered_map>

#include "glue/PyFiles.hpp"

namespace tarvel::py {

namespace {

struct Parsed {
    std::array<long long, 5> identity;
    Ref value;
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

Ref json_file(PyObject* json_module, PyObject* path) {
    Ref loads = getattr(json_module, TARVEL_NAME("loads"));
    const auto identity = loads.get() == stock_loads() ? file_identity(path) : std::nullopt;
    std::string name;
    if (identity) {
        Ref text = Ref::steal(PyObject_Str(path));
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
        check(utf8 == nullptr);
        name.assign(utf8, static_cast<std::size_t>(size));
        auto& files = parsed_files();
        auto found = files.find(name);
        if (found != files.end() && found->second.identity == *identity) return found->second.value;
    }
    Ref text = read_text(path);
    Ref value = call(loads.get(), text);
    if (identity) {
        auto& files = parsed_files();
        if (files.size() >= kKeptFiles) files.clear();
        files[name] = Parsed{*identity, value};
    }
    return value;
}

Ref fresh_copy(PyObject* value) {
    if (PyDict_CheckExact(value)) {
        Ref copy = Ref::steal(PyDict_New());
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(value, &pos, &key, &item)) {
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
