// skills/creator/PyLogText.cpp: the improvement log's text built from the entries' texts kept
// between saves
//
// As for the scheduler's state file: json.dumps(entries, indent=2) writes each entry as it writes
// the entry alone, its lines indented one level deeper. Each entry's text is kept with the
// objects it was written from and reused while they are the same (for `details`, which can change
// in place, while its own text is the same). Entries of another class or of other field types, a
// patched json, or any error leave the save to the whole path. The texts belong to the creator
// (glue/PyKeptTexts); a save that finds them in use (another thread's save, or a save started from
// code this one runs) takes the whole path too.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "glue/PyJson.hpp"
#include "glue/PyJsonKept.hpp"
#include "glue/PyKeptTexts.hpp"
#include "skills/creator/PyCreator.hpp"

namespace tarvel::creator {

namespace {

constexpr std::size_t kDeepestKept = 64;  // deeper details take the whole path

using py::KeptText;
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

KeptText& entry_text(py::KeptRecords& records, std::uint64_t save, PyObject* json, PyObject* cls,
                     PyObject* entry, std::size_t place) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(entry)) != cls) throw WholePath{};
    py::Ref dict = py::Ref::steal(PyObject_GenericGetDict(entry, nullptr));
    KeptText& kept = records.at(entry, place, save);
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

py::Ref assemble(const std::vector<KeptText*>& texts) {
    return py::ascii_text([&](auto& out) {
        py::put_items(out, "[", "]", 0, texts, [](auto& o, const KeptText* k) { o.put(k->text); });
    });
}

py::Ref kept_text(PyObject* globals, PyObject* self, PyObject* entries) {
    py::Ref json = py::dict_get(globals, TARVEL_NAME("json"));
    if (!json || !py::dumps_is_native(json.get()) || !PyList_CheckExact(entries)) return {};
    py::Ref cls = py::dict_get(globals, TARVEL_NAME("ImprovementEntry"));
    if (!cls || !PyType_Check(cls.get())) return {};
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    if (type->tp_version_tag == 0) return {};
    // One save at a time uses the texts; another meanwhile (a thread, or code this one runs)
    // takes the whole path.
    py::KeptTextsInUse texts(self, TARVEL_NAME("_kept_texts"));
    if (!texts) return {};
    py::Ref to_dict = py::Ref::borrow(py::type_lookup(type, TARVEL_NAME("to_dict")));
    const std::uint64_t save = texts->begin({cls, to_dict}, {type->tp_version_tag});
    py::KeptRecords& records = texts->records(0);
    py::Ref held = py::Ref::steal(PyList_GetSlice(entries, 0, PyList_GET_SIZE(entries)));
    std::vector<KeptText*> order;
    order.reserve(static_cast<std::size_t>(PyList_GET_SIZE(held.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held.get()); ++i) {
        order.push_back(&entry_text(records, save, json.get(), cls.get(),
                                    PyList_GET_ITEM(held.get(), i), order.size()));
    }
    py::Ref text = assemble(order);
    records.finish(std::move(order), save);
    return text;
}

}  // namespace

py::Ref log_text_from_kept(PyObject* globals, PyObject* self, PyObject* entries) {
    try {
        return kept_text(globals, self, entries);
    } catch (WholePath&) {
        return {};
    } catch (py::Error& e) {
        if (!is_exception(e)) throw;
        return {};
    }
}

}  // namespace tarvel::creator
