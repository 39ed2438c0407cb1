// tests/glue/PyGlueTest.cpp: tarvel_glue_test, the shared glue exposed for its own tests
//
// Built only with -DTARVEL_GLUE_TESTS=ON (the test command), never shipped. Its Python twin
// is tests/test_glue.py.
#include "glue/PyCoroutine.hpp"
#include "glue/PyFiles.hpp"
#include "glue/PyFunction.hpp"
#include "glue/PyJson.hpp"
#include "glue/PyJsonRead.hpp"
#include "glue/PyKeptTexts.hpp"
#include "glue/PyModule.hpp"
#include "glue/PyPlatform.hpp"

#include <deque>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvel::glue_test {

namespace {

// add(a, b=2): a native function with Python's binding, defaults and TypeError texts.
py::Ref add_impl(const py::Frame&, PyObject* a, PyObject* b) {
    return py::Ref::steal(PyNumber_Add(a, b));
}

// relay(awaitable): `return ("got", await awaitable)`.
py::Async relay_body(py::Ref awaitable) {
    py::Ref result = co_await py::await_(awaitable);
    co_return py::Ref::steal(PyTuple_Pack(2, py::str("got").get(), result.get()));
}

py::Ref relay_impl(const py::Frame& frame, PyObject* awaitable) {
    return py::make_coroutine(relay_body(py::Ref::borrow(awaitable)), frame.function);
}

// guarded(awaitable, cleanup): `try: return await awaitable` `finally: await cleanup()`.
py::Async guarded_body(py::Ref awaitable, py::Ref cleanup) {
    std::exception_ptr failure;
    py::Ref result;
    try {
        result = co_await py::await_(awaitable);
    } catch (...) {
        failure = std::current_exception();
    }
    co_await py::await_(py::call(cleanup.get()));
    if (failure) std::rethrow_exception(failure);
    co_return result;
}

py::Ref guarded_impl(const py::Frame& frame, PyObject* awaitable, PyObject* cleanup) {
    return py::make_coroutine(guarded_body(py::Ref::borrow(awaitable), py::Ref::borrow(cleanup)),
                              frame.function);
}

// keeper(make): keeps make() (which may refer back to this coroutine) through py::keep,
// then waits on `await_this`, an attribute the caller sets on what make() returned.
py::Async keeper_body(py::Ref make) {
    PyObject* kept = co_await py::keep(py::call(make.get()));
    py::Ref awaited = py::getattr(kept, TARVEL_NAME("await_this"));
    co_await py::await_(awaited);
    co_return py::none();
}

py::Ref keeper_impl(const py::Frame& frame, PyObject* make) {
    return py::make_coroutine(keeper_body(py::Ref::borrow(make)), frame.function);
}

// dumps(obj): the native json.dumps(obj, indent=2) through the json module.
py::Ref dumps_impl(const py::Frame&, PyObject* obj) {
    py::Ref json = py::import("json");
    return py::dumps_indent2(json.get(), obj);
}

// loads(text): (the native read of json.loads(text), True), or (None, False) when it leaves the
// text to json.loads.
py::Ref loads_impl(const py::Frame&, PyObject* text) {
    py::Ref json = py::import("json");
    py::Ref value = py::loads_native(json.get(), text);
    if (!value) return py::Ref::steal(PyTuple_Pack(2, Py_None, Py_False));
    return py::Ref::steal(PyTuple_Pack(2, value.get(), Py_True));
}

// replace(path, text): the crash-safe write, DURABLE_WRITES read from this module.
py::Ref replace_impl(const py::Frame& frame, PyObject* path, PyObject* text) {
    py::replace_file(frame.globals, path, text);
    return py::none();
}

// --- kept texts: records that are exact dicts, their own fields -------------------------------

bool unchanging(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           v == Py_None;
}

// Adds the records of `records` (a list, or a dict whose values they are) to `items`, each held
// while the save runs.
void add_records(py::KeptItems& items, PyObject* records, std::vector<py::Ref>& held) {
    const auto add = [&](PyObject* key, PyObject* record) {
        if (!PyDict_CheckExact(record)) throw py::WholePath{};
        const auto encode = [&](const py::KeptText&) { return py::Ref::borrow(record); };
        if (key == nullptr) {
            items.add(record, record, unchanging, encode);
        } else {
            items.add(key, record, record, unchanging, encode);
        }
    };
    if (PyList_CheckExact(records)) {
        py::Ref list = py::Ref::steal(PyList_GetSlice(records, 0, PyList_GET_SIZE(records)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
            add(nullptr, PyList_GET_ITEM(list.get(), i));
        held.push_back(std::move(list));
        return;
    }
    py::Ref pairs = py::Ref::steal(PyDict_Items(records));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
        add(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
    held.push_back(std::move(pairs));
}

py::KeptItems::Shape shape_of(PyObject* records) {
    if (PyList_CheckExact(records)) return py::KeptItems::kList;
    if (PyDict_CheckExact(records)) return py::KeptItems::kDict;
    throw py::Error(PyExc_TypeError, "records come in a list or a dict");
}

// The document's text from the kept texts in use; the whole path is thrown as WholePath.
py::Ref kept_document(py::KeptTexts& texts, PyObject* json, PyObject* document,
                      std::size_t& written) {
    py::KeptSave save(texts, json, {}, {});
    std::vector<py::Ref> held;
    if (PyList_CheckExact(document)) {
        py::KeptItems items(save, 0, py::KeptItems::kList, 0, "details");
        add_records(items, document, held);
        written = items.written();
        return save.assemble(items);
    }
    const py::Ref named = py::Ref::steal(PyDict_Items(document));
    const Py_ssize_t count = PyList_GET_SIZE(named.get());
    if (count > static_cast<Py_ssize_t>(py::KeptTexts::kKinds))
        throw py::Error(PyExc_ValueError, "at most two lists or dicts of records");
    std::deque<py::KeptItems> parts;
    std::vector<std::string> names;
    std::vector<std::pair<std::string_view, py::KeptItems*>> layout;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyList_GET_ITEM(named.get(), i);
        PyObject* records = PyTuple_GET_ITEM(pair, 1);
        names.push_back(py::key_text(json, PyTuple_GET_ITEM(pair, 0)));
        parts.emplace_back(save, static_cast<std::size_t>(i), shape_of(records), 1, "details");
        add_records(parts.back(), records, held);
        written += parts.back().written();
    }
    for (std::size_t i = 0; i < parts.size(); ++i)
        layout.emplace_back(names[i], &parts[i]);
    return save.assemble(layout);
}

// kept_dumps(owner, document): json.dumps(document, indent=2) joined from the records' texts
// that `owner` keeps, and how many records were written again: (text, written). None when the
// texts are in use or a record cannot take the kept path. The document is a list of records,
// or a dict of at most two lists or dicts of records; a record is an exact dict, its own fields,
// whose "details" may change in place.
py::Ref kept_dumps_impl(const py::Frame&, PyObject* owner, PyObject* document) {
    if (!PyList_CheckExact(document) && !PyDict_CheckExact(document))
        throw py::Error(PyExc_TypeError, "the document is a list or a dict");
    py::Ref json = py::import("json");
    py::KeptTextsInUse texts(owner, TARVEL_NAME("_kept_texts"));
    if (!texts) return py::none();
    std::size_t written = 0;
    py::Ref text;
    try {
        text = kept_document(*texts, json.get(), document, written);
    } catch (py::WholePath&) {
        return py::none();
    }
    return py::Ref::steal(Py_BuildValue("(On)", text.get(), static_cast<Py_ssize_t>(written)));
}

// json_text_is(text, value, depth): whether `text` (an ASCII str) is json.dumps(value, indent=2)
// standing at `depth` of a document, told without encoding it.
py::Ref json_text_is_impl(const py::Frame&, PyObject* text, PyObject* value, PyObject* depth) {
    const auto chars = py::ascii_view(text);
    if (!chars) throw py::Error(PyExc_TypeError, "the text is an ASCII str");
    const std::size_t levels = PyLong_AsSize_t(depth);
    py::check(PyErr_Occurred() != nullptr);
    return py::boolean(py::json_text_is(*chars, value, levels));
}

void build(PyObject* module) {
    py::remember_stock_paths();
    py::bind(module, "DURABLE_WRITES", py::boolean(false));
    // Whether the native file steps make POSIX calls: not on Windows, nor in a build with
    // TARVEL_PORTABLE_FILES, where they take Windows' paths.
#ifdef TARVEL_POSIX_FILES
    py::bind(module, "POSIX_FILES", py::boolean(true));
#else
    py::bind(module, "POSIX_FILES", py::boolean(false));
#endif
    py::bind(
        module, "add",
        py::make_function(
            {"add", "add", "a: int, b: int = 2", "int", "a + b", py::unpacked<add_impl>}, module));
    py::bind(module, "relay",
             py::make_function(
                 {"relay", "relay", "awaitable", nullptr, nullptr, py::unpacked<relay_impl>, true},
                 module));
    py::bind(module, "guarded",
             py::make_function({"guarded", "guarded", "awaitable, cleanup", nullptr, nullptr,
                                py::unpacked<guarded_impl>, true},
                               module));
    py::bind(module, "keeper",
             py::make_function(
                 {"keeper", "keeper", "make", nullptr, nullptr, py::unpacked<keeper_impl>, true},
                 module));
    py::bind(module, "dumps",
             py::make_function({"dumps", "dumps", "obj", "str", nullptr, py::unpacked<dumps_impl>},
                               module));
    py::bind(module, "json_text_is",
             py::make_function({"json_text_is", "json_text_is", "text, value, depth", "bool",
                                nullptr, py::unpacked<json_text_is_impl>},
                               module));
    py::bind(module, "loads",
             py::make_function({"loads", "loads", "text", "tuple[object, bool]", nullptr,
                                py::unpacked<loads_impl>},
                               module));
    py::bind(module, "kept_dumps",
             py::make_function({"kept_dumps", "kept_dumps", "owner, document", "tuple[str, int]",
                                nullptr, py::unpacked<kept_dumps_impl>},
                               module));
    py::bind(module, "replace",
             py::make_function(
                 {"replace", "replace", "path, text", "None", nullptr, py::unpacked<replace_impl>},
                 module));
}

}  // namespace

}  // namespace tarvel::glue_test

TARVEL_MODULE(tarvel_glue_test, "tarvel_glue_test", "The shared glue, exposed for its own tests.",
              tarvel::glue_test::build)
