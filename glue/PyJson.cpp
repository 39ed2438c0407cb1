// glue/PyJson.cpp: json.dumps(obj, indent=2) written natively for values of the built-in JSON types
#include "glue/PyJson.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "glue/PyWatched.hpp"
#include "json/TJsonText.hpp"

#if PY_VERSION_HEX >= 0x030F0000
// Exported by the interpreter, declared only among its internal headers from 3.15 on.
extern "C" int _Py_ReachedRecursionLimitWithMargin(PyThreadState* tstate, int margin_count);
#endif

namespace tarvel::py {

namespace {

// Calls `dumps(obj, indent=2)`.
Ref call_dumps(PyObject* dumps, PyObject* obj) {
    static PyObject* const kwnames = [] {
        PyObject* names = PyTuple_Pack(1, TARVEL_NAME("indent"));
        if (names == nullptr) Py_FatalError("cannot build the indent keyword");
        return names;
    }();
    static PyObject* const two = PyLong_FromLong(2);
    PyObject* argv[] = {nullptr, obj, two};
    return Ref::steal(
        PyObject_Vectorcall(dumps, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// ---------------------------------------------------------------------------------------------
// The standard library's json, as shipped
// ---------------------------------------------------------------------------------------------

// The names json.dumps(obj, indent=2) reads on its way to the encoder, captured on first use and
// kept for the life of the process. While every one of them is still bound to what was captured,
// the native text is what json.dumps gives for the built-in types.
struct Stdlib : WatchedNames {
    PyObject* dumps = nullptr;
};

bool is_builtin(PyObject* obj, const char* name) {
    return obj != nullptr && PyCFunction_Check(obj) &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(obj)->m_ml->ml_name, name) == 0;
}

bool is_text(PyObject* obj, const char* text) {
    return obj != nullptr && PyUnicode_CheckExact(obj) &&
           PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// The record, or nothing when json is not the standard library as shipped (already patched, or
// built without its C accelerator): the caller then goes through Python, and the next call tries
// again.
std::unique_ptr<Stdlib> capture() {
    auto lib = std::make_unique<Stdlib>();
    const auto keep = [&](Ref r) { return lib->keep(std::move(r)); };
    PyObject* json = PyModule_GetDict(keep(import("json")));
    PyObject* encoder = PyModule_GetDict(keep(import("json.encoder")));
    if (json == nullptr || encoder == nullptr) return nullptr;
    const auto watch = [&](PyObject* dict, const char* name) { return lib->watch(dict, name); };

    lib->dumps = watch(json, "dumps");
    PyObject* cls = watch(json, "JSONEncoder");
    if (!is_function(lib->dumps, json, "dumps") || cls == nullptr || !PyType_Check(cls) ||
        cls != PyDict_GetItemString(encoder, "JSONEncoder"))
        return nullptr;
    PyObject* methods = keep(type_dict(cls));
    for (const char* name : {"__init__", "encode", "iterencode"}) {
        if (!is_function(watch(methods, name), encoder,
                         (std::string("JSONEncoder.") + name).c_str()))
            return nullptr;
    }
    PyObject* separator = watch(methods, "key_separator");
    PyObject* escape = watch(encoder, "encode_basestring_ascii");
    PyObject* infinity = watch(encoder, "INFINITY");
    const bool shipped =
        is_text(separator, ": ") && is_builtin(escape, "encode_basestring_ascii") &&
        infinity != nullptr && PyFloat_CheckExact(infinity) &&
        PyFloat_AS_DOUBLE(infinity) == Py_HUGE_VAL &&
        is_function(watch(encoder, "_make_iterencode"), encoder, "_make_iterencode") &&
        watch(encoder, "c_make_encoder") != nullptr;
    return shipped ? std::move(lib) : nullptr;
}

const Stdlib* stdlib() {
    return captured_once(capture);
}

// ---------------------------------------------------------------------------------------------
// The writer
// ---------------------------------------------------------------------------------------------

// Containers nested deeper than this go to json.dumps. Cyclic values end up there too.
constexpr int kMaxDepth = 64;

// Whether json.dumps, called here, stays clear of the interpreter's recursion limits for any value
// nested at most kMaxDepth deep: only then can the native text stand for its result. The Python
// encoder takes a frame or two per container; the C encoder one recursion level (3.12, 3.13) or
// a little C stack (3.14 on) per container.
bool within_recursion_limits() {
    constexpr int kPython = 2 * kMaxDepth + 32;
    PyThreadState* ts = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030E0000
    return ts->py_recursion_remaining >= kPython && !_Py_ReachedRecursionLimitWithMargin(ts, 4);
#elif PY_VERSION_HEX >= 0x030C0000
    return ts->py_recursion_remaining >= kPython && ts->c_recursion_remaining >= kMaxDepth + 32;
#else
    return ts->recursion_remaining >= kPython;
#endif
}

// Writes a value made only of exact dict, list, tuple, str, int, float, bool and None into a
// TextWriter, from the objects' own data: it creates no Python object and runs no Python code,
// so nothing can change the value while it is written. Any other value is refused as a whole
// (the caller drops the partial text).
class Writer {
  public:
    explicit Writer(json::TextWriter& out) : out_(out) {}

    bool value(PyObject* o, int depth) {
        PyTypeObject* type = Py_TYPE(o);
        long long v;
        if (type == &PyUnicode_Type) return string(o);
        if (type == &PyLong_Type) {
            if (!int64_of(o, v)) return false;
            out_.integer(v);
        } else if (type == &PyFloat_Type) {
            out_.number(PyFloat_AS_DOUBLE(o));
        } else if (o == Py_None) {
            out_.null();
        } else if (o == Py_True || o == Py_False) {
            out_.boolean(o == Py_True);
        } else if (depth == kMaxDepth) {
            return false;
        } else if (type == &PyList_Type || type == &PyTuple_Type) {
            return array(Py_SIZE(o), PySequence_Fast_ITEMS(o), depth);
        } else if (type == &PyDict_Type) {
            return object(o, depth);
        } else {
            return false;
        }
        return true;
    }

  private:
    bool array(Py_ssize_t n, PyObject* const* items, int depth) {
        if (n == 0) return out_.raw("[]"), true;
        out_.open_array();
        for (Py_ssize_t i = 0; i < n; ++i) {
            out_.next_item();
            if (!value(items[i], depth + 1)) return false;
        }
        out_.close_array();
        return true;
    }

    bool object(PyObject* dict, int depth) {
        if (PyDict_GET_SIZE(dict) == 0) return out_.raw("{}"), true;
        out_.open_object();
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(dict, &pos, &k, &v)) {
            out_.next_item();
            if (!key(k)) return false;
            out_.key_separator();
            if (!value(v, depth + 1)) return false;
        }
        out_.close_object();
        return true;
    }

    // A key as json.dumps turns it into a str: int and float keys as their text, True, False
    // and None as true, false and null.
    bool key(PyObject* k) {
        PyTypeObject* type = Py_TYPE(k);
        if (type == &PyUnicode_Type) return string(k);
        char buf[json::kDoubleChars];
        std::string_view text;
        long long v;
        if (type == &PyLong_Type) {
            if (!int64_of(k, v)) return false;
            text = {buf,
                    static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf)};
        } else if (type == &PyFloat_Type) {
            text = float_text(PyFloat_AS_DOUBLE(k), buf);
        } else if (k == Py_None || k == Py_True || k == Py_False) {
            text = k == Py_None ? "null" : k == Py_True ? "true" : "false";
        } else {
            return false;
        }
        out_.string(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        return true;
    }

    static std::string_view float_text(double v, char (&buf)[json::kDoubleChars]) {
        if (v != v) return "NaN";
        if (v == Py_HUGE_VAL) return "Infinity";
        if (v == -Py_HUGE_VAL) return "-Infinity";
        return {buf, json::format_double(v, buf)};
    }

    // The value of an int within 64 bits; a bigger one is left to json.dumps.
    static bool int64_of(PyObject* o, long long& v) {
#if PY_VERSION_HEX >= 0x030C0000
        const auto* number = reinterpret_cast<PyLongObject*>(o);
        if (PyUnstable_Long_IsCompact(number)) {
            v = PyUnstable_Long_CompactValue(number);
            return true;
        }
#endif
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(o, &overflow);
        return overflow == 0;
    }

    bool string(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
        if (!PyUnicode_IS_READY(s)) return false;  // readying it would allocate
#endif
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
        const void* data = PyUnicode_DATA(s);
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                out_.string(static_cast<const std::uint8_t*>(data), n);
                break;
            case PyUnicode_2BYTE_KIND:
                out_.string(static_cast<const std::uint16_t*>(data), n);
                break;
            default:
                out_.string(static_cast<const std::uint32_t*>(data), n);
        }
        return true;
    }

    json::TextWriter& out_;
};

// The buffer of the last call, kept for the next while it is not too large. A call takes it out
// for the time it writes and puts its own back after, so no two writers ever share one: another
// thread, or a call from code that runs meanwhile, finds none and makes its own.
json::TextWriter g_spare;
constexpr std::size_t kKeptCapacity = std::size_t{8} << 20;

// The text of `obj`, or a null Ref when it is not for the native writer.
Ref write_native(PyObject* obj) {
    if (!within_recursion_limits()) return Ref();
    json::TextWriter out = std::move(g_spare);
    out.clear();
    PyObject* text = nullptr;
    const bool written = Writer(out).value(obj, 0);
    if (written) {
        const std::string_view t = out.text();
        text = PyUnicode_New(static_cast<Py_ssize_t>(t.size()), 127);
        if (text != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(text), t.data(), t.size());
    }
    if (out.capacity() <= kKeptCapacity) g_spare = std::move(out);
    if (written) return Ref::steal(text);
    return Ref();
}

}  // namespace

Ref dumps_indent2(PyObject* json_module, PyObject* obj) {
    Ref dumps = getattr(json_module, TARVEL_NAME("dumps"));
    const Stdlib* lib = stdlib();
    if (lib != nullptr && dumps.get() == lib->dumps && lib->unchanged()) {
        if (Ref text = write_native(obj)) return text;
    }
    return call_dumps(dumps.get(), obj);
}

bool dumps_is_native(PyObject* json_module) {
    Ref dumps = Ref::steal_maybe(PyObject_GetAttr(json_module, TARVEL_NAME("dumps")));
    if (!dumps) {
        PyErr_Clear();
        return false;
    }
    const Stdlib* lib = stdlib();
    return lib != nullptr && dumps.get() == lib->dumps && lib->unchanged();
}

}  // namespace tarvel::py
