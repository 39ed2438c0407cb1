// glue/PyLocks.hpp: exclusive advisory locks on lock files beside a data file, and the version of a
// file as last seen, for data files that several processes save
#pragma once

#include "glue/PyRef.hpp"

namespace tarvel::py {

// path.with_name(path.name + suffix): "<file><suffix>" beside the file.
Ref beside(PyObject* path, const char* suffix);

// A descriptor of the lock file at `lock_path`, opened for reading and writing
// and created when missing, never through a symbolic link at its name (the
// open fails with ELOOP where the system has O_NOFOLLOW). Lock files are never
// deleted: a process waiting on one must find the same file its holder locked.
Ref open_lock_file(PyObject* os, PyObject* lock_path);

// Locks the descriptor exclusively: false when another holder has it and
// `wait` is false. fcntl.flock on POSIX (a lock of the open file, so two
// opens in one process exclude each other too). Where fcntl cannot be imported
// (Windows), msvcrt.locking of one byte far past the file's contents (so what
// the holder writes there stays readable under Windows' mandatory locks), the
// descriptor left at the file's start: a waiting lock tries again, with short
// pauses through time.sleep, for as long as it takes, and logs a WARNING
// through the logger in `globals` (when given) once it has waited 10 s for
// `lock_path`.
bool lock_descriptor(PyObject* fd, bool wait, PyObject* globals = nullptr,
                     PyObject* lock_path = nullptr);

// Waits for the exclusive lock of "<file><suffix>" beside `path` and returns
// its descriptor, or None when the lock file cannot be had (a directory that
// takes no new file): the caller then goes on unlocked. A symbolic link at the
// lock file's name is never followed: its OSError, which names the link, is
// raised, and the caller fails as a failed write fails. A long wait is logged
// through the logger of the module whose `globals` are given.
Ref lock_beside(PyObject* globals, PyObject* path, const char* suffix);

// lock_beside() for the lock file `directory / name` inside a directory.
Ref lock_inside(PyObject* globals, PyObject* directory, const char* name);

// Whether another holder had the lock of "<file><suffix>" beside `path`: waits
// for it to be let go (as lock_beside waits) and returns true; false at once
// when no one holds it, and when there is no lock file (none is made here) or
// it cannot be looked at. A load that finds a file it cannot parse asks this
// before it takes the file for damaged: a save that writes in place holds the
// lock until the file is whole again.
bool waited_for_holder(PyObject* globals, PyObject* path, const char* suffix);

// Closes a descriptor from above, which lets go of its lock; a byte that
// msvcrt locked is unlocked first. None and null are ignored, and so is a
// failure to unlock or to close; it never raises.
void release_lock(PyObject* fd) noexcept;

// Holds a lock from lock_beside() for a scope.
class HeldLock {
  public:
    explicit HeldLock(Ref fd) : fd_(std::move(fd)) {}
    ~HeldLock() { release_lock(fd_.get()); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

  private:
    Ref fd_;
};

// Holds the lock of lock_inside(globals, directory, name) for a scope. A thread that
// holds that lock file's lock already, in a scope further out, does not take it
// again (two opens of one file would wait for each other): the outermost scope
// lets go of it. Scopes of other threads and processes wait for it. Raises as
// lock_inside does; a lock file that cannot be had leaves the scope unlocked.
class DirectoryLock {
  public:
    DirectoryLock(PyObject* globals, PyObject* directory, const char* name);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

  private:
    Ref key_;  // str() of the lock file's path, as this thread's held locks know it
};

// What identifies the present version of the file at `path`: () when there is
// none (or none that can be seen), else (device, inode, size, mtime_ns,
// ctime_ns). A file replaced by another process's save differs in one of them.
Ref file_signature(PyObject* path);

}  // namespace tarvel::py
