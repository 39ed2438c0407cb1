// glue/PyRef.hpp: owned references, the C++ exception that carries a Python error, and call helpers
//
// Rules of use. Several threads use the modules' objects at once, and a call may come back into
// them from code it runs (a patched global that saves, a __del__ that logs):
//
// - Code may run at any call into Python (a call, an attribute read or write, a comparison, a
//   hash, str(), iterating anything but an exact list, tuple, dict or set), at any decref (a
//   finalizer, a weakref callback), at any new Python object (the collector may run finalizers),
//   in audit hooks (the "open" and "os.scandir" events) and everywhere in pathlib. Wherever code
//   runs, other threads run too.
// - A borrowed reference (from a dict, a list, a global, a field) is good only until code may run:
//   take a Ref before that. So is a pointer or reference into a C++ container that such code could
//   change: find the item again after.
// - A cache keyed by an object's address holds that object, or else every object its check
//   compares by identity, so that a new object at a freed address is checked like any other; or
//   its check does not depend on addresses at all.
// - A cache that outlives a call belongs to one object (held by it, as a Scheduler holds its kept
//   texts) or is guarded: marked in use, or taken out while in use (the JSON writer's spare
//   buffer). A use that finds it in use (another thread, or a call from code the first use runs)
//   takes the uncached path. A process-wide cache that no code can run between reading and using
//   needs no more guard than the interpreter lock.
// - Empty a container before the references it held are dropped (move them out first), so that
//   code run by a decref never sees it half-changed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <utility>

namespace tarvel::py {

// A Python exception in flight through C++ frames. It takes the interpreter's
// error indicator when thrown and puts it back at the boundary (see guard()).
class Error : public std::exception {
  public:
    Error();  // fetches the current Python error (there must be one)
    Error(PyObject* type, const char* message);
    Error(PyObject* type, PyObject* message_or_value);
    Error(Error&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    ~Error() override;

    const char* what() const noexcept override { return "Python exception"; }
    // Whether the exception is an instance of `type` (a class or a tuple of classes).
    bool matches(PyObject* type) const;
    PyObject* value() const { return value_; }
    // Hands the exception back to the interpreter.
    void restore();

  private:
    PyObject* value_;  // the normalised exception instance
};

// The pending exception as a normalised instance (a new reference, with its traceback),
// clearing it; null when none is pending.
PyObject* fetch_normalised();

// Throws the pending Python error when `failed` is true.
inline void check(bool failed) {
    if (failed) throw Error();
}

// An owned (strong) reference. Null only when default-constructed or moved from.
class Ref {
  public:
    Ref() = default;
    Ref(const Ref& other) : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference; a null one means a Python error is pending.
    static Ref steal(PyObject* p) {
        check(p == nullptr);
        return Ref(p);
    }
    // Takes over a new reference that may be null without an error (lookups).
    static Ref steal_maybe(PyObject* p) { return Ref(p); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* p) { return Ref(Py_XNewRef(p)); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// A string interned once for the life of the process: attribute and key names.
PyObject* intern_forever(const char* text);
#define TARVEL_NAME(text)                                                     \
    ([]() -> PyObject* {                                                      \
        static PyObject* const interned = ::tarvel::py::intern_forever(text); \
        return interned;                                                      \
    }())

inline Ref str(std::string_view text) {
    return Ref::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline Ref integer(long long value) {
    return Ref::steal(PyLong_FromLongLong(value));
}
inline Ref boolean(bool value) {
    return Ref::borrow(value ? Py_True : Py_False);
}
inline Ref none() {
    return Ref::borrow(Py_None);
}

inline Ref getattr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(obj, name, value) < 0);
}
inline bool truthy(PyObject* obj) {
    int r = PyObject_IsTrue(obj);
    check(r < 0);
    return r != 0;
}

// The attribute `name` as the type and its bases define it (borrowed; null
// when none does), without calling descriptors: what Python's attribute lookup
// finds before it binds. The one place that uses the interpreter's own lookup.
PyObject* type_lookup(PyTypeObject* type, PyObject* name);

// A module global, read at the moment of use as Python code would (NameError if unbound).
Ref global(PyObject* globals, PyObject* name);

// Calls with positional arguments (borrowed PyObject* or Ref).
inline PyObject* raw(PyObject* p) {
    return p;
}
inline PyObject* raw(const Ref& r) {
    return r.get();
}
template <class... Args>
Ref call(PyObject* callable, const Args&... args) {
    PyObject* argv[] = {nullptr, raw(args)...};
    return Ref::steal(PyObject_Vectorcall(
        callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class... Args>
Ref call_method(PyObject* self, PyObject* name, const Args&... args) {
    PyObject* argv[] = {self, raw(args)...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*args, **kwargs) with keyword names as text: call_kw(f, {x}, {{"name", y}}).
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
                   std::initializer_list<std::pair<const char*, PyObject*>> kwargs) {
    Ref positional = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (PyObject* arg : args)
        PyTuple_SET_ITEM(positional.get(), i++, Py_NewRef(arg));
    Ref keywords = Ref::steal(PyDict_New());
    for (const auto& [key, value] : kwargs)
        check(PyDict_SetItemString(keywords.get(), key, value) < 0);
    return Ref::steal(PyObject_Call(callable, positional.get(), keywords.get()));
}

// `a <op> b` as a truth value (Py_EQ, Py_LT, ...).
inline bool compare(PyObject* a, PyObject* b, int op) {
    const int r = PyObject_RichCompareBool(a, b, op);
    check(r < 0);
    return r != 0;
}

// Dict helpers that throw on error. get() gives a null Ref when the key is absent.
inline Ref dict_get(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    check(v == nullptr && PyErr_Occurred());
    return Ref::borrow(v);
}
inline void dict_set(PyObject* dict, PyObject* key, PyObject* value) {
    check(PyDict_SetItem(dict, key, value) < 0);
}
inline void dict_set(PyObject* dict, const char* key, PyObject* value) {
    check(PyDict_SetItemString(dict, key, value) < 0);
}

// An f-string: text pieces as they are, objects through format(obj, "") as
// f"{obj}" formats them. fstring("Job removed: ", job_id).
namespace detail {
inline void append_piece(PyObject* list, const char* text) {
    check(PyList_Append(list, str(text).get()) < 0);
}
inline void append_piece(PyObject* list, PyObject* obj) {
    check(PyList_Append(list, Ref::steal(PyObject_Format(obj, nullptr)).get()) < 0);
}
inline void append_piece(PyObject* list, const Ref& obj) {
    append_piece(list, obj.get());
}
}  // namespace detail
template <class... Pieces>
Ref fstring(const Pieces&... pieces) {
    Ref list = Ref::steal(PyList_New(0));
    (detail::append_piece(list.get(), pieces), ...);
    Ref empty = str("");
    return Ref::steal(PyUnicode_Join(empty.get(), list.get()));
}

// `import name`, and `from module import name` with Python's own ImportError text.
Ref import(const char* name);
Ref import_from(const char* module, const char* name);

// TypeError "<what> must be <expected>, not <type name>" for a failed argument check.
[[noreturn]] void wrong_type(const char* what, const char* expected, PyObject* got);

// An argument annotated `str`: exactly a str (no subclass), else wrong_type's TypeError.
inline void require_str(PyObject* value, const char* what) {
    if (!PyUnicode_CheckExact(value)) wrong_type(what, "a str", value);
}

// `for (const py::Ref& item : py::iterate(obj))`: the items of iter(obj). An error while
// iterating is thrown from the loop itself, so it can never end a loop as if it were done.
class Iterate {
  public:
    explicit Iterate(PyObject* iterable) : iter_(Ref::steal(PyObject_GetIter(iterable))) {}

    class Iterator {
      public:
        explicit Iterator(PyObject* iter) : iter_(iter) { advance(); }
        const Ref& operator*() const { return item_; }
        Iterator& operator++() {
            advance();
            return *this;
        }
        bool operator!=(std::default_sentinel_t) const { return static_cast<bool>(item_); }

      private:
        void advance() {
            item_ = Ref::steal_maybe(PyIter_Next(iter_));
            check(!item_ && PyErr_Occurred() != nullptr);
        }
        PyObject* iter_;
        Ref item_;
    };

    Iterator begin() { return Iterator(iter_.get()); }
    std::default_sentinel_t end() const { return {}; }

  private:
    Ref iter_;
};
inline Iterate iterate(PyObject* iterable) {
    return Iterate(iterable);
}

// Runs `body` and converts C++ exceptions into a pending Python error (null result).
template <class Body>
PyObject* guard(Body&& body) noexcept {
    try {
        return body().release();
    } catch (Error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

}  // namespace tarvel::py
