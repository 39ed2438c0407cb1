// skills/creator/PyLogText.cpp: the improvement log's text from the entries' texts kept between
// saves
//
// The log is a list of entries, each written from its to_dict. The kept texts
// (glue/PyKeptTexts.hpp, whose header says when a text holds) keep each entry's text; this file
// says which records the document holds, what each is written from, and which field values cannot
// change (`details` is the dict field that may change in place). Entries of another class or of
// other field types, a patched json, or any error leave the save to the whole path.
#include <cstdint>
#include <utility>
#include <vector>

#include "glue/PyJson.hpp"
#include "glue/PyJsonKept.hpp"
#include "glue/PyKeptTexts.hpp"
#include "skills/creator/PyCreator.hpp"

namespace tarvel::creator {

namespace {

using py::WholePath;

bool immutable(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           v == Py_None;
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
    py::KeptSave save(*texts, json.get(), {cls, to_dict}, {type->tp_version_tag});
    py::KeptItems log(save, 0, py::KeptItems::kList, 0, "details");
    py::Ref held = py::Ref::steal(PyList_GetSlice(entries, 0, PyList_GET_SIZE(entries)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(held.get(), i);
        py::Ref fields = py::record_fields(entry, cls.get());
        log.add(entry, fields.get(), immutable, [&](const py::KeptText&) {
            return py::call_method(entry, TARVEL_NAME("to_dict"));
        });
    }
    return save.assemble(log);
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
