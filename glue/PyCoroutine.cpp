// glue/PyCoroutine.cpp: the native coroutine type, await delegation and asyncio registration
#include "glue/PyCoroutine.hpp"
#include "glue/PyFunction.hpp"

#include <structmember.h>

#include <cstddef>
#include <new>

namespace tarvel::py {

namespace {

// created: the body has not started; suspended: it waits in an Await; running: it or
// the object it awaits is executing; finished: it returned, raised, or was dropped.
enum class State : unsigned char { created, suspended, running, finished };

struct CoroutineObject {
    PyObject_HEAD AsyncPromise* frame;  // null once finished
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    State state;
};

// What __await__() returns: an iterator over the coroutine.
struct WrapperObject {
    PyObject_HEAD PyObject* coroutine;
};

PyTypeObject* coroutine_type = nullptr;
PyTypeObject* wrapper_type = nullptr;

CoroutineObject* as_coroutine(PyObject* obj) {
    return reinterpret_cast<CoroutineObject*>(obj);
}

bool is_native(PyObject* obj) {
    return Py_TYPE(obj) == coroutine_type;
}

// The pending exception as a normalised instance (new reference), clearing it.
PyObject* take_error() {
    PyObject* exc = fetch_normalised();
    if (exc == nullptr) {
        PyErr_SetString(PyExc_SystemError, "native coroutine: error without an exception set");
        return take_error();
    }
    return exc;
}

// Raises `exc` (stolen) as it is: no chaining, its traceback kept.
void raise(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
#endif
}

// Consumes a pending StopIteration into its value (new reference); false for any other error.
bool take_stop_iteration_value(PyObject** value) {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
    PyObject* exc = take_error();
    PyObject* v = PyErr_GivenExceptionMatches(exc, PyExc_StopIteration)
                      ? reinterpret_cast<PyStopIterationObject*>(exc)->value
                      : nullptr;
    *value = Py_NewRef(v != nullptr ? v : Py_None);
    Py_DECREF(exc);
    return true;
}

// Ends a send() or throw() call that returned: StopIteration carries the value (stolen).
void raise_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (exc == nullptr) return;
    PyErr_SetObject(PyExc_StopIteration, exc);
    Py_DECREF(exc);
}

// `obj.name` or null; a missing attribute is no error.
PyObject* lookup_optional(PyObject* obj, PyObject* name) {
    PyObject* attr = PyObject_GetAttr(obj, name);
    if (attr == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return attr;
}

// The iterator `await obj` drives (new reference), as the interpreter's GET_AWAITABLE
// finds it, or null with an error set.
PyObject* awaitable_iter(PyObject* obj) {
    if (is_native(obj)) {
        if (as_coroutine(obj)->state == State::suspended) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(obj);
    }
    if (PyCoro_CheckExact(obj)) {
        PyObject* inner = PyObject_GetAttr(obj, TARVEL_NAME("cr_await"));
        if (inner == nullptr) return nullptr;
        const bool busy = inner != Py_None;
        Py_DECREF(inner);
        if (busy) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(obj);
    }
    if (PyGen_CheckExact(obj)) {  // a @types.coroutine generator awaits as itself
        PyObject* code = PyObject_GetAttr(obj, TARVEL_NAME("gi_code"));
        if (code == nullptr) return nullptr;
        const bool iterable =
            PyCode_Check(code) &&
            (reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_ITERABLE_COROUTINE) != 0;
        Py_DECREF(code);
        if (iterable) return Py_NewRef(obj);
    }
    PyAsyncMethods* am = Py_TYPE(obj)->tp_as_async;
    if (am == nullptr || am->am_await == nullptr) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    PyObject* iter = am->am_await(obj);
    if (iter == nullptr) return nullptr;
    if (PyCoro_CheckExact(iter) || is_native(iter)) {
        Py_DECREF(iter);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(iter)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iter)->tp_name);
        Py_DECREF(iter);
        return nullptr;
    }
    return iter;
}

}  // namespace

// The coroutine protocol over a body's frame.
struct CoroutineDriver {
    static AsyncHandle handle(CoroutineObject* c) { return AsyncHandle::from_promise(*c->frame); }

    // Destroys the frame: the body's locals and parameters are released.
    static void drop_frame(CoroutineObject* c) {
        AsyncPromise* frame = c->frame;
        c->frame = nullptr;
        c->state = State::finished;
        if (frame != nullptr) AsyncHandle::from_promise(*frame).destroy();
    }

    // Runs the body from where it stands until it waits again or finishes.
    static PySendResult resume(CoroutineObject* c, PyObject** out) {
        AsyncPromise& p = *c->frame;
        c->state = State::running;
        {
            RunningFunction running(c->name);
            handle(c).resume();
        }
        if (!handle(c).done()) {
            c->state = State::suspended;
            *out = std::exchange(p.yielded_, nullptr);
            return PYGEN_NEXT;
        }
        PyObject* result = std::exchange(p.result_, nullptr);
        PyObject* error = std::exchange(p.error_, nullptr);
        drop_frame(c);
        if (error != nullptr) {
            Py_XDECREF(result);
            raise(escaped(error));
            return PYGEN_ERROR;
        }
        *out = result != nullptr ? result : Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }

    // A StopIteration leaving a coroutine becomes RuntimeError, as Python does.
    static PyObject* escaped(PyObject* error) {
        if (!PyErr_GivenExceptionMatches(error, PyExc_StopIteration)) return error;
        PyObject* replaced =
            PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration");
        if (replaced == nullptr) {
            Py_DECREF(error);
            return take_error();
        }
        PyException_SetCause(replaced, Py_NewRef(error));
        PyException_SetContext(replaced, error);
        return replaced;
    }

    static PySendResult resume_value(CoroutineObject* c, PyObject* value, PyObject** out) {
        c->frame->sent_ = value;
        return resume(c, out);
    }
    static PySendResult resume_error(CoroutineObject* c, PyObject* exc, PyObject** out) {
        c->frame->thrown_ = exc;
        return resume(c, out);
    }

    static bool refuse_running(CoroutineObject* c) {
        if (c->state != State::running) return false;
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }

    static void refuse_finished() {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    }

    // send(arg); arg is null for __next__.
    static PySendResult send(CoroutineObject* c, PyObject* arg, PyObject** out) {
        if (refuse_running(c)) return PYGEN_ERROR;
        if (c->state == State::finished) {
            refuse_finished();
            return PYGEN_ERROR;
        }
        if (c->state == State::created) {
            if (arg != nullptr && arg != Py_None) {
                PyErr_SetString(PyExc_TypeError,
                                "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            return resume(c, out);
        }
        AsyncPromise& p = *c->frame;
        PyObject* result = nullptr;
        c->state = State::running;
        const PySendResult r = PyIter_Send(p.awaiting_, arg != nullptr ? arg : Py_None, &result);
        c->state = State::suspended;
        return after_awaited(c, r, result, out);
    }

    // What the awaited object gave (r, with its yield or return value in result): a
    // value it yields passes out, its end resumes the body with its value or its error.
    static PySendResult after_awaited(CoroutineObject* c, PySendResult r, PyObject* result,
                                      PyObject** out) {
        if (r == PYGEN_NEXT) {
            *out = result;
            return PYGEN_NEXT;
        }
        Py_CLEAR(c->frame->awaiting_);
        if (r == PYGEN_RETURN) return resume_value(c, result, out);
        return resume_error(c, take_error(), out);
    }

    // throw(exc) with a normalised exception instance (stolen).
    static PySendResult throw_in(CoroutineObject* c, PyObject* exc, PyObject** out) {
        if (c->state == State::running || c->state == State::finished) {
            if (!refuse_running(c)) refuse_finished();
            Py_DECREF(exc);
            return PYGEN_ERROR;
        }
        if (c->state == State::created) {  // raised before the first step: nothing runs
            drop_frame(c);
            raise(exc);
            return PYGEN_ERROR;
        }
        if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit))
            return close_then_throw(c, exc, out);
        return throw_into_awaited(c, exc, out);
    }

    // GeneratorExit closes the awaited object first, then goes in at the await.
    static PySendResult close_then_throw(CoroutineObject* c, PyObject* exc, PyObject** out) {
        PyObject* awaited = std::exchange(c->frame->awaiting_, nullptr);
        c->state = State::running;
        const int closed = close_iter(awaited);
        c->state = State::suspended;
        Py_DECREF(awaited);
        if (closed < 0) {  // the awaited object's own error goes in instead
            Py_DECREF(exc);
            exc = take_error();
        }
        return resume_error(c, exc, out);
    }

    // Any other exception goes to the awaited object's throw(), which may handle it.
    static PySendResult throw_into_awaited(CoroutineObject* c, PyObject* exc, PyObject** out) {
        AsyncPromise& p = *c->frame;
        PyObject* awaited = Py_NewRef(p.awaiting_);
        PyObject* result = nullptr;
        PySendResult r;
        c->state = State::running;
        if (is_native(awaited)) {
            r = throw_in(as_coroutine(awaited), Py_NewRef(exc), &result);
        } else {
            PyObject* method = lookup_optional(awaited, TARVEL_NAME("throw"));
            if (method == nullptr) {
                c->state = State::suspended;
                Py_DECREF(awaited);
                if (PyErr_Occurred()) {
                    Py_DECREF(exc);
                    return PYGEN_ERROR;
                }
                Py_CLEAR(p.awaiting_);  // nothing to delegate to: raise at the await
                return resume_error(c, exc, out);
            }
            result = PyObject_CallOneArg(method, exc);
            Py_DECREF(method);
            r = result != nullptr                    ? PYGEN_NEXT
                : take_stop_iteration_value(&result) ? PYGEN_RETURN
                                                     : PYGEN_ERROR;
        }
        c->state = State::suspended;
        Py_DECREF(awaited);
        Py_DECREF(exc);
        return after_awaited(c, r, result, out);
    }

    // close(): None, or (3.13 on) the value a body returns after GeneratorExit.
    static PyObject* close(CoroutineObject* c) {
        if (refuse_running(c)) return nullptr;
        if (c->state == State::created) drop_frame(c);
        if (c->state == State::finished) Py_RETURN_NONE;
        AsyncPromise& p = *c->frame;
        PyObject* awaited = std::exchange(p.awaiting_, nullptr);
        c->state = State::running;
        const int closed = close_iter(awaited);
        c->state = State::suspended;
        Py_DECREF(awaited);
        PyObject* exc = closed < 0 ? take_error() : PyObject_CallNoArgs(PyExc_GeneratorExit);
        if (exc == nullptr) exc = take_error();
        PyObject* out = nullptr;
        const PySendResult r = resume_error(c, exc, &out);
        if (r == PYGEN_NEXT) {
            Py_DECREF(out);
            PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
            return nullptr;
        }
        if (r == PYGEN_RETURN) {
#if PY_VERSION_HEX >= 0x030D0000
            return out;
#else
            Py_DECREF(out);
            Py_RETURN_NONE;
#endif
        }
        if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
    }

    // Closes an awaited object as the interpreter does: 0, or -1 with its error set.
    static int close_iter(PyObject* awaited) {
        PyObject* result;
        if (is_native(awaited)) {
            result = close(as_coroutine(awaited));
        } else {
            PyObject* method = lookup_optional(awaited, TARVEL_NAME("close"));
            if (method == nullptr) {
                if (PyErr_Occurred()) PyErr_WriteUnraisable(awaited);
                return 0;
            }
            result = PyObject_CallNoArgs(method);
            Py_DECREF(method);
        }
        if (result == nullptr) return -1;
        Py_DECREF(result);
        return 0;
    }

    static int traverse(CoroutineObject* c, visitproc visit, void* arg) {
        Py_VISIT(c->name);
        Py_VISIT(c->qualname);
        if (c->frame == nullptr) return 0;
        const AsyncPromise& p = *c->frame;
        for (std::size_t i = 0; i < p.nparams_; ++i)
            Py_VISIT(p.params_[i]->get());
        Py_VISIT(p.keep_);
        Py_VISIT(p.awaiting_);
        Py_VISIT(p.yielded_);
        Py_VISIT(p.sent_);
        Py_VISIT(p.thrown_);
        Py_VISIT(p.result_);
        Py_VISIT(p.error_);
        return 0;
    }

    static PyObject* awaiting(CoroutineObject* c) {
        return c->frame != nullptr ? c->frame->awaiting_ : nullptr;
    }
};

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

// Builds both types once and registers the coroutine type with
// collections.abc.Coroutine, which makes asyncio.iscoroutine() true for it.
void ensure_types() {
    if (coroutine_type != nullptr) return;
    PyType_Slot wrapper_slots[] = {
        {Py_tp_iter, slot(PyObject_SelfIter)},    {Py_tp_iternext, slot(wrapper_next)},
        {Py_am_send, slot(wrapper_am_send)},      {Py_tp_methods, wrapper_methods},
        {Py_tp_traverse, slot(wrapper_traverse)}, {Py_tp_clear, slot(wrapper_clear)},
        {Py_tp_dealloc, slot(wrapper_dealloc)},   {0, nullptr},
    };
    PyType_Spec wrapper_spec = {
        "tarvel._native.coroutine_wrapper",
        sizeof(WrapperObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        wrapper_slots,
    };
    Ref wrapper = Ref::steal(PyType_FromSpec(&wrapper_spec));

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
    PyType_Spec coroutine_spec = {
        "tarvel._native.coroutine",
        sizeof(CoroutineObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        coroutine_slots,
    };
    Ref coroutine = Ref::steal(PyType_FromSpec(&coroutine_spec));

    Ref abc = import_from("collections.abc", "Coroutine");
    call_method(abc.get(), TARVEL_NAME("register"), coroutine);
    wrapper_type = reinterpret_cast<PyTypeObject*>(wrapper.release());
    coroutine_type = reinterpret_cast<PyTypeObject*>(coroutine.release());
}

}  // namespace

// The frame.

AsyncPromise::~AsyncPromise() {
    Py_XDECREF(keep_);
    Py_XDECREF(awaiting_);
    Py_XDECREF(yielded_);
    Py_XDECREF(sent_);
    Py_XDECREF(thrown_);
    Py_XDECREF(result_);
    Py_XDECREF(error_);
}

void* AsyncPromise::operator new(std::size_t size) {
    void* frame = PyMem_Malloc(size);
    if (frame == nullptr) throw std::bad_alloc();
    return frame;
}

void AsyncPromise::operator delete(void* frame) noexcept {
    PyMem_Free(frame);
}

void AsyncPromise::unhandled_exception() noexcept {
    try {
        throw;
    } catch (Error& e) {
        if (e.value() != nullptr) {
            error_ = Py_NewRef(e.value());
            return;
        }
        PyErr_SetString(PyExc_SystemError, "native coroutine: an exception was raised twice");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "native coroutine: unknown C++ exception");
    }
    error_ = take_error();
}

Ref AsyncPromise::take_outcome() {
    if (thrown_ != nullptr) {
        raise(std::exchange(thrown_, nullptr));
        throw Error();
    }
    return Ref::steal(std::exchange(sent_, nullptr));
}

// Awaiting.

bool Await::await_suspend(AsyncHandle frame) noexcept {
    AsyncPromise& p = frame.promise();
    promise_ = &p;
    PyObject* iter = awaitable_iter(awaitable_.get());
    awaitable_ = Ref();
    if (iter == nullptr) {
        p.thrown_ = take_error();
        return false;
    }
    PyObject* out = nullptr;
    const PySendResult r = PyIter_Send(iter, Py_None, &out);
    if (r == PYGEN_NEXT) {
        p.awaiting_ = iter;
        p.yielded_ = out;
        return true;
    }
    Py_DECREF(iter);
    if (r == PYGEN_RETURN) {
        p.sent_ = out;
    } else {
        p.thrown_ = take_error();
    }
    return false;
}

Ref Await::await_resume() {
    return promise_->take_outcome();
}

bool Keep::await_suspend(AsyncHandle frame) noexcept {
    AsyncPromise& p = frame.promise();
    if (p.keep_ == nullptr) p.keep_ = PyList_New(0);
    failed_ = p.keep_ == nullptr || PyList_Append(p.keep_, object_.get()) < 0;
    if (!failed_) kept_ = object_.get();
    object_ = Ref();
    return false;
}

PyObject* Keep::await_resume() {
    if (failed_) throw Error();
    return kept_;
}

// Coroutine objects.

Ref make_coroutine(Async body, PyObject* qualname, PyObject* name) {
    ensure_types();
    CoroutineObject* c = PyObject_GC_New(CoroutineObject, coroutine_type);
    check(c == nullptr);
    c->frame = &std::exchange(body.frame_, {}).promise();
    c->name = Py_NewRef(name);
    c->qualname = Py_NewRef(qualname);
    c->weakrefs = nullptr;
    c->state = State::created;
    PyObject_GC_Track(c);
    return Ref::steal(reinterpret_cast<PyObject*>(c));
}

Ref make_coroutine(Async body, PyObject* function) {
    Ref qualname = getattr(function, TARVEL_NAME("__qualname__"));
    Ref name = getattr(function, TARVEL_NAME("__name__"));
    return make_coroutine(std::move(body), qualname.get(), name.get());
}

// Logging helpers.

// The current entry of the thread's exception stack is saved as it is, not the
// topmost handled exception PyErr_GetHandledException() finds: putting an outer
// entry's exception back into a generator's own entry would outlive the outer handler.
Handling::Handling(const Error& error) noexcept
    : saved_(Py_XNewRef(PyThreadState_Get()->exc_info->exc_value)) {
    PyErr_SetHandledException(error.value());
}

Handling::~Handling() {
    PyErr_SetHandledException(saved_ == Py_None ? nullptr : saved_);
    Py_XDECREF(saved_);
}

Ref exc_info_tuple(const Error& error) {
    PyObject* value = error.value();
    if (value == nullptr) return Ref::steal(PyTuple_Pack(3, Py_None, Py_None, Py_None));
    Ref tb = Ref::steal_maybe(PyException_GetTraceback(value));
    return Ref::steal(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(value)), value,
                                   tb ? tb.get() : Py_None));
}

}  // namespace tarvel::py
