// glue/PyRef.cpp: the error carrier and the import and lookup helpers
#include "glue/PyRef.hpp"

namespace tarvel::py {

PyObject* fetch_normalised() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

Error::Error() : value_(fetch_normalised()) {
    if (value_ == nullptr) {
        PyErr_SetString(PyExc_SystemError, "error thrown without a Python exception set");
        value_ = fetch_normalised();
    }
}

Error::Error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    value_ = fetch_normalised();
}

Error::Error(PyObject* type, PyObject* message_or_value) {
    PyErr_SetObject(type, message_or_value);
    value_ = fetch_normalised();
}

Error::~Error() {
    Py_XDECREF(value_);
}

bool Error::matches(PyObject* type) const {
    return value_ != nullptr && PyErr_GivenExceptionMatches(value_, type);
}

void Error::restore() {
    PyObject* value = std::exchange(value_, nullptr);
    if (value == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
}

PyObject* intern_forever(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) Py_FatalError("cannot intern a name");
    return s;
}

PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

Ref global(PyObject* globals, PyObject* name) {
    Ref value = dict_get(globals, name);
    if (value) return value;
    Ref builtins = Ref::borrow(PyEval_GetBuiltins());
    if (builtins) {
        value = dict_get(builtins.get(), name);
        if (value) return value;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw Error();
}

Ref import(const char* name) {
    return Ref::steal(PyImport_ImportModule(name));
}

Ref import_from(const char* module_name, const char* name) {
    Ref module = import(module_name);
    Ref attr = Ref::steal_maybe(PyObject_GetAttrString(module.get(), name));
    if (attr) return attr;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error();
    PyErr_Clear();
    // The text the `from ... import ...` statement gives for a missing name.
    Ref file = Ref::steal_maybe(PyObject_GetAttrString(module.get(), "__file__"));
    if (!file) PyErr_Clear();
    Ref mod_name = str(module_name);
    Ref message =
        file && PyUnicode_Check(file.get())
            ? Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from '%s' (%U)", name,
                                              module_name, file.get()))
            : Ref::steal(PyUnicode_FromFormat(
                  "cannot import name '%s' from '%s' (unknown location)", name, module_name));
    // name and path set as the import statement sets them.
    PyErr_SetImportError(message.get(), mod_name.get(),
                         file && PyUnicode_Check(file.get()) ? file.get() : nullptr);
    Error error;
#if PY_VERSION_HEX >= 0x030C0000
    setattr(error.value(), TARVEL_NAME("name_from"), str(name).get());
#endif
    throw error;
}

void wrong_type(const char* what, const char* expected, PyObject* got) {
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(got)));
    PyErr_Format(PyExc_TypeError, "%s must be %s, not %U", what, expected, type_name.get());
    throw Error();
}

}  // namespace tarvel::py
