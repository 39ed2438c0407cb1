// glue/PyFunction.hpp: native functions that look and bind like Python functions
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

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

// A body that names its parameters: the frame first, then one argument per parameter, in the
// order the parameter list gives them (self or cls included). Body<2> is
// Ref(const Frame& frame, PyObject* self, PyObject* job_id).
template <std::size_t>
using Argument = PyObject*;
template <class Indices>
struct BodyOf;
template <std::size_t... I>
struct BodyOf<std::index_sequence<I...>> {
    using type = Ref(const Frame&, Argument<I>...);
};
template <std::size_t N>
using Body = typename BodyOf<std::make_index_sequence<N>>::type;

// Calls `body` with the frame and its bound arguments, each as its own parameter.
template <std::size_t N>
inline Ref call_body(Body<N>& body, const Frame& frame) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return body(frame, frame.args[I]...);
    }(std::make_index_sequence<N>{});
}

// The number of arguments a body takes besides the frame.
template <class F>
struct BodyArity;
template <class... Args>
struct BodyArity<Ref(const Frame&, Args...)> {
    static constexpr std::size_t value = sizeof...(Args);
};

// A function's Impl from a body that names its parameters, for make_function:
// {"add", "add", "a: int, b: int = 2", "int", nullptr, py::unpacked<add_body>}.
template <auto& body>
Ref unpacked(const Frame& frame) {
    using F = std::remove_reference_t<decltype(body)>;
    return call_body<BodyArity<F>::value>(body, frame);
}

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
    Py_ssize_t arity = -1;  // when not -1, the parameters the body takes: checked against params
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
