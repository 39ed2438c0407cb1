// glue/PyBadCopies.cpp: the ".bad-" copies of unreadable files, kept beside them
#include "glue/PyFiles.hpp"
#include "glue/PyLogging.hpp"

#include <utility>
#include <vector>

namespace tarvel::py {

namespace {

// A new file at `copy` with the permission bits `mode`, created exclusively (nothing at that
// name, a link included, is followed or reused); its descriptor, or null when the name is taken.
Ref create_copy(PyObject* os, PyObject* copy, PyObject* mode) {
    Ref flags =
        os_flags(os, {"O_WRONLY", "O_CREAT", "O_EXCL", "O_CLOEXEC", "O_NOINHERIT", "O_BINARY"});
    Ref fd;
    try {
        fd = call_method(os, TARVEL_NAME("open"), copy, flags, mode);
    } catch (Error& e) {
        if (e.matches(PyExc_FileExistsError)) return {};
        throw;
    }
    // os.open's mode passes through the umask: the copy gets the bits themselves.
    Ref fchmod = Ref::steal_maybe(PyObject_GetAttrString(os, "fchmod"));
    if (!fchmod) PyErr_Clear();  // not on this system: the bits os.open gave
    try {
        if (fchmod) call(fchmod.get(), fd, mode);
    } catch (Error&) {
        call_method(os, TARVEL_NAME("close"), fd);
        throw;
    }
    return fd;
}

// The permission bits of `path`, for a copy as private as the file it copies.
Ref mode_of(PyObject* path) {
    Ref info = call_method(path, TARVEL_NAME("stat"));
    Ref stat = import("stat");
    return call_method(stat.get(), TARVEL_NAME("S_IMODE"),
                       getattr(info.get(), TARVEL_NAME("st_mode")));
}

// Writes `content` through `fd`, the new file at `copy`; the file is removed when that fails.
void fill_copy(PyObject* os, PyObject* fd, PyObject* copy, PyObject* content) {
    try {
        write_descriptor(os, fd, content, nullptr, false);
    } catch (Error&) {
        try {
            call_method(copy, TARVEL_NAME("unlink"));
        } catch (Error&) {
            // the write's own error is the one to report
        }
        throw;
    }
}

// Copies the companion "<name><suffix>" of `path`, when there is one, to "<copy's
// name><suffix>" (never reused); the companion's copy, or a null Ref when there is none.
Ref copy_companion(PyObject* os, PyObject* path, PyObject* copy, const char* suffix) {
    Ref name = getattr(path, TARVEL_NAME("name"));
    Ref source = call_method(path, TARVEL_NAME("with_name"), fstring(name, suffix));
    Ref content, mode;
    try {
        content = call_method(source.get(), TARVEL_NAME("read_bytes"));
        mode = mode_of(source.get());
    } catch (Error& e) {
        if (e.matches(PyExc_FileNotFoundError)) return {};
        throw;
    }
    Ref copy_name = getattr(copy, TARVEL_NAME("name"));
    Ref target = call_method(copy, TARVEL_NAME("with_name"), fstring(copy_name, suffix));
    Ref fd = create_copy(os, target.get(), mode.get());
    if (!fd) throw Error(PyExc_FileExistsError, fstring("File exists: ", target).get());
    fill_copy(os, fd.get(), target.get(), content.get());
    return target;
}

}  // namespace

Ref keep_copy(PyObject* globals, PyObject* path, std::initializer_list<const char*> companions) {
    Ref datetime = global(globals, TARVEL_NAME("datetime"));
    Ref now = call_method(datetime.get(), TARVEL_NAME("now"));
    Ref stamp = call_method(now.get(), TARVEL_NAME("strftime"), str("%Y%m%d-%H%M%S"));
    Ref name = getattr(path, TARVEL_NAME("name"));
    Ref base = fstring(name, ".bad-", stamp);
    Ref content = call_method(path, TARVEL_NAME("read_bytes"));
    Ref mode = mode_of(path);
    Ref os = import("os");
    Ref copy = call_method(path, TARVEL_NAME("with_name"), base);
    Ref fd = create_copy(os.get(), copy.get(), mode.get());
    for (long n = 2; !fd; ++n) {
        copy = call_method(path, TARVEL_NAME("with_name"), fstring(base, "-", integer(n)));
        fd = create_copy(os.get(), copy.get(), mode.get());
    }
    fill_copy(os.get(), fd.get(), copy.get(), content.get());
    std::vector<Ref> made;
    try {
        for (const char* suffix : companions) {
            Ref companion = copy_companion(os.get(), path, copy.get(), suffix);
            if (companion) made.push_back(std::move(companion));
        }
    } catch (Error&) {
        made.push_back(copy);
        for (const Ref& partial : made) {
            try {
                call_method(partial.get(), TARVEL_NAME("unlink"));
            } catch (Error&) {
                // the copy's own error is the one to report
            }
        }
        throw;
    }
    return copy;
}

Ref keep_unreadable(PyObject* globals, PyObject* path, const char* level, const char* what,
                    Ref* failure, std::initializer_list<const char*> companions) {
    try {
        Ref copy = keep_copy(globals, path, companions);
        log(globals, level, fstring("Kept a copy of the unreadable ", what, " as ", copy));
        return copy;
    } catch (Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log(globals, level,
            fstring("Failed to keep a copy of the unreadable ", what, ": ", e.value()));
        if (failure != nullptr) *failure = Ref::borrow(e.value());
        return {};
    }
}

}  // namespace tarvel::py
