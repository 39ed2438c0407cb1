// glue/PyLoadProblems.cpp: what a load of a JSON file found wrong, as the sentences of an object's
// load_problems
#include "glue/PyLoadProblems.hpp"

#include "glue/PyFiles.hpp"

namespace tarvel::py {

Ref json_kind(PyObject* value) {
    if (PyDict_Check(value)) return str("an object");
    if (PyList_Check(value)) return str("a list");
    if (PyUnicode_Check(value)) return str("a string");
    if (PyBool_Check(value)) return str("a boolean");
    if (PyLong_Check(value) || PyFloat_Check(value)) return str("a number");
    if (value == Py_None) return str("null");
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(value)));
    return fstring("a ", type_name);
}

namespace {

Ref shape_text(const char* what, const char* expected, PyObject* value) {
    return fstring(what, " must be ", expected, ", not ", json_kind(value));
}

}  // namespace

void wrong_shape(const char* what, const char* expected, PyObject* value) {
    throw Error(PyExc_TypeError, shape_text(what, expected, value).get());
}

LoadProblems::LoadProblems(PyObject* path)
    : path_(Ref::borrow(path)), list_(Ref::steal(PyList_New(0))) {}

void LoadProblems::sentence(const Ref& what) {
    check(PyList_Append(list_.get(), fstring(path_, ": ", what).get()) < 0);
}

void LoadProblems::failed(Stage stage, PyObject* text, const Error& error) {
    if (stage == Stage::Read)
        return sentence(fstring("the file could not be read: ", error.value()));
    if (stage == Stage::Document) return sentence(fstring(error.value()));
    bool blank = false;
    if (text != nullptr && PyUnicode_Check(text)) {
        Ref stripped = call_method(text, TARVEL_NAME("strip"));
        blank = PyUnicode_Check(stripped.get()) && PyUnicode_GET_LENGTH(stripped.get()) == 0;
    }
    sentence(blank ? str("the file is empty")
                   : fstring("the file is not valid JSON: ", error.value()));
}

void LoadProblems::shape(const char* what, const char* expected, PyObject* value) {
    sentence(shape_text(what, expected, value));
}

void LoadProblems::skipped(const Ref& record, const Error& error) {
    sentence(fstring(record, " skipped: ", error.value()));
}

bool LoadProblems::keep_copy(PyObject* globals, const char* level, const char* what,
                             std::initializer_list<const char*> companions) {
    Ref failure;
    Ref copy = keep_unreadable(globals, path_.get(), level, what, &failure, companions);
    sentence(copy ? fstring("kept a copy of the file as ", copy)
                  : fstring("no copy of the file could be kept: ", failure));
    return static_cast<bool>(copy);
}

void LoadProblems::append_to(PyObject* owner) const {
    if (empty()) return;
    try {
        Ref current = Ref::steal_maybe(PyObject_GetAttr(owner, TARVEL_NAME("load_problems")));
        if (!current) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error();
            PyErr_Clear();
            current = Ref::steal(PyList_New(0));
            setattr(owner, TARVEL_NAME("load_problems"), current.get());
        }
        call_method(current.get(), TARVEL_NAME("extend"), list_);
    } catch (Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

}  // namespace tarvel::py
