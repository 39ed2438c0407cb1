// core/scheduler/PyStateLocks.cpp: advisory locks beside the state file, for the loop and for saves
#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyLocks.hpp"

namespace tarvel::scheduler {

namespace {

// The pid the holder wrote into the lock file, or "unknown".
py::Ref holder_of(PyObject* lock_path) {
    py::Ref text = py::Ref::steal_maybe(
        PyObject_CallMethodObjArgs(lock_path, TARVEL_NAME("read_text"), nullptr));
    if (!text) {
        PyErr_Clear();
        return py::str("unknown");
    }
    py::Ref pid = py::call_method(text.get(), TARVEL_NAME("strip"));
    return PyUnicode_GET_LENGTH(pid.get()) > 0 ? pid : py::str("unknown");
}

// Whether the open file `fd` is a regular file: only such a lock file is emptied for the pid.
bool regular_file(PyObject* os, PyObject* fd) {
    py::Ref info = py::call_method(os, TARVEL_NAME("fstat"), fd);
    py::Ref stat = py::import("stat");
    py::Ref mode = py::getattr(info.get(), TARVEL_NAME("st_mode"));
    return py::truthy(py::call_method(stat.get(), TARVEL_NAME("S_ISREG"), mode).get());
}

}  // namespace

py::Ref take_loop_lock(PyObject* state_path) {
    py::Ref os = py::import("os");
    py::Ref parent = py::getattr(state_path, TARVEL_NAME("parent"));
    py::make_dirs(parent.get());
    py::Ref lock_path = py::beside(state_path, ".lock");
    // A path object of the host's own that names no file of the system cannot be locked.
    py::Ref fspath = py::Ref::steal_maybe(
        PyObject_CallMethodObjArgs(os.get(), TARVEL_NAME("fspath"), lock_path.get(), nullptr));
    if (!fspath) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::Error();
        PyErr_Clear();
        return py::none();
    }
    py::Ref fd = py::open_lock_file(os.get(), lock_path.get());
    bool locked = false;
    try {
        locked = py::lock_descriptor(fd.get(), false);
        if (locked && regular_file(os.get(), fd.get())) {
            // The holder's pid, for the message of a scheduler that finds it taken: the file's
            // whole text on every system (msvcrt locks a byte far past it, so another process
            // can read it under Windows' mandatory locks).
            py::call_method(os.get(), TARVEL_NAME("ftruncate"), fd, py::integer(0));
            py::Ref pid = py::call_method(os.get(), TARVEL_NAME("getpid"));
            py::Ref text = py::fstring(pid);
            py::Ref bytes = py::Ref::steal(PyUnicode_AsASCIIString(text.get()));
            py::call_method(os.get(), TARVEL_NAME("write"), fd, bytes);
        }
    } catch (py::Error&) {
        py::release_lock(fd.get());
        throw;
    }
    if (locked) return fd;
    py::release_lock(fd.get());
    py::Ref message = py::fstring("Another scheduler loop (pid ", holder_of(lock_path.get()),
                                  ") is running on ", state_path);
    throw py::Error(PyExc_RuntimeError, message.get());
}

py::Ref take_save_lock(PyObject* globals, PyObject* state_path) {
    return py::lock_beside(globals, state_path, ".save-lock");
}

}  // namespace tarvel::scheduler
