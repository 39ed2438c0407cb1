// glue/PyJson.cpp: native json.dumps(obj, indent=2), with the rules and errors of json's encoders
#include "glue/PyJson.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "json/TJsonText.hpp"

// The versions whose json encoders the native writer follows; elsewhere json.dumps is called.
#define TARVEL_JSON_NATIVE (PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000)

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

#if TARVEL_JSON_NATIVE

// Which encoder json.dumps(obj, indent=2) runs on this interpreter.
enum class Rules {
    // json.encoder._make_iterencode (3.11, 3.12): isinstance() tests, which also consult a
    // __class__ attribute; truth tests for emptiness; dct.items() unpacked item by item; one
    // generator frame per open container under the interpreter's recursion limit.
    Python,
    // _json.make_encoder (3.13, indent included): type flag tests; exact sizes for emptiness;
    // list(seq) for list and tuple subclasses; PyMapping_Items for dict subclasses; the C
    // recursion guard per container.
    C,
};

// The standard library objects the native path stands in for, captured on first use and kept for
// the life of the process.
struct Stdlib {
    std::vector<Ref> owned;  // the references behind every pointer below
    PyObject* dumps = nullptr;
    PyObject* encode_ascii = nullptr;  // json.encoder.encode_basestring_ascii
    PyObject* float_repr = nullptr;    // float.__repr__
    PyObject* int_repr = nullptr;      // int.__repr__
    PyObject* inf = nullptr;
    PyObject* neg_inf = nullptr;
    PyObject* list_or_tuple = nullptr;  // (list, tuple)
    Rules rules = Rules::Python;

    // Names whose replacement changes what json.dumps(obj, indent=2) does: the same object must
    // still be there, or for the separators an exact str with the same text.
    struct Watched {
        PyObject* dict;
        PyObject* name;
        PyObject* value;
        const char* text = nullptr;
    };
    std::vector<Watched> watched;

    bool unchanged() const;
};

bool is_text(PyObject* obj, const char* text) {
    return obj != nullptr && PyUnicode_CheckExact(obj) &&
           PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

bool Stdlib::unchanged() const {
    for (const Watched& w : watched) {
        PyObject* now = PyDict_GetItemWithError(w.dict, w.name);
        if (now == nullptr) PyErr_Clear();
        if (now != w.value && (w.text == nullptr || !is_text(now, w.text))) return false;
    }
    return true;
}

bool is_function(PyObject* obj, PyObject* globals, const char* qualname) {
    if (obj == nullptr || !PyFunction_Check(obj) || PyFunction_GET_GLOBALS(obj) != globals)
        return false;
    Ref q = Ref::steal_maybe(PyObject_GetAttr(obj, TARVEL_NAME("__qualname__")));
    if (!q) PyErr_Clear();
    return q && PyUnicode_Check(q.get()) &&
           PyUnicode_CompareWithASCIIString(q.get(), qualname) == 0;
}

bool is_builtin(PyObject* obj, const char* name) {
    return obj != nullptr && PyCFunction_Check(obj) &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(obj)->m_ml->ml_name, name) == 0;
}

Ref type_dict(PyObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
#else
    return Ref::borrow(reinterpret_cast<PyTypeObject*>(type)->tp_dict);
#endif
}

// Builds the record, or gives nothing when json is not the standard library as shipped (already
// patched, or missing): the caller then goes through Python, and the next call tries again.
std::unique_ptr<Stdlib> capture() {
    auto lib = std::make_unique<Stdlib>();
    const auto keep = [&](Ref r) {
        lib->owned.push_back(std::move(r));
        return lib->owned.back().get();
    };
    Ref json = import("json");
    Ref encoder = import("json.encoder");
    PyObject* json_dict = PyModule_GetDict(json.get());
    PyObject* enc_dict = PyModule_GetDict(encoder.get());
    if (json_dict == nullptr || enc_dict == nullptr) return nullptr;

    const auto watch = [&](PyObject* dict, const char* name) -> PyObject* {
        PyObject* key = keep(Ref::steal(PyUnicode_InternFromString(name)));
        PyObject* value = keep(dict_get(dict, key));
        if (value != nullptr) lib->watched.push_back({dict, key, value});
        return value;
    };

    lib->dumps = watch(json_dict, "dumps");
    if (!is_function(lib->dumps, json_dict, "dumps")) return nullptr;
    PyObject* cls = watch(json_dict, "JSONEncoder");
    if (cls == nullptr || cls != PyDict_GetItemString(enc_dict, "JSONEncoder") ||
        !PyType_Check(cls))
        return nullptr;
    PyObject* cls_dict = keep(type_dict(cls));
    for (const char* method : {"__init__", "default", "encode", "iterencode"}) {
        const std::string qualname = std::string("JSONEncoder.") + method;
        if (!is_function(watch(cls_dict, method), enc_dict, qualname.c_str())) return nullptr;
    }
    for (const auto& [name, text] : {std::pair{"key_separator", ": "}, {"item_separator", ", "}}) {
        if (!is_text(watch(cls_dict, name), text)) return nullptr;
        lib->watched.back().text = text;
    }
    lib->encode_ascii = watch(enc_dict, "encode_basestring_ascii");
    if (!is_builtin(lib->encode_ascii, "encode_basestring_ascii")) return nullptr;
    if (!is_function(watch(enc_dict, "_make_iterencode"), enc_dict, "_make_iterencode"))
        return nullptr;
    PyObject* infinity = watch(enc_dict, "INFINITY");
    if (infinity == nullptr || !PyFloat_CheckExact(infinity) ||
        PyFloat_AS_DOUBLE(infinity) != Py_HUGE_VAL)
        return nullptr;
    PyObject* c_make_encoder = watch(enc_dict, "c_make_encoder");
    if (c_make_encoder == nullptr) return nullptr;
    // 3.13 hands indent to the C encoder when it is there; earlier versions never do.
    lib->rules =
        PY_VERSION_HEX >= 0x030D0000 && c_make_encoder != Py_None ? Rules::C : Rules::Python;

    lib->float_repr =
        keep(getattr(reinterpret_cast<PyObject*>(&PyFloat_Type), TARVEL_NAME("__repr__")));
    lib->int_repr =
        keep(getattr(reinterpret_cast<PyObject*>(&PyLong_Type), TARVEL_NAME("__repr__")));
    lib->inf = keep(Ref::steal(PyFloat_FromDouble(Py_HUGE_VAL)));
    lib->neg_inf = keep(Ref::steal(PyFloat_FromDouble(-Py_HUGE_VAL)));
    lib->list_or_tuple = keep(Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyList_Type),
                                                      reinterpret_cast<PyObject*>(&PyTuple_Type))));
    return lib;
}

const Stdlib* stdlib() {
    static Stdlib* captured = nullptr;
    if (captured != nullptr) return captured;
    try {
        captured = capture().release();
    } catch (Error&) {
        // no usable json module: calling json_module.dumps reports whatever is wrong
    }
    return captured;
}

// ---------------------------------------------------------------------------------------------
// Recursion limits
// ---------------------------------------------------------------------------------------------

// Python frames the interpreter still allows on this thread.
int python_frames_left() {
    PyThreadState* ts = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    return ts->py_recursion_remaining;
#else
    return ts->recursion_remaining;
#endif
}

// Frames json.dumps has pushed when the encoder takes its first container: dumps, encode and the
// _iterencode generator (3.11 also counts the list() call that drives it).
constexpr int kFramesBeforeFirstContainer = PY_VERSION_HEX >= 0x030C0000 ? 3 : 4;

// 3.11 lets an empty container at the deepest level through without a frame of its own.
constexpr int kEmptyContainerFrames = PY_VERSION_HEX >= 0x030C0000 ? 1 : 0;

constexpr const char* kRecursionMessage = PY_VERSION_HEX >= 0x030C0000
                                              ? "maximum recursion depth exceeded"
                                              : "maximum recursion depth exceeded while calling "
                                                "a Python object";

// ---------------------------------------------------------------------------------------------
// Small Python operations with the exact semantics the encoders use
// ---------------------------------------------------------------------------------------------

bool isinstance(PyObject* obj, PyObject* cls) {
    const int r = PyObject_IsInstance(obj, cls);
    check(r < 0);
    return r != 0;
}

bool isinstance(PyObject* obj, PyTypeObject* cls) {
    return isinstance(obj, reinterpret_cast<PyObject*>(cls));
}

// One level of the interpreter's C recursion guard, held until destroyed.
class GuardLevel {
  public:
    GuardLevel() = default;
    GuardLevel(const GuardLevel&) = delete;
    GuardLevel& operator=(const GuardLevel&) = delete;
    ~GuardLevel() { leave(); }
    void enter(const char* where) {
        check(Py_EnterRecursiveCall(where) != 0);
        held_ = true;
    }
    void leave() {
        if (held_) Py_LeaveRecursiveCall();
        held_ = false;
    }
    // Hands the level over to someone who will leave it.
    bool release() { return std::exchange(held_, false); }

  private:
    bool held_ = false;
};

constexpr const char* kWhileCalling = " while calling a Python object";
constexpr const char* kWhileEncoding = " while encoding a JSON object";

// f"{obj.__class__.__name__}", as the encoders' messages spell a type.
Ref class_name(PyObject* obj) {
    Ref cls = getattr(obj, TARVEL_NAME("__class__"));
    Ref name = getattr(cls.get(), TARVEL_NAME("__name__"));
    return Ref::steal(PyObject_Format(name.get(), nullptr));
}

[[noreturn]] void not_serializable(PyObject* obj) {
    Ref name = class_name(obj);
    PyErr_Format(PyExc_TypeError, "Object of type %U is not JSON serializable", name.get());
    throw Error();
}

[[noreturn]] void circular() {
    throw Error(PyExc_ValueError, "Circular reference detected");
}

// ---------------------------------------------------------------------------------------------
// The walk
// ---------------------------------------------------------------------------------------------

// A key as it goes into the text: a str to escape, ASCII produced here (numbers, constants), or
// the quoted text the standard escaper returned for a look-alike.
struct KeyText {
    Ref str;
    Ref quoted;
    char ascii[json::kDoubleChars];
    std::size_t size = 0;
};

class Walker {
  public:
    Walker(const Stdlib& lib, json::TextWriter& out) : lib_(lib), out_(out) {
        if (lib_.rules == Rules::Python) {
            frames_left_ = python_frames_left();
            frames_used_ = kFramesBeforeFirstContainer;
        } else {
            // the call of the C encoder object from JSONEncoder.iterencode
            call_level_.enter(kWhileCalling);
        }
    }
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;
    ~Walker() {
        while (!frames_.empty())
            pop();
    }

    void run(PyObject* obj) {
        // JSONEncoder.encode hands a str (by isinstance) straight to the escaper, whichever
        // encoder then does the rest.
        if (PyUnicode_Check(obj)) return string(obj);
        if (!known_exact_type(obj) && isinstance(obj, &PyUnicode_Type))
            return text(call(lib_.encode_ascii, obj));
        value(obj, true);
        while (!frames_.empty())
            step();
    }

  private:
    enum class Source : std::uint8_t {
        Sequence,      // a list or tuple read by index (the container or its list() copy)
        Dict,          // an exact dict read with PyDict_Next
        ItemList,      // the list PyMapping_Items gave (C rules)
        Iterator,      // iter(container) (Python rules)
        ItemIterator,  // iter(container.items()), each item unpacked (Python rules)
    };

    struct Frame {
        Ref container;  // the list, tuple or dict (or look-alike) being written
        Ref source;     // what is iterated when that is not the container itself
        Source kind;
        bool object;
        bool entered = false;   // holds a level of the interpreter's C recursion guard
        Py_ssize_t pos = 0;     // index, or PyDict_Next position
        Py_ssize_t used = 0;    // exact dicts under the Python rules: the size the items
        Py_ssize_t left = 0;    // iterator expects, and how many items it still expects
        std::size_t count = 0;  // items written
    };

    // Containers further down than this are also kept in a set for the circular check.
    static constexpr std::size_t kScanned = 32;

    // ---- frames --------------------------------------------------------------------------

    bool on_path(PyObject* obj) const {
        const std::size_t scanned = frames_.size() < kScanned ? frames_.size() : kScanned;
        for (std::size_t i = 0; i < scanned; ++i)
            if (frames_[i].container.get() == obj) return true;
        return frames_.size() > kScanned && deep_.count(obj) != 0;
    }

    void push(Frame&& f) {
        if (frames_.size() >= kScanned) deep_.insert(f.container.get());
        frames_.push_back(std::move(f));
        if (lib_.rules == Rules::Python) ++frames_used_;
    }

    void pop() {
        Frame& f = frames_.back();
        if (frames_.size() > kScanned) deep_.erase(f.container.get());
        if (f.entered) Py_LeaveRecursiveCall();
        frames_.pop_back();
        if (lib_.rules == Rules::Python) --frames_used_;
    }

    // Python rules: `extra` more frames are about to be pushed on top of the open ones.
    void need_frames(int extra) {
        if (frames_used_ + extra > frames_left_)
            throw Error(PyExc_RecursionError, kRecursionMessage);
    }

    void close_top() {
        Frame& f = frames_.back();
        if (f.object) {
            f.count != 0 ? out_.close_object() : out_.close_object_unfilled();
        } else if (f.count != 0 || lib_.rules == Rules::C) {
            out_.close_array();
        } else {
            out_.close_array_unfilled();
        }
        pop();
    }

    void step() {
        Frame& f = frames_.back();
        if (f.object) {
            Ref key, val;
            if (!next_pair(f, key, val)) return close_top();
            KeyText text;
            convert_key(key.get(), text);
            ++f.count;
            out_.next_item();
            write_key(text);
            out_.key_separator();
            value(val.get(), false);
        } else {
            Ref val;
            if (!next_element(f, val)) return close_top();
            ++f.count;
            out_.next_item();
            value(val.get(), false);
        }
    }

    bool next_element(Frame& f, Ref& val) {
        if (f.kind == Source::Sequence) {
            PyObject* seq = f.source ? f.source.get() : f.container.get();
            if (PyList_Check(seq)) {
                if (f.pos >= PyList_GET_SIZE(seq)) return false;
                val = Ref::borrow(PyList_GET_ITEM(seq, f.pos++));
            } else {
                if (f.pos >= PyTuple_GET_SIZE(seq)) return false;
                val = Ref::borrow(PyTuple_GET_ITEM(seq, f.pos++));
            }
            return true;
        }
        val = Ref::steal_maybe(PyIter_Next(f.source.get()));
        check(!val && PyErr_Occurred());
        return static_cast<bool>(val);
    }

    bool next_pair(Frame& f, Ref& key, Ref& val) {
        switch (f.kind) {
            case Source::Dict: {
                PyObject* d = f.container.get();
                // what iterating dct.items() checks at every step
                if (lib_.rules == Rules::Python && PyDict_GET_SIZE(d) != f.used)
                    throw Error(PyExc_RuntimeError, "dictionary changed size during iteration");
                PyObject *k, *v;
                if (!PyDict_Next(d, &f.pos, &k, &v)) return false;
                if (lib_.rules == Rules::Python && f.left-- == 0)
                    throw Error(PyExc_RuntimeError, "dictionary keys changed during iteration");
                key = Ref::borrow(k);
                val = Ref::borrow(v);
                return true;
            }
            case Source::ItemList: {
                PyObject* items = f.source.get();
                if (f.pos >= PyList_GET_SIZE(items)) return false;
                PyObject* item = PyList_GET_ITEM(items, f.pos++);
                if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2)
                    throw Error(PyExc_ValueError, "items must return 2-tuples");
                key = Ref::borrow(PyTuple_GET_ITEM(item, 0));
                val = Ref::borrow(PyTuple_GET_ITEM(item, 1));
                return true;
            }
            default: {
                Ref item = Ref::steal_maybe(PyIter_Next(f.source.get()));
                if (!item) {
                    check(PyErr_Occurred() != nullptr);
                    return false;
                }
                unpack_pair(item.get(), key, val);
                return true;
            }
        }
    }

    // `for key, value in items`: the unpacking and its messages.
    static void unpack_pair(PyObject* item, Ref& key, Ref& val) {
        if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
            key = Ref::borrow(PyTuple_GET_ITEM(item, 0));
            val = Ref::borrow(PyTuple_GET_ITEM(item, 1));
            return;
        }
        Ref it = Ref::steal_maybe(PyObject_GetIter(item));
        if (!it) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
                !PySequence_Check(item)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                             Py_TYPE(item)->tp_name);
            }
            throw Error();
        }
        Ref* slots[] = {&key, &val};
        for (int i = 0; i < 2; ++i) {
            *slots[i] = Ref::steal_maybe(PyIter_Next(it.get()));
            if (!*slots[i]) {
                check(PyErr_Occurred() != nullptr);
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
                throw Error();
            }
        }
        Ref extra = Ref::steal_maybe(PyIter_Next(it.get()));
        if (extra) throw Error(PyExc_ValueError, "too many values to unpack (expected 2)");
        check(PyErr_Occurred() != nullptr);
    }

    // ---- scalars -------------------------------------------------------------------------

    void string(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
        check(PyUnicode_READY(s) < 0);
#endif
        const void* data = PyUnicode_DATA(s);
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                return out_.string(static_cast<const std::uint8_t*>(data), n);
            case PyUnicode_2BYTE_KIND:
                return out_.string(static_cast<const std::uint16_t*>(data), n);
            default:
                return out_.string(static_cast<const std::uint32_t*>(data), n);
        }
    }

    // Text a standard function returned, written as it is (digits, or an already quoted string).
    void text(const Ref& s) {
        if (!PyUnicode_Check(s.get()) || !PyUnicode_IS_ASCII(s.get()))
            throw Error(PyExc_SystemError, "json text of unexpected form");
        out_.raw({static_cast<const char*>(PyUnicode_DATA(s.get())),
                  static_cast<std::size_t>(PyUnicode_GET_LENGTH(s.get()))});
    }

    // int.__repr__ of an int or int subclass.
    template <class Sink>
    static void int_text(PyObject* o, Sink&& sink) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0) {
            check(v == -1 && PyErr_Occurred());
            char buf[24];
            const std::size_t n = std::to_chars(buf, buf + sizeof buf, v).ptr - buf;
            return sink(buf, n);
        }
        Ref digits = Ref::steal(PyLong_Type.tp_repr(o));
        sink(static_cast<const char*>(PyUnicode_DATA(digits.get())),
             static_cast<std::size_t>(PyUnicode_GET_LENGTH(digits.get())));
    }

    void integer(PyObject* o) {
        int_text(o, [&](const char* p, std::size_t n) { out_.raw({p, n}); });
    }

    // The Python rules' float text: _floatstr is a Python function, and a float subclass with its
    // own comparisons is asked `o != o`, `o == inf`, `o == -inf` before float.__repr__ is.
    std::optional<Ref> float_py(PyObject* o, const char*& constant) {
        need_frames(1);
        if (PyFloat_Check(o) && Py_TYPE(o)->tp_richcompare == PyFloat_Type.tp_richcompare)
            return std::nullopt;
        const auto compares = [&](PyObject* other, int op) {
            return truthy(Ref::steal(PyObject_RichCompare(o, other, op)).get());
        };
        if (compares(o, Py_NE)) {
            constant = "NaN";
        } else if (compares(lib_.inf, Py_EQ)) {
            constant = "Infinity";
        } else if (compares(lib_.neg_inf, Py_EQ)) {
            constant = "-Infinity";
        } else {
            return call(lib_.float_repr, o);
        }
        return Ref();
    }

    void floating(PyObject* o) {
        if (lib_.rules == Rules::Python) {
            const char* constant = nullptr;
            std::optional<Ref> custom = float_py(o, constant);
            if (custom) return constant != nullptr ? out_.raw(constant) : text(*custom);
        }
        out_.number(PyFloat_AS_DOUBLE(o));
    }

    // ---- keys ----------------------------------------------------------------------------

    void convert_key(PyObject* k, KeyText& t) {
        if (lib_.rules == Rules::C) {
            if (PyUnicode_Check(k)) {
                t.str = Ref::borrow(k);
            } else if (PyFloat_Check(k)) {
                float_key(PyFloat_AS_DOUBLE(k), t);
            } else if (k == Py_True || k == Py_False || k == Py_None) {
                constant_key(k, t);
            } else if (PyLong_Check(k)) {
                int_key(k, t);
            } else {
                PyErr_Format(PyExc_TypeError,
                             "keys must be str, int, float, bool or None, not %.100s",
                             Py_TYPE(k)->tp_name);
                throw Error();
            }
            return;
        }
        PyTypeObject* type = Py_TYPE(k);
        if (type == &PyUnicode_Type) {
            t.str = Ref::borrow(k);
        } else if (type == &PyFloat_Type) {
            need_frames(1);
            float_key(PyFloat_AS_DOUBLE(k), t);
        } else if (k == Py_True || k == Py_False || k == Py_None) {
            constant_key(k, t);
        } else if (type == &PyLong_Type) {
            int_key(k, t);
        } else if (isinstance(k, &PyUnicode_Type)) {
            // a look-alike claiming to be a str reaches the escaper, which refuses it
            if (PyUnicode_Check(k)) {
                t.str = Ref::borrow(k);
            } else {
                t.quoted = call(lib_.encode_ascii, k);
            }
        } else if (isinstance(k, &PyFloat_Type)) {
            const char* constant = nullptr;
            std::optional<Ref> custom = float_py(k, constant);
            if (!custom) {
                float_key(PyFloat_AS_DOUBLE(k), t);
            } else if (constant != nullptr) {
                ascii_key(constant, t);
            } else {
                t.str = std::move(*custom);
            }
        } else if (isinstance(k, &PyLong_Type)) {
            if (PyLong_Check(k)) {
                int_key(k, t);
            } else {
                t.str = call(lib_.int_repr, k);
            }
        } else {
            Ref name = class_name(k);
            PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %U",
                         name.get());
            throw Error();
        }
    }

    static void ascii_key(const char* text, KeyText& t) {
        t.size = std::strlen(text);
        std::memcpy(t.ascii, text, t.size);
    }

    static void constant_key(PyObject* k, KeyText& t) {
        ascii_key(k == Py_True ? "true" : k == Py_False ? "false" : "null", t);
    }

    static void float_key(double v, KeyText& t) {
        if (v != v) return ascii_key("NaN", t);
        if (v == Py_HUGE_VAL) return ascii_key("Infinity", t);
        if (v == -Py_HUGE_VAL) return ascii_key("-Infinity", t);
        t.size = json::format_double(v, t.ascii);
    }

    static void int_key(PyObject* k, KeyText& t) {
        int_text(k, [&](const char* p, std::size_t n) {
            if (n <= sizeof t.ascii) {
                std::memcpy(t.ascii, p, n);
                t.size = n;
            } else {
                t.str = Ref::steal(PyUnicode_FromStringAndSize(p, static_cast<Py_ssize_t>(n)));
            }
        });
    }

    void write_key(const KeyText& t) {
        if (t.str) return string(t.str.get());
        if (t.quoted) return text(t.quoted);
        out_.string(reinterpret_cast<const std::uint8_t*>(t.ascii), t.size);
    }

    // ---- values --------------------------------------------------------------------------

    // Exactly a built-in type the encoders know: isinstance() answers these without running code.
    static bool known_exact_type(PyObject* o) {
        PyTypeObject* t = Py_TYPE(o);
        return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type ||
               t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type || o == Py_None ||
               o == Py_True || o == Py_False;
    }

    void value(PyObject* o, bool top) {
        if (lib_.rules == Rules::C) return value_c(o);
        PyTypeObject* type = Py_TYPE(o);
        if (type == &PyUnicode_Type) return string(o);
        if (o == Py_None) return out_.null();
        if (o == Py_True) return out_.boolean(true);
        if (o == Py_False) return out_.boolean(false);
        if (type == &PyLong_Type) return integer(o);
        if (type == &PyFloat_Type) return floating(o);
        if (type == &PyList_Type || type == &PyTuple_Type) return sequence_py(o, true);
        if (type == &PyDict_Type) return dict_py(o, true);
        value_py_general(o, top);
    }

    // The isinstance() chain of the pure-Python encoder, in its order, for everything that is not
    // exactly one of the built-in types.
    void value_py_general(PyObject* o, bool in_iterencode) {
        if (isinstance(o, &PyUnicode_Type)) {
            if (PyUnicode_Check(o)) return string(o);
            return text(call(lib_.encode_ascii, o));
        }
        if (isinstance(o, &PyLong_Type)) {
            if (PyLong_Check(o)) return integer(o);
            return text(call(lib_.int_repr, o));
        }
        if (isinstance(o, &PyFloat_Type)) return floating(o);
        if (isinstance(o, lib_.list_or_tuple)) return sequence_py(o, false);
        if (isinstance(o, &PyDict_Type)) return dict_py(o, false);
        if (!in_iterencode) {
            // an item the container loop does not know goes through _iterencode, which asks again
            need_frames(1);
            ++frames_used_;
            struct Restore {
                int& used;
                ~Restore() { --used; }
            } restore{frames_used_};
            return value_py_general(o, true);
        }
        if (on_path(o)) circular();
        need_frames(1);  // JSONEncoder.default
        not_serializable(o);
    }

    void value_c(PyObject* o) {
        if (o == Py_None) return out_.null();
        if (o == Py_True) return out_.boolean(true);
        if (o == Py_False) return out_.boolean(false);
        if (PyUnicode_Check(o)) return string(o);
        if (PyLong_Check(o)) return integer(o);
        if (PyFloat_Check(o)) return out_.number(PyFloat_AS_DOUBLE(o));
        if (PyList_Check(o) || PyTuple_Check(o)) return sequence_c(o);
        if (PyDict_Check(o)) return dict_c(o);
        if (on_path(o)) circular();
        {
            // the calls that reach JSONEncoder.default and its frame
            GuardLevel method, function, frame;
            method.enter(kWhileCalling);
            function.enter(kWhileCalling);
            frame.enter(kWhileCalling);
        }
        not_serializable(o);
    }

    // ---- containers ----------------------------------------------------------------------

    void sequence_py(PyObject* o, bool exact) {
        need_frames(kEmptyContainerFrames);
        if (exact ? Py_SIZE(o) == 0 : !truthy(o)) return out_.raw("[]");
        need_frames(1);
        if (on_path(o)) circular();
        Frame f{Ref::borrow(o), Ref(), exact ? Source::Sequence : Source::Iterator, false};
        if (!exact) f.source = Ref::steal(PyObject_GetIter(o));
        out_.open_array();
        push(std::move(f));
    }

    void dict_py(PyObject* o, bool exact) {
        need_frames(kEmptyContainerFrames);
        if (exact ? PyDict_GET_SIZE(o) == 0 : !truthy(o)) return out_.raw("{}");
        need_frames(1);
        if (on_path(o)) circular();
        Frame f{Ref::borrow(o), Ref(), exact ? Source::Dict : Source::ItemIterator, true};
        out_.open_object();
        if (exact) {
            f.used = f.left = PyDict_GET_SIZE(o);
        } else {
            Ref items = call_method(o, TARVEL_NAME("items"));
            f.source = Ref::steal(PyObject_GetIter(items.get()));
        }
        push(std::move(f));
    }

    void sequence_c(PyObject* o) {
        GuardLevel level;
        level.enter(kWhileEncoding);
        Ref fast = Ref::steal(PySequence_Fast(o, "_iterencode_list needs a sequence"));
        if (PySequence_Fast_GET_SIZE(fast.get()) == 0) return out_.raw("[]");
        if (on_path(o)) circular();
        Frame f{Ref::borrow(o), Ref(), Source::Sequence, false};
        if (fast.get() != o) f.source = std::move(fast);
        out_.open_array();
        push(std::move(f));
        frames_.back().entered = level.release();
    }

    void dict_c(PyObject* o) {
        GuardLevel level;
        level.enter(kWhileEncoding);
        if (PyDict_GET_SIZE(o) == 0) return out_.raw("{}");
        if (on_path(o)) circular();
        Frame f{Ref::borrow(o), Ref(), Source::Dict, true};
        out_.open_object();
        if (!PyDict_CheckExact(o)) {
            f.kind = Source::ItemList;
            f.source = Ref::steal(PyMapping_Items(o));
        }
        push(std::move(f));
        frames_.back().entered = level.release();
    }

    const Stdlib& lib_;
    json::TextWriter& out_;
    GuardLevel call_level_;  // C rules
    std::vector<Frame> frames_;
    std::unordered_set<PyObject*> deep_;
    int frames_left_ = 0;  // Python rules: the interpreter's remaining frames at the call
    int frames_used_ = 0;  // Python rules: frames json.dumps would have pushed by now
};

// One writer kept between calls; a call made while it is in use (from code the walk runs)
// gets a fresh one.
std::optional<json::TextWriter> g_spare;
constexpr std::size_t kKeptCapacity = std::size_t{8} << 20;

Ref write_native(const Stdlib& lib, PyObject* obj) {
    json::TextWriter out;
    if (g_spare) {
        out = std::move(*g_spare);
        g_spare.reset();
        out.clear();
    }
    struct GiveBack {
        json::TextWriter& out;
        ~GiveBack() {
            if (!g_spare && out.capacity() <= kKeptCapacity) g_spare = std::move(out);
        }
    } give_back{out};

    {
        Walker walker(lib, out);
        walker.run(obj);
    }
    const std::string_view t = out.text();
    Ref result = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(t.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(result.get()), t.data(), t.size());
    return result;
}

#endif  // TARVEL_JSON_NATIVE

}  // namespace

Ref dumps_indent2(PyObject* json_module, PyObject* obj) {
    Ref dumps = getattr(json_module, TARVEL_NAME("dumps"));
#if TARVEL_JSON_NATIVE
    const Stdlib* lib = stdlib();
    if (lib != nullptr && dumps.get() == lib->dumps && lib->unchanged())
        return write_native(*lib, obj);
#endif
    return call_dumps(dumps.get(), obj);
}

bool dumps_is_native(PyObject* json_module) {
#if TARVEL_JSON_NATIVE
    Ref dumps = Ref::steal_maybe(PyObject_GetAttr(json_module, TARVEL_NAME("dumps")));
    if (!dumps) {
        PyErr_Clear();
        return false;
    }
    const Stdlib* lib = stdlib();
    return lib != nullptr && dumps.get() == lib->dumps && lib->unchanged();
#else
    (void)json_module;
    return false;
#endif
}

}  // namespace tarvel::py
