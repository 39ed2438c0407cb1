// glue/PyStock.hpp: the stock pathlib, os, io and fcntl functions the native file steps stand for
#pragma once

#include "glue/PyRef.hpp"

#include <initializer_list>
#include <utility>
#include <vector>

namespace tarvel::py {

// pathlib's concrete class on this system and the methods and functions the native file steps
// stand in for, as they were when the first module was imported (remember_stock_paths, in
// glue/PyFiles.hpp). Held for the life of the process, as interned names are; written once, at
// import, and only read after.
struct StockPaths {
    PyTypeObject* cls = nullptr;
    PyObject* read_text = nullptr;
    PyObject* open = nullptr;
    PyObject* glob = nullptr;
    PyObject* write_text = nullptr;
    PyObject* io = nullptr;  // the io module and its open, which Path.open calls
    PyObject* io_open = nullptr;
    PyObject* os = nullptr;  // the os module and its scandir, which Path.glob calls
    PyObject* scandir = nullptr;
    PyObject* is_symlink = nullptr;  // Path methods and os and io functions replace_file calls
    PyObject* with_name = nullptr;
    PyObject* exists = nullptr;  // Path.exists and the Path.stat it calls
    PyObject* stat = nullptr;
    PyObject* os_stat = nullptr;
    PyObject* mkdir = nullptr;  // Path.mkdir and the is_dir it asks, os.mkdir
    PyObject* is_dir = nullptr;
    PyObject* os_mkdir = nullptr;
    PyObject* parent = nullptr;  // Path.parent
    PyObject* name = nullptr;    // Path.name, os.open and fcntl.flock, for lock files
    PyObject* os_open = nullptr;
    PyObject* fcntl = nullptr;
    PyObject* flock = nullptr;
    std::vector<std::pair<PyObject*, PyObject*>> replacing;  // (module, name), original by index
    std::vector<PyObject*> replacing_originals;
};
extern StockPaths stock;

// Whether files may be read natively at all: false under -X warn_default_encoding, where every
// read of the locale's encoding warns and reading is left to Path.read_text, which gives the
// warning.
extern bool native_reads;

// Whether `path` is of pathlib's concrete class and its methods `methods` (name, original) are
// still pathlib's own.
bool is_stock(PyObject* path, std::initializer_list<std::pair<PyObject*, PyObject*>> methods);

// Whether module.name is still `original` (a fake file system or a mock replaces it).
bool unpatched(PyObject* module, PyObject* name, PyObject* original);

// Whether every os and io function replace_file goes through is still the original one.
bool replacing_unpatched();

// Whether the files of `path` are read natively: a stock path whose read_text and open, and the
// io.open they call, are pathlib's and io's own, without -X warn_default_encoding.
bool read_natively(PyObject* path);

}  // namespace tarvel::py
