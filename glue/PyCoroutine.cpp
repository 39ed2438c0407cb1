// glue/PyCoroutine.cpp: the native coroutine's machinery: running its body, awaiting, throwing
#include "glue/PyCoroutine.hpp"
#include "glue/PyCoroutineDriver.hpp"
#include "glue/PyFunction.hpp"

#include <cstddef>
#include <new>

namespace tarvel::py {

PyObject* take_error() {
    PyObject* exc = fetch_normalised();
    if (exc == nullptr) {
        PyErr_SetString(PyExc_SystemError, "native coroutine: error without an exception set");
        return take_error();
    }
    return exc;
}

void raise(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
#endif
}

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

PyObject* lookup_optional(PyObject* obj, PyObject* name) {
    PyObject* attr = PyObject_GetAttr(obj, name);
    if (attr == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return attr;
}

namespace {

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

// The driver.

AsyncHandle CoroutineDriver::handle(CoroutineObject* c) {
    return AsyncHandle::from_promise(*c->frame);
}

void CoroutineDriver::drop_frame(CoroutineObject* c) {
    AsyncPromise* frame = c->frame;
    c->frame = nullptr;
    c->state = State::finished;
    if (frame != nullptr) AsyncHandle::from_promise(*frame).destroy();
}

PySendResult CoroutineDriver::resume(CoroutineObject* c, PyObject** out) {
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

PyObject* CoroutineDriver::escaped(PyObject* error) {
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

PySendResult CoroutineDriver::resume_value(CoroutineObject* c, PyObject* value, PyObject** out) {
    c->frame->sent_ = value;
    return resume(c, out);
}

PySendResult CoroutineDriver::resume_error(CoroutineObject* c, PyObject* exc, PyObject** out) {
    c->frame->thrown_ = exc;
    return resume(c, out);
}

bool CoroutineDriver::refuse_running(CoroutineObject* c) {
    if (c->state != State::running) return false;
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return true;
}

void CoroutineDriver::refuse_finished() {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
}

PySendResult CoroutineDriver::send(CoroutineObject* c, PyObject* arg, PyObject** out) {
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

PySendResult CoroutineDriver::after_awaited(CoroutineObject* c, PySendResult r, PyObject* result,
                                            PyObject** out) {
    if (r == PYGEN_NEXT) {
        *out = result;
        return PYGEN_NEXT;
    }
    Py_CLEAR(c->frame->awaiting_);
    if (r == PYGEN_RETURN) return resume_value(c, result, out);
    return resume_error(c, take_error(), out);
}

PySendResult CoroutineDriver::throw_in(CoroutineObject* c, PyObject* exc, PyObject** out) {
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
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) return close_then_throw(c, exc, out);
    return throw_into_awaited(c, exc, out);
}

PySendResult CoroutineDriver::close_then_throw(CoroutineObject* c, PyObject* exc, PyObject** out) {
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

PySendResult CoroutineDriver::throw_into_awaited(CoroutineObject* c, PyObject* exc,
                                                 PyObject** out) {
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

PyObject* CoroutineDriver::close(CoroutineObject* c) {
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

int CoroutineDriver::close_iter(PyObject* awaited) {
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

int CoroutineDriver::traverse(CoroutineObject* c, visitproc visit, void* arg) {
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

PyObject* CoroutineDriver::awaiting(CoroutineObject* c) {
    return c->frame != nullptr ? c->frame->awaiting_ : nullptr;
}

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
