// glue/PyOwnedState.cpp: the holders of C++ state that belongs to one Python object
#include "glue/PyOwnedState.hpp"

namespace tarvel::py::owned_detail {

namespace {

// Pickled as None: the owner makes itself a new holder at its next use.
PyObject* holder_reduce(PyObject*, PyObject*) {
    return Py_BuildValue("(O())", reinterpret_cast<PyObject*>(Py_TYPE(Py_None)));
}

// Whether the weak reference `ref` refers to `obj`.
bool refers_to(PyObject* ref, PyObject* obj) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    check(PyWeakref_GetRef(ref, &target) < 0);
    Py_XDECREF(target);  // only its address is compared
    return target == obj;
#else
    return PyWeakref_GetObject(ref) == obj;
#endif
}

}  // namespace

PyTypeObject* make_type(const char* name, const Slots& s) {
    // Held for the life of the process, as the types themselves are.
    auto* methods = new PyMethodDef[4]{
        {"__copy__", s.copy, METH_NOARGS, nullptr},
        {"__deepcopy__", s.copy, METH_O, nullptr},
        {"__reduce__", holder_reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void*>(s.traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(s.clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(s.dealloc)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    PyType_Spec layout = {
        name,
        sizeof(Holder),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(Ref::steal(PyType_FromSpec(&layout)).release());
}

Ref holder_of(PyObject* owner, PyObject* attr, PyTypeObject* type, const Slots& slots,
              bool make_new) {
    Ref found = Ref::steal_maybe(PyObject_GetAttr(owner, attr));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error();
        PyErr_Clear();
    } else if (Py_TYPE(found.get()) == type) {
        Holder* h = reinterpret_cast<Holder*>(found.get());
        if (h->owner == nullptr)  // a copied holder, taken by its first use
            h->owner = Ref::steal(PyWeakref_NewRef(owner, nullptr)).release();
        if (refers_to(h->owner, owner)) return found;
    }
    if (!make_new) return {};
    Ref made = slots.make();
    reinterpret_cast<Holder*>(made.get())->owner =
        Ref::steal(PyWeakref_NewRef(owner, nullptr)).release();
    setattr(owner, attr, made.get());
    return made;
}

}  // namespace tarvel::py::owned_detail
