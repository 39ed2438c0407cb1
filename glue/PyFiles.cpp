// glue/PyFiles.cpp: crash-safe file replacement and the keeping of unreadable files, through Path
#include "glue/PyFiles.hpp"

#include <cerrno>

namespace tarvel::py {

namespace {

constexpr Py_ssize_t kNameMax = 255;  // bytes in one file name on common file systems

// ".<name>.<pid>.tmp" beside the target, or ".tarvel-<pid>.tmp" when that would
// be too long a name (the target's own name may be near the limit).
Ref temporary_beside(PyObject* path) {
    Ref os = import("os");
    Ref pid = call_method(os.get(), TARVEL_NAME("getpid"));
    Ref name = getattr(path, TARVEL_NAME("name"));
    Ref temp_name = fstring(".", name, ".", pid, ".tmp");
    Ref encoded = call_method(os.get(), TARVEL_NAME("fsencode"), temp_name);
    if (PyBytes_GET_SIZE(encoded.get()) > kNameMax) temp_name = fstring(".tarvel-", pid, ".tmp");
    return call_method(path, TARVEL_NAME("with_name"), temp_name);
}

// An OSError about the temporary file becomes the one the direct write of
// `path` would have raised: the same class, number and text, naming `path`.
// Null when `e` is no such error.
Ref as_direct_write(const Error& e, PyObject* path) {
    if (!e.matches(PyExc_OSError)) return {};
    Ref number = getattr(e.value(), TARVEL_NAME("errno"));
    Ref text = getattr(e.value(), TARVEL_NAME("strerror"));
    if (number.get() == Py_None || text.get() == Py_None) return {};
    Ref target = Ref::steal(PyObject_Str(path));
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(e.value()));
    return call(type, number, text, target);
}

}  // namespace

void replace_file(PyObject* path, PyObject* text, const char* encoding) {
    Ref temp = temporary_beside(path);
    try {
        if (encoding != nullptr) {
            Ref write_text = getattr(temp.get(), TARVEL_NAME("write_text"));
            call_kw(write_text.get(), {text}, {{"encoding", str(encoding).get()}});
        } else {
            call_method(temp.get(), TARVEL_NAME("write_text"), text);
        }
        call_method(temp.get(), TARVEL_NAME("replace"), path);
    } catch (Error& e) {
        try {
            Ref unlink = getattr(temp.get(), TARVEL_NAME("unlink"));
            call_kw(unlink.get(), {}, {{"missing_ok", Py_True}});
        } catch (Error&) {
            // the write's own error is the one to report
        }
        Ref direct;
        try {
            direct = as_direct_write(e, path);
        } catch (Error&) {
            // an exception that keeps its own file names
        }
        if (direct) throw Error(reinterpret_cast<PyObject*>(Py_TYPE(direct.get())), direct.get());
        throw;
    }
}

bool exists(PyObject* path) {
    try {
        return truthy(call_method(path, TARVEL_NAME("exists")).get());
    } catch (Error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        Ref code = getattr(e.value(), TARVEL_NAME("errno"));
        if (!PyLong_Check(code.get()) || PyLong_AsLong(code.get()) != ENAMETOOLONG) throw;
        return false;
    }
}

Ref keep_copy(PyObject* globals, PyObject* path) {
    Ref datetime = global(globals, TARVEL_NAME("datetime"));
    Ref now = call_method(datetime.get(), TARVEL_NAME("now"));
    Ref stamp = call_method(now.get(), TARVEL_NAME("strftime"), str("%Y%m%d-%H%M%S"));
    Ref name = getattr(path, TARVEL_NAME("name"));
    Ref base = fstring(name, ".bad-", stamp);
    Ref copy = call_method(path, TARVEL_NAME("with_name"), base);
    for (long n = 2; truthy(call_method(copy.get(), TARVEL_NAME("exists")).get()); ++n) {
        copy = call_method(path, TARVEL_NAME("with_name"), fstring(base, "-", integer(n)));
    }
    Ref content = call_method(path, TARVEL_NAME("read_bytes"));
    call_method(copy.get(), TARVEL_NAME("write_bytes"), content);
    return copy;
}

void log(PyObject* globals, const char* level, const Ref& message) {
    Ref logger = global(globals, TARVEL_NAME("logger"));
    Ref method_name = Ref::steal(PyUnicode_InternFromString(level));
    call_method(logger.get(), method_name.get(), message);
}

}  // namespace tarvel::py
