// glue/PyFunction.hpp: native functions that look and bind like Python functions
#pragma once

#include "glue/PyRef.hpp"

namespace tarvel::py {

// One call of a native function: the arguments bound to the parameters as
// Python binds them (defaults filled in), and the defining module's globals.
struct Frame {
    PyObject* const* args;  // one per parameter, borrowed
    PyObject* globals;      // the module's dict: standard names are read from it at each use
    PyObject* function;     // the function object being called
};

// A function body. It reports a Python error by throwing py::Error or, on hot
// paths where a C++ throw would cost more than the work, by returning a null
// Ref with the error set.
using Impl = Ref (*)(const Frame&);

// What a `def` statement would say about a function.
struct FunctionSpec {
    const char* name;      // "next_occurrence"
    const char* qualname;  // "CronExpression.next_occurrence"
    const char*
        params;  // the parameter list as written in a def: "self, after: datetime | None = None"
    const char* returns;  // the return annotation as written, or nullptr
    const char* doc;      // the docstring, or nullptr
    Impl impl;
    bool coroutine = false;
};

// A function object with Python's binding and introspection: it becomes a
// bound method on instances, has __code__, __defaults__, string __annotations__,
// __globals__, __doc__, __qualname__, and raises Python's own TypeError texts
// for calls that do not fit its parameters.
Ref make_function(const FunctionSpec& def, PyObject* module);

// A docstring as the running interpreter's compiler keeps it: 3.13 and later
// drop the first line's leading blanks and the common indentation of the rest.
Ref docstring(const char* text);

// The name of the native function or coroutine running on this thread (null
// outside them): log records name it, as Python names the function that logged.
PyObject* running_function_name();

// Marks `name` (borrowed, alive for the scope) as running for a scope.
class RunningFunction {
  public:
    explicit RunningFunction(PyObject* name) noexcept;
    ~RunningFunction();
    RunningFunction(const RunningFunction&) = delete;
    RunningFunction& operator=(const RunningFunction&) = delete;

  private:
    PyObject* previous_;
};

// Whether `obj` is a native function running `impl` (a method not overridden).
bool runs(PyObject* obj, Impl impl);

// Whether `type` still resolves `name` to the native function running `impl`.
bool type_runs(PyTypeObject* type, PyObject* name, Impl impl);

}  // namespace tarvel::py
