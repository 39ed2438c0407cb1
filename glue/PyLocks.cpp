// glue/PyLocks.cpp: exclusive advisory locks on lock files, and the version of a file as last seen
#include "glue/PyLocks.hpp"

#include "glue/PyFiles.hpp"
#include "glue/PyLogging.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

namespace tarvel::py {

namespace {

// The byte msvcrt locks, far past what a lock file holds: Windows' locks are mandatory, and the
// loop lock's holder writes its pid at the start of the file for other processes to read.
constexpr long long kLockOffset = 1LL << 30;

// Seconds a waiting lock waits before it says so.
constexpr long long kLongWait = 10;

}  // namespace

Ref beside(PyObject* path, const char* suffix) {
    Ref name = getattr(path, TARVEL_NAME("name"));
    return call_method(path, TARVEL_NAME("with_name"), fstring(name, suffix));
}

Ref open_lock_file(PyObject* os, PyObject* lock_path) {
    Ref flags =
        os_flags(os, {"O_RDWR", "O_CREAT", "O_NOFOLLOW", "O_CLOEXEC", "O_NOINHERIT", "O_BINARY"});
    return call_method(os, TARVEL_NAME("open"), lock_path, flags, integer(0666));
}

namespace {

// fcntl, or a null Ref where it cannot be imported (Windows): the locks then go through msvcrt.
Ref fcntl_module() {
    Ref fcntl = Ref::steal_maybe(PyImport_ImportModule("fcntl"));
    if (!fcntl) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw Error();
        PyErr_Clear();
    }
    return fcntl;
}

// os.lseek(fd, offset, os.SEEK_SET).
void seek(PyObject* os, PyObject* fd, long long offset) {
    Ref whence = getattr(os, TARVEL_NAME("SEEK_SET"));
    call_method(os, TARVEL_NAME("lseek"), fd, integer(offset), whence);
}

// Whether msvcrt.locking failed for a byte another holder has: EACCES (a PermissionError) from
// LK_NBLCK, EDEADLOCK from LK_LOCK once its tries are spent.
bool held_elsewhere(const Error& e) {
    if (e.matches(PyExc_PermissionError)) return true;
    if (!e.matches(PyExc_OSError)) return false;
    Ref number = getattr(e.value(), TARVEL_NAME("errno"));
    const long code = PyLong_Check(number.get()) ? PyLong_AsLong(number.get()) : 0;
    if (code == -1 && PyErr_Occurred()) PyErr_Clear();  // too large for a long: no such number
    return code == EACCES || code == EDEADLK;
}

// msvcrt.locking(fd, LK_NBLCK, 1) of the lock byte, the descriptor left at the file's start.
bool try_locking(PyObject* os, PyObject* msvcrt, PyObject* fd) {
    seek(os, fd, kLockOffset);
    Ref mode = getattr(msvcrt, TARVEL_NAME("LK_NBLCK"));
    bool locked = true;
    try {
        call_method(msvcrt, TARVEL_NAME("locking"), fd, mode, integer(1));
    } catch (Error& e) {
        if (!held_elsewhere(e)) throw;
        locked = false;
    }
    seek(os, fd, 0);
    return locked;
}

// The msvcrt lock of the descriptor. Its own LK_LOCK gives up after ten one-second tries, so a
// waiting lock tries LK_NBLCK again, with pauses growing from 50 ms to half a second (time.sleep),
// for as long as it takes, as flock waits; a wait past 10 s is logged once.
bool lock_by_msvcrt(PyObject* fd, bool wait, PyObject* globals, PyObject* lock_path) {
    Ref os = import("os");
    Ref msvcrt = import("msvcrt");
    if (try_locking(os.get(), msvcrt.get(), fd)) return true;
    if (!wait) return false;
    Ref time = import("time");
    Ref started = call_method(time.get(), TARVEL_NAME("monotonic"));
    Ref warn_after = integer(kLongWait);
    bool warned = false;
    for (double pause = 0.05;; pause = std::min(pause * 2, 0.5)) {
        call_method(time.get(), TARVEL_NAME("sleep"), Ref::steal(PyFloat_FromDouble(pause)));
        if (try_locking(os.get(), msvcrt.get(), fd)) return true;
        if (warned || globals == nullptr) continue;
        Ref now = call_method(time.get(), TARVEL_NAME("monotonic"));
        Ref waited = Ref::steal(PyNumber_Subtract(now.get(), started.get()));
        if (!compare(waited.get(), warn_after.get(), Py_GE)) continue;
        warned = true;
        log(globals, "warning",
            fstring("Waiting for the lock on ", lock_path, " for ", warn_after,
                    " s: another process holds it"));
    }
}

}  // namespace

bool lock_descriptor(PyObject* fd, bool wait, PyObject* globals, PyObject* lock_path) {
    try {
        Ref fcntl = fcntl_module();
        if (!fcntl) return lock_by_msvcrt(fd, wait, globals, lock_path);
        Ref exclusive = getattr(fcntl.get(), TARVEL_NAME("LOCK_EX"));
        if (!wait) {
            Ref nonblocking = getattr(fcntl.get(), TARVEL_NAME("LOCK_NB"));
            exclusive = Ref::steal(PyNumber_Or(exclusive.get(), nonblocking.get()));
        }
        call_method(fcntl.get(), TARVEL_NAME("flock"), fd, exclusive);
        return true;
    } catch (Error& e) {
        // BlockingIOError from flock (PermissionError where it says EACCES).
        if (!wait && (e.matches(PyExc_BlockingIOError) || e.matches(PyExc_PermissionError)))
            return false;
        throw;
    }
}

namespace {

// Whether the lock file at `lock_path` could not be had because a symbolic link stands at its
// name: ELOOP where O_NOFOLLOW refused it, or a link found there (systems that say it otherwise).
bool planted_link(const Error& e, PyObject* lock_path) {
    if (!e.matches(PyExc_OSError)) return false;
    Ref number = getattr(e.value(), TARVEL_NAME("errno"));
    if (PyLong_Check(number.get()) && PyLong_AsLong(number.get()) == ELOOP) return true;
    PyErr_Clear();  // an errno too large for a long is no ELOOP
    try {
        Ref os = import("os");
        Ref os_path = getattr(os.get(), TARVEL_NAME("path"));
        return truthy(call_method(os_path.get(), TARVEL_NAME("islink"), lock_path).get());
    } catch (Error& failed) {
        if (!failed.matches(PyExc_Exception)) throw;
        return false;
    }
}

// The lock file at `lock_path`, opened and locked through Python.
Ref locked(PyObject* globals, PyObject* lock_path) {
    Ref os = import("os");
    Ref fd = open_lock_file(os.get(), lock_path);
    try {
        lock_descriptor(fd.get(), true, globals, lock_path);
    } catch (Error&) {
        release_lock(fd.get());
        throw;
    }
    return fd;
}

// What `locking` gives, or None when it fails with an Exception: the caller goes on unlocked.
// A link at the lock file's name (`lock_path`, once known) fails the caller instead.
template <class Locking>
Ref or_unlocked(Ref& lock_path, Locking&& locking) {
    try {
        return locking();
    } catch (Error& e) {
        if (!e.matches(PyExc_Exception) || (lock_path && planted_link(e, lock_path.get()))) throw;
        return none();
    }
}

}  // namespace

Ref lock_beside(PyObject* globals, PyObject* path, const char* suffix) {
    Ref lock_path;
    return or_unlocked(lock_path, [&] {
        if (auto fd = lock_file_natively(path, suffix)) return std::move(*fd);
        lock_path = beside(path, suffix);
        return locked(globals, lock_path.get());
    });
}

Ref lock_inside(PyObject* globals, PyObject* directory, const char* name) {
    Ref lock_path;
    return or_unlocked(lock_path, [&] {
        Ref inside = Ref::steal(PyNumber_TrueDivide(directory, str(name).get()));
        lock_path = inside;
        if (auto fd = lock_file_natively(inside.get(), "")) return std::move(*fd);
        return locked(globals, inside.get());
    });
}

bool waited_for_holder(PyObject* globals, PyObject* path, const char* suffix) {
    Ref fd;
    try {
        Ref os = import("os");
        Ref lock_path = beside(path, suffix);
        Ref flags =
            os_flags(os.get(), {"O_RDWR", "O_NOFOLLOW", "O_CLOEXEC", "O_NOINHERIT", "O_BINARY"});
        fd = call_method(os.get(), TARVEL_NAME("open"), lock_path, flags);
        const bool held = !lock_descriptor(fd.get(), false);
        if (held) lock_descriptor(fd.get(), true, globals, lock_path.get());
        release_lock(fd.get());
        return held;
    } catch (Error& e) {
        release_lock(fd.get());
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

namespace {

// A lock file this thread holds through DirectoryLock scopes: str() of its path, its descriptor
// (None when it could not be had) and the number of scopes holding it.
struct HeldHere {
    Ref key;
    Ref fd;
    int scopes = 0;
};

// Only this thread reads or changes its list; scopes end in the reverse order they began, so the
// list is empty again when the thread's outermost scope ends.
std::vector<HeldHere>& held_here() {
    thread_local std::vector<HeldHere> held;
    return held;
}

}  // namespace

DirectoryLock::DirectoryLock(PyObject* globals, PyObject* directory, const char* name) {
    Ref lock_path;
    try {
        lock_path = Ref::steal(PyNumber_TrueDivide(directory, str(name).get()));
    } catch (Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return;  // no path of a lock file: unlocked, as lock_inside would leave it
    }
    Ref key = Ref::steal(PyObject_Str(lock_path.get()));
    for (HeldHere& held : held_here()) {
        if (compare(held.key.get(), key.get(), Py_EQ)) {
            ++held.scopes;
            key_ = held.key;
            return;
        }
    }
    Ref fd = lock_inside(globals, directory, name);
    held_here().push_back({key, std::move(fd), 1});
    key_ = std::move(key);
}

DirectoryLock::~DirectoryLock() {
    if (!key_) return;
    std::vector<HeldHere>& held = held_here();
    for (auto it = held.end(); it != held.begin();) {
        --it;
        if (it->key.get() != key_.get()) continue;
        if (--it->scopes == 0) {
            Ref fd = std::move(it->fd);
            held.erase(it);
            release_lock(fd.get());
        }
        return;
    }
}

void release_lock(PyObject* fd) noexcept {
    if (fd == nullptr || fd == Py_None) return;
    try {
        Ref os = import("os");
        try {
            // Where msvcrt locked the byte, it is unlocked before the close: Windows leaves
            // the unlocking of a closed file to the system, in its own time.
            if (!fcntl_module()) {
                Ref msvcrt = import("msvcrt");
                seek(os.get(), fd, kLockOffset);
                Ref unlock = getattr(msvcrt.get(), TARVEL_NAME("LK_UNLCK"));
                call_method(msvcrt.get(), TARVEL_NAME("locking"), fd, unlock, integer(1));
            }
        } catch (Error&) {
            // a lock never taken (a loop lock another holds); the close goes on
        }
        call_method(os.get(), TARVEL_NAME("close"), fd);
    } catch (Error&) {
        // a failure to close is ignored
    }
}

Ref file_signature(PyObject* path) {
    if (auto signature = signature_natively(path)) return std::move(*signature);
    Ref info = Ref::steal_maybe(PyObject_CallMethodNoArgs(path, TARVEL_NAME("stat")));
    if (!info) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw Error();
        PyErr_Clear();  // no file, or none that can be seen
        return Ref::steal(PyTuple_New(0));
    }
    Ref signature = Ref::steal(PyTuple_New(5));
    const char* names[] = {"st_dev", "st_ino", "st_size", "st_mtime_ns", "st_ctime_ns"};
    for (Py_ssize_t i = 0; i < 5; ++i) {
        PyTuple_SET_ITEM(signature.get(), i,
                         Ref::steal(PyObject_GetAttrString(info.get(), names[i])).release());
    }
    return signature;
}

}  // namespace tarvel::py
