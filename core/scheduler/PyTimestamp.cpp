// core/scheduler/PyTimestamp.cpp: _format_timestamp, Unix seconds as local "%Y-%m-%d %H:%M:%S" text
#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyFunction.hpp"

namespace tarvel::scheduler {

namespace {

py::Ref format_impl(const py::Frame& frame) {
    PyObject* ts = frame.args[0];
    if (!PyLong_Check(ts) && !PyFloat_Check(ts)) py::wrong_type("ts", "an int or a float", ts);
    const double seconds = PyFloat_AsDouble(ts);  // a huge int raises OverflowError here
    py::check(seconds == -1.0 && PyErr_Occurred());
    if (seconds == 0.0) return py::str("Never");
    py::Ref datetime = py::global(frame.globals, TARVEL_NAME("datetime"));
    try {
        py::Ref value = py::Ref::steal(PyFloat_FromDouble(seconds));
        py::Ref local = py::call_method(datetime.get(), TARVEL_NAME("fromtimestamp"), value);
        return py::call_method(local.get(), TARVEL_NAME("strftime"), py::str("%Y-%m-%d %H:%M:%S"));
    } catch (py::Error& e) {
        // NaN and times the platform cannot convert; OverflowError is not caught.
        if (e.matches(PyExc_OSError) || e.matches(PyExc_ValueError)) return py::str("Invalid");
        throw;
    }
}

}  // namespace

py::Ref make_format_timestamp(PyObject* module) {
    return py::make_function({"_format_timestamp", "_format_timestamp", "ts: float", "str",
                              "Format a Unix timestamp as a human-readable string.", format_impl},
                             module);
}

py::Ref format_timestamp(PyObject* globals, PyObject* ts) {
    py::Ref fn = py::global(globals, TARVEL_NAME("_format_timestamp"));
    if (py::runs(fn.get(), format_impl)) {
        PyObject* args[] = {ts};
        return format_impl({args, globals, fn.get()});
    }
    return py::call(fn.get(), ts);
}

}  // namespace tarvel::scheduler
