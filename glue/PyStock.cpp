// glue/PyStock.cpp: the stock pathlib, os, io and fcntl functions the native file steps stand for
#include "glue/PyStock.hpp"

#include "glue/PyFiles.hpp"

namespace tarvel::py {

StockPaths stock;
bool native_reads = false;

bool is_stock(PyObject* path, std::initializer_list<std::pair<PyObject*, PyObject*>> methods) {
    if (stock.cls == nullptr || Py_TYPE(path) != stock.cls) return false;
    for (const auto& [name, original] : methods) {
        if (type_lookup(stock.cls, name) != original) return false;
    }
    return true;
}

bool unpatched(PyObject* module, PyObject* name, PyObject* original) {
    Ref now = Ref::steal_maybe(PyObject_GetAttr(module, name));
    if (!now) PyErr_Clear();
    return now.get() == original;
}

bool replacing_unpatched() {
    for (std::size_t i = 0; i < stock.replacing.size(); ++i) {
        const auto& [module, name] = stock.replacing[i];
        if (!unpatched(module, name, stock.replacing_originals[i])) return false;
    }
    return !stock.replacing.empty();
}

bool read_natively(PyObject* path) {
    return native_reads &&
           is_stock(path, {{TARVEL_NAME("read_text"), stock.read_text},
                           {TARVEL_NAME("open"), stock.open}}) &&
           unpatched(stock.io, TARVEL_NAME("open"), stock.io_open);
}

namespace {

bool warns_of_default_encoding() {
    Ref sys = import("sys");
    Ref flags = getattr(sys.get(), TARVEL_NAME("flags"));
    Ref warn = Ref::steal_maybe(PyObject_GetAttrString(flags.get(), "warn_default_encoding"));
    if (!warn) {
        PyErr_Clear();
        return false;
    }
    return truthy(warn.get());
}

// The Path methods and the os and io functions replace_file and exists go through, for
// replaced_natively and exists to tell that they are still the same.
void remember_replacing(StockPaths& found) {
    const std::pair<PyObject**, const char*> methods[] = {
        {&found.is_symlink, "is_symlink"}, {&found.with_name, "with_name"},
        {&found.exists, "exists"},         {&found.stat, "stat"},
        {&found.mkdir, "mkdir"},           {&found.is_dir, "is_dir"},
        {&found.parent, "parent"},         {&found.name, "name"}};
    for (const auto& [field, name] : methods) {
        *field = type_lookup(found.cls, intern_forever(name));
        Py_XINCREF(*field);
    }
    const std::pair<PyObject**, const char*> functions[] = {
        {&found.os_stat, "stat"}, {&found.os_mkdir, "mkdir"}, {&found.os_open, "open"}};
    for (const auto& [field, name] : functions)
        *field = getattr(found.os, intern_forever(name)).release();
    for (const char* name : {"open", "replace", "fsync", "close", "chmod", "stat", "lstat",
                             "access", "getpid", "fsencode"}) {
        found.replacing.emplace_back(found.os, intern_forever(name));
    }
    found.replacing.emplace_back(found.io, TARVEL_NAME("open"));
    found.replacing.emplace_back(found.io, TARVEL_NAME("text_encoding"));
    for (const auto& [module, name] : found.replacing)
        found.replacing_originals.push_back(getattr(module, name).release());
    found.fcntl = PyImport_ImportModule("fcntl");
    if (found.fcntl == nullptr) PyErr_Clear();  // none here: lock files go through Python
    found.flock = found.fcntl ? getattr(found.fcntl, TARVEL_NAME("flock")).release() : nullptr;
}

}  // namespace

void remember_stock_paths() {
    if (stock.cls != nullptr) return;
    native_reads = !warns_of_default_encoding();
    Ref pathlib = import("pathlib");
    Ref path_class = getattr(pathlib.get(), TARVEL_NAME("Path"));
    Ref concrete = call(path_class.get());  // Path() is the system's concrete class
    StockPaths found;
    found.cls = Py_TYPE(concrete.get());
    found.read_text = type_lookup(found.cls, TARVEL_NAME("read_text"));
    found.open = type_lookup(found.cls, TARVEL_NAME("open"));
    found.glob = type_lookup(found.cls, TARVEL_NAME("glob"));
    found.write_text = type_lookup(found.cls, TARVEL_NAME("write_text"));
    if (found.read_text == nullptr || found.open == nullptr || found.glob == nullptr ||
        found.write_text == nullptr) {
        return;
    }
    Ref io = import("io");
    Ref io_open = getattr(io.get(), TARVEL_NAME("open"));
    Ref os = import("os");
    Ref scandir = getattr(os.get(), TARVEL_NAME("scandir"));
    // Held for the life of the process, as the interned names are.
    Py_INCREF(found.cls);
    Py_INCREF(found.read_text);
    Py_INCREF(found.open);
    Py_INCREF(found.glob);
    Py_INCREF(found.write_text);
    found.io = io.release();
    found.io_open = io_open.release();
    found.os = os.release();
    found.scandir = scandir.release();
    remember_replacing(found);
    stock = found;
}

}  // namespace tarvel::py
