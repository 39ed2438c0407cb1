// glue/PyFiles.cpp: crash-safe file replacement through Path
#include "glue/PyFiles.hpp"

#include "glue/PyLogging.hpp"
#include "glue/PyNativeFiles.hpp"
#include "glue/PyPlatform.hpp"
#include "glue/PyStock.hpp"

#include "fs/TFiles.hpp"

#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <utility>
#include <vector>

namespace tarvel::py {

namespace {

// How a written file is opened again to flush it: Windows flushes only a file
// open for writing, elsewhere reading is enough.
#ifdef TARVEL_POSIX_FILES
constexpr const char* kFlushOpenFlag = "O_RDONLY";
#else
constexpr const char* kFlushOpenFlag = "O_WRONLY";
#endif

// Whether the full path of `path` (os.path.abspath) is `limit` characters long or longer, counted
// as Windows counts them (UTF-16 units).
bool too_long(PyObject* os, PyObject* path, PyObject* limit) {
    Ref os_path = getattr(os, TARVEL_NAME("path"));
    Ref full = call_method(os_path.get(), TARVEL_NAME("abspath"), path);
    if (!PyUnicode_Check(full.get())) return false;  // bytes: a path of the host's own
    Py_ssize_t units = PyUnicode_GET_LENGTH(full.get());
    if (PyUnicode_KIND(full.get()) == PyUnicode_4BYTE_KIND) {
        for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(full.get()); ++i)
            units += PyUnicode_READ_CHAR(full.get(), i) > 0xFFFF ? 1 : 0;
    }
    Ref length = integer(static_cast<long long>(units));
    return compare(length.get(), limit, Py_GE);
}

// The short name of a temporary file: ".<8 hex digits>.tmp", of the pid and the count.
Ref short_temporary_name(PyObject* pid, PyObject* n) {
    const unsigned long long value =
        (PyLong_AsUnsignedLongLongMask(pid) << 16) + PyLong_AsUnsignedLongLongMask(n);
    check(PyErr_Occurred() != nullptr);
    char name[32];
    std::snprintf(name, sizeof name, ".%08llx.tmp", value & 0xFFFFFFFFULL);
    return str(name);
}

// A new file beside `target` for the text, created exclusively (a link or a
// directory already at that name is never followed or reused), with the
// permission bits a plain write gives a new file. Returns its path and its
// descriptor. Named ".<name>.<pid>.<n>.tmp", or ".tarvel-<pid>-<n>.tmp" when
// that would be too long a name (the target's own name may be near the limit).
// Where full paths have a `limit` (not None: Windows' MAX_PATH) that the name
// would reach, it is the short ".<8 hex digits>.tmp"; nulls when even that
// reaches it (the caller then writes in place, as a plain write would).
std::pair<Ref, Ref> create_temporary(PyObject* os, PyObject* target, PyObject* limit) {
    Ref pid = call_method(os, TARVEL_NAME("getpid"));
    Ref name = getattr(target, TARVEL_NAME("name"));
    // The flags Python's own open uses for a new file, made exclusive.
    Ref open_flags =
        os_flags(os, {"O_WRONLY", "O_CREAT", "O_EXCL", "O_CLOEXEC", "O_NOINHERIT", "O_BINARY"});
    Ref permissions = integer(0666);
    for (int attempt = 0;; ++attempt) {
        Ref n = integer(static_cast<long long>(fs::next_temporary_number()));
        Ref temp_name = fstring(".", name, ".", pid, ".", n, ".tmp");
        Ref encoded = call_method(os, TARVEL_NAME("fsencode"), temp_name);
        if (static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())) > fs::kNameMax)
            temp_name = fstring(".tarvel-", pid, "-", n, ".tmp");
        Ref temp = call_method(target, TARVEL_NAME("with_name"), temp_name);
        if (limit != Py_None && too_long(os, temp.get(), limit)) {
            temp = call_method(target, TARVEL_NAME("with_name"),
                               short_temporary_name(pid.get(), n.get()));
            if (too_long(os, temp.get(), limit)) return {};
        }
        try {
            Ref fd = call_method(os, TARVEL_NAME("open"), temp, open_flags, permissions);
            return {std::move(temp), std::move(fd)};
        } catch (Error& e) {
            if (!e.matches(PyExc_FileExistsError) || attempt >= 100) throw;
        }
    }
}

// os.fsync(fd): the file's bytes reach stable storage. A file system that
// cannot flush a file (EINVAL, ENOTSUP) leaves it as a write without the flush
// would; any other failure (EIO, ENOSPC) is the write's error.
void flush_descriptor(PyObject* os, PyObject* fd) {
    try {
        call_method(os, TARVEL_NAME("fsync"), fd);
    } catch (Error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        Ref number = getattr(e.value(), TARVEL_NAME("errno"));
        const long code = PyLong_Check(number.get()) ? PyLong_AsLong(number.get()) : 0;
        check(code == -1 && PyErr_Occurred());
        if (code != EINVAL && code != ENOTSUP && code != EOPNOTSUPP) throw;
    }
}

}  // namespace

void write_descriptor(PyObject* os, PyObject* fd, PyObject* text, const char* encoding,
                      bool durable) {
    Ref io = import("io");
    Ref open = getattr(io.get(), TARVEL_NAME("open"));
    Ref file;
    try {
        if (PyBytes_Check(text)) {
            file = call(open.get(), fd, str("wb"));
        } else {
            Ref chosen = encoding != nullptr ? str(encoding) : none();
            Ref text_encoding = call_method(io.get(), TARVEL_NAME("text_encoding"), chosen);
            file = call_kw(open.get(), {fd, str("w").get()}, {{"encoding", text_encoding.get()}});
        }
    } catch (Error&) {
        call_method(os, TARVEL_NAME("close"), fd);
        throw;
    }
    try {
        call_method(file.get(), TARVEL_NAME("write"), text);
        if (durable) {
            call_method(file.get(), TARVEL_NAME("flush"));
            flush_descriptor(os, fd);
        }
    } catch (Error&) {
        try {
            call_method(file.get(), TARVEL_NAME("close"));
        } catch (Error&) {
            // the write's own error is the one to report
        }
        throw;
    }
    call_method(file.get(), TARVEL_NAME("close"));
}

namespace {

// Opens `path` with the given os.O_* flags, flushes it and closes it. A path
// that cannot be opened is left unflushed; a failed flush raises.
void flush_path(PyObject* os, PyObject* path, PyObject* flags) {
    Ref fd;
    try {
        fd = call_method(os, TARVEL_NAME("open"), path, flags);
    } catch (Error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return;
    }
    try {
        flush_descriptor(os, fd.get());
    } catch (Error&) {
        try {
            call_method(os, TARVEL_NAME("close"), fd);
        } catch (Error&) {
            // the flush's own error is the one to report
        }
        throw;
    }
    call_method(os, TARVEL_NAME("close"), fd);
}

// Makes a rename durable: flushes the directory that holds `target`. Windows
// opens no directories this way and needs none flushed. Failures are
// ignored: the new file's bytes are on stable storage already, and a rename
// that is lost to a power cut leaves the old file whole.
void flush_directory(PyObject* os, PyObject* target) {
#ifdef TARVEL_POSIX_FILES
    try {
        Ref parent = getattr(target, TARVEL_NAME("parent"));
        Ref flags = getattr(os, TARVEL_NAME("O_RDONLY"));
        Ref directory = Ref::steal_maybe(PyObject_GetAttrString(os, "O_DIRECTORY"));
        if (directory) {
            flags = Ref::steal(PyNumber_Or(flags.get(), directory.get()));
        } else {
            PyErr_Clear();
        }
        flush_path(os, parent.get(), flags.get());
    } catch (Error& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
#else
    (void)os;
    (void)target;
#endif
}

// An OSError that names the temporary file (`temp`, or any file when null)
// becomes the one the direct write of `path` would have raised: the same
// class, number and text, naming `path`. Null when `e` is no such error (an
// error without a file name stays as it is).
Ref as_direct_write(const Error& e, PyObject* temp, PyObject* path) {
    if (!e.matches(PyExc_OSError)) return {};
    Ref number = getattr(e.value(), TARVEL_NAME("errno"));
    Ref text = getattr(e.value(), TARVEL_NAME("strerror"));
    Ref filename = getattr(e.value(), TARVEL_NAME("filename"));
    if (number.get() == Py_None || text.get() == Py_None || filename.get() == Py_None) return {};
    if (temp != nullptr) {
        Ref temp_text = Ref::steal(PyObject_Str(temp));
        if (!compare(filename.get(), temp_text.get(), Py_EQ)) return {};
    }
    Ref target = Ref::steal(PyObject_Str(path));
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(e.value()));
    return call(type, number, text, target);
}

[[noreturn]] void rethrow_as_direct_write(Error& e, PyObject* temp, PyObject* path) {
    Ref direct;
    try {
        direct = as_direct_write(e, temp, path);
    } catch (Error&) {
        // an exception that keeps its own file names
    }
    if (direct) throw Error(reinterpret_cast<PyObject*>(Py_TYPE(direct.get())), direct.get());
    throw std::move(e);
}

// create_temporary(), or nulls where the directory may not be added to (the
// caller then writes in place, as a plain write would).
std::pair<Ref, Ref> create_temporary_or_report(PyObject* os, PyObject* target, PyObject* path,
                                               PyObject* limit) {
    try {
        return create_temporary(os, target, limit);
    } catch (Error& e) {
        if (e.matches(PyExc_PermissionError)) return {};
        rethrow_as_direct_write(e, nullptr, path);
    }
}

// path.write_text(text[, encoding=...]), or path.write_bytes(data): the plain
// write, with Python's own outcome.
void write_in_place(PyObject* path, PyObject* text, const char* encoding) {
    if (PyBytes_Check(text)) {
        call_method(path, TARVEL_NAME("write_bytes"), text);
    } else if (encoding != nullptr) {
        Ref write_text = getattr(path, TARVEL_NAME("write_text"));
        call_kw(write_text.get(), {text}, {{"encoding", str(encoding).get()}});
    } else {
        call_method(path, TARVEL_NAME("write_text"), text);
    }
}

// write_in_place(), flushed to stable storage when `durable` (a flush that
// fails is the write's error).
void write_in_place_flushed(PyObject* os, PyObject* path, PyObject* text, const char* encoding,
                            bool durable) {
    write_in_place(path, text, encoding);
    if (durable) {
        Ref flags = Ref::steal(PyObject_GetAttrString(os, kFlushOpenFlag));
        flush_path(os, path, flags.get());
    }
}

// write_in_place_flushed() of a regular file that is there already. Its old
// bytes are read first and put back when the write fails, so an I/O error
// (a full disk, a size limit) leaves the old file, not an empty or cut one.
void rewrite_in_place(PyObject* os, PyObject* path, PyObject* text, const char* encoding,
                      bool durable) {
    Ref old;
    try {
        old = call_method(path, TARVEL_NAME("read_bytes"));
    } catch (Error& e) {
        if (!e.matches(PyExc_Exception)) throw;  // unreadable (write-only): written as it is
    }
    try {
        write_in_place_flushed(os, path, text, encoding, durable);
    } catch (Error&) {
        if (old) {
            try {
                call_method(path, TARVEL_NAME("write_bytes"), old);
                if (durable) {
                    Ref flags = Ref::steal(PyObject_GetAttrString(os, kFlushOpenFlag));
                    flush_path(os, path, flags.get());
                }
            } catch (Error&) {
                // the write's own error is the one to report
            }
        }
        throw;
    }
}

}  // namespace

bool durable_writes(PyObject* globals) {
    Ref setting = dict_get(globals, TARVEL_NAME("DURABLE_WRITES"));
    return !setting || truthy(setting.get());
}

namespace {

// A path whose writing a host or test has replaced (a patched write_text, a
// fake file system, a path-like class of its own) is written as it asks.
bool written_as_it_asks(PyObject* path) {
    return !is_stock(path, {{TARVEL_NAME("write_text"), stock.write_text}}) ||
           !unpatched(stock.io, TARVEL_NAME("open"), stock.io_open);
}

// The file a write of `path` reaches: a symbolic link is written through, to
// the file it names, as a plain write would. Null for a link that leads
// nowhere, which the plain write reports with Python's own error.
Ref write_target(PyObject* path) {
    bool link = false;
    try {
        link = truthy(call_method(path, TARVEL_NAME("is_symlink")).get());
    } catch (Error& e) {
        if (!e.matches(PyExc_OSError)) throw;  // a name the system cannot take is no link
    }
    if (!link) return Ref::borrow(path);
    try {
        Ref target = call_method(path, TARVEL_NAME("resolve"));
        if (!truthy(call_method(target.get(), TARVEL_NAME("is_symlink")).get())) return target;
    } catch (Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return {};
}

// Whether the user may write `target`, as os.access tells (by the effective
// ids where the system checks those).
bool may_write(PyObject* os, PyObject* target) {
    Ref access = getattr(os, TARVEL_NAME("access"));
    Ref effective = getattr(os, TARVEL_NAME("supports_effective_ids"));
    const int by_effective_ids = PySequence_Contains(effective.get(), access.get());
    check(by_effective_ids < 0);
    Ref writable = getattr(os, TARVEL_NAME("W_OK"));
    Ref allowed = by_effective_ids ? call_kw(access.get(), {target, writable.get()},
                                             {{"effective_ids", Py_True}})
                                   : call(access.get(), target, writable);
    return truthy(allowed.get());
}

// The file being replaced: one that is not a regular file (a device, a pipe)
// or that the user may not write is left to the plain write (true), and the
// new file keeps the old one's permission bits (`mode`, null when there is no
// file yet).
bool left_to_plain_write(PyObject* os, PyObject* target, Ref& mode) {
    try {
        Ref info = call_method(os, TARVEL_NAME("stat"), target);
        Ref st_mode = getattr(info.get(), TARVEL_NAME("st_mode"));
        Ref stat = import("stat");
        if (!truthy(call_method(stat.get(), TARVEL_NAME("S_ISREG"), st_mode).get())) return true;
        mode = call_method(stat.get(), TARVEL_NAME("S_IMODE"), st_mode);
    } catch (Error& e) {
        // A name no file can have is the plain write's, for Python's own error; an OSError
        // means no file yet, or none that can be seen.
        if (e.matches(PyExc_ValueError)) return true;
        if (!e.matches(PyExc_OSError)) throw;
        return false;
    }
    return !may_write(os, target);
}

// os.replace(temp, target), tried again over about a second while it fails with a PermissionError
// of EACCES: Windows refuses to replace a file another process holds open (a reader, an indexer,
// antivirus) until that process lets go. The pauses go through time.sleep.
void replace_when_free(PyObject* os, PyObject* temp, PyObject* target) {
    for (const double pause : {0.05, 0.1, 0.15, 0.2, 0.25, 0.25}) {
        try {
            call_method(os, TARVEL_NAME("replace"), temp, target);
            return;
        } catch (Error& e) {
            if (!e.matches(PyExc_PermissionError)) throw;
            Ref number = getattr(e.value(), TARVEL_NAME("errno"));
            const long code = PyLong_Check(number.get()) ? PyLong_AsLong(number.get()) : 0;
            if (code == -1) PyErr_Clear();  // too large for a long: no EACCES
            if (code != EACCES) throw;
        }
        Ref time = import("time");
        call_method(time.get(), TARVEL_NAME("sleep"), Ref::steal(PyFloat_FromDouble(pause)));
    }
    call_method(os, TARVEL_NAME("replace"), temp, target);
}

// The new text goes to a temporary file beside `target`, which then takes
// its place. Where the directory takes no new file, or the file may be
// written but not replaced (a file another process holds open past the
// retries of replace_when_free), a regular file that is there is rewritten
// in place, keeping its old bytes should the write fail. The callers hold the
// file's lock meanwhile, and a load that finds it half written waits for that
// lock (waited_for_holder).
void write_and_replace(PyObject* os, PyObject* path, PyObject* target, PyObject* text,
                       const char* encoding, PyObject* mode, bool durable, PyObject* limit) {
    auto in_place = [&] {
        if (mode != nullptr) {
            rewrite_in_place(os, path, text, encoding, durable);
        } else {
            write_in_place_flushed(os, path, text, encoding, durable);
        }
    };
    auto [temp, fd] = create_temporary_or_report(os, target, path, limit);
    if (!temp) {
        in_place();
        return;
    }
    try {
        write_descriptor(os, fd.get(), text, encoding, durable);
        if (mode != nullptr) call_method(os, TARVEL_NAME("chmod"), temp, mode);
        replace_when_free(os, temp.get(), target);
    } catch (Error& e) {
        try {
            Ref unlink = getattr(temp.get(), TARVEL_NAME("unlink"));
            call_kw(unlink.get(), {}, {{"missing_ok", Py_True}});
        } catch (Error&) {
            // the write's own error is the one to report
        }
        if (e.matches(PyExc_PermissionError)) {
            in_place();
            return;
        }
        rethrow_as_direct_write(e, temp.get(), path);
    }
    if (durable) flush_directory(os, target);
}

}  // namespace

void replace_file(PyObject* globals, PyObject* path, PyObject* text, const char* encoding) {
    // The module's _MAX_PATH: the length a full path must stay below (None: no such limit).
    Ref limit = dict_get(globals, TARVEL_NAME("_MAX_PATH"));
    if (!limit) limit = none();
    if (limit.get() == Py_None && replaced_natively(globals, path, text, encoding)) return;
    if (written_as_it_asks(path)) {
        write_in_place(path, text, encoding);
        return;
    }
    Ref os = import("os");
    Ref target = write_target(path);
    Ref mode;
    if (!target || left_to_plain_write(os.get(), target.get(), mode)) {
        write_in_place(path, text, encoding);
        return;
    }
    write_and_replace(os.get(), path, target.get(), text, encoding, mode.get(),
                      durable_writes(globals), limit.get());
}

Ref max_path() {
#ifdef _WIN32
    return integer(260);  // MAX_PATH, which counts the closing NUL
#else
    return none();
#endif
}

Ref os_flags(PyObject* os, std::initializer_list<const char*> names) {
    Ref flags = integer(0);
    for (const char* name : names) {
        Ref value = Ref::steal_maybe(PyObject_GetAttrString(os, name));
        if (!value) {
            PyErr_Clear();  // not on this system
            continue;
        }
        flags = Ref::steal(PyNumber_Or(flags.get(), value.get()));
    }
    return flags;
}

Ref parent_of(PyObject* path) {
    // A path never changes, so its parent is the same path again: handing out the same object
    // lets the text it works out of itself on first use be worked out once.
    struct Last {
        Ref path, parent;
    };
    static Last* const last = new Last;  // never destroyed: its references outlive no interpreter
    if (!is_stock(path, {{TARVEL_NAME("parent"), stock.parent}}))
        return getattr(path, TARVEL_NAME("parent"));
    if (last->path.get() != path) {
        Ref parent = getattr(path, TARVEL_NAME("parent"));
        last->path = Ref::borrow(path);
        last->parent = std::move(parent);
    }
    return last->parent;
}

void make_dirs(PyObject* path) {
    if (made_natively(path)) return;
    Ref mkdir = getattr(path, TARVEL_NAME("mkdir"));
    call_kw(mkdir.get(), {}, {{"parents", Py_True}, {"exist_ok", Py_True}});
}

bool exists(PyObject* path) {
    // A stock path is looked at directly; what Path.exists reports as an error, and a path
    // the system cannot take, go through Python.
    if (const auto found = exists_natively(path)) return *found;
    try {
        return truthy(call_method(path, TARVEL_NAME("exists")).get());
    } catch (Error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        Ref code = getattr(e.value(), TARVEL_NAME("errno"));
        if (!PyLong_Check(code.get()) || PyLong_AsLong(code.get()) != ENAMETOOLONG) throw;
        return false;
    }
}

}  // namespace tarvel::py
