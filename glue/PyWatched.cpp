// glue/PyWatched.cpp: standard-library names captured once and watched where they are bound
#include "glue/PyWatched.hpp"

namespace tarvel::py {

PyObject* WatchedNames::watch(PyObject* dict, const char* name) {
    PyObject* key = keep(Ref::steal(PyUnicode_InternFromString(name)));
    PyObject* value = keep(dict_get(dict, key));
    if (value != nullptr) watched.push_back({dict, key, value});
    return value;
}

bool WatchedNames::unchanged() const {
    for (const Watched& w : watched) {
        PyObject* now = PyDict_GetItemWithError(w.dict, w.name);
        if (now == nullptr) PyErr_Clear();
        if (now != w.value) return false;
    }
    return true;
}

bool is_function(PyObject* obj, PyObject* globals, const char* qualname) {
    if (obj == nullptr || !PyFunction_Check(obj) || PyFunction_GET_GLOBALS(obj) != globals)
        return false;
    PyObject* q = reinterpret_cast<PyFunctionObject*>(obj)->func_qualname;
    return q != nullptr && PyUnicode_Check(q) && PyUnicode_CompareWithASCIIString(q, qualname) == 0;
}

Ref type_dict(PyObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
#else
    return Ref::borrow(reinterpret_cast<PyTypeObject*>(type)->tp_dict);
#endif
}

}  // namespace tarvel::py
