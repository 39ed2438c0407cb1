// glue/PyCoroutineType.cpp: the coroutine type's protocol slots: send, throw, close, cr_* fields
#include "glue/PyCoroutine.hpp"
#include "glue/PyCoroutineDriver.hpp"

#include <structmember.h>

#include <cstddef>

namespace tarvel::py {

PyTypeObject* coroutine_type = nullptr;
PyTypeObject* wrapper_type = nullptr;

namespace {

using Driver = CoroutineDriver;

// Ends a method call: the yielded value, or StopIteration for a return, or the error.
PyObject* method_result(PySendResult r, PyObject* out) {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) raise_stop_iteration(out);
    return nullptr;
}

// throw(value) / throw(type[, value[, traceback]]) as a normalised instance (new reference).
PyObject* thrown_exception(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        } else {
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0) {
        return nullptr;
    }
#endif
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb != nullptr && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (PyExceptionClass_Check(type)) {
        Py_INCREF(type);
        Py_XINCREF(value);
        Py_XINCREF(tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyErr_Restore(type, value, tb);
        return take_error();
    }
    if (PyExceptionInstance_Check(type)) {
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        if (tb != nullptr) PyException_SetTraceback(type, tb);
        return Py_NewRef(type);
    }
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return nullptr;
}

// The coroutine type.

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return Driver::send(as_coroutine(self), arg, out);
}

PyObject* coroutine_send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    const PySendResult r = Driver::send(as_coroutine(self), arg, &out);
    return method_result(r, out);
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* exc = thrown_exception(args, nargs);
    if (exc == nullptr) return nullptr;
    PyObject* out = nullptr;
    const PySendResult r = Driver::throw_in(as_coroutine(self), exc, &out);
    return method_result(r, out);
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    return Driver::close(as_coroutine(self));
}

PyObject* coroutine_wrapper(PyObject* self, PyObject*) {
    WrapperObject* w = PyObject_GC_New(WrapperObject, wrapper_type);
    if (w == nullptr) return nullptr;
    w->coroutine = Py_NewRef(self);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

// `await c` on a coroutine another awaiter is driving fails as it does for Python
// coroutines (the interpreter checks only its own type, so the slot does it), while
// c.__await__() called by hand still returns the iterator.
PyObject* coroutine_await(PyObject* self) {
    if (as_coroutine(self)->state == State::suspended) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return coroutine_wrapper(self, nullptr);
}

PyObject* coroutine_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(self)->qualname, self);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return Driver::traverse(as_coroutine(self), visit, arg);
}

// The GC breaks a cycle through a frame by dropping the frame; tp_finalize has
// already closed it, so the body's final steps have run.
int coroutine_clear(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state != State::running) Driver::drop_frame(c);
    return 0;
}

// Emits "coroutine ... was never awaited" the way the interpreter does: through
// warnings._warn_unawaited_coroutine when the module is there.
void warn_unawaited(PyObject* self) {
    bool warned = false;
    PyObject* warnings = PyImport_GetModule(TARVEL_NAME("warnings"));
    if (warnings != nullptr) {
        PyObject* fn = lookup_optional(warnings, TARVEL_NAME("_warn_unawaited_coroutine"));
        Py_DECREF(warnings);
        if (fn != nullptr) {
            PyObject* result = PyObject_CallOneArg(fn, self);
            Py_DECREF(fn);
            warned = result != nullptr || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
            Py_XDECREF(result);
        }
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    if (!warned && PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited",
                                    as_coroutine(self)->qualname) < 0) {
        PyErr_WriteUnraisable(self);
    }
}

void coroutine_finalize(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state == State::finished || c->state == State::running) return;
    PyObject* saved = PyErr_Occurred() ? take_error() : nullptr;
    if (c->state == State::created) {
        warn_unawaited(self);
    } else {
        PyObject* result = Driver::close(c);
        if (result == nullptr) {
            PyErr_WriteUnraisable(self);
        } else {
            Py_DECREF(result);
        }
    }
    if (saved != nullptr) raise(saved);
}

void coroutine_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyTypeObject* type = Py_TYPE(self);
    CoroutineObject* c = as_coroutine(self);
    PyObject_GC_UnTrack(self);
    if (c->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    Driver::drop_frame(c);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(as_coroutine(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_coroutine(self)->qualname);
}

int set_name_field(PyObject* self, PyObject* value, void* closure) {
    const bool qualified = closure != nullptr;
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     qualified ? "__qualname__" : "__name__");
        return -1;
    }
    CoroutineObject* c = as_coroutine(self);
    Py_XSETREF(qualified ? c->qualname : c->name, Py_NewRef(value));
    return 0;
}

PyObject* get_cr_await(PyObject* self, void*) {
    PyObject* awaited = Driver::awaiting(as_coroutine(self));
    return Py_NewRef(awaited != nullptr ? awaited : Py_None);
}
PyObject* get_cr_running(PyObject* self, void*) {
    return PyBool_FromLong(as_coroutine(self)->state == State::running);
}
PyObject* get_cr_suspended(PyObject* self, void*) {
    return PyBool_FromLong(as_coroutine(self)->state == State::suspended);
}
#if PY_VERSION_HEX >= 0x030F0000
// The state inspect.getcoroutinestate() reads from 3.15 on, as a Python coroutine gives it.
PyObject* get_cr_state(PyObject* self, void*) {
    switch (as_coroutine(self)->state) {
        case State::created:
            return PyUnicode_FromString("CORO_CREATED");
        case State::running:
            return PyUnicode_FromString("CORO_RUNNING");
        case State::suspended:
            return PyUnicode_FromString("CORO_SUSPENDED");
        case State::finished:
            break;
    }
    return PyUnicode_FromString("CORO_CLOSED");
}
#endif
// No Python frame and no origin tracking: both read None.
PyObject* get_none(PyObject*, void*) {
    Py_RETURN_NONE;
}

int qualname_marker = 0;

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name_field, nullptr, nullptr},
    {"__qualname__", get_qualname, set_name_field, nullptr, &qualname_marker},
    {"cr_await", get_cr_await, nullptr, nullptr, nullptr},
    {"cr_running", get_cr_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_cr_suspended, nullptr, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030F0000
    {"cr_state", get_cr_state, nullptr, nullptr, nullptr},
#endif
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL, nullptr},
    {"close", coroutine_close, METH_NOARGS, nullptr},
    {"__await__", coroutine_wrapper, METH_NOARGS | METH_COEXIST, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroutineObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The __await__() iterator.

PyObject* wrapper_target(PyObject* self) {
    return reinterpret_cast<WrapperObject*>(self)->coroutine;
}

PySendResult wrapper_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return Driver::send(as_coroutine(wrapper_target(self)), arg, out);
}

PyObject* wrapper_next(PyObject* self) {
    PyObject* out = nullptr;
    const PySendResult r = Driver::send(as_coroutine(wrapper_target(self)), nullptr, &out);
    if (r == PYGEN_RETURN && out == Py_None) {  // a bare StopIteration
        Py_DECREF(out);
        return nullptr;
    }
    return method_result(r, out);
}

PyObject* wrapper_send(PyObject* self, PyObject* arg) {
    return coroutine_send(wrapper_target(self), arg);
}

PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coroutine_throw(wrapper_target(self), args, nargs);
}

PyObject* wrapper_close(PyObject* self, PyObject*) {
    return Driver::close(as_coroutine(wrapper_target(self)));
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(wrapper_target(self));
    return 0;
}

int wrapper_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<WrapperObject*>(self)->coroutine);
    return 0;
}

void wrapper_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    wrapper_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)),
     METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

template <class Fn>
void* slot(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

}  // namespace

void ensure_types() {
    if (coroutine_type != nullptr) return;
    PyType_Slot wrapper_slots[] = {
        {Py_tp_iter, slot(PyObject_SelfIter)},    {Py_tp_iternext, slot(wrapper_next)},
        {Py_am_send, slot(wrapper_am_send)},      {Py_tp_methods, wrapper_methods},
        {Py_tp_traverse, slot(wrapper_traverse)}, {Py_tp_clear, slot(wrapper_clear)},
        {Py_tp_dealloc, slot(wrapper_dealloc)},   {0, nullptr},
    };
    PyType_Spec wrapper_layout = {
        "tarvel._native.coroutine_wrapper",
        sizeof(WrapperObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        wrapper_slots,
    };
    Ref wrapper = Ref::steal(PyType_FromSpec(&wrapper_layout));

    PyType_Slot coroutine_slots[] = {
        {Py_am_await, slot(coroutine_await)},
        {Py_am_send, slot(coroutine_am_send)},
        {Py_tp_repr, slot(coroutine_repr)},
        {Py_tp_methods, coroutine_methods},
        {Py_tp_getset, coroutine_getset},
        {Py_tp_members, coroutine_members},
        {Py_tp_traverse, slot(coroutine_traverse)},
        {Py_tp_clear, slot(coroutine_clear)},
        {Py_tp_finalize, slot(coroutine_finalize)},
        {Py_tp_dealloc, slot(coroutine_dealloc)},
        {0, nullptr},
    };
    PyType_Spec coroutine_layout = {
        "tarvel._native.coroutine",
        sizeof(CoroutineObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        coroutine_slots,
    };
    Ref coroutine = Ref::steal(PyType_FromSpec(&coroutine_layout));

    Ref abc = import_from("collections.abc", "Coroutine");
    call_method(abc.get(), TARVEL_NAME("register"), coroutine);
    wrapper_type = reinterpret_cast<PyTypeObject*>(wrapper.release());
    coroutine_type = reinterpret_cast<PyTypeObject*>(coroutine.release());
}

}  // namespace tarvel::py
