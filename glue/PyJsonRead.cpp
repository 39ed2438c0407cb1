// glue/PyJsonRead.cpp: the native read of JSON text into Python values (see PyJsonRead.hpp)
#include "glue/PyJsonRead.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "glue/PyWatched.hpp"

namespace tarvel::py {

namespace {

// What json.loads relies on, captured once with the first read and kept for the life of the
// process: while each is still bound where it was found, json.loads builds what the native
// read builds.
struct Stdlib : WatchedNames {
    PyObject* loads = nullptr;
    PyObject* nan = nullptr;
    PyObject* infinity = nullptr;
    PyObject* negative_infinity = nullptr;
};

// The captured names, or null when they are not what the standard library defines.
std::unique_ptr<Stdlib> capture() {
    auto lib = std::make_unique<Stdlib>();
    const auto keep = [&](Ref r) { return lib->keep(std::move(r)); };
    PyObject* json = PyModule_GetDict(keep(import("json")));
    PyObject* decoder_module = PyModule_GetDict(keep(import("json.decoder")));
    if (json == nullptr || decoder_module == nullptr) return nullptr;
    const auto watch = [&](PyObject* dict, const char* name) { return lib->watch(dict, name); };
    lib->loads = watch(json, "loads");
    PyObject* decoder = watch(json, "_default_decoder");
    PyObject* cls = watch(decoder_module, "JSONDecoder");
    if (!is_function(lib->loads, json, "loads") || decoder == nullptr || cls == nullptr ||
        Py_TYPE(decoder) != reinterpret_cast<PyTypeObject*>(cls))
        return nullptr;
    PyObject* methods = keep(type_dict(cls));
    if (!is_function(watch(methods, "decode"), decoder_module, "JSONDecoder.decode") ||
        !is_function(watch(methods, "raw_decode"), decoder_module, "JSONDecoder.raw_decode"))
        return nullptr;
    PyObject* state = keep(Ref::steal(PyObject_GenericGetDict(decoder, nullptr)));
    if (watch(state, "scan_once") == nullptr) return nullptr;
    lib->nan = watch(decoder_module, "NaN");
    lib->infinity = watch(decoder_module, "PosInf");
    lib->negative_infinity = watch(decoder_module, "NegInf");
    if (lib->nan == nullptr || lib->infinity == nullptr || lib->negative_infinity == nullptr)
        return nullptr;
    return lib;
}

const Stdlib* stdlib() {
    return captured_once(capture);
}

Ref ascii(std::string_view text) {
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_DATA(s.get()), text.data(), text.size());
    return s;
}

}  // namespace

bool loads_is_native(PyObject* json_module) {
    Ref loads = Ref::steal_maybe(PyObject_GetAttr(json_module, TARVEL_NAME("loads")));
    if (!loads) {
        PyErr_Clear();
        return false;
    }
    const Stdlib* lib = stdlib();
    return lib != nullptr && loads.get() == lib->loads && lib->unchanged();
}

Utf8Text::Utf8Text(PyObject* text) {
    if (!PyUnicode_CheckExact(text)) return;
    if (PyUnicode_IS_ASCII(text)) {
        view_ = std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                                 static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
        ok_ = true;
        return;
    }
    bytes_ = Ref::steal_maybe(PyUnicode_AsUTF8String(text));
    if (!bytes_) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw Error();
        PyErr_Clear();
        return;
    }
    view_ = std::string_view(PyBytes_AS_STRING(bytes_.get()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(bytes_.get())));
    ok_ = true;
}

ValueBuilder::ValueBuilder() : memo_(Ref::steal(PyDict_New())) {}

Ref ValueBuilder::string(const json::Value& value) {
    if (!value.escaped && !value.non_ascii) return ascii(value.text);
    if (!value.escaped) {
        return Ref::steal(PyUnicode_DecodeUTF8(
            value.text.data(), static_cast<Py_ssize_t>(value.text.size()), "strict"));
    }
    json::decode(value, buffer_);
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, buffer_.data(),
                                                static_cast<Py_ssize_t>(buffer_.size())));
}

Ref ValueBuilder::key(const json::Value& value) {
    Ref fresh = string(value);
    PyObject* shared = PyDict_SetDefault(memo_.get(), fresh.get(), fresh.get());
    check(shared == nullptr);
    return Ref::borrow(shared);
}

Ref ValueBuilder::scalar(const json::Value& value) {
    const Stdlib* lib = stdlib();
    switch (value.kind) {
        case json::Kind::String:
            return string(value);
        case json::Kind::Integer: {
            if (value.small) return Ref::steal(PyLong_FromLongLong(value.integer));
            const std::string digits(value.text);
            Ref big = Ref::steal_maybe(PyLong_FromString(digits.c_str(), nullptr, 10));
            if (!big) {
                if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw Error();
                PyErr_Clear();  // past the digits limit: json.loads raises it
            }
            return big;
        }
        case json::Kind::Float:
            return Ref::steal(PyFloat_FromDouble(value.number));
        case json::Kind::True:
            return Ref::borrow(Py_True);
        case json::Kind::False:
            return Ref::borrow(Py_False);
        case json::Kind::Null:
            return Ref::borrow(Py_None);
        case json::Kind::NaN:
            return Ref::borrow(lib->nan);
        case json::Kind::Infinity:
            return Ref::borrow(lib->infinity);
        case json::Kind::NegInfinity:
            return Ref::borrow(lib->negative_infinity);
        default:
            return {};
    }
}

Ref ValueBuilder::build(json::Reader& reader) {
    json::Value value;
    if (!reader.value(value)) return {};
    return build(reader, value);
}

Ref ValueBuilder::build(json::Reader& reader, const json::Value& value) {
    if (value.kind == json::Kind::Object) {
        Ref dict = Ref::steal(PyDict_New());
        json::Value name;
        while (reader.next_member(name)) {
            Ref k = key(name);
            Ref item = build(reader);
            if (!item) return {};
            dict_set(dict.get(), k.get(), item.get());
        }
        return reader.ok() ? dict : Ref();
    }
    if (value.kind == json::Kind::Array) {
        Ref list = Ref::steal(PyList_New(0));
        while (reader.next_element()) {
            Ref item = build(reader);
            if (!item) return {};
            check(PyList_Append(list.get(), item.get()) < 0);
        }
        return reader.ok() ? list : Ref();
    }
    return scalar(value);
}

namespace {

// The value the reader builds of `text`, or null.
Ref read_whole(PyObject* text) {
    Utf8Text utf8(text);
    if (!utf8.ok()) return {};
    json::Reader reader(utf8.view());
    ValueBuilder builder;
    Ref value = builder.build(reader);
    if (!value || !reader.finish()) return {};
    return value;
}

}  // namespace

Ref loads_native(PyObject* json_module, PyObject* text) {
    if (!loads_is_native(json_module)) return {};
    return read_whole(text);
}

Ref call_loads(PyObject* loads, PyObject* text) {
    const Stdlib* lib = stdlib();
    if (lib != nullptr && loads == lib->loads && lib->unchanged()) {
        if (Ref value = read_whole(text)) return value;
    }
    return call(loads, text);
}

Ref loads(PyObject* json_module, PyObject* text) {
    Ref function = getattr(json_module, TARVEL_NAME("loads"));
    return call_loads(function.get(), text);
}

}  // namespace tarvel::py
