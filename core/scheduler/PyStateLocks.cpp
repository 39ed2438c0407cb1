// core/scheduler/PyStateLocks.cpp: advisory locks beside the state file, for the loop and for saves
#include "core/scheduler/PyScheduler.hpp"
#include "glue/PyFiles.hpp"

namespace tarvel::scheduler {

namespace {

// "<state file>.<suffix>" beside the state file.
py::Ref beside(PyObject* state_path, const char* suffix) {
    py::Ref name = py::getattr(state_path, TARVEL_NAME("name"));
    return py::call_method(state_path, TARVEL_NAME("with_name"), py::fstring(name, suffix));
}

// A descriptor of the lock file, created when missing (never deleted).
py::Ref open_lock_file(PyObject* os, PyObject* lock_path) {
    py::Ref flags = py::os_flags(os, {"O_RDWR", "O_CREAT", "O_CLOEXEC", "O_NOINHERIT", "O_BINARY"});
    return py::call_method(os, TARVEL_NAME("open"), lock_path, flags, py::integer(0666));
}

// Locks the descriptor exclusively: false when another holder has it and
// `wait` is false. fcntl.flock on POSIX (a lock of the open file, so two
// opens in one process exclude each other too), msvcrt.locking elsewhere.
bool lock_descriptor(PyObject* fd, bool wait) {
    py::Ref fcntl = py::Ref::steal_maybe(PyImport_ImportModule("fcntl"));
    try {
        if (fcntl) {
            py::Ref exclusive = py::getattr(fcntl.get(), TARVEL_NAME("LOCK_EX"));
            if (!wait) {
                py::Ref nonblocking = py::getattr(fcntl.get(), TARVEL_NAME("LOCK_NB"));
                exclusive = py::Ref::steal(PyNumber_Or(exclusive.get(), nonblocking.get()));
            }
            py::call_method(fcntl.get(), TARVEL_NAME("flock"), fd, exclusive);
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw py::Error();
        PyErr_Clear();
        py::Ref msvcrt = py::import("msvcrt");
        py::Ref mode =
            py::getattr(msvcrt.get(), wait ? TARVEL_NAME("LK_LOCK") : TARVEL_NAME("LK_NBLCK"));
        py::call_method(msvcrt.get(), TARVEL_NAME("locking"), fd, mode, py::integer(1));
        return true;
    } catch (py::Error& e) {
        // BlockingIOError from flock, PermissionError (EACCES) from locking.
        if (!wait && (e.matches(PyExc_BlockingIOError) || e.matches(PyExc_PermissionError)))
            return false;
        throw;
    }
}

void close_quietly(PyObject* os, PyObject* fd) {
    py::Ref closed =
        py::Ref::steal_maybe(PyObject_CallMethodObjArgs(os, TARVEL_NAME("close"), fd, nullptr));
    if (!closed) PyErr_Clear();
}

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

}  // namespace

py::Ref take_loop_lock(PyObject* state_path) {
    py::Ref os = py::import("os");
    py::Ref parent = py::getattr(state_path, TARVEL_NAME("parent"));
    py::Ref mkdir = py::getattr(parent.get(), TARVEL_NAME("mkdir"));
    py::call_kw(mkdir.get(), {}, {{"parents", Py_True}, {"exist_ok", Py_True}});
    py::Ref lock_path = beside(state_path, ".lock");
    // A path object of the host's own that names no file of the system cannot be locked.
    py::Ref fspath = py::Ref::steal_maybe(
        PyObject_CallMethodObjArgs(os.get(), TARVEL_NAME("fspath"), lock_path.get(), nullptr));
    if (!fspath) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::Error();
        PyErr_Clear();
        return py::none();
    }
    py::Ref fd = open_lock_file(os.get(), lock_path.get());
    bool locked = false;
    try {
        locked = lock_descriptor(fd.get(), false);
        if (locked) {
            // The holder's pid, for the message of a scheduler that finds it taken.
            py::call_method(os.get(), TARVEL_NAME("ftruncate"), fd, py::integer(0));
            py::Ref pid = py::call_method(os.get(), TARVEL_NAME("getpid"));
            py::Ref text = py::fstring(pid);
            py::Ref bytes = py::Ref::steal(PyUnicode_AsASCIIString(text.get()));
            py::call_method(os.get(), TARVEL_NAME("write"), fd, bytes);
        }
    } catch (py::Error&) {
        close_quietly(os.get(), fd.get());
        throw;
    }
    if (locked) return fd;
    close_quietly(os.get(), fd.get());
    py::Ref message = py::fstring("Another scheduler loop (pid ", holder_of(lock_path.get()),
                                  ") is running on ", state_path);
    throw py::Error(PyExc_RuntimeError, message.get());
}

void release_lock(PyObject* fd) {
    if (fd == nullptr || fd == Py_None) return;
    py::Ref os = py::import("os");
    close_quietly(os.get(), fd);
}

py::Ref take_save_lock(PyObject* state_path) {
    try {
        py::Ref os = py::import("os");
        py::Ref lock_path = beside(state_path, ".save-lock");
        py::Ref fd = open_lock_file(os.get(), lock_path.get());
        try {
            lock_descriptor(fd.get(), true);
        } catch (py::Error&) {
            close_quietly(os.get(), fd.get());
            throw;
        }
        return fd;
    } catch (py::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();  // a directory that takes no new file: the save goes on unlocked
    }
}

}  // namespace tarvel::scheduler
