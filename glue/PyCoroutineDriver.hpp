// glue/PyCoroutineDriver.hpp: the native coroutine object and the driver that runs its body
#pragma once

#include "glue/PyCoroutine.hpp"

namespace tarvel::py {

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

// Both types, built once by ensure_types().
extern PyTypeObject* coroutine_type;
extern PyTypeObject* wrapper_type;

// Builds both types once and registers the coroutine type with
// collections.abc.Coroutine, which makes asyncio.iscoroutine() true for it.
void ensure_types();

inline CoroutineObject* as_coroutine(PyObject* obj) {
    return reinterpret_cast<CoroutineObject*>(obj);
}

inline bool is_native(PyObject* obj) {
    return Py_TYPE(obj) == coroutine_type;
}

// The pending exception as a normalised instance (new reference), clearing it.
PyObject* take_error();

// Raises `exc` (stolen) as it is: no chaining, its traceback kept.
void raise(PyObject* exc);

// Ends a send() or throw() call that returned: StopIteration carries the value (stolen).
void raise_stop_iteration(PyObject* value);

// `obj.name` or null; a missing attribute is no error.
PyObject* lookup_optional(PyObject* obj, PyObject* name);

// The coroutine protocol over a body's frame: sending, throwing and closing, delegated to the
// awaited object while the body waits (glue/PyCoroutine.cpp).
struct CoroutineDriver {
    static AsyncHandle handle(CoroutineObject* c);
    // Destroys the frame: the body's locals and parameters are released.
    static void drop_frame(CoroutineObject* c);
    // Runs the body from where it stands until it waits again or finishes.
    static PySendResult resume(CoroutineObject* c, PyObject** out);
    // A StopIteration leaving a coroutine becomes RuntimeError, as Python does.
    static PyObject* escaped(PyObject* error);
    static PySendResult resume_value(CoroutineObject* c, PyObject* value, PyObject** out);
    static PySendResult resume_error(CoroutineObject* c, PyObject* exc, PyObject** out);
    static bool refuse_running(CoroutineObject* c);
    static void refuse_finished();
    // send(arg); arg is null for __next__.
    static PySendResult send(CoroutineObject* c, PyObject* arg, PyObject** out);
    // What the awaited object gave (r, with its yield or return value in result): a
    // value it yields passes out, its end resumes the body with its value or its error.
    static PySendResult after_awaited(CoroutineObject* c, PySendResult r, PyObject* result,
                                      PyObject** out);
    // throw(exc) with a normalised exception instance (stolen).
    static PySendResult throw_in(CoroutineObject* c, PyObject* exc, PyObject** out);
    // GeneratorExit closes the awaited object first, then goes in at the await.
    static PySendResult close_then_throw(CoroutineObject* c, PyObject* exc, PyObject** out);
    // Any other exception goes to the awaited object's throw(), which may handle it.
    static PySendResult throw_into_awaited(CoroutineObject* c, PyObject* exc, PyObject** out);
    // close(): None, or (3.13 on) the value a body returns after GeneratorExit.
    static PyObject* close(CoroutineObject* c);
    // Closes an awaited object as the interpreter does: 0, or -1 with its error set.
    static int close_iter(PyObject* awaited);
    static int traverse(CoroutineObject* c, visitproc visit, void* arg);
    static PyObject* awaiting(CoroutineObject* c);
};

}  // namespace tarvel::py
