// tests/glue/PyGlueTest.cpp: tarvel_glue_test, the shared glue exposed for its own tests
//
// Built only with -DTARVEL_GLUE_TESTS=ON (the test command), never shipped. Its Python twin
// is tests/test_glue.py.
#include "glue/PyCoroutine.hpp"
#include "glue/PyFiles.hpp"
#include "glue/PyFunction.hpp"
#include "glue/PyJson.hpp"
#include "glue/PyModule.hpp"
#include "glue/PyPlatform.hpp"

#include <exception>

namespace tarvel::glue_test {

namespace {

// add(a, b=2): a native function with Python's binding, defaults and TypeError texts.
py::Ref add_impl(const py::Frame& frame) {
    return py::Ref::steal(PyNumber_Add(frame.args[0], frame.args[1]));
}

// relay(awaitable): `return ("got", await awaitable)`.
py::Async relay_body(py::Ref awaitable) {
    py::Ref result = co_await py::await_(awaitable);
    co_return py::Ref::steal(PyTuple_Pack(2, py::str("got").get(), result.get()));
}

py::Ref relay_impl(const py::Frame& frame) {
    return py::make_coroutine(relay_body(py::Ref::borrow(frame.args[0])), frame.function);
}

// guarded(awaitable, cleanup): `try: return await awaitable` `finally: await cleanup()`.
py::Async guarded_body(py::Ref awaitable, py::Ref cleanup) {
    std::exception_ptr failure;
    py::Ref result;
    try {
        result = co_await py::await_(awaitable);
    } catch (...) {
        failure = std::current_exception();
    }
    co_await py::await_(py::call(cleanup.get()));
    if (failure) std::rethrow_exception(failure);
    co_return result;
}

py::Ref guarded_impl(const py::Frame& frame) {
    return py::make_coroutine(
        guarded_body(py::Ref::borrow(frame.args[0]), py::Ref::borrow(frame.args[1])),
        frame.function);
}

// keeper(make): keeps make() (which may refer back to this coroutine) through py::keep,
// then waits on `await_this`, an attribute the caller sets on what make() returned.
py::Async keeper_body(py::Ref make) {
    PyObject* kept = co_await py::keep(py::call(make.get()));
    py::Ref awaited = py::getattr(kept, TARVEL_NAME("await_this"));
    co_await py::await_(awaited);
    co_return py::none();
}

py::Ref keeper_impl(const py::Frame& frame) {
    return py::make_coroutine(keeper_body(py::Ref::borrow(frame.args[0])), frame.function);
}

// dumps(obj): the native json.dumps(obj, indent=2) through the json module.
py::Ref dumps_impl(const py::Frame& frame) {
    py::Ref json = py::import("json");
    return py::dumps_indent2(json.get(), frame.args[0]);
}

// replace(path, text): the crash-safe write, DURABLE_WRITES read from this module.
py::Ref replace_impl(const py::Frame& frame) {
    py::replace_file(frame.globals, frame.args[0], frame.args[1]);
    return py::none();
}

void build(PyObject* module) {
    py::remember_stock_paths();
    py::bind(module, "DURABLE_WRITES", py::boolean(false));
    // Whether the native file steps make POSIX calls: not on Windows, nor in a build with
    // TARVEL_PORTABLE_FILES, where they take Windows' paths.
#ifdef TARVEL_POSIX_FILES
    py::bind(module, "POSIX_FILES", py::boolean(true));
#else
    py::bind(module, "POSIX_FILES", py::boolean(false));
#endif
    py::bind(
        module, "add",
        py::make_function({"add", "add", "a: int, b: int = 2", "int", "a + b", add_impl}, module));
    py::bind(module, "relay",
             py::make_function({"relay", "relay", "awaitable", nullptr, nullptr, relay_impl, true},
                               module));
    py::bind(module, "guarded",
             py::make_function(
                 {"guarded", "guarded", "awaitable, cleanup", nullptr, nullptr, guarded_impl, true},
                 module));
    py::bind(module, "keeper",
             py::make_function({"keeper", "keeper", "make", nullptr, nullptr, keeper_impl, true},
                               module));
    py::bind(module, "dumps",
             py::make_function({"dumps", "dumps", "obj", "str", nullptr, dumps_impl}, module));
    py::bind(module, "replace",
             py::make_function({"replace", "replace", "path, text", "None", nullptr, replace_impl},
                               module));
}

}  // namespace

}  // namespace tarvel::glue_test

TARVEL_MODULE(tarvel_glue_test, "tarvel_glue_test", "The shared glue, exposed for its own tests.",
              tarvel::glue_test::build)
