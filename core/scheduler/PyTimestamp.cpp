// core/scheduler/PyTimestamp.cpp: _format_timestamp, Unix seconds as local "%Y-%m-%d %H:%M:%S" text
#include "core/scheduler/PyScheduler.hpp"  // Python.h first

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "glue/PyFunction.hpp"
#include "glue/PyPlatform.hpp"

namespace tarvel::scheduler {

namespace {

// The standard library's datetime class, for telling whether the module's
// `datetime` global is still it.
PyObject* stock_datetime() {
    static PyObject* const cls = [] {
        // Held for the life of the process; null (never the module's global) if it cannot be had.
        try {
            return py::import_from("datetime", "datetime").release();
        } catch (py::Error&) {
            return static_cast<PyObject*>(nullptr);
        }
    }();
    return cls;
}

// What datetime.fromtimestamp(seconds).strftime("%Y-%m-%d %H:%M:%S") gives,
// computed the way the datetime module does it (microseconds rounded half to
// even, then the platform's localtime); nullopt where only Python should say.
std::optional<std::string> local_text(double seconds) {
    // Years well inside 1..9999, where neither conversion can fail.
    if (!(seconds > -6.0e10 && seconds < 2.5e11)) return std::nullopt;
    double whole = 0.0;
    double micros = std::nearbyint(std::modf(seconds, &whole) * 1e6);  // ties to even
    if (micros >= 1e6) whole += 1.0;
    if (micros < 0.0) whole -= 1.0;
    const auto timet = static_cast<std::time_t>(whole);
    std::tm local{};
#if defined(TARVEL_POSIX_FILES)
    if (localtime_r(&timet, &local) == nullptr) return std::nullopt;
#elif defined(_WIN32)
    if (localtime_s(&local, &timet) != 0) return std::nullopt;
#else
    (void)timet;  // a portable build on POSIX: datetime converts
    return std::nullopt;
#endif
    const int year = local.tm_year + 1900;
    // Years before 1000 are left to strftime: how "%Y" pads them depends on the
    // interpreter (3.14 pads to four digits, earlier versions follow the C library).
    if (year < 1000 || year > 9999) return std::nullopt;
    char text[96];
    std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", year, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, std::min(local.tm_sec, 59));
    return std::string(text);
}

py::Ref format_body(const py::Frame& frame, PyObject* ts) {
    if (!PyLong_Check(ts) && !PyFloat_Check(ts)) py::wrong_type("ts", "an int or a float", ts);
    const double seconds = PyFloat_AsDouble(ts);  // a huge int raises OverflowError here
    py::check(seconds == -1.0 && PyErr_Occurred());
    if (seconds == 0.0) return py::str("Never");
    py::Ref datetime = py::global(frame.globals, TARVEL_NAME("datetime"));
    if (datetime.get() == stock_datetime()) {
        if (auto text = local_text(seconds)) return py::str(*text);
    }
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

constexpr py::Impl format_impl = py::unpacked<format_body>;

}  // namespace

py::Ref make_format_timestamp(PyObject* module) {
    return py::make_function({"_format_timestamp", "_format_timestamp", "ts: float", "str",
                              "Format a Unix timestamp as a human-readable string.", format_impl},
                             module);
}

std::optional<std::string> timestamp_text(PyObject* globals, PyObject* ts) {
    if (!PyFloat_CheckExact(ts) && !PyLong_CheckExact(ts)) return std::nullopt;
    PyObject* fn = PyDict_GetItemWithError(globals, TARVEL_NAME("_format_timestamp"));
    if (fn == nullptr || !py::runs(fn, format_impl)) {
        PyErr_Clear();
        return std::nullopt;
    }
    const double seconds = PyFloat_AsDouble(ts);
    if (seconds == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // a huge int: Python says how it fails
        return std::nullopt;
    }
    if (seconds == 0.0) return std::string("Never");
    PyObject* datetime = PyDict_GetItemWithError(globals, TARVEL_NAME("datetime"));
    if (datetime == nullptr || datetime != stock_datetime()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return local_text(seconds);
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
