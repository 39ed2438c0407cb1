// skills/creator/PyLogText.cpp: the improvement log's text built from the entries' texts kept
// between saves
//
// As for the scheduler's state file: json.dumps(entries, indent=2) writes each entry as it writes
// the entry alone, its lines indented one level deeper. Each entry's text is kept with the
// objects it was written from and reused while they are the same (for `details`, which can change
// in place, while its own text is the same). Entries of another class or of other field types, a
// patched json, or any error leave the save to the whole path.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "glue/PyJson.hpp"
#include "glue/PyJsonKept.hpp"
#include "skills/creator/PyCreator.hpp"

namespace tarvel::creator {

namespace {

constexpr std::size_t kDeepestKept = 64;  // deeper details take the whole path

struct Kept : py::KeptFields {
    std::string text;  // indented for its place in the list
    PyObject* owner = nullptr;
    std::uint64_t used = 0;
};

struct Cache {
    py::Ref cls;
    py::Ref to_dict;
    unsigned int tag = 0;
    std::unordered_map<PyObject*, Kept> entries;
    std::vector<Kept*> order;
    std::uint64_t generation = 0;
};

Cache& cache() {
    static Cache* const c = new Cache;  // never destroyed: its references outlive no interpreter
    return *c;
}

using py::WholePath;

// A record's text at its place in the document; too deep a record takes the whole path.
std::string indented(PyObject* text) {
    auto out = py::indented(text, 2, 2 * kDeepestKept);
    if (!out) throw WholePath{};
    return std::move(*out);
}

bool immutable(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           v == Py_None;
}

Kept& entry_text(PyObject* json, PyTypeObject* cls, PyObject* entry, std::size_t place) {
    Cache& c = cache();
    if (Py_TYPE(entry) != cls) throw WholePath{};
    py::Ref dict = py::Ref::steal(PyObject_GenericGetDict(entry, nullptr));
    Kept* found = place < c.order.size() && c.order[place]->owner == entry ? c.order[place]
                                                                           : &c.entries[entry];
    Kept& kept = *found;
    kept.owner = entry;
    kept.used = c.generation;
    if (!kept.still_valid(dict.get(), json)) {
        kept.note(dict.get(), "details", immutable, json);
        const bool reusable = kept.reusable;
        kept.reusable = false;  // until the text is written
        py::Ref record = py::call_method(entry, TARVEL_NAME("to_dict"));
        kept.text = indented(py::dumps_indent2(json, record.get()).get());
        kept.reusable = reusable;
    }
    return kept;
}

py::Ref assemble(const std::vector<Kept*>& texts) {
    if (texts.empty()) return py::str("[]");
    std::size_t size = 1 + 2;  // "[" and "\n]"
    for (const Kept* k : texts)
        size += 4 + k->text.size();
    size -= 1;  // the first item has no ","
    py::Ref text = py::Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    char* const begin = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
    char* at = begin;
    const auto put = [&](std::string_view t) {
        std::memcpy(at, t.data(), t.size());
        at += t.size();
    };
    put("[");
    for (std::size_t i = 0; i < texts.size(); ++i) {
        put(i == 0 ? "\n  " : ",\n  ");
        put(texts[i]->text);
    }
    put("\n]");
    if (at != begin + size) throw py::Error(PyExc_SystemError, "log text of unexpected size");
    return text;
}

py::Ref kept_text(PyObject* globals, PyObject* entries) {
    PyObject* json = PyDict_GetItemWithError(globals, TARVEL_NAME("json"));
    if (json == nullptr || !py::dumps_is_native(json) || !PyList_CheckExact(entries)) return {};
    PyObject* cls_obj = PyDict_GetItemWithError(globals, TARVEL_NAME("ImprovementEntry"));
    if (cls_obj == nullptr || !PyType_Check(cls_obj)) return {};
    auto* cls = reinterpret_cast<PyTypeObject*>(cls_obj);
    PyObject* to_dict = py::type_lookup(cls, TARVEL_NAME("to_dict"));
    Cache& c = cache();
    if (cls->tp_version_tag == 0) return {};
    if (c.cls.get() != cls_obj || c.to_dict.get() != to_dict || c.tag != cls->tp_version_tag) {
        c.entries.clear();
        c.order.clear();
        c.cls = py::Ref::borrow(cls_obj);
        c.to_dict = py::Ref::borrow(to_dict);
        c.tag = cls->tp_version_tag;
    }
    ++c.generation;
    py::Ref held = py::Ref::steal(PyList_GetSlice(entries, 0, PyList_GET_SIZE(entries)));
    std::vector<Kept*> texts;
    texts.reserve(static_cast<std::size_t>(PyList_GET_SIZE(held.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held.get()); ++i) {
        texts.push_back(&entry_text(json, cls, PyList_GET_ITEM(held.get(), i), texts.size()));
    }
    py::Ref text = assemble(texts);
    c.order.clear();
    if (c.entries.size() > 2 * texts.size() + 256) {
        const std::uint64_t now = c.generation;
        std::erase_if(c.entries, [now](const auto& item) { return item.second.used != now; });
    }
    c.order = std::move(texts);
    return text;
}

}  // namespace

py::Ref log_text_from_kept(PyObject* globals, PyObject* entries) {
    try {
        return kept_text(globals, entries);
    } catch (WholePath&) {
        return {};
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        return {};
    }
}

}  // namespace tarvel::creator
